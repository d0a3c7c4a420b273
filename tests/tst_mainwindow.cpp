#include "app/entrypresence.h"
#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "app/receiverstatelabel.h"
#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"
#include "net/replylimits.h"
#include "nmos/nmosclient.h"
#include "nmos/nmosresourcestore.h"
#include "tests/support/dialogcatcher.h"
#include "tests/support/netns.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"
#include "vxutil/vxutil.h"
#include "workflow/intakequeue.h"

#include <QAbstractItemView>
#include <QClipboard>
#include <QComboBox>
#include <QCompleter>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTextEdit>
#include <QWindow>
#include <QtTest>

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

namespace {

enum Control { TxSdp, RxSdp, Connect, Disconnect };

// A reply a row gives a node in place of the scripted one; several for one path queue up.
// Receiver paths go to the monitor, all others to the camera.
struct Tweak
{
    QByteArray method, path;
    Reply reply;
};

// The essences of one group: "s-v1=Cam 1" is the video sender of group "s" labelled "Cam 1",
// "r2-a1" the first audio receiver of group "r2", labelled by its id.
QStringList group(const QString &prefix, const QString &label, int audio, int data)
{
    QStringList list{prefix + "-v1=" + label};
    for (int i = 1; i <= audio; ++i)
        list << prefix + "-a" + QString::number(i);
    for (int i = 1; i <= data; ++i)
        list << prefix + "-d" + QString::number(i);
    return list;
}

QByteArray sdpOf(const QString &id) { return "v=0\r\no=- 1 1 IN IP4 10.77.0.1\r\ns=" + id.toUtf8() + "\r\n"; }
QByteArray staged(const QByteArray &kind, const QString &id) { return connectionPath("/single/" + kind + "/" + id.toUtf8() + "/staged"); }
QByteArray active(const QString &id) { return connectionPath("/single/receivers/" + id.toUtf8() + "/active"); }

// A receiver's active parameters: fed by that sender, or switched off for an empty id.
Reply activeReply(const QString &senderId)
{
    return Reply::json(QJsonObject{{"sender_id", senderId.isEmpty() ? QJsonValue() : QJsonValue(senderId)},
                                   {"master_enable", !senderId.isEmpty()}});
}

Reply stagedFile(const QJsonValue &sdp)
{
    return Reply::json(QJsonObject{{"transport_file", QJsonObject{{"data", sdp}, {"type", "application/sdp"}}}});
}

// One device holding these senders ("s…" ids) or receivers, which it lists as returned. Every
// transport file is readable, every staged endpoint accepts a PATCH, a receiver's staged file
// is that of "from-<its id>", and it reports itself active with the sender of its role
// ("r-a1" with "s-a1").
QJsonArray scriptNode(TestHttpServer *node, const QStringList &essences)
{
    const bool senders = essences.first().startsWith('s');
    const QByteArray kind = senders ? "senders" : "receivers";
    QJsonArray flows, list;
    QStringList ids;
    for (const QString &essence : essences) {
        const QString id = essence.section('=', 0, 0), label = essence.contains('=') ? essence.section('=', 1) : id;
        const QString format = QStringList{"video", "audio", "data"}.at(QStringLiteral("vad").indexOf(id.section('-', 1).at(0)));
        const QString urn = "urn:x-nmos:format:" + format;
        const QJsonObject tags = grouphint(id.section('-', 0, 0) + ':' + format);
        list << (senders ? senderJson(id, label, "f-" + id, node->url("/sdp/" + id), tags) : receiverJson(id, label, urn, tags));
        QJsonObject flow = flowJson("f-" + id, urn);
        if (format == "video")
            flow.insert("media_type", "video/raw");
        flows << flow;
        ids << id;
        node->setReply("GET", nodePath("/" + kind + "/" + id.toUtf8()), Reply::json(list.last().toObject()));
        node->setReply("PATCH", staged(kind, id), Reply::json(QJsonObject()));
        node->setReply("GET", "/sdp/" + id.toUtf8(), Reply::text(sdpOf(id), 200, "application/sdp"));
        node->setReply("GET", staged(kind, id), stagedFile(QString::fromUtf8(sdpOf("from-" + id))));
        node->setReply("GET", active(id), activeReply("s" + id.mid(id.indexOf('-'))));
    }
    node->setReply("GET", nodePath("/devices/"), Reply::json(QJsonArray{deviceJson("d", senders ? ids : QStringList(),
                                                                                         senders ? QStringList() : ids)}));
    node->setReply("GET", nodePath("/flows/"), Reply::json(flows));
    node->setReply("GET", nodePath("/" + kind + "/"), Reply::json(list));
    return list;
}

// A main window and two nodes it has taken in as discovery would: "camera" on tx, "monitor"
// on rx. A dialog that comes up before the run gave the controls and the cursor back is
// recorded as kind "early".
struct Desk : DialogCatcher
{
    TestHttpServer tx, rx;
    MainWindow window;
    QComboBox *txCombo = window.findChildren<QComboBox *>().value(0);
    QComboBox *rxCombo = window.findChildren<QComboBox *>().value(1);
    LightIndicator *txLamp = window.findChildren<LightIndicator *>().value(0);
    LightIndicator *rxLamp = window.findChildren<LightIndicator *>().value(1);
    QList<QPushButton *> controls = window.findChildren<QPushButton *>().mid(0, 4); // indexed by Control

