#include "app/mainwindow.h"
#include "app/sdpdialog.h"
#include "nmos/nmosclient.h"
#include "tests/support/netns.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QComboBox>
#include <QJsonDocument>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <functional>

// The connect and disconnect runs and the SDP viewers of the main window, against test
// HTTP servers that play a transmitting and a receiving node.
class tst_Workflows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void connectPatchesPairsInOrder_data();
    void connectPatchesPairsInOrder();
    void disconnectTakesDownChosenReceiver_data();
    void disconnectTakesDownChosenReceiver();
    void viewerShowsVideoThenMembers_data();
    void viewerShowsVideoThenMembers();
    void endsOnVideoFailure_data();
    void endsOnVideoFailure();
};

namespace {

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

enum Control { TxSdp, RxSdp, Connect, Disconnect };

// One sender or receiver of a scripted node. Its id names its group and format: "r2-a1" is
// the first audio member of group "r2".
struct Essence
{
    QString id, label;
};

QString formatOf(const QString &id)
{
    return QHash<QChar, QString>{{'v', "video"}, {'a', "audio"}}.value(id.section('-', 1).at(0), "data");
}

QJsonObject tagsOf(const QString &id) { return grouphint(id.section('-', 0, 0) + ':' + formatOf(id)); }

// A video essence with that label, then audio and data members labelled by their ids.
QList<Essence> group(const QString &prefix, const QString &label, int audio, int data)
{
    QList<Essence> list{{prefix + "-v1", label}};
    for (int i = 1; i <= audio + data; ++i) {
        const QString id = prefix + (i <= audio ? "-a" : "-d") + QString::number(i <= audio ? i : i - audio);
        list << Essence{id, id};
    }
    return list;
}

QList<Essence> camera(int audio = 2, int data = 1) { return group("s", "Cam 1", audio, data); }
QList<Essence> monitor(int audio = 2, int data = 1) { return group("r", "Monitor 1", audio, data); }

QByteArray sdpOf(const QString &id) { return "v=0\r\no=- 1 1 IN IP4 10.77.0.1\r\ns=" + id.toUtf8() + "\r\n"; }
QByteArray staged(const QByteArray &kind, const QString &id)
{
    return connectionPath("/single/" + kind + "/" + id.toUtf8() + "/staged");
}

QByteArray active(const QString &receiverId)
{
    return connectionPath("/single/receivers/" + receiverId.toUtf8() + "/active");
}

// A receiver's active parameters: fed by that sender, or switched off for an empty id.
Reply activeReply(const QString &senderId)
{
    return Reply::json(QJsonObject{{"sender_id", senderId.isEmpty() ? QJsonValue() : QJsonValue(senderId)},
                                   {"master_enable", !senderId.isEmpty()}});
}

// A receiver's staged transport file; a null one means nothing is staged.
Reply stagedFile(const QJsonValue &sdp)
{
    const QJsonValue type = sdp.isNull() ? QJsonValue() : QJsonValue("application/sdp");
    return Reply::json(QJsonObject{{"transport_file", QJsonObject{{"data", sdp}, {"type", type}}}});
}

QString get(const QByteArray &path) { return "GET " + QString::fromUtf8(path); }
QString patch(const QByteArray &path) { return "PATCH " + QString::fromUtf8(path); }
const QString GetSenders = get(nodePath("/senders/")), GetReceivers = get(nodePath("/receivers/")),
              GetDevices = get(nodePath("/devices/"));
// A connect run's lookups before the video patch: the video pair's, then both groups'.
const QStringList TxLookups{GetSenders, GetDevices, get(nodePath("/senders/s-v1")), GetSenders,
                            get(nodePath("/flows/"))};
const QStringList RxLookups{GetReceivers, GetDevices, get(nodePath("/receivers/r-v1")), GetReceivers};

QJsonObject senderOf(const TestHttpServer &node, const Essence &s)
{
    return senderJson(s.id, s.label, "f-" + s.id, node.url("/sdp/" + s.id), tagsOf(s.id));
}

// One device holding these senders ("s…" ids) or receivers. Every transport file is readable,
// every staged endpoint accepts a PATCH, a receiver's staged file is that of "from-<its id>",
// and it reports itself active with the sender of its role ("r-a1" with "s-a1").
void scriptNode(TestHttpServer *node, const QList<Essence> &essences)
{
    const bool senders = essences.first().id.startsWith('s');
    const QByteArray kind = senders ? "senders" : "receivers";
    QJsonArray flows, list;
    QStringList ids;
    for (const Essence &e : essences) {
        const QString urn = "urn:x-nmos:format:" + formatOf(e.id);
        list << (senders ? senderOf(*node, e) : receiverJson(e.id, e.label, urn, tagsOf(e.id)));
        flows << flowJson("f-" + e.id, urn);
        ids << e.id;
        node->setReply("GET", nodePath("/" + kind + "/" + e.id.toUtf8()), Reply::json(list.last().toObject()));
        node->setReply("PATCH", staged(kind, e.id), Reply::json(QJsonObject()));
        node->setReply("GET", "/sdp/" + e.id.toUtf8(), Reply::text(sdpOf(e.id), 200, "application/sdp"));
        node->setReply("GET", staged(kind, e.id), stagedFile(QString::fromUtf8(sdpOf("from-" + e.id))));
        if (!senders)
            node->setReply("GET", active(e.id), activeReply("s" + e.id.mid(e.id.indexOf('-'))));
    }
    const QJsonObject device = deviceJson("device-1", senders ? ids : QStringList(), senders ? QStringList() : ids);
    node->setReply("GET", nodePath("/devices/"), Reply::json(QJsonArray{device}));
    node->setReply("GET", nodePath("/flows/"), Reply::json(flows));
    node->setReply("GET", nodePath("/" + kind + "/"), Reply::json(list));
}

// A main window with its rows filled from the two nodes, as discovery would fill them, and
// "Cam 1" and "Monitor 1" chosen. It records every dialog as it is shown and closes it from
// its own modal loop, so that a test never waits on a box.
struct Fixture : QObject
{
    TestHttpServer tx, rx;
    // Where both rows point once a run has begun; no request of the run may reach it.
    TestHttpServer elsewhere;
    MainWindow window;
    QComboBox *txCombo = nullptr, *rxCombo = nullptr;
    QList<QPushButton *> controls; // indexed by Control
    QList<QStringList> shown; // kind ("warning", "sdp"...), title and text of each box or dialog
    QNetworkAccessManager *manager = nullptr;

