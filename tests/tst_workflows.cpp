#include "app/mainwindow.h"
#include "app/sdpdialog.h"
#include "nmos/nmosclient.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QBoxLayout>
#include <QClipboard>
#include <QComboBox>
#include <QJsonDocument>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
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
    void connectPatchesVideoThenMembersInOrder();
    void connectPairsMembersByPosition_data();
    void connectPairsMembersByPosition();
    void connectSkipsPairWhoseLookupFails();
    void connectSummarisesMemberFailuresInOneBox();
    void disconnectTakesDownChosenReceiver_data();
    void disconnectTakesDownChosenReceiver();
    void transmitterSdpShowsVideoThenMembers();
    void receiverSdpShowsStagedFiles();
    void sdpTitleKeepsEmptyLabel();
    void endsOnVideoFailure_data();
    void endsOnVideoFailure();
    void runHoldsControlsAndCursor_data();
    void runHoldsControlsAndCursor();
};

namespace {

const QByteArray NodeApi = "/x-nmos/node/v1.3";
const QByteArray ConnectionApi = "/x-nmos/connection/v1.1";
const QString GroupHint = QStringLiteral("urn:x-nmos:tag:grouphint/v1.0");

// One sender or receiver of a scripted node.
struct Essence
{
    QString id;
    QString format; // "video", "audio" or "data"
    QString group;
    QString label;
};

QByteArray sdpOf(const QString &id)
{
    return "v=0\r\no=- 1 1 IN IP4 10.77.0.1\r\ns=" + id.toUtf8() + "\r\nt=0 0\r\n";
}

QJsonObject tagsFor(const Essence &essence)
{
    return QJsonObject{{GroupHint, QJsonArray{essence.group + QLatin1Char(':') + essence.format}}};
}

QString labelOf(const Essence &essence)
{
    return essence.label.isNull() ? essence.id : essence.label;
}

QByteArray senderStaged(const QString &id)
{
    return ConnectionApi + "/single/senders/" + id.toUtf8() + "/staged";
}

QByteArray receiverStaged(const QString &id)
{
    return ConnectionApi + "/single/receivers/" + id.toUtf8() + "/staged";
}

QJsonObject senderObject(const TestHttpServer &node, const Essence &s)
{
    return QJsonObject{{QStringLiteral("id"), s.id},
                       {QStringLiteral("label"), labelOf(s)},
                       {QStringLiteral("flow_id"), QStringLiteral("f-") + s.id},
                       {QStringLiteral("manifest_href"), node.url(QStringLiteral("/sdp/") + s.id)},
                       {QStringLiteral("tags"), tagsFor(s)}};
}

// Scripts a node with one device holding the given senders and receivers. Every transport
// file is readable, every staged endpoint accepts a PATCH and reads back the sender's SDP.
void scriptNode(TestHttpServer *node, const QList<Essence> &senders, const QList<Essence> &receivers)
{
    using Reply = TestHttpServer::Reply;
    QJsonArray flowList;
    QJsonArray senderList;
    QJsonArray senderIds;
    for (const Essence &s : senders) {
        const QString flowId = QStringLiteral("f-") + s.id;
        flowList << QJsonObject{{QStringLiteral("id"), flowId},
                                {QStringLiteral("format"), QStringLiteral("urn:x-nmos:format:") + s.format}};
        const QJsonObject sender = senderObject(*node, s);
        senderList << sender;
        senderIds << s.id;
        node->setReply("GET", NodeApi + "/senders/" + s.id.toUtf8(), Reply::json(sender));
        node->setReply("GET", "/sdp/" + s.id.toUtf8(), Reply::text(sdpOf(s.id), 200, "application/sdp"));
        node->setReply("PATCH", senderStaged(s.id), Reply::json(QJsonObject()));
    }
    QJsonArray receiverList;
    QJsonArray receiverIds;
    for (const Essence &r : receivers) {
        const QJsonObject receiver{{QStringLiteral("id"), r.id},
                                   {QStringLiteral("label"), labelOf(r)},
                                   {QStringLiteral("format"), QStringLiteral("urn:x-nmos:format:") + r.format},
                                   {QStringLiteral("tags"), tagsFor(r)}};
        receiverList << receiver;
        receiverIds << r.id;
        node->setReply("GET", NodeApi + "/receivers/" + r.id.toUtf8(), Reply::json(receiver));
        node->setReply("PATCH", receiverStaged(r.id), Reply::json(QJsonObject()));
        const QJsonObject file{{QStringLiteral("data"), QString::fromUtf8(sdpOf(QStringLiteral("from-") + r.id))},
                               {QStringLiteral("type"), QStringLiteral("application/sdp")}};
        node->setReply("GET", receiverStaged(r.id),
                       Reply::json(QJsonObject{{QStringLiteral("transport_file"), file}}));
    }
    const QJsonObject device{{QStringLiteral("id"), QStringLiteral("device-1")},
                             {QStringLiteral("senders"), senderIds},
                             {QStringLiteral("receivers"), receiverIds}};
    node->setReply("GET", NodeApi + "/devices/", Reply::json(QJsonArray{device}));
    node->setReply("GET", NodeApi + "/flows/", Reply::json(flowList));
    node->setReply("GET", NodeApi + "/senders/", Reply::json(senderList));
    node->setReply("GET", NodeApi + "/receivers/", Reply::json(receiverList));
}

QList<Essence> cameraSenders(int audio = 2, int data = 1)
{
    QList<Essence> senders{{QStringLiteral("s-v1"), QStringLiteral("video"), QStringLiteral("Cam"),
                            QStringLiteral("Cam 1")}};
    for (int i = 1; i <= audio; ++i)
        senders << Essence{QStringLiteral("s-a%1").arg(i), QStringLiteral("audio"), QStringLiteral("Cam"), {}};
    for (int i = 1; i <= data; ++i)
        senders << Essence{QStringLiteral("s-d%1").arg(i), QStringLiteral("data"), QStringLiteral("Cam"), {}};
    return senders;
}

QList<Essence> monitorReceivers(int audio = 2, int data = 1)
{
    QList<Essence> receivers{{QStringLiteral("r-v1"), QStringLiteral("video"), QStringLiteral("Mon"),
                              QStringLiteral("Monitor 1")}};
    for (int i = 1; i <= audio; ++i)
        receivers << Essence{QStringLiteral("r-a%1").arg(i), QStringLiteral("audio"), QStringLiteral("Mon"), {}};
    for (int i = 1; i <= data; ++i)
        receivers << Essence{QStringLiteral("r-d%1").arg(i), QStringLiteral("data"), QStringLiteral("Mon"), {}};
    return receivers;
}

QString get(const QByteArray &path)
{
    return QStringLiteral("GET ") + QString::fromUtf8(path);
}

QString patch(const QByteArray &path)
{
    return QStringLiteral("PATCH ") + QString::fromUtf8(path);
}

QJsonObject bodyOf(const TestHttpServer::Request &request)
{
    return QJsonDocument::fromJson(request.body).object();
}

QList<TestHttpServer::Request> patches(const TestHttpServer &node)
{
    QList<TestHttpServer::Request> result;
    const auto requests = node.requests();
    for (const auto &request : requests) {
        if (request.method == "PATCH")
            result << request;
    }
    return result;
}

// What one message box or dialog looked like when it came up.
struct Shown
{
    QString kind; // "warning", "critical", "information", "question" or "sdp"
    QString title;
    QString text;
    bool plainText = false;
    QWidget *parent = nullptr;
    bool singleOk = false;
    bool controlsEnabled = false;
    bool waitCursor = false;
};

// Records every dialog as it is shown and closes it from its own modal loop, so that a
// test never waits on a box.
class DialogCatcher : public QObject
{
public:
    explicit DialogCatcher(const QList<QPushButton *> &controls)
        : m_controls(controls)
    {
        qApp->installEventFilter(this);
    }
    ~DialogCatcher() override { qApp->removeEventFilter(this); }