    bool start() { return tx.start() && rx.start() && txCombo && rxCombo && controls.size() == 4; }
    // Both nodes reported as discovery reports them, the camera twice, as a node is whose
    // counters changed; false unless nothing is taken in inside the signal and all is after.
    bool discover()
    {
        auto *discovery = window.findChild<NMOSMdnsBrowser *>();
        const int asked = tx.requestCount() + rx.requestCount();
        for (const TestHttpServer *node : {&tx, &rx, &tx})
            emit discovery->nodeSelfReady(node == &tx ? "camera" : "monitor", QUrl(node->url("/x-nmos/node/v1.3/self")), {});
        return tx.requestCount() + rx.requestCount() == asked
            && QTest::qWaitFor([this] { return window.findChild<IntakeQueue *>()->size() == 0; });
    }
    int enabledCount() const
    {
        const auto enabled = [](const QWidget *widget) { return widget->isEnabled(); };
        return txCombo->isEnabled() + rxCombo->isEnabled() + std::count_if(controls.begin(), controls.end(), enabled);
    }
    void seen(QDialog *dialog) override
    {
        if (dialog->parentWidget() != &window || QGuiApplication::overrideCursor() || enabledCount() != 6)
            shown.last().prepend("early ");
        auto *box = qobject_cast<QMessageBox *>(dialog);
        if (box && answerYes && box->button(QMessageBox::Yes))
            QTimer::singleShot(0, box->button(QMessageBox::Yes), &QAbstractButton::click);
    }
    bool answerYes = false; // to a question; otherwise every dialog is closed
    // The lines under the rows: the sender's format, what the receiver takes, whether it fits.
    QStringList fitLines() const
    {
        QStringList lines;
        for (const char *name : {"senderFormat", "receiverFormat", "fit"})
            lines << window.findChild<QLabel *>(name)->text();
        return lines;
    }
};

} // namespace

Q_DECLARE_METATYPE(Tweak)

// The main window against scripted nodes: what it lists, what its checks light, what its
// runs patch and show, and what a node that lies, stalls or floods can make it do.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsWindowSplashAndWidgets();
    void takesInNode_data();
    void takesInNode();
    void checksTheChosenItemsNode();
    void runs_data();
    void runs();
    void asksForUpdateOnceAWeek_data();
    void asksForUpdateOnceAWeek();

public slots:
    // Stands in for the desktop's web browser.
    void open(const QUrl &url) { m_opened << url; }

private:
    QList<QUrl> m_opened;
    QTemporaryDir m_settings;
};

void tst_MainWindow::initTestCase()
{
    // The window starts node discovery, which sends mDNS queries.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    // Settings of this run alone: the end-to-end test's windows, running beside it, store
    // their choices too.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    MainWindow::splashDurationMs = 100;
}

void tst_MainWindow::showsWindowSplashAndWidgets()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Ferrolink"));

    // The splash shows at start and on "About", and goes by itself.
    QWidget *splash = window.findChildren<QLabel *>().at(0)->window();
    QVERIFY(splash != &window && splash->isVisible());
    QTRY_VERIFY(!splash->isVisible());
    for (QPushButton *button : window.findChildren<QPushButton *>()) {
        if (button->text() == "About")
            button->click();
    }
    QVERIFY(splash->isVisible());
    QTRY_VERIFY(!splash->isVisible());

    // The SDP viewer shows a node's markup as text and copies exactly what the node sent.
    const QString sdp = QStringLiteral("v=0\r\ns=<b>Cam</b> & co\r\n\n\n\n");
    SdpDialog dialog(QStringLiteral("Sender [*] <i>x</i>"), sdp);
    dialog.winId();
    QCOMPARE(dialog.windowHandle()->title(), QStringLiteral("SDP \u2022 Sender [*] <i>x</i>"));
    QTextEdit *edit = dialog.findChild<QTextEdit *>();
    QVERIFY(edit->isReadOnly() && edit->toPlainText().contains("s=<b>Cam</b> & co"));
    dialog.findChild<QPushButton *>()->click(); // "Copy SDP"
    QCOMPARE(QGuiApplication::clipboard()->text(), sdp);
}