    Fixture() { qApp->installEventFilter(this); }
    ~Fixture() override { qApp->removeEventFilter(this); }

    bool setUp(const QList<Essence> &senders, const QList<Essence> &receivers)
    {
        // In the window's order: the transmitter row's, the receiver row's, then the bar's.
        controls = window.findChildren<QPushButton *>().mid(0, 4);
        const auto combos = window.findChildren<QComboBox *>();
        const auto *client = window.findChild<NmosClient *>();
        manager = client ? client->findChild<QNetworkAccessManager *>() : nullptr;
        if (!tx.start() || !rx.start() || !elsewhere.start() || combos.size() != 2 || controls.size() != 4 || !manager
            || controls[Connect]->text() != "Connect (Tx->Rx)" || controls[Disconnect]->text() != "Disconnect Rx")
            return false;
        scriptNode(&tx, senders);
        scriptNode(&rx, receivers);
        txCombo = combos.at(0);
        rxCombo = combos.at(1);
        for (const auto &[name, node] : {std::pair("camera", &tx), std::pair("monitor", &rx)}) {
            QMetaObject::invokeMethod(&window, "onMdnsDeviceFound", Qt::DirectConnection, Q_ARG(QString, name),
                                      Q_ARG(QUrl, QUrl("http://" + node->address())), Q_ARG(QJsonDocument, {}));
        }
        choose(txCombo, "Cam 1");
        choose(rxCombo, "Monitor 1");
        clearRequests();
        return true;
    }