    QList<Shown> shown;
    // Runs on an SDP dialog while it is open.
    std::function<void(SdpDialog *)> onSdpDialog;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show)
            return false;
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (!dialog || !dialog->isWindow())
            return false;
        Shown record;
        record.parent = dialog->parentWidget();
        record.title = dialog->windowTitle();
        record.controlsEnabled = std::all_of(m_controls.cbegin(), m_controls.cend(),
                                             [](QPushButton *b) { return b->isEnabled(); });
        record.waitCursor = QGuiApplication::overrideCursor() != nullptr;
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            static const QHash<int, QString> kinds{{QMessageBox::Warning, QStringLiteral("warning")},
                                                   {QMessageBox::Critical, QStringLiteral("critical")},
                                                   {QMessageBox::Information, QStringLiteral("information")},
                                                   {QMessageBox::Question, QStringLiteral("question")}};
            record.kind = kinds.value(box->icon(), QStringLiteral("other"));
            record.text = box->text();
            record.plainText = box->textFormat() == Qt::PlainText;
            const auto buttons = box->buttons();
            record.singleOk = buttons.size() == 1 && box->standardButton(buttons.first()) == QMessageBox::Ok;
        } else if (auto *sdp = qobject_cast<SdpDialog *>(dialog)) {
            record.kind = QStringLiteral("sdp");
            record.text = sdp->text();
            record.plainText = true;
        }
        shown << record;
        QTimer::singleShot(0, dialog, [this, dialog] {
            if (auto *sdp = qobject_cast<SdpDialog *>(dialog); sdp && onSdpDialog)
                onSdpDialog(sdp);
            dialog->done(QDialog::Rejected);
        });
        return false;
    }