void tst_MainWindow::takesInNode_data()
{
    QTest::addColumn<QList<Tweak>>("tweaks");
    QTest::addColumn<QStringList>("items"); // the transmitter's, then the receiver's

    const QByteArray senders = nodePath("/senders/"), receivers = nodePath("/receivers/");
    const auto get = [](const QByteArray &path, const Reply &reply) { return QList<Tweak>{{"GET", path, reply}}; };
    const QString monitor = "monitor (%rx-Monitor 1)";
    // The camera lists "Cam 1" before "A".
    const QStringList cams{"camera (%tx-A)", "camera (%tx-Cam 1)"};

    QTest::newRow("camera and monitor, sorted") << QList<Tweak>() << cams + QStringList{monitor};
    // Past 64 entries a node's list is added at once and sorted after.
    QJsonArray many;
    QStringList sorted{monitor};
    for (int i = 64; i >= 0; --i) {
        many << senderJson("s" + QString::number(i), QString::number(100 + i), "f-s-v1");
        sorted.prepend("camera (%tx-" + QString::number(100 + i) + ")");
    }
    QTest::newRow("65 entries, listed in reverse") << get(senders, Reply::json(many)) << sorted;
    QTest::newRow("entries not objects, members of wrong types")
        << get(receivers, Reply::text("[1,\"r\",null,[],true]")) + get(senders, Reply::json(QJsonArray{QJsonObject{
               {"id", 5}, {"label", QJsonArray{"Cam"}}, {"flow_id", QJsonObject()}}})) << QStringList();
    QTest::newRow("JSON nested 10,000 deep") << get(receivers, Reply::text(QByteArray(10000, '[') + QByteArray(10000, ']')))
                                             << cams;
    // Nodes are read side by side: the camera, reported first, keeps its reading waiting
    // until the limit and lists nothing, while the monitor is listed meanwhile.
    QTest::newRow("camera silent") << get(senders, Reply::neverAnswer()) << QStringList{monitor};
    // One line, read left to right as written: a label cannot disguise its entry.
    QTest::newRow("label with markup, new line and RTL mark")
        << get(receivers, Reply::json(QJsonArray{receiverJson("r-v1", "<b>Mon</b>\nitor \u202e1", VideoUrn)})) << cams + QStringList{"monitor (%rx-<b>Mon</b> itor 1)"};
}

void tst_MainWindow::takesInNode()
{
    QFETCH(QList<Tweak>, tweaks);
    QFETCH(QStringList, items);

    Desk desk;
    QVERIFY(desk.start());
    scriptNode(&desk.tx, group("s", "Cam 1", 1, 0) + group("s2", "A", 0, 0));
    scriptNode(&desk.rx, group("r", "Monitor 1", 1, 0));
    bool silent = false;
    for (const Tweak &tweak : tweaks) {
        (tweak.path.contains("/receivers/") ? desk.rx : desk.tx).setReply(tweak.method, tweak.path, tweak.reply);
        silent |= tweak.reply.kind == Reply::NeverAnswer;
    }
    ReplyLimits::setTransferTimeoutMs(silent ? 1000 : ReplyLimits::DefaultTransferTimeoutMs);
    const auto restore = qScopeGuard([] { ReplyLimits::setTransferTimeoutMs(ReplyLimits::DefaultTransferTimeoutMs); });
    // How many nodes were still being read when the monitor's entry came.
    int readingAtMonitor = -1;
    connect(desk.rxCombo->model(), &QAbstractItemModel::rowsInserted, &desk.window, [&] {
        if (readingAtMonitor < 0)
            readingAtMonitor = desk.window.findChild<IntakeQueue *>()->size();
    });
    // The camera, reported again while still waiting, is taken in once: asked once whether
    // it has receivers. Both found again later, nothing is listed twice.
    QVERIFY(desk.discover());
    QCOMPARE(desk.tx.requestLines().filter("/receivers/").size(), 1);
    if (silent)
        QCOMPARE(readingAtMonitor, 1);
    QVERIFY(desk.discover());

    QStringList listed;
    for (const QComboBox *combo : {desk.txCombo, desk.rxCombo}) {
        for (int i = 0; i < combo->count(); ++i)
            listed << combo->itemText(i).replace(desk.tx.address(), "%tx").replace(desk.rx.address(), "%rx");
    }
    QCOMPARE(listed, items);
    // Nothing but the node's own API was asked for.
    for (const QString &line : desk.tx.requestLines() + desk.rx.requestLines())
        QVERIFY2(line.startsWith("GET /x-nmos/node/v1.3/"), qPrintable(line));
}