    // Makes the entry of that label current, as the operator's choice would.
    void choose(QComboBox *combo, const QString &label)
    {
        combo->setCurrentIndex(combo->findText('-' + label + ')', Qt::MatchEndsWith));
    }

    void clearRequests() { tx.clearRequests(), rx.clearRequests(); }
    // Of the four controls and the two combos.
    int enabledCount() const
    {
        QList<QWidget *> widgets{txCombo, rxCombo};
        widgets += QList<QWidget *>(controls.begin(), controls.end());
        return std::count_if(widgets.begin(), widgets.end(), [](QWidget *w) { return w && w->isEnabled(); });
    }

    // Makes both rows point at the node `elsewhere`, as a choice or a discovery landing
    // while a run waits would.
    void pointElsewhere()
    {
        const NmosClient::SenderConnection sender{"s-v1", "Cam 1", elsewhere.url("/sdp/s-v1"), {elsewhere.address()}, "elsewhere"};
        const NmosClient::ReceiverConnection receiver{"r-v1", "Monitor 1", {elsewhere.address()}, "elsewhere"};
        for (const auto &[combo, record] : {std::pair(txCombo, QVariant::fromValue(sender)),
                                            std::pair(rxCombo, QVariant::fromValue(receiver))}) {
            // Without the row's own check, which would ask `elsewhere` for its list.
            const QSignalBlocker blocker(combo);
            combo->addItem("elsewhere", record);
            combo->setCurrentIndex(combo->count() - 1);
        }
    }

    // Clicks a control. Every reply of the run must come while the controls and combos are off
    // under a wait cursor, a second run tried from inside the first must send nothing, and a
    // selection changed after the first reply must not move the run to another node.
    void run(Control control)
    {
        int replies = 0;
        const auto hook = connect(manager, &QNetworkAccessManager::finished, &window, [this, &replies] {
            const QCursor *cursor = QGuiApplication::overrideCursor();
            QVERIFY(cursor && cursor->shape() == Qt::WaitCursor && enabledCount() == 0);
            if (++replies > 1)
                return;
            for (const char *slot : {"doConnect", "doDisconnect", "showTxSdp", "showRxSdp"})
                QMetaObject::invokeMethod(&window, slot, Qt::DirectConnection);
            pointElsewhere();
        });
        controls[control]->click();
        disconnect(hook);
        // Not fewer replies than requests served: the hook saw the whole run.
        QVERIFY(replies >= tx.requestCount() + rx.requestCount());
        QCOMPARE(elsewhere.requestLines(), QStringList());
        QVERIFY(!QGuiApplication::overrideCursor());
        QCOMPARE(enabledCount(), 6);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (event->type() != QEvent::Show || !dialog || !dialog->isWindow())
            return false;
        // Over the window, with the controls and the cursor given back before it comes up.
        bool sound = dialog->parentWidget() == &window && !QGuiApplication::overrideCursor() && enabledCount() == 6;
        QString kind = "other", text;
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            kind = QStringList{"", "information", "warning", "critical", "question"}.value(box->icon());
            text = box->text();
            // A node's text is never markup, and a box offers OK alone.
            const auto buttons = box->buttons();
            sound = sound && box->textFormat() == Qt::PlainText && buttons.size() == 1
                    && box->standardButton(buttons.first()) == QMessageBox::Ok;
        } else if (auto *sdp = qobject_cast<SdpDialog *>(dialog)) {
            kind = "sdp";
            text = sdp->text();
        }
        [sound] { QVERIFY2(sound, "a box or dialog made or timed wrongly"); }();
        shown << QStringList{kind, dialog->windowTitle(), text};
        QTimer::singleShot(0, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        return false;
    }