private:
    QList<QPushButton *> m_controls;
};

// A main window with its rows filled from the two nodes, as discovery would fill them.
struct Fixture
{
    TestHttpServer tx;
    TestHttpServer rx;
    MainWindow window;
    QComboBox *txCombo = nullptr;
    QComboBox *rxCombo = nullptr;
    QPushButton *txSdpButton = nullptr;
    QPushButton *rxSdpButton = nullptr;
    QPushButton *connectButton = nullptr;
    QPushButton *disconnectButton = nullptr;

    bool setUp(const QList<Essence> &senders, const QList<Essence> &receivers)
    {
        if (!tx.start() || !rx.start())
            return false;
        scriptNode(&tx, senders, {});
        scriptNode(&rx, {}, receivers);

        auto *layout = window.centralWidget()->layout();
        txCombo = layout->itemAt(0)->widget()->findChild<QComboBox *>();
        rxCombo = layout->itemAt(1)->widget()->findChild<QComboBox *>();
        const auto rowButtons = [layout](int row) {
            return layout->itemAt(row)->widget()->findChild<QPushButton *>();
        };
        txSdpButton = rowButtons(0);
        rxSdpButton = rowButtons(1);
        const auto barButtons = layout->itemAt(3)->widget()->findChildren<QPushButton *>();
        for (QPushButton *button : barButtons) {
            if (button->text() == QLatin1String("Connect (Tx->Rx)"))
                connectButton = button;
            else if (button->text() == QLatin1String("Disconnect Rx"))
                disconnectButton = button;
        }
        if (!txCombo || !rxCombo || !txSdpButton || !rxSdpButton || !connectButton || !disconnectButton)
            return false;

        discover(QStringLiteral("camera"), tx);
        discover(QStringLiteral("monitor"), rx);
        return true;
    }

    void discover(const QString &name, const TestHttpServer &node)
    {
        QMetaObject::invokeMethod(&window, "onMdnsDeviceFound", Qt::DirectConnection, Q_ARG(QString, name),
                                  Q_ARG(QUrl, QUrl(QStringLiteral("http://") + node.address())),
                                  Q_ARG(QJsonDocument, QJsonDocument()));
    }

    // Makes the entry of that label current, as the operator's choice would.
    bool choose(QComboBox *combo, const QString &node, const TestHttpServer &server, const QString &label)
    {
        const int index = combo->findText(QStringLiteral("%1 (%2-%3)").arg(node, server.address(), label));
        if (index < 0)
            return false;
        combo->setCurrentIndex(index);
        return true;
    }

    bool chooseDefaults()
    {
        const bool ok = choose(txCombo, QStringLiteral("camera"), tx, QStringLiteral("Cam 1"))
                        && choose(rxCombo, QStringLiteral("monitor"), rx, QStringLiteral("Monitor 1"));
        tx.clearRequests();
        rx.clearRequests();
        return ok;
    }

    QList<QPushButton *> controls() const { return {txSdpButton, rxSdpButton, connectButton, disconnectButton}; }

    QPushButton *button(const QString &name) const
    {
        return name == QLatin1String("connect")      ? connectButton
               : name == QLatin1String("disconnect") ? disconnectButton
               : name == QLatin1String("txsdp")      ? txSdpButton
                                                     : rxSdpButton;
    }
};

QStringList connectSequenceOnTransmitter()
{
    return {get(NodeApi + "/senders/"),
            get(NodeApi + "/devices/"),
            get(NodeApi + "/senders/s-v1"),
            get(NodeApi + "/senders/"),
            get(NodeApi + "/flows/"),
            get("/sdp/s-v1"),
            get(NodeApi + "/senders/"),
            get("/sdp/s-a1"),
            get(NodeApi + "/senders/"),
            get("/sdp/s-a2"),
            get(NodeApi + "/senders/"),
            get("/sdp/s-d1")};
}

} // namespace

void tst_Workflows::initTestCase()
{
    // The main window starts node discovery, which sends mDNS queries.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
}

