#include "app/intakequeue.h"
#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "discovery/nmosmdnsbrowser.h"
#include "nmos/nmosclient.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QBoxLayout>
#include <QJsonArray>
#include <QJsonObject>
#include <QSettings>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QtTest>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void buildsTitleAndRows();
    void barHoldsButtonsLeftAndRight();
    void startsWithEmptyCombosAndGreyLamps();
    void typedTextNeverBecomesAnItem();
    void takesInDiscoveredNodeWithoutChoosingIt();
    void skipsDuplicatesAndSortsByCharacterCode();
    void listsNodeOncePerAddress();
    void takesInReportedNodeOnceAfterTheSignal();
    void checksTheChosenItemsNode();
};

namespace {

QList<QWidget *> layoutWidgets(QLayout *layout)
{
    QList<QWidget *> widgets;
    for (int i = 0; i < layout->count(); ++i) {
        if (QWidget *w = layout->itemAt(i)->widget())
            widgets << w;
    }
    return widgets;
}

} // namespace

void tst_MainWindow::initTestCase()
{
    // The window starts node discovery, which sends mDNS queries.
    SKIP_UNLESS_PRIVATE_NETNS();
    // Keep the settings written by the checks away from the user's own.
    QStandardPaths::setTestModeEnabled(true);
}

void tst_MainWindow::buildsTitleAndRows()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Ferrolink"));

    auto *central = window.centralWidget();
    auto *layout = qobject_cast<QVBoxLayout *>(central->layout());
    QVERIFY(layout);
    QCOMPARE(layout->contentsMargins(), QMargins(16, 16, 16, 16));
    QCOMPARE(layout->spacing(), 12);
    QCOMPARE(layout->count(), 4);
    QCOMPARE(layout->itemAt(2)->spacerItem() != nullptr, true);
    QCOMPARE(layout->itemAt(2)->spacerItem()->sizeHint().height(), 8);

    const QStringList labels{QStringLiteral("Transmitter IP"), QStringLiteral("Receiver IP")};
    for (int row = 0; row < 2; ++row) {
        QWidget *rowWidget = layout->itemAt(row)->widget();
        auto *rowLayout = qobject_cast<QHBoxLayout *>(rowWidget->layout());
        QVERIFY(rowLayout);
        QCOMPARE(rowLayout->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(rowLayout->spacing(), 8);
        const auto widgets = layoutWidgets(rowLayout);
        QCOMPARE(widgets.size(), 4);
        QCOMPARE(qobject_cast<QLabel *>(widgets[0])->text(), labels[row]);
        auto *combo = qobject_cast<QComboBox *>(widgets[1]);
        QVERIFY(combo);
        QVERIFY(combo->isEditable());
        QCOMPARE(combo->insertPolicy(), QComboBox::NoInsert);
        QCOMPARE(combo->minimumWidth(), 660);
        QCOMPARE(combo->placeholderText(), QStringLiteral("e.g. 10.0.0.2"));
        QCOMPARE(rowLayout->stretch(1), 1);
        QVERIFY(qobject_cast<LightIndicator *>(widgets[2]));
        QCOMPARE(qobject_cast<QPushButton *>(widgets[3])->text(), QString::fromUtf8("Show SDP\u2026"));
        for (int i : {0, 2, 3})
            QCOMPARE(rowLayout->stretch(i), 0);
    }
}