    // The run showed exactly one box or dialog, whose whole text matches `pattern`.
    void verifyOneShown(const QString &kind, const QString &title, const QString &pattern) const
    {
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].mid(0, 2), (QStringList{kind, title}));
        const QRegularExpression text("\\A(?:" + pattern + ")\\z", QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(text.match(shown[0][2]).hasMatch(), qPrintable(shown[0][2]));
    }
};

} // namespace

void tst_Workflows::initTestCase()
{
    // The main window starts node discovery, which sends mDNS queries.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
}

void tst_Workflows::connectPatchesPairsInOrder_data()
{
    QTest::addColumn<QList<int>>("sizes"); // audio and data senders, audio and data receivers
    QTest::addColumn<QStringList>("pairs"); // "sender>receiver" in order; "sender>" when its lookup fails
    QTest::addColumn<QStringList>("actives"); // "receiver=sender" reported active; "=!500": unreadable
    QTest::addColumn<QString>("summary"); // without actives, a row with one has every member PATCH refused

    const QStringList full{"s-v1>r-v1", "s-a1>r-a1", "s-a2>r-a2", "s-d1>r-d1"};
    const QList<int> sizes{2, 1, 2, 1};
    QTest::newRow("two audio, one anc") << sizes << full << QStringList() << QString();
    QTest::newRow("more audio senders") << QList<int>{2, 1, 1, 0} << QStringList(full.mid(0, 2)) << QStringList()
                                        << QString();
    QTest::newRow("video only") << QList<int>{0, 0, 2, 1} << QStringList(full.mid(0, 1)) << QStringList() << QString();
    // The failed sender lookup ends its pair before the receiver is looked up, silently.
    QTest::newRow("audio lookup fails") << sizes << QStringList{"s-v1>r-v1", "s-a1>", "s-a2>r-a2", "s-d1>r-d1"}
                                        << QStringList() << QString();
    // Accepted is not done: each pair's receiver must report itself on, fed by its sender.
    QTest::newRow("audio keeps another sender")
        << sizes << full << QStringList{"r-a2=s-a1"}
        << QStringLiteral("Patch failed on audio:\nNot active: the receiver reports sender s-a1 with master_enable true\n");
    QTest::newRow("anc not activated")
        << sizes << full << QStringList{"r-d1="}
        << QStringLiteral("Patch failed on anc:\nNot active: the receiver reports sender none with master_enable false\n");
    // %rx: the receiving node's address.
    QTest::newRow("audio active unreadable")
        << sizes << full << QStringList{"r-a1=!500"}
        << QStringLiteral("Patch failed on audio:\nError transferring http://%rx/x-nmos/connection/v1.1/single/receivers/"
                          "r-a1/active - server replied: Internal Server Error\n");
    // Every member is still patched; one box lists the failures, each entry ending in a line
    // break and naming its own refusal, even one that the network layer takes for no error.
    QTest::newRow("member patches refused")
        << sizes << full << QStringList()
        << QStringLiteral("Patch failed on audio:\nHTTP 400: r-a1 cannot take s-a1\nPatch failed on audio:\nHTTP 302\n"
                          "Patch failed on anc:\nHTTP 500\n");
}