void tst_Workflows::connectPatchesVideoThenMembersInOrder()
{
    Fixture f;
    QVERIFY(f.setUp(cameraSenders(), monitorReceivers()));
    QVERIFY(f.chooseDefaults());
    DialogCatcher catcher(f.controls());

    f.connectButton->click();

    QCOMPARE(catcher.shown.size(), 0);
    // Groups are looked up before any patch; each member is looked up afresh before its own.
    QCOMPARE(f.tx.requestLines(), connectSequenceOnTransmitter());
    QCOMPARE(f.rx.requestLines(), (QStringList{get(NodeApi + "/receivers/"),
                                               get(NodeApi + "/devices/"),
                                               get(NodeApi + "/receivers/r-v1"),
                                               get(NodeApi + "/receivers/"),
                                               patch(receiverStaged(QStringLiteral("r-v1"))),
                                               get(NodeApi + "/receivers/"),
                                               patch(receiverStaged(QStringLiteral("r-a1"))),
                                               get(NodeApi + "/receivers/"),
                                               patch(receiverStaged(QStringLiteral("r-a2"))),
                                               get(NodeApi + "/receivers/"),
                                               patch(receiverStaged(QStringLiteral("r-d1")))}));

    const auto sent = patches(f.rx);
    const QStringList pairedSenders{QStringLiteral("s-v1"), QStringLiteral("s-a1"), QStringLiteral("s-a2"),
                                    QStringLiteral("s-d1")};
    QCOMPARE(sent.size(), pairedSenders.size());
    for (int i = 0; i < sent.size(); ++i) {
        const QJsonObject body = bodyOf(sent.at(i));
        QCOMPARE(body.value(QLatin1String("sender_id")).toString(), pairedSenders.at(i));
        QCOMPARE(body.value(QLatin1String("master_enable")).toBool(), true);
        QCOMPARE(body.value(QLatin1String("transport_file")).toObject().value(QLatin1String("data")).toString(),
                 QString::fromUtf8(sdpOf(pairedSenders.at(i))));
    }
}

void tst_Workflows::connectPairsMembersByPosition_data()
{
    QTest::addColumn<int>("senderAudio");
    QTest::addColumn<int>("senderData");
    QTest::addColumn<int>("receiverAudio");
    QTest::addColumn<int>("receiverData");
    QTest::addColumn<QStringList>("pairs"); // "sender>receiver" in patch order

    QTest::newRow("more audio senders") << 2 << 1 << 1 << 0
                                        << QStringList{QStringLiteral("s-v1>r-v1"), QStringLiteral("s-a1>r-a1")};
    QTest::newRow("more audio receivers")
        << 1 << 1 << 3 << 1
        << QStringList{QStringLiteral("s-v1>r-v1"), QStringLiteral("s-a1>r-a1"), QStringLiteral("s-d1>r-d1")};
    QTest::newRow("video only") << 0 << 0 << 2 << 1 << QStringList{QStringLiteral("s-v1>r-v1")};
    QTest::newRow("two of each")
        << 2 << 2 << 2 << 2
        << QStringList{QStringLiteral("s-v1>r-v1"), QStringLiteral("s-a1>r-a1"), QStringLiteral("s-a2>r-a2"),
                       QStringLiteral("s-d1>r-d1"), QStringLiteral("s-d2>r-d2")};
}

void tst_Workflows::connectPairsMembersByPosition()
{
    QFETCH(int, senderAudio);
    QFETCH(int, senderData);
    QFETCH(int, receiverAudio);
    QFETCH(int, receiverData);
    QFETCH(QStringList, pairs);

    Fixture f;
    QVERIFY(f.setUp(cameraSenders(senderAudio, senderData), monitorReceivers(receiverAudio, receiverData)));
    QVERIFY(f.chooseDefaults());
    DialogCatcher catcher(f.controls());

    f.connectButton->click();

    QCOMPARE(catcher.shown.size(), 0);
    QStringList patched;
    const auto sent = patches(f.rx);
    for (const auto &request : sent) {
        const QString receiver = QString::fromUtf8(request.path).section(QLatin1Char('/'), -2, -2);
        patched << bodyOf(request).value(QLatin1String("sender_id")).toString() + QLatin1Char('>') + receiver;
    }
    QCOMPARE(patched, pairs);
    // A member beyond the shorter list is not even looked at.
    const int memberPairs = pairs.size() - 1;
    QCOMPARE(f.tx.requestLines().count(get(NodeApi + "/senders/")), 2 + memberPairs);
    QCOMPARE(f.rx.requestLines().count(get(NodeApi + "/receivers/")), 2 + memberPairs);
}