void tst_MainWindow::barHoldsButtonsLeftAndRight()
{
    MainWindow window;
    auto *layout = qobject_cast<QVBoxLayout *>(window.centralWidget()->layout());
    auto *bar = qobject_cast<QHBoxLayout *>(layout->itemAt(3)->widget()->layout());
    QVERIFY(bar);
    QCOMPARE(bar->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(bar->spacing(), 8);
    QCOMPARE(bar->count(), 5);
    QStringList texts;
    for (int i = 0; i < bar->count(); ++i) {
        if (auto *button = qobject_cast<QPushButton *>(bar->itemAt(i)->widget()))
            texts << button->text();
        else
            texts << (bar->itemAt(i)->spacerItem() ? QStringLiteral("<stretch>") : QStringLiteral("?"));
        QCOMPARE(bar->stretch(i), 0);
    }
    QCOMPARE(texts, (QStringList{QStringLiteral("Connect (Tx->Rx)"), QStringLiteral("Disconnect Rx"),
                                 QStringLiteral("<stretch>"), QStringLiteral("Browse"),
                                 QStringLiteral("About")}));
    // No menu, tool or status bar is made.
    QVERIFY(!window.findChild<QMenuBar *>());
    QVERIFY(!window.findChild<QStatusBar *>());
}

void tst_MainWindow::startsWithEmptyCombosAndGreyLamps()
{
    MainWindow window;
    const auto combos = window.findChildren<QComboBox *>();
    QCOMPARE(combos.size(), 2);
    for (QComboBox *combo : combos) {
        QCOMPARE(combo->count(), 0);
        QCOMPARE(combo->currentText(), QString());
        QCOMPARE(window.currentItemId(combo), QString());
        QCOMPARE(window.currentItemAddress(combo), QString());
    }
    const auto lamps = window.findChildren<LightIndicator *>();
    QCOMPARE(lamps.size(), 2);
    for (LightIndicator *lamp : lamps)
        QVERIFY(!lamp->isOn());
}

void tst_MainWindow::typedTextNeverBecomesAnItem()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *combo = window.findChildren<QComboBox *>().first();
    combo->setFocus();
    QTest::keyClicks(combo->lineEdit(), QStringLiteral("10.0.0.2"));
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
    QCOMPARE(combo->count(), 0);
    QCOMPARE(combo->currentText(), QStringLiteral("10.0.0.2"));
}