void tst_Workflows::connectPatchesPairsInOrder()
{
    QFETCH(QList<int>, sizes);
    QFETCH(QStringList, pairs);
    QFETCH(QStringList, actives);
    QFETCH(QString, summary);

    Fixture f;
    QVERIFY(f.setUp(camera(sizes[0], sizes[1]), monitor(sizes[2], sizes[3])));
    const bool refused = actives.isEmpty() && !summary.isEmpty();
    if (refused) {
        const QJsonObject reason{{"code", 400}, {"error", "r-a1 cannot take s-a1"}, {"debug", QJsonValue()}};
        f.rx.setReply("PATCH", staged("receivers", "r-a1"), Reply::json(reason, 400));
        f.rx.setReply("PATCH", staged("receivers", "r-a2"), Reply::redirect(302, "/elsewhere"));
        f.rx.setReply("PATCH", staged("receivers", "r-d1"), Reply::empty(500));
    }
    for (const QString &reported : actives) {
        const QString senderId = reported.section('=', 1);
        f.rx.setReply("GET", active(reported.section('=', 0, 0)),
                      senderId == "!500" ? Reply::empty(500) : activeReply(senderId));
    }
    if (pairs.contains("s-a1>")) {
        // The first audio pair's sender lookup fails; the video lookup and the group's succeed.
        QJsonArray all;
        for (const Essence &sender : camera())
            all << senderOf(f.tx, sender);
        for (const Reply &reply : {Reply::json(all), Reply::empty(500), Reply::json(all)})
            f.tx.addReply("GET", nodePath("/senders/"), reply);
    }

    f.run(Connect);

    // Groups are looked up before the video patch; each member pair afresh before its own.
    QStringList tx = TxLookups, rx = RxLookups;
    const auto requests = f.rx.requests();
    for (int i = 0; i < pairs.size(); ++i) {
        const QString senderId = pairs[i].section('>', 0, 0), receiverId = pairs[i].section('>', 1);
        if (i > 0)
            tx << GetSenders;
        if (receiverId.isEmpty())
            continue;
        if (i > 0)
            rx << GetReceivers;
        tx << get("/sdp/" + senderId.toUtf8());
        rx << patch(staged("receivers", receiverId));
        const QJsonObject body = QJsonDocument::fromJson(requests.value(rx.size() - 1).body).object();
        // Each accepted patch is checked at once, before the next pair is looked up.
        if (i == 0 || !refused)
            rx << get(active(receiverId));
        QCOMPARE(body.value("sender_id").toString(), senderId);
        QCOMPARE(body.value("master_enable").toBool(), true);
        QCOMPARE(body.value("transport_file")["data"].toString(), QString::fromUtf8(sdpOf(senderId)));
    }
    QCOMPARE(f.tx.requestLines(), tx);
    QCOMPARE(f.rx.requestLines(), rx);
    QCOMPARE(f.shown.size(), summary.isEmpty() ? 0 : 1);
    if (!summary.isEmpty())
        f.verifyOneShown("information", "Connect", QRegularExpression::escape(QString(summary).replace("%rx", f.rx.address())));
}

void tst_Workflows::disconnectTakesDownChosenReceiver_data()
{
    QTest::addColumn<bool>("withRecordId");
    QTest::addColumn<QStringList>("takenDown");

    // The second video receiver is chosen; the node lists the first one before it.
    QTest::newRow("chosen receiver") << true << QStringList{"r2-v1", "r2-a1", "r2-d1"};
    QTest::newRow("record without id") << false << QStringList{"r-v1", "r-a1", "r-a2", "r-d1"};
}

void tst_Workflows::disconnectTakesDownChosenReceiver()
{
    QFETCH(bool, withRecordId);
    QFETCH(QStringList, takenDown);

    Fixture f;
    QVERIFY(f.setUp(camera(), monitor() + group("r2", "Monitor 2", 1, 1)));
    if (withRecordId) {
        f.choose(f.rxCombo, "Monitor 2");
    } else {
        const NmosClient::ReceiverConnection record{QString(), "Monitor 2", {f.rx.address()}, "hand-made"};
        f.rxCombo->addItem(record.displayName, QVariant::fromValue(record));
        f.rxCombo->setCurrentIndex(f.rxCombo->count() - 1);
    }
    for (const QString &id : takenDown)
        f.rx.setReply("GET", active(id), activeReply(QString()));
    f.clearRequests();

    f.run(Disconnect);

    QCOMPARE(f.shown.size(), 0);
    QCOMPARE(f.tx.requestCount(), 0);
    // No group lookup before the video receiver is down; then each member afresh before its PATCH.
    QStringList rx{GetReceivers, patch(staged("receivers", takenDown[0])), get(active(takenDown[0])), GetDevices,
                   get(nodePath("/receivers/" + takenDown[0].toUtf8())), GetReceivers};
    for (const QString &id : takenDown.mid(1))
        rx << GetReceivers << patch(staged("receivers", id)) << get(active(id));
    QCOMPARE(f.rx.requestLines(), rx);
    // Each PATCH switches its receiver off and names no sender.
    for (const auto &request : f.rx.requests()) {
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QVERIFY(request.method != "PATCH" || (body.value("master_enable") == false && !body.contains("sender_id")));
    }
}