void tst_Workflows::connectSkipsPairWhoseLookupFails()
{
    using Reply = TestHttpServer::Reply;
    Fixture f;
    QVERIFY(f.setUp(cameraSenders(), monitorReceivers()));
    QVERIFY(f.chooseDefaults());

    // The first audio sender disappears from the node right before its pair is looked up.
    QJsonArray all;
    QJsonArray withoutFirstAudio;
    for (const Essence &sender : cameraSenders()) {
        all << senderObject(f.tx, sender);
        if (sender.id != QLatin1String("s-a1"))
            withoutFirstAudio << senderObject(f.tx, sender);
    }
    const QByteArray senders = NodeApi + "/senders/";
    f.tx.setReply("GET", senders, Reply::json(all));               // video lookup
    f.tx.addReply("GET", senders, Reply::json(all));               // group
    f.tx.addReply("GET", senders, Reply::json(withoutFirstAudio)); // first audio pair
    f.tx.addReply("GET", senders, Reply::json(all));               // everything after
    DialogCatcher catcher(f.controls());

    f.connectButton->click();

    QCOMPARE(catcher.shown.size(), 0);
    QVERIFY(!f.tx.requestLines().contains(get("/sdp/s-a1")));
    QStringList patched;
    const auto sent = patches(f.rx);
    for (const auto &request : sent)
        patched << bodyOf(request).value(QLatin1String("sender_id")).toString();
    QCOMPARE(patched, (QStringList{QStringLiteral("s-v1"), QStringLiteral("s-a2"), QStringLiteral("s-d1")}));
    // The failed sender lookup ends the pair before its receiver is looked up.
    QCOMPARE(f.rx.requestLines().count(get(NodeApi + "/receivers/")), 2 + 2);
}

void tst_Workflows::connectSummarisesMemberFailuresInOneBox()
{
    using Reply = TestHttpServer::Reply;
    Fixture f;
    QVERIFY(f.setUp(cameraSenders(), monitorReceivers()));
    QVERIFY(f.chooseDefaults());
    f.rx.setReply("PATCH", receiverStaged(QStringLiteral("r-a1")), Reply::empty(500));
    f.rx.setReply("PATCH", receiverStaged(QStringLiteral("r-a2")), Reply::empty(423));
    f.rx.setReply("PATCH", receiverStaged(QStringLiteral("r-d1")), Reply::empty(400));
    DialogCatcher catcher(f.controls());

    f.connectButton->click();

    QCOMPARE(catcher.shown.size(), 1);
    const Shown box = catcher.shown.first();
    QCOMPARE(box.kind, QStringLiteral("information"));
    QCOMPARE(box.title, QStringLiteral("Connect"));
    QVERIFY(box.plainText);
    QCOMPARE(box.parent, &f.window);
    QVERIFY(box.singleOk);
    // Three entries, each ending in a line break, audio first in pair order.
    const QRegularExpression summary(QStringLiteral("\\APatch failed on audio:\\n[^\\n]*r-a1[^\\n]*\\n"
                                                    "Patch failed on audio:\\n[^\\n]*r-a2[^\\n]*\\n"
                                                    "Patch failed on anc:\\n[^\\n]*r-d1[^\\n]*\\n\\z"));
    QVERIFY2(summary.match(box.text).hasMatch(), qPrintable(box.text));
    QCOMPARE(patches(f.rx).size(), 4);
}

void tst_Workflows::disconnectTakesDownChosenReceiver_data()
{
    QTest::addColumn<bool>("withRecordId");
    QTest::addColumn<QStringList>("takenDown");

    // The second video receiver is chosen; the node lists the first one before it.
    QTest::newRow("chosen receiver")
        << true << QStringList{QStringLiteral("r-v2"), QStringLiteral("r2-a1"), QStringLiteral("r2-d1")};
    QTest::newRow("record without id")
        << false
        << QStringList{QStringLiteral("r-v1"), QStringLiteral("r-a1"), QStringLiteral("r-a2"),
                       QStringLiteral("r-d1")};
}

void tst_Workflows::disconnectTakesDownChosenReceiver()
{
    QFETCH(bool, withRecordId);
    QFETCH(QStringList, takenDown);

    Fixture f;
    QList<Essence> receivers = monitorReceivers();
    receivers << Essence{QStringLiteral("r-v2"), QStringLiteral("video"), QStringLiteral("Mon2"),
                         QStringLiteral("Monitor 2")}
              << Essence{QStringLiteral("r2-a1"), QStringLiteral("audio"), QStringLiteral("Mon2"), {}}
              << Essence{QStringLiteral("r2-d1"), QStringLiteral("data"), QStringLiteral("Mon2"), {}};
    QVERIFY(f.setUp(cameraSenders(), receivers));
    if (withRecordId) {
        QVERIFY(f.choose(f.rxCombo, QStringLiteral("monitor"), f.rx, QStringLiteral("Monitor 2")));
    } else {
        NmosClient::ReceiverConnection record{QString(), QStringLiteral("Monitor 2"), f.rx.address(),
                                              QStringLiteral("hand-made")};
        f.rxCombo->addItem(record.displayName, QVariant::fromValue(record));
        f.rxCombo->setCurrentIndex(f.rxCombo->findText(record.displayName));
    }
    f.tx.clearRequests();
    f.rx.clearRequests();
    DialogCatcher catcher(f.controls());

    f.disconnectButton->click();

    QCOMPARE(catcher.shown.size(), 0);
    QStringList patched;
    const auto sent = patches(f.rx);
    for (const auto &request : sent) {
        patched << QString::fromUtf8(request.path).section(QLatin1Char('/'), -2, -2);
        const QJsonObject body = bodyOf(request);
        QCOMPARE(body.value(QLatin1String("master_enable")).toBool(true), false);
        QVERIFY(!body.contains(QLatin1String("sender_id")));
    }
    QCOMPARE(patched, takenDown);
    QCOMPARE(f.tx.requestCount(), 0);
    // One lookup, one PATCH, three for the group, then one lookup and one PATCH per member.
    QCOMPARE(f.rx.requestCount(), 5 + 2 * (takenDown.size() - 1));
}