void tst_MainWindow::checksTheChosenItemsNode()
{
    Desk desk;
    QVERIFY(desk.start());
    // Read through the window's own settings: another QSettings object's sync could race it.
    QSettings *settings = desk.window.findChild<QSettings *>();
    settings->clear();
    const QJsonArray txSenders = scriptNode(&desk.tx, group("s", "Cam 1", 0, 0));
    // A flow that leaves its rate to its source, which the lists do not read: its sender's SDP says it.
    desk.tx.setReply("GET", nodePath("/flows/"), Reply::json(QJsonArray{QJsonObject{
        {"id", "f-s-v1"}, {"format", VideoUrn}, {"media_type", "video/jxsv"}, {"frame_width", 1280}, {"frame_height", 720}}}));
    desk.tx.setReply("GET", "/sdp/s-v1", Reply::text("v=0\r\nm=video 5004 RTP/AVP 98\r\na=rtpmap:98 jxsv/90000\r\n"
                                                     "a=fmtp:98 width=1280; height=720; exactframerate=50\r\n", 200, "application/sdp"));
    scriptNode(&desk.rx, group("r", "Monitor 1", 0, 0) + group("r2", "Studio B", 0, 0));

    // Which lamps are lit, then the stored choices ("-": none).
    const auto state = [&] {
        return QStringList{QString::number(desk.txLamp->isOn()) + QString::number(desk.rxLamp->isOn()),
                           settings->value("lastTxIp", "-").toString(), settings->value("lastRxIp", "-").toString()};
    };

    // Typed text alone names no node: it never becomes an entry, the check fails and nothing
    // is stored.
    QTest::keyClicks(desk.txCombo->lineEdit(), "10.0.0.2");
    QTest::keyClick(desk.txCombo->lineEdit(), Qt::Key_Return);
    QCOMPARE(desk.txCombo->currentText() + " in " + QString::number(desk.txCombo->count()), QStringLiteral("10.0.0.2 in 0"));
    QCOMPARE(state(), (QStringList{"00", "-", "-"}));
    QVERIFY(desk.discover());
    desk.txCombo->setCurrentIndex(0);
    QCOMPARE(state(), (QStringList{"10", desk.txCombo->itemText(0), "-"}));
    // Editing the text keeps asking the chosen item's node, and stores the text as typed.
    desk.txCombo->setEditText("  somewhere else  ");
    QCOMPARE(state(), (QStringList{"10", "somewhere else", "-"}));
    // Part of an entry, in any case, finds it among the others; chosen there, it is the
    // current item as if chosen from the list.
    QTest::keyClicks(desk.rxCombo->lineEdit(), "STUD");
    QTRY_VERIFY(desk.rxCombo->completer()->popup()->isVisible());
    QCOMPARE(desk.rxCombo->completer()->completionCount(), 1);
    QTest::keyClick(desk.rxCombo->completer()->popup(), Qt::Key_Down);
    QTest::keyClick(desk.rxCombo->completer()->popup(), Qt::Key_Return);
    QCOMPARE(desk.window.currentItemId(desk.rxCombo), QStringLiteral("r2-v1"));
    QCOMPARE(state(), (QStringList{"11", "somewhere else", desk.rxCombo->itemText(1)}));
    desk.rxCombo->setCurrentIndex(0);
    QCOMPARE(state(), (QStringList{"11", "somewhere else", desk.rxCombo->itemText(0)}));
    // The chosen receiver's source, and each change its node announces, made by anyone.
    auto *shown = desk.window.findChild<ReceiverStateLabel *>();
    QTRY_COMPARE(shown->text(), "Receiving: " + desk.txCombo->itemText(0));
    for (const QString sender : {"", "s-elsewhere"}) {
        desk.rx.setReply("GET", active("r-v1"), activeReply(sender));
        emit desk.window.findChild<NMOSMdnsBrowser *>()->nodeDiscovered("monitor", "monitor.local", 80, {{"ver_rcv", sender}});
        QTRY_COMPARE(shown->text(), sender.isEmpty() ? ReceiverStateLabel::notReceivingText() : "Receiving: " + sender);
    }
    // And the end of each run, of which the node announces nothing.
    for (const QString sender : {"s-v1", ""}) {
        desk.rx.setReply("GET", active("r-v1"), activeReply(sender));
        desk.controls[sender.isEmpty() ? Disconnect : Connect]->click();
        QTRY_COMPARE(shown->text(), sender.isEmpty() ? ReceiverStateLabel::notReceivingText() : "Receiving: " + desk.txCombo->itemText(0));
    }
    QCOMPARE(desk.shown, QStringList());
    // Clearing the text puts the lamp out without asking the node.
    desk.rx.clearRequests();
    desk.rxCombo->setEditText("   ");
    QCOMPARE(state(), (QStringList{"10", "somewhere else", desk.rxCombo->itemText(0)}));
    QCOMPARE(desk.rx.requestCount(), 0);
    // When the node stops listing senders the next check puts the lamp out and stores nothing.
    desk.tx.setReply("GET", nodePath("/senders/"), Reply::json(QJsonArray()));
    desk.txCombo->setEditText("third");
    QCOMPARE(state(), (QStringList{"00", "somewhere else", desk.rxCombo->itemText(0)}));
    // A refusal says why on the unlit lamp, in the API's own words.
    desk.tx.setReply("GET", nodePath("/senders/"), Reply::json(QJsonObject{{"code", 403}, {"error", "Forbidden"}}, 403)
                                                       .withHeader("WWW-Authenticate", "Bearer error=\"insufficient_scope\", error_description=\"read only\""));
    desk.txCombo->setEditText("refused");
    QVERIFY2(!desk.txLamp->isOn() && desk.txLamp->toolTip().endsWith("(insufficient_scope: read only)"), qPrintable(desk.txLamp->toolTip()));
    // A slow check that ends after a newer one of its row has ended does not overrule it.
    desk.tx.setReply("GET", nodePath("/senders/"), Reply::json(QJsonArray()).delayed(300));
    desk.tx.addReply("GET", nodePath("/senders/"), Reply::json(txSenders));
    QTimer::singleShot(50, desk.txCombo, [&] { desk.txCombo->setEditText("newest"); });
    desk.txCombo->setEditText("slow");
    QCOMPARE(state(), (QStringList{"10", "newest", desk.rxCombo->itemText(0)}));

    // A registry's receiver: its lamp asks its device's Connection API, and its source and
    // its presence follow the registry's reports. One node, one name: announced by mDNS
    // first, it keeps that name, and is not read from its own API any more.
    NMOSRegistryBrowser *registry = desk.window.registryBrowser();
    emit desk.window.findChild<NMOSMdnsBrowser *>()->nodeSelfReady("wall", QUrl(desk.rx.url("/x-nmos/node/v1.3/self")),
                                                                   QJsonDocument(QJsonObject{{"id", "n9"}}));
    const NmosClient::NodeEndpoint wall{"10.77.0.9:1", "http", desk.rx.url(connectionPath("")), "n9"};
    // Its capabilities are judged by their version: a change under a new one is judged again.
    const auto listWall = [&](const QString &mediaType, const QString &version) {
        const QJsonObject caps{{"media_types", QJsonArray{mediaType}}, {"version", version}};
        emit registry->entriesListed("n9", "wall.local", {}, {{"r9", "Wall", wall, "wall.local (10.77.0.9:1-Wall)", {{"caps", caps}}}});
    };
    listWall("video/jxsv", "1:0");
    QCOMPARE(desk.window.findChild<IntakeQueue *>()->size(), 0);
    desk.rx.setReply("GET", connectionPath("/single/receivers/r9/"), Reply::json(QJsonArray{"active/"}));
    desk.txCombo->setEditText(desk.txCombo->itemText(0));
    desk.rxCombo->setCurrentIndex(desk.rxCombo->findText("wall (10.77.0.9:1-Wall)"));
    QVERIFY(desk.rxLamp->isOn());
    QTRY_COMPARE(desk.fitLines(), (QStringList{"Sends: JPEG XS 1280\u00d7720 50p", "Takes: media types video/jxsv", "Can take the chosen sender"}));
    listWall("video/raw", "2:0");
    QCOMPARE(desk.fitLines(), (QStringList{"Sends: JPEG XS 1280\u00d7720 50p", "Takes: media types video/raw",
                                           "Cannot take the chosen sender: media type video/jxsv is not among video/raw"}));
    // Read for the lines once, however often they were shown, and once by the connect run.
    QCOMPARE(desk.tx.requestLines().filter("/sdp/").size(), 2);
    registry->store()->insert("receivers", {{"id", "r9"}, {"subscription", QJsonObject{{"sender_id", "s-v1"}, {"active", true}}}});
    QCOMPARE(shown->text(), "Receiving: " + desk.txCombo->itemText(0));
    // An mDNS service of that name going away leaves it; the registry removing it greys it.
    emit desk.window.findChild<NMOSMdnsBrowser *>()->nodeRemoved("wall");
    QVERIFY(!EntryPresence::isChosenGone(desk.rxCombo));
    registry->store()->remove("receivers", "r9");
    QVERIFY(EntryPresence::isChosenGone(desk.rxCombo));

    // Where the lists come from, and a registry that went away, never silent.
    auto *sources = desk.window.findChild<QLabel *>("sourceStatus");
    QCOMPARE(sources->text(), "mDNS: 2 nodes"); // camera and monitor; wall withdrew
    emit registry->registryChanged(QUrl("http://reg.example/x-nmos/query/v1.3"));
    QCOMPARE(sources->text(), "mDNS: 2 nodes \u00b7 Registry reg.example (reading)");
    emit registry->registryChanged(QUrl());
    QVERIFY2(sources->text().contains(QRegularExpression("Registry reg\\.example \\(lost since \\d\\d:\\d\\d\\)$")), qPrintable(sources->text()));
}