void tst_Workflows::viewerShowsVideoThenMembers_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("videoLabel");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("shownIds"); // whose transport files fill the text, in order

    const QStringList senders{"s-v1", "s-a1", "s-a3", "s-d1"};
    // Named after the video sender, not after the last member looked up.
    QTest::newRow("transmitter") << int(TxSdp) << "Cam 1" << "SDP \u2022 Sender Cam 1" << senders;
    QTest::newRow("transmitter, empty label") << int(TxSdp) << "" << "SDP \u2022 Sender " << senders;
    QTest::newRow("receiver") << int(RxSdp) << "Cam 1" << "SDP \u2022 Sender Monitor 1 (from receiver node)"
                              << QStringList{"from-r-v1", "from-r-a1", "from-r-d1"};
}

void tst_Workflows::viewerShowsVideoThenMembers()
{
    QFETCH(int, button);
    QFETCH(QString, videoLabel);
    QFETCH(QString, title);
    QFETCH(QStringList, shownIds);

    Fixture f;
    QVERIFY(f.setUp(group("s", videoLabel, 3, 1), monitor()));
    // The second audio sender publishes nothing, not even once activated; the third only then.
    f.tx.setReply("GET", "/sdp/s-a2", Reply::empty(404));
    f.tx.setReply("PATCH", staged("senders", "s-a2"), Reply::empty(500));
    f.tx.setReply("GET", "/sdp/s-a3", Reply::empty(404));
    f.tx.addReply("GET", "/sdp/s-a3", Reply::text(sdpOf("s-a3")));
    f.rx.setReply("GET", staged("receivers", "r-a2"), stagedFile(QJsonValue::Null));
    if (videoLabel.isEmpty()) {
        // Discovery does not list a sender without a label, so the entry is made here.
        const NmosClient::SenderConnection record{"s-v1", QString(), f.tx.url("/sdp/s-v1"), {f.tx.address()}, "none"};
        f.txCombo->addItem(record.displayName, QVariant::fromValue(record));
        f.txCombo->setCurrentIndex(f.txCombo->count() - 1);
        f.clearRequests();
    }

    f.run(Control(button));

    QString text;
    for (const QString &id : shownIds)
        text += QString::fromUtf8(sdpOf(id)) + "\n\n\n";
    f.verifyOneShown("sdp", title, QRegularExpression::escape(text));
    // Only the senders whose file could not be read at once were activated.
    const QStringList activated{patch(staged("senders", "s-a2")), patch(staged("senders", "s-a3"))};
    QCOMPARE(f.tx.requestLines().filter("PATCH "), button == TxSdp ? activated : QStringList());
    QVERIFY(f.rx.requestLines().filter("PATCH ").isEmpty());
    QCOMPARE((button == TxSdp ? f.rx : f.tx).requestCount(), 0);
}