void tst_Workflows::transmitterSdpShowsVideoThenMembers()
{
    using Reply = TestHttpServer::Reply;
    Fixture f;
    QVERIFY(f.setUp(cameraSenders(3, 1), monitorReceivers()));
    QVERIFY(f.chooseDefaults());
    // The second audio sender publishes nothing, not even once activated.
    f.tx.setReply("GET", "/sdp/s-a2", Reply::empty(404));
    f.tx.setReply("PATCH", senderStaged(QStringLiteral("s-a2")), Reply::empty(500));
    // The third is published only after activation.
    f.tx.setReply("GET", "/sdp/s-a3", Reply::empty(404));
    f.tx.addReply("GET", "/sdp/s-a3", Reply::text(sdpOf(QStringLiteral("s-a3"))));
    DialogCatcher catcher(f.controls());
    QString copied;
    bool openAfterCopy = false;
    catcher.onSdpDialog = [&](SdpDialog *dialog) {
        QGuiApplication::clipboard()->clear();
        for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
            if (button->text() == QLatin1String("Copy SDP"))
                button->click();
        }
        copied = QGuiApplication::clipboard()->text();
        openAfterCopy = dialog->isVisible();
    };

    f.txSdpButton->click();

    QCOMPARE(catcher.shown.size(), 1);
    const Shown dialog = catcher.shown.first();
    QCOMPARE(dialog.kind, QStringLiteral("sdp"));
    // Named after the video sender, not after the last member looked up.
    QCOMPARE(dialog.title, QString::fromUtf8("SDP \u2022 Sender Cam 1"));
    QCOMPARE(dialog.parent, &f.window);
    QString expected;
    for (const char *id : {"s-v1", "s-a1", "s-a3", "s-d1"})
        expected += QString::fromUtf8(sdpOf(QLatin1String(id)) + "\n\n\n");
    QCOMPARE(dialog.text, expected);
    QCOMPARE(copied, expected);
    QVERIFY(openAfterCopy);
    // Only the senders whose file could not be read at once were activated.
    QStringList activated;
    for (const auto &request : patches(f.tx))
        activated << QString::fromUtf8(request.path);
    QCOMPARE(activated, (QStringList{QString::fromUtf8(senderStaged(QStringLiteral("s-a2"))),
                                     QString::fromUtf8(senderStaged(QStringLiteral("s-a3")))}));
    QCOMPARE(f.rx.requestCount(), 0);
}

void tst_Workflows::receiverSdpShowsStagedFiles()
{
    using Reply = TestHttpServer::Reply;
    Fixture f;
    QVERIFY(f.setUp(cameraSenders(), monitorReceivers()));
    QVERIFY(f.chooseDefaults());
    // Nothing is staged on the second audio receiver.
    const QJsonObject nothing{{QStringLiteral("transport_file"),
                               QJsonObject{{QStringLiteral("data"), QJsonValue::Null},
                                           {QStringLiteral("type"), QJsonValue::Null}}}};
    f.rx.setReply("GET", receiverStaged(QStringLiteral("r-a2")), Reply::json(nothing));
    DialogCatcher catcher(f.controls());

    f.rxSdpButton->click();

    QCOMPARE(catcher.shown.size(), 1);
    QCOMPARE(catcher.shown.first().kind, QStringLiteral("sdp"));
    QCOMPARE(catcher.shown.first().title, QString::fromUtf8("SDP \u2022 Sender Monitor 1 (from receiver node)"));
    QCOMPARE(catcher.shown.first().text,
             QString::fromUtf8(sdpOf(QStringLiteral("from-r-v1")) + "\n\n\n" + sdpOf(QStringLiteral("from-r-a1"))
                               + "\n\n\n" + sdpOf(QStringLiteral("from-r-d1")) + "\n\n\n"));
    QCOMPARE(patches(f.rx).size(), 0);
    QCOMPARE(f.tx.requestCount(), 0);
}