void tst_MainWindow::runs_data()
{
    QTest::addColumn<int>("control");
    QTest::addColumn<QString>("setup"); // "no record", "Monitor 2" chosen, "lookup fails", "takes JPEG XS"
    QTest::addColumn<QList<int>>("sizes"); // audio and data senders, audio and data receivers
    QTest::addColumn<QList<Tweak>>("tweaks");
    QTest::addColumn<QString>("shown"); // "kind|title|text" of the one dialog; empty: none
    // Every PATCH, the transmitter's then the receiver's: "activate s-a2", "r-a1<s-a1" or "r-a1 off".
    QTest::addColumn<QStringList>("patches");
    // What the receiver's state line read as each PATCH was answered, without repeats.
    QTest::addColumn<QStringList>("progress");

    const QList<int> full{2, 1, 2, 1};
    const QStringList all{"r-v1<s-v1", "r-a1<s-a1", "r-a2<s-a2", "r-d1<s-d1"};
    const QString video = "critical|Connect|Patch failed on video:\n";
    const auto on = [](const QStringList &steps, const QString &receiver = "Monitor 1") {
        QStringList lines;
        for (const QString &step : steps)
            lines << step + " on " + receiver + "\u2026";
        return lines;
    };
    const QStringList videoAudio = on({"Patching video", "Patching audio 1 of 1"});

    // Each member pair is patched, audio and anc, in their order; the longer list's tail stays
    // and is named (the whole group: 'member patches refused').
    const QString unpaired = "Sender %1 has no counterpart in the receiver's group\n";
    QTest::newRow("connect, more audio senders") << int(Connect) << "" << QList<int>{2, 1, 1, 0} << QList<Tweak>()
        << "information|Connect|Patch failed on audio:\n" + unpaired.arg("s-a2") + "Patch failed on anc:\n" + unpaired.arg("s-d1")
        << QStringList(all.mid(0, 2)) << videoAudio;
    // A failed member lookup ends that pair before a receiver is patched with a stale sender,
    // and the box says so; as it does for a member that accepts its patch and does not run it.
    QTest::newRow("connect, audio lookup fails, audio not run") << int(Connect) << "lookup fails" << full
        << QList<Tweak>{{"GET", active("r-a2"), activeReply("")}}
        << "information|Connect|Patch failed on audio:\nError transferring http://%tx/x-nmos/node/v1.3/senders/ - server replied: Internal Server Error\n"
           "Patch failed on audio:\nNot active: the receiver reports sender none with master_enable false\n"
        << QStringList{all[0], all[2], all[3]} << on({"Patching video", "Patching audio 2 of 2", "Patching anc 1 of 1"});
    // Every member is still patched; one box names each refusal, even one the network layer
    // takes for no error.
    QTest::newRow("connect, member patches refused") << int(Connect) << "" << full
        << QList<Tweak>{{"PATCH", staged("receivers", "r-a1"), Reply::json(QJsonObject{{"code", 400}, {"error", "r-a1 cannot take s-a1"}, {"debug", QJsonValue()}}, 400)},
                        {"PATCH", staged("receivers", "r-a2"), Reply::redirect(302, "/elsewhere")},
                        {"PATCH", staged("receivers", "r-d1"), Reply::empty(500)}}
        << "information|Connect|Patch failed on audio:\nHTTP 400: r-a1 cannot take s-a1\nPatch failed on audio:\nHTTP 302\n"
           "Patch failed on anc:\nHTTP 500\n" << all
        << on({"Patching video", "Patching audio 1 of 2", "Patching audio 2 of 2", "Patching anc 1 of 1"});
    // An entry whose node went away cannot be patched; once its node lists it again, it can.
    QTest::newRow("connect, camera withdrawn") << int(Connect) << "camera withdrawn" << full << QList<Tweak>()
        << "warning|Connect|This entry went away and cannot be used until it is back:\ncamera (%tx-Cam 1)" << QStringList() << QStringList();
    QTest::newRow("connect, camera back") << int(Connect) << "camera withdrawn, back" << QList<int>{1, 0, 1, 0}
                                          << QList<Tweak>() << "" << QStringList(all.mid(0, 2)) << videoAudio;
    // An unfit pair is patched only when the operator, asked, says so.
    const QString unfit = "question|Connect|Cannot take the chosen sender: media type video/raw is not among video/jxsv\n\nConnect anyway?";
    QTest::newRow("connect, receiver cannot take it") << int(Connect) << "takes JPEG XS" << full << QList<Tweak>() << unfit << QStringList()
                                                      << QStringList();
    QTest::newRow("connect anyway") << int(Connect) << "takes JPEG XS, anyway" << full << QList<Tweak>() << unfit << all
                                    << on({"Patching video", "Patching audio 1 of 2", "Patching audio 2 of 2", "Patching anc 1 of 1"});
    QTest::newRow("connect, entry without record") << int(Connect) << "no record" << full << QList<Tweak>()
                                                   << "warning|Connect|No video sender found on transmitter node." << QStringList() << QStringList();
    QTest::newRow("connect, id that is ..") << int(Connect) << "" << full
        << QList<Tweak>{{"GET", nodePath("/receivers/"), Reply::json(QJsonArray{receiverJson("..", "Monitor 1", VideoUrn)})}}
        << video + "Receiver id \"..\" cannot be used in a URL" << QStringList() << QStringList();
    QTest::newRow("connect, manifest with scheme file") << int(Connect) << "" << full << QList<Tweak>{{"GET", nodePath("/senders/"),
                         Reply::json(QJsonArray{senderJson("s-v1", "Cam 1", "f-s-v1", "file:///etc/passwd")})}}
        << video + "Failed to fetch Sender SDP.\nTransport file address is not an http or https URL: file:///etc/passwd"
        << QStringList{"activate s-v1"} << on({"Patching video"});

    // The chosen receiver's group is taken down, not the node's first; each member afresh, and
    // checked: this anc receiver accepts and stays on.
    QTest::newRow("disconnect chosen receiver") << int(Disconnect) << "Monitor 2" << full
        << QList<Tweak>{{"GET", active("r2-v1"), activeReply("")}, {"GET", active("r2-a1"), activeReply("")}}
        << "information|Disconnect|Patch failed on anc:\nNot active: the receiver reports sender s-d1 with master_enable true\n"
        << QStringList{"r2-v1 off", "r2-a1 off", "r2-d1 off"}
        << on({"Taking down video", "Taking down audio 1 of 1", "Taking down anc 1 of 1"}, "Monitor 2");
    QTest::newRow("disconnect, video stays on") << int(Disconnect) << "" << full
                                                << QList<Tweak>{{"GET", active("r-v1"), activeReply("s-v1")}}
                                                << "critical|Disconnect|Patch failed on video:\nNot active: the receiver reports sender s-v1 with master_enable true"
                                                << QStringList{"r-v1 off"} << on({"Taking down video"});

    // The viewers show the video's file, then each member's, named after the video sender; a
    // sender whose file cannot be read is said to publish none while inactive, and viewing
    // never activates it.
    QString senderFiles, receiverFiles;
    for (const char *id : {"s-v1", "s-a1", "s-a2", "s-a3", "s-d1"}) {
        senderFiles += (id == QLatin1String("s-a2") ? "No transport file could be read from sender \"s-a2\" (Error transferring "
                                                      "http://%tx/sdp/s-a2 - server replied: Not Found).\nA sender publishes none while it is inactive; it was not activated."
                                                    : QString::fromUtf8(sdpOf(id))) + "\n\n\n";
    }
    for (const char *id : {"from-r-v1", "from-r-a1", "from-r-d1"})
        receiverFiles += QString::fromUtf8(sdpOf(id)) + "\n\n\n";
    QTest::newRow("sender SDP") << int(TxSdp) << "" << QList<int>{3, 1, 2, 1}
        << QList<Tweak>{{"GET", "/sdp/s-a2", Reply::empty(404)}} << "sdp|SDP \u2022 Sender Cam 1|" + senderFiles << QStringList() << QStringList();
    QTest::newRow("receiver SDP") << int(RxSdp) << "" << full
                                  << QList<Tweak>{{"GET", staged("receivers", "r-a2"), stagedFile(QJsonValue::Null)}}
                                  << "sdp|SDP \u2022 Sender Monitor 1 (from receiver node)|" + receiverFiles << QStringList() << QStringList();
    QTest::newRow("sender SDP, entry without record") << int(TxSdp) << "no record" << full << QList<Tweak>()
                                                      << "warning|No Sender|No sender found on transmitter node." << QStringList() << QStringList();
    QTest::newRow("receiver SDP, no video receiver")
        << int(RxSdp) << "" << full << QList<Tweak>{{"GET", nodePath("/receivers/"), Reply::json(QJsonArray())}}
        << "information|Info|No senders on the receiver node to display SDP from." << QStringList() << QStringList();
}