namespace {

const QString NodeApi = QStringLiteral("/x-nmos/node/v1.3");

QJsonObject resource(const QString &id, const QString &label, const QJsonObject &extra = {})
{
    QJsonObject object = extra;
    object.insert("id", id);
    object.insert("label", label);
    return object;
}

// Scripts a node with one video sender and one video receiver per label given.
void scriptNode(TestHttpServer *node, const QStringList &senderLabels, const QStringList &receiverLabels)
{
    QJsonArray flows, senders, receivers;
    for (int i = 0; i < senderLabels.size(); ++i) {
        const QString flow = QStringLiteral("f%1").arg(i);
        flows.append(QJsonObject{{"id", flow}, {"format", "urn:x-nmos:format:video"}});
        senders.append(resource(QStringLiteral("s%1").arg(i), senderLabels[i],
                                {{"flow_id", flow}, {"manifest_href", node->url("/sdp")}}));
    }
    for (int i = 0; i < receiverLabels.size(); ++i)
        receivers.append(resource(QStringLiteral("r%1").arg(i), receiverLabels[i],
                                  {{"format", "urn:x-nmos:format:video"}}));
    node->setReply("GET", (NodeApi + "/flows/").toUtf8(), TestHttpServer::Reply::json(flows));
    node->setReply("GET", (NodeApi + "/senders/").toUtf8(), TestHttpServer::Reply::json(senders));
    node->setReply("GET", (NodeApi + "/receivers/").toUtf8(), TestHttpServer::Reply::json(receivers));
}

void discover(MainWindow *window, const QString &serviceName, const QString &host, quint16 port)
{
    QUrl url;
    url.setScheme("http");
    url.setHost(host);
    url.setPort(port);
    url.setPath("/x-nmos/node/v1.3/self");
    QVERIFY(QMetaObject::invokeMethod(window, "onMdnsDeviceFound", Q_ARG(QString, serviceName), Q_ARG(QUrl, url),
                                      Q_ARG(QJsonDocument, QJsonDocument(QJsonObject{{"id", "self"}}))));
}

QStringList itemTexts(QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

QVariant storedSetting(const QString &key)
{
    return QSettings(QStringLiteral("Veltrix"), QStringLiteral("Ferrolink")).value(key);
}

void clearSettings()
{
    QSettings(QStringLiteral("Veltrix"), QStringLiteral("Ferrolink")).clear();
}

// A main window and a node it has discovered as "name" on 127.0.0.1.
struct Desk
{
    explicit Desk(const QStringList &senders = {"Cam 3"}, const QStringList &receivers = {"Mon 1"})
    {
        started = node.start();
        scriptNode(&node, senders, receivers);
        tx = window.findChildren<QComboBox *>().at(0);
        rx = window.findChildren<QComboBox *>().at(1);
        txLamp = window.findChildren<LightIndicator *>().at(0);
        rxLamp = window.findChildren<LightIndicator *>().at(1);
    }
    void discoverNode(const QString &name, const QString &host = QStringLiteral("127.0.0.1"))
    {
        discover(&window, name, host, node.port());
    }

    TestHttpServer node;
    bool started = false;
    MainWindow window;
    QComboBox *tx = nullptr;
    QComboBox *rx = nullptr;
    LightIndicator *txLamp = nullptr;
    LightIndicator *rxLamp = nullptr;
};

} // namespace

void tst_MainWindow::takesInDiscoveredNodeWithoutChoosingIt()
{
    Desk desk;
    QVERIFY(desk.started);
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("mDNS found NMOS Node: \"studio-gw-1\" \"http://127.0.0.1:%1/x-nmos/node/v1.3/self\"")
                                        .arg(desk.node.port())));
    desk.discoverNode("studio-gw-1");

    const QString address = desk.node.address();
    QCOMPARE(itemTexts(desk.tx), QStringList{QStringLiteral("studio-gw-1 (%1-Cam 3)").arg(address)});
    QCOMPARE(itemTexts(desk.rx), QStringList{QStringLiteral("studio-gw-1 (%1-Mon 1)").arg(address)});
    // Discovery alone selects nothing, so no check runs and no lamp lights.
    QCOMPARE(desk.tx->currentIndex(), -1);
    QCOMPARE(desk.rx->currentIndex(), -1);
    QCOMPARE(desk.tx->currentText(), QString());
    QVERIFY(!desk.txLamp->isOn() && !desk.rxLamp->isOn());
    QCOMPARE(desk.node.requestLines(), (QStringList{"GET /x-nmos/node/v1.3/senders/", "GET /x-nmos/node/v1.3/flows/",
                                                    "GET /x-nmos/node/v1.3/senders/", "GET /x-nmos/node/v1.3/receivers/",
                                                    "GET /x-nmos/node/v1.3/receivers/"}));

    const auto record = desk.tx->itemData(0).value<NmosClient::SenderConnection>();
    QCOMPARE(record.id, QStringLiteral("s0"));
    QCOMPARE(record.node.address, address);
    QCOMPARE(record.manifestHref, desk.node.url("/sdp"));
    QCOMPARE(QString::fromLatin1(desk.rx->itemData(0).typeName()), QStringLiteral("NmosClient::ReceiverConnection"));
    desk.rx->setCurrentIndex(0);
    QCOMPARE(desk.window.currentItemId(desk.rx), QStringLiteral("r0"));
    QCOMPARE(desk.window.currentItemAddress(desk.rx), address);
}

void tst_MainWindow::skipsDuplicatesAndSortsByCharacterCode()
{
    Desk zeta({"A", "A", "C"}, {});
    TestHttpServer alpha, empty;
    QVERIFY(zeta.started && alpha.start() && empty.start());
    scriptNode(&alpha, {"B"}, {});
    scriptNode(&empty, {}, {});

    discover(&zeta.window, "alpha", "127.0.0.1", alpha.port());
    zeta.discoverNode("Zeta");
    discover(&zeta.window, "alpha", "127.0.0.1", alpha.port());
    discover(&zeta.window, "empty", "127.0.0.1", empty.port());
    // Upper-case letters sort before lower-case ones; a label listed twice appears once.
    QCOMPARE(itemTexts(zeta.tx), (QStringList{QStringLiteral("Zeta (%1-A)").arg(zeta.node.address()),
                                              QStringLiteral("Zeta (%1-C)").arg(zeta.node.address()),
                                              QStringLiteral("alpha (%1-B)").arg(alpha.address())}));
    QCOMPARE(zeta.rx->count(), 0);
    // A node without receivers is asked for them once and no more.
    QCOMPARE(empty.requestLines(), (QStringList{"GET /x-nmos/node/v1.3/senders/", "GET /x-nmos/node/v1.3/receivers/"}));
}