void tst_Workflows::endsOnVideoFailure_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QStringList>("box"); // kind, title and a pattern of the text
    QTest::addColumn<QStringList>("txRequests");
    QTest::addColumn<QStringList>("rxRequests");

    // The row's name after the colon names the failure.
    const auto row = [](const char *name, Control button, const QString &kind, const QString &title,
                        const QString &text, const QStringList &tx, const QStringList &rx) {
        QTest::newRow(name) << int(button) << QStringList{kind, title, text} << tx << rx;
    };
    const auto literal = [](const char *text) { return QRegularExpression::escape(text); };
    const QString refused = "Patch failed on video:\\nHTTP 500";
    const QString rxPatch = patch(staged("receivers", "r-v1"));

    row("connect: entry without record", Connect, "warning", "Connect",
        literal("No video sender found on transmitter node."), {}, {});
    row("connect: no video receiver", Connect, "warning", "Connect",
        literal("No video receiver found on receiver node."),
        {GetSenders}, {GetReceivers});
    // The group lookups come before the video patch; nothing comes after it.
    row("connect: video patch refused", Connect, "critical", "Connect", refused,
        TxLookups + QStringList{get("/sdp/s-v1")}, RxLookups + QStringList{rxPatch});
    // Unlike connect, no group lookup has been made when the video patch fails.
    row("disconnect: video patch refused", Disconnect, "critical", "Disconnect", refused, {},
        {GetReceivers, rxPatch});
    // An accepted patch that the receiver does not run fails the video pair all the same.
    row("connect: video not activated", Connect, "critical", "Connect",
        literal("Patch failed on video:\nNot active: the receiver reports sender none with master_enable false"),
        TxLookups + QStringList{get("/sdp/s-v1")}, RxLookups + QStringList{rxPatch, get(active("r-v1"))});
    row("disconnect: video stays on", Disconnect, "critical", "Disconnect",
        literal("Patch failed on video:\nNot active: the receiver reports sender s-v1 with master_enable true"), {},
        {GetReceivers, rxPatch, get(active("r-v1"))});
    row("sender SDP: entry without record", TxSdp, "warning", "No Sender",
        literal("No sender found on transmitter node."), {}, {});
    row("sender SDP: file unreadable", TxSdp, "warning", "SDP", literal("Failed to fetch SDP from sender."),
        {GetSenders, get("/sdp/s-v1"), patch(staged("senders", "s-v1"))}, {});
    row("receiver SDP: no video receiver", RxSdp, "information", "Info",
        literal("No senders on the receiver node to display SDP from."), {}, {GetReceivers});
    row("receiver SDP: nothing staged", RxSdp, "warning", "SDP",
        literal("Nothing is connected/Failed to fetch SDP."), {}, {GetReceivers, get(staged("receivers", "r-v1"))});
}

void tst_Workflows::endsOnVideoFailure()
{
    QFETCH(int, button);
    const QString failure = QString::fromUtf8(QTest::currentDataTag()).section(": ", 1);
    QFETCH(QStringList, box);
    QFETCH(QStringList, txRequests);
    QFETCH(QStringList, rxRequests);

    Fixture f;
    QVERIFY(f.setUp(camera(), monitor()));
    if (failure == "entry without record") {
        f.txCombo->setCurrentIndex(-1);
        f.txCombo->setEditText("10.0.0.2");
    } else if (failure == "no video receiver") {
        scriptNode(&f.rx, monitor().mid(1));
    } else if (failure == "video patch refused") {
        f.rx.setReply("PATCH", staged("receivers", "r-v1"), Reply::empty(500));
    } else if (failure == "video not activated") {
        f.rx.setReply("GET", active("r-v1"), activeReply(QString()));
    } else if (failure == "file unreadable") {
        f.tx.setReply("GET", "/sdp/s-v1", Reply::empty(404));
        f.tx.setReply("PATCH", staged("senders", "s-v1"), Reply::empty(500));
    } else if (failure == "nothing staged") {
        f.rx.setReply("GET", staged("receivers", "r-v1"), stagedFile(QJsonValue::Null));
    }
    f.clearRequests();

    f.run(Control(button));

    f.verifyOneShown(box[0], box[1], box[2]);
    QCOMPARE(f.tx.requestLines(), txRequests);
    QCOMPARE(f.rx.requestLines(), rxRequests);
}

QTEST_MAIN(tst_Workflows)
#include "tst_workflows.moc"