void tst_MainWindow::runs()
{
    QFETCH(int, control);
    QFETCH(QString, setup);
    QFETCH(QList<int>, sizes);
    QFETCH(QList<Tweak>, tweaks);
    QFETCH(QString, shown);
    QFETCH(QStringList, patches);
    QFETCH(QStringList, progress);

    Desk desk;
    QVERIFY(desk.start());
    const QJsonArray senders = scriptNode(&desk.tx, group("s", "Cam 1", sizes[0], sizes[1]));
    QJsonArray receivers = scriptNode(&desk.rx, group("r", "Monitor 1", sizes[2], sizes[3]) + group("r2", "Monitor 2", 1, 1));
    if (setup.startsWith("takes JPEG XS")) {
        QJsonObject monitor = receivers[0].toObject();
        monitor.insert("caps", QJsonObject{{"media_types", QJsonArray{"video/jxsv"}}});
        receivers[0] = monitor;
        desk.rx.setReply("GET", nodePath("/receivers/"), Reply::json(receivers));
        desk.answerYes = setup.endsWith("anyway");
    }
    QSet<QByteArray> tweaked;
    for (const Tweak &tweak : tweaks) {
        TestHttpServer &node = tweak.path.contains("/receivers/") ? desk.rx : desk.tx;
        if (tweaked.contains(tweak.method + tweak.path))
            node.addReply(tweak.method, tweak.path, tweak.reply);
        else
            node.setReply(tweak.method, tweak.path, tweak.reply);
        tweaked.insert(tweak.method + tweak.path);
    }
    QVERIFY(desk.discover());
    // The operator's choice.
    desk.txCombo->setCurrentIndex(desk.txCombo->findText("-Cam 1)", Qt::MatchEndsWith));
    desk.rxCombo->setCurrentIndex(desk.rxCombo->findText(setup == "Monitor 2" ? "-Monitor 2)" : "-Monitor 1)", Qt::MatchEndsWith));
    if (setup == "no record") {
        desk.txCombo->setCurrentIndex(-1);
        desk.txCombo->setEditText("10.0.0.2");
    } else if (setup.startsWith("camera withdrawn")) {
        emit desk.window.findChild<NMOSMdnsBrowser *>()->nodeRemoved("camera");
        if (setup.endsWith("back"))
            QVERIFY(desk.discover());
    } else if (setup == "lookup fails") {
        // The third listing of the senders, the first audio member's lookup, fails.
        for (const Reply &reply : {Reply::json(senders), Reply::empty(500), Reply::json(senders)})
            desk.tx.addReply("GET", nodePath("/senders/"), reply);
    }
    desk.tx.clearRequests();
    desk.rx.clearRequests();

    // Every reply of the run comes while the controls are off under a wait cursor; a second
    // run tried from inside the first sends nothing, a choice changed meanwhile does not
    // move the run to another node, and a node listed meanwhile waits for the run's end.
    int replies = 0;
    QStringList lines;
    const QLabel *stateLine = desk.window.findChild<ReceiverStateLabel *>();
    const QString late = "wall (10.77.0.9:1-Wall)";
    auto *manager = desk.window.findChild<NmosClient *>()->findChild<QNetworkAccessManager *>();
    const auto hook = connect(manager, &QNetworkAccessManager::finished, &desk.window, [&](QNetworkReply *reply) {
        if (reply->operation() == QNetworkAccessManager::CustomOperation && !lines.endsWith(stateLine->text()))
            lines << stateLine->text();
        const QCursor *cursor = QGuiApplication::overrideCursor();
        QVERIFY(cursor && cursor->shape() == Qt::WaitCursor && desk.enabledCount() == 0);
        if (++replies > 1)
            return;
        emit desk.window.registryBrowser()->entriesListed("n9", "wall", {}, {{"r9", "Wall", {"10.77.0.9:1", "http", QString(), "n9"}, late}});
        QCOMPARE(desk.rxCombo->findText(late), -1);
        for (const char *slot : {"doConnect", "doDisconnect", "showTxSdp", "showRxSdp"})
            QMetaObject::invokeMethod(&desk.window, slot, Qt::DirectConnection);
        // Where both rows point once the run has begun: a run that went there would fail.
        const NmosClient::SenderConnection sender{"s-v1", "Cam 1", "http://127.0.0.1:1/sdp/s-v1", {"127.0.0.1:1"}, "x"};
        const NmosClient::ReceiverConnection receiver{"r-v1", "Monitor 1", {"127.0.0.1:1"}, "x"};
        const QSignalBlocker txBlocker(desk.txCombo), rxBlocker(desk.rxCombo);
        desk.txCombo->addItem("elsewhere", QVariant::fromValue(sender));
        desk.txCombo->setCurrentIndex(desk.txCombo->count() - 1);
        desk.rxCombo->addItem("elsewhere", QVariant::fromValue(receiver));
        desk.rxCombo->setCurrentIndex(desk.rxCombo->count() - 1);
    });
    desk.controls[control]->click();
    disconnect(hook);
    QVERIFY(!QGuiApplication::overrideCursor() && desk.enabledCount() == 6);
    QTRY_VERIFY(replies == 0 || desk.rxCombo->findText(late) >= 0);

    shown.replace("%tx", desk.tx.address());
    QCOMPARE(desk.shown, shown.isEmpty() ? QStringList() : QStringList{shown});
    QStringList got;
    for (const TestHttpServer::Request &request : desk.tx.requests() + desk.rx.requests()) {
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        const QString id = QString::fromUtf8(request.path.split('/').value(6)), sender = body.value("sender_id").toString();
        const bool on = body.value("master_enable").toBool();
        if (request.method == "PATCH")
            got << (request.path.contains("/senders/") ? "activate " + id : on ? id + '<' + sender : id + " off");
        // The file sent is the one the sender publishes.
        if (on && request.path.contains("/receivers/"))
            QCOMPARE(body["transport_file"]["data"].toString(), QString::fromUtf8(sdpOf(sender)));
    }
    QCOMPARE(got, patches);
    QCOMPARE(lines, progress);
    QVERIFY(!progress.contains(stateLine->text()));
}