void tst_MainWindow::takesInReportedNodeOnceAfterTheSignal()
{
    Desk desk;
    QVERIFY(desk.started);
    auto *discovery = desk.window.findChild<NMOSMdnsBrowser *>();
    QVERIFY(discovery);
    // A node whose counters change reports itself again and again: nothing is taken in
    // inside the signal, and the reports still waiting are taken in once.
    const QUrl url(desk.node.url("/x-nmos/node/v1.3/self"));
    for (int i = 0; i < 3; ++i)
        emit discovery->nodeSelfReady(QStringLiteral("burst"), url, QJsonDocument());
    QCOMPARE(desk.node.requestCount(), 0);
    QTRY_COMPARE(desk.rx->count(), 1);
    QTRY_COMPARE(desk.window.findChild<IntakeQueue *>()->size(), 0);
    QCOMPARE(desk.node.requestCount(), 5);
}

void tst_MainWindow::listsNodeOncePerAddress()
{
    Desk desk({"Cam 1"});
    QVERIFY(desk.started);
    desk.discoverNode("gw");
    desk.discoverNode("gw", "::1");
    QCOMPARE(itemTexts(desk.tx), (QStringList{QStringLiteral("gw (127.0.0.1:%1-Cam 1)").arg(desk.node.port()),
                                              QStringLiteral("gw (::1:%1-Cam 1)").arg(desk.node.port())}));
    QCOMPARE(desk.rx->count(), 2);

    // The IPv6 entry reaches its node: choosing it lights the lamp.
    desk.tx->setCurrentIndex(1);
    QVERIFY(desk.txLamp->isOn());
}

void tst_MainWindow::checksTheChosenItemsNode()
{
    clearSettings();
    Desk desk;
    QVERIFY(desk.started);

    // Typed text alone names no node: the check fails and stores nothing.
    desk.tx->setEditText(QStringLiteral("10.0.0.2"));
    QVERIFY(!desk.txLamp->isOn());
    QVERIFY(!storedSetting("lastTxIp").isValid());

    desk.discoverNode("studio-gw-1");
    desk.node.clearRequests();
    desk.tx->setCurrentIndex(0);
    QVERIFY(desk.txLamp->isOn());
    QVERIFY(!desk.rxLamp->isOn());
    QCOMPARE(storedSetting("lastTxIp").toString(), desk.tx->itemText(0));
    QCOMPARE(desk.node.requestLines(), QStringList{"GET /x-nmos/node/v1.3/senders/"});

    // Editing the text keeps asking the chosen item's node, and stores the text as typed.
    desk.tx->setEditText(QStringLiteral("  somewhere else  "));
    QVERIFY(desk.txLamp->isOn());
    QCOMPARE(storedSetting("lastTxIp").toString(), QStringLiteral("somewhere else"));
    QCOMPARE(desk.node.requestCount(), 2);

    desk.rx->setCurrentIndex(0);
    QVERIFY(desk.rxLamp->isOn());
    QCOMPARE(storedSetting("lastRxIp").toString(), desk.rx->itemText(0));

    // Clearing the text puts the lamp out without asking the node.
    desk.node.clearRequests();
    for (const QString &text : {QStringLiteral("   "), QString()}) {
        desk.rx->setEditText(text);
        QVERIFY(!desk.rxLamp->isOn());
    }
    QCOMPARE(desk.node.requestCount(), 0);

    // When the node stops listing senders the next check puts the lamp out and stores nothing.
    desk.node.setReply("GET", "/x-nmos/node/v1.3/senders/", TestHttpServer::Reply::json(QJsonArray()));
    desk.tx->setEditText(QStringLiteral("third"));
    QVERIFY(!desk.txLamp->isOn());
    QCOMPARE(storedSetting("lastTxIp").toString(), QStringLiteral("somewhere else"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