void tst_Workflows::sdpTitleKeepsEmptyLabel()
{
    Fixture f;
    QList<Essence> senders = cameraSenders(1, 0);
    senders[0].label = QStringLiteral("");
    QVERIFY(f.setUp(senders, monitorReceivers()));
    // Discovery does not list a sender without a label, so the entry is made here.
    QCOMPARE(f.txCombo->count(), 0);
    NmosClient::SenderConnection record{QStringLiteral("s-v1"), QString(), f.tx.url(QStringLiteral("/sdp/s-v1")),
                                        f.tx.address(), QStringLiteral("unlabelled")};
    f.txCombo->addItem(record.displayName, QVariant::fromValue(record));
    f.txCombo->setCurrentIndex(0);
    DialogCatcher catcher(f.controls());

    f.txSdpButton->click();

    QCOMPARE(catcher.shown.size(), 1);
    QCOMPARE(catcher.shown.first().kind, QStringLiteral("sdp"));
    QCOMPARE(catcher.shown.first().title, QString::fromUtf8("SDP \u2022 Sender "));
}

void tst_Workflows::endsOnVideoFailure_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text"); // a text ending in a line break is followed by the error
    QTest::addColumn<QStringList>("txRequests");
    QTest::addColumn<QStringList>("rxRequests");

    const auto row = [](const char *name, const QString &button, const QString &failure, const QString &kind,
                        const QString &title, const QString &text, const QStringList &tx, const QStringList &rx) {
        QTest::newRow(name) << button << failure << kind << title << text << tx << rx;
    };
    const QString staged = patch(receiverStaged(QStringLiteral("r-v1")));
    const QStringList rxGroup{get(NodeApi + "/devices/"), get(NodeApi + "/receivers/r-v1"),
                              get(NodeApi + "/receivers/")};
    const QString noReceiver = QStringLiteral("No video receiver found on receiver node.");

    row("connect: entry without record", "connect", "no sender entry", "warning", "Connect",
        "No video sender found on transmitter node.",
        QStringList(),
        QStringList());
    row("connect: no video receiver", "connect", "no video receiver", "warning", "Connect",
        noReceiver,
        QStringList{get(NodeApi + "/senders/")},
        QStringList{get(NodeApi + "/receivers/")});
    // The group lookups come before the video patch; nothing comes after it.
    row("connect: video patch refused", "connect", "video patch", "critical", "Connect",
        "Patch failed on video:\n",
        connectSequenceOnTransmitter().mid(0, 6),
        QStringList{get(NodeApi + "/receivers/")} + rxGroup + QStringList{staged});
    row("disconnect: no video receiver", "disconnect", "no video receiver", "warning", "Disconnect",
        noReceiver,
        QStringList(),
        QStringList{get(NodeApi + "/receivers/")});
    // Unlike connect, no group lookup has been made when the video patch fails.
    row("disconnect: video patch refused", "disconnect", "video patch", "critical", "Disconnect",
        "Patch failed on video:\n",
        QStringList(),
        QStringList{get(NodeApi + "/receivers/"), staged});
    row("sender SDP: entry without record", "txsdp", "no sender entry", "warning", "No Sender",
        "No sender found on transmitter node.",
        QStringList(),
        QStringList());
    row("sender SDP: file unreadable", "txsdp", "sender file", "warning", "SDP",
        "Failed to fetch SDP from sender.",
        QStringList{get(NodeApi + "/senders/"), get("/sdp/s-v1"), patch(senderStaged(QStringLiteral("s-v1")))},
        QStringList());
    row("receiver SDP: no video receiver", "rxsdp", "no video receiver", "information", "Info",
        "No senders on the receiver node to display SDP from.",
        QStringList(),
        QStringList{get(NodeApi + "/receivers/")});
    row("receiver SDP: nothing staged", "rxsdp", "nothing staged", "warning", "SDP",
        "Nothing is connected/Failed to fetch SDP.",
        QStringList(),
        QStringList{get(NodeApi + "/receivers/"), get(receiverStaged(QStringLiteral("r-v1")))});
}