void tst_MainWindow::asksForUpdateOnceAWeek_data()
{
    QTest::addColumn<QString>("stored"); // "LastUpdateTime" before the start, in days from today
    QTest::addColumn<QString>("button"); // pressed in the question; empty: no question may come
    QTest::addColumn<QString>("recorded");

    const auto day = [](qint64 offset) { return QString::number(QDateTime::currentSecsSinceEpoch() / 86400 + offset); };
    QTest::newRow("first start") << QString() << QString() << day(0);
    QTest::newRow("six days ago") << day(-6) << QString() << day(-6);
    QTest::newRow("seven days ago, later") << day(-7) << "Later" << day(0);
    QTest::newRow("not a number, download") << "soon" << "Download" << day(0);
    QTest::newRow("clock set back") << day(3) << QString() << day(3);
}

void tst_MainWindow::asksForUpdateOnceAWeek()
{
    QFETCH(QString, stored);
    QFETCH(QString, button);
    QFETCH(QString, recorded);

    TestHttpServer feed;
    QVERIFY(feed.start());
    feed.setReply("GET", "/feed", Reply::json(QJsonObject{{"version", "8.1.3"}, {"url", "https://veltrix.example/get"}}));
    vxSetUpdateFeedForTesting(feed.url("/feed").toUtf8().constData(), 0);
    const auto restore = qScopeGuard([] { vxSetUpdateFeedForTesting(nullptr, 0); QDesktopServices::unsetUrlHandler("https"); });
    m_opened.clear();
    QDesktopServices::setUrlHandler("https", this, "open");
    QSettings updates(QSettings::NativeFormat, QSettings::UserScope, "Ferrolink");
    updates.clear();
    if (!stored.isEmpty())
        updates.setValue("LastUpdateTime", stored);

    // Answers the question, and notes the day recorded by then: before the answer, so that
    // a question left open is not asked again.
    struct Answer : DialogCatcher
    {
        QString button;
        void seen(QDialog *dialog) override
        {
            shown.last() += '|' + QSettings(QSettings::NativeFormat, QSettings::UserScope, "Ferrolink").value("LastUpdateTime").toString();
            for (QAbstractButton *b : static_cast<QMessageBox *>(dialog)->buttons()) {
                shown.last() += '|' + b->text();
                if (b->text() == button)
                    QTimer::singleShot(0, b, &QAbstractButton::click);
            }
        }
    } answer;
    answer.button = button;
    MainWindow window;

    updates.sync();
    QCOMPARE(updates.value("LastUpdateTime").toString(), recorded);
    QCOMPARE(feed.requestCount(), button.isEmpty() ? 0 : 1);
    // Our own text, which the box may read as it likes ("markup").
    const QString question = "markup|Ferrolink|A new version is available.\nVersion: 8.1.3 \nWould you like to download now?|";
    QCOMPARE(answer.shown, button.isEmpty() ? QStringList() : QStringList{question + recorded + "|Download|Later"});
    QCOMPARE(m_opened, button == "Download" ? QList<QUrl>{QUrl("https://veltrix.example/get")} : QList<QUrl>());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