void tst_Workflows::endsOnVideoFailure()
{
    using Reply = TestHttpServer::Reply;
    QFETCH(QString, button);
    QFETCH(QString, failure);
    QFETCH(QString, kind);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(QStringList, txRequests);
    QFETCH(QStringList, rxRequests);

    Fixture f;
    QList<Essence> receivers = monitorReceivers();
    QVERIFY(f.setUp(cameraSenders(), receivers));
    QVERIFY(f.chooseDefaults());
    if (failure == QLatin1String("no sender entry")) {
        f.txCombo->setCurrentIndex(-1);
        f.txCombo->setEditText(QStringLiteral("10.0.0.2"));
    } else if (failure == QLatin1String("no video receiver")) {
        receivers.removeFirst();
        scriptNode(&f.rx, {}, receivers);
    } else if (failure == QLatin1String("video patch")) {
        f.rx.setReply("PATCH", receiverStaged(QStringLiteral("r-v1")), Reply::empty(500));
    } else if (failure == QLatin1String("sender file")) {
        f.tx.setReply("GET", "/sdp/s-v1", Reply::empty(404));
        f.tx.setReply("PATCH", senderStaged(QStringLiteral("s-v1")), Reply::empty(500));
    } else if (failure == QLatin1String("nothing staged")) {
        const QJsonObject nothing{{QStringLiteral("transport_file"),
                                   QJsonObject{{QStringLiteral("data"), QJsonValue::Null},
                                               {QStringLiteral("type"), QJsonValue::Null}}}};
        f.rx.setReply("GET", receiverStaged(QStringLiteral("r-v1")), Reply::json(nothing));
    }
    f.tx.clearRequests();
    f.rx.clearRequests();
    DialogCatcher catcher(f.controls());

    f.button(button)->click();

    QCOMPARE(catcher.shown.size(), 1);
    const Shown box = catcher.shown.first();
    QCOMPARE(box.kind, kind);
    QCOMPARE(box.title, title);
    if (text.endsWith(QLatin1Char('\n'))) {
        // The network layer's text names the resource that refused.
        QVERIFY2(box.text.startsWith(text) && box.text.mid(text.size()).contains(QLatin1String("r-v1")),
                 qPrintable(box.text));
    } else {
        QCOMPARE(box.text, text);
    }
    QVERIFY(box.plainText);
    QCOMPARE(box.parent, &f.window);
    QVERIFY(box.singleOk);
    QCOMPARE(f.tx.requestLines(), txRequests);
    QCOMPARE(f.rx.requestLines(), rxRequests);
}

void tst_Workflows::runHoldsControlsAndCursor_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("finalKind");

    QTest::newRow("connect") << QStringLiteral("connect") << QStringLiteral("information");
    QTest::newRow("disconnect") << QStringLiteral("disconnect") << QStringLiteral("information");
    QTest::newRow("transmitter SDP") << QStringLiteral("txsdp") << QStringLiteral("sdp");
    QTest::newRow("receiver SDP") << QStringLiteral("rxsdp") << QStringLiteral("sdp");
}

void tst_Workflows::runHoldsControlsAndCursor()
{
    QFETCH(QString, button);
    QFETCH(QString, finalKind);

    Fixture f;
    QVERIFY(f.setUp(cameraSenders(), monitorReceivers()));
    QVERIFY(f.chooseDefaults());
    // A member failure makes the workflows end on a box, to see the state it is shown in.
    f.rx.setReply("PATCH", receiverStaged(QStringLiteral("r-d1")), TestHttpServer::Reply::empty(500));
    QPushButton *clicked = f.button(button);

    auto *client = f.window.findChild<NmosClient *>();
    QVERIFY(client);
    auto *manager = client->findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    int replies = 0;
    int heldReplies = 0;
    connect(manager, &QNetworkAccessManager::finished, &f.window, [&] {
        ++replies;
        const auto controls = f.controls();
        const bool allDisabled =
            std::none_of(controls.cbegin(), controls.cend(), [](QPushButton *b) { return b->isEnabled(); });
        const QCursor *cursor = QGuiApplication::overrideCursor();
        if (allDisabled && cursor && cursor->shape() == Qt::WaitCursor)
            ++heldReplies;
        if (replies == 1) {
            // A second run started inside this one must not happen.
            f.connectButton->click();
            QMetaObject::invokeMethod(&f.window, "doDisconnect", Qt::DirectConnection);
            QMetaObject::invokeMethod(&f.window, "showTxSdp", Qt::DirectConnection);
        }
    });
    DialogCatcher catcher(f.controls());

    clicked->click();

    QVERIFY(replies > 3);
    QCOMPARE(heldReplies, replies);
    QCOMPARE(catcher.shown.size(), 1);
    QCOMPARE(catcher.shown.first().kind, finalKind);
    // Given back before the last box, and for good afterwards.
    QVERIFY(catcher.shown.first().controlsEnabled);
    QVERIFY(!catcher.shown.first().waitCursor);
    QVERIFY(!QGuiApplication::overrideCursor());
    for (QPushButton *control : f.controls())
        QVERIFY(control->isEnabled());
    // The nested attempts sent nothing: one run's requests only.
    const bool workflow = button == QLatin1String("connect") || button == QLatin1String("disconnect");
    QCOMPARE(patches(f.rx).size(), workflow ? 4 : 0);
    QCOMPARE(patches(f.tx).size(), 0);
    const bool readsCameraVideo = button == QLatin1String("connect") || button == QLatin1String("txsdp");
    QCOMPARE(f.tx.requestLines().count(get("/sdp/s-v1")), readsCameraVideo ? 1 : 0);
}

QTEST_MAIN(tst_Workflows)
#include "tst_workflows.moc"
