#include "app/mainwindow.h"
#include "app/sdpdialog.h"
#include "discovery/nmosmdnsbrowser.h"
#include "mdns/responder.h"
#include "mdns/server.h"
#include "net/replylimits.h"
#include "nmos/nmosclient.h"
#include "tests/support/netns.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QComboBox>
#include <QJsonDocument>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

// What a node that lies, stalls or floods can make the tool do: each row is one behaviour
// of one node, met during intake, a run or an SDP view, or in its mDNS announcement. For
// each, the tool must not crash or hang, must not reach anything but the node's APIs, and
// must tell the operator plainly.
class tst_HostileNodes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void survivesNode_data();
    void survivesNode();
};

namespace {

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

const QByteArray Senders = nodePath("/senders/");
const QByteArray Receivers = nodePath("/receivers/");
const QByteArray Flows = nodePath("/flows/");
const QByteArray Devices = nodePath("/devices/");
const QByteArray RxStaged = connectionPath("/single/receivers/r-v1/staged");
const QByteArray Sdp = "v=0\r\no=- 1 1 IN IP4 10.77.0.1\r\ns=Cam 1\r\n";

// One node playing both sides: a camera "Cam 1" with a microphone, a monitor "Monitor 1"
// with a speaker, one device holding all four, and every endpoint willing.
void scriptDesk(TestHttpServer *node)
{
    const QJsonArray senders{senderJson("s-v1", "Cam 1", "f-v", node->url("/sdp/s-v1"), grouphint("g:v")),
                             senderJson("s-a1", "Mic 1", "f-a", node->url("/sdp/s-a1"), grouphint("g:a"))};
    const QJsonArray receivers{receiverJson("r-v1", "Monitor 1", VideoUrn, grouphint("g:v")),
                               receiverJson("r-a1", "Speaker 1", AudioUrn, grouphint("g:a"))};
    node->setReply("GET", Senders, Reply::json(senders));
    node->setReply("GET", Receivers, Reply::json(receivers));
    node->setReply("GET", Flows, Reply::json(QJsonArray{flowJson("f-v", VideoUrn), flowJson("f-a", AudioUrn)}));
    node->setReply("GET", Devices,
                   Reply::json(QJsonArray{deviceJson("d", {"s-v1", "s-a1"}, {"r-v1", "r-a1"})}));
    QList<QJsonObject> resources;
    for (const QJsonArray &list : {senders, receivers}) {
        for (const QJsonValue &value : list)
            resources.append(value.toObject());
    }
    for (const QJsonObject &resource : resources) {
        const QByteArray id = resource["id"].toString().toUtf8();
        const QByteArray kind = resource.contains("flow_id") ? "senders" : "receivers";
        node->setReply("GET", nodePath("/" + kind + "/" + id), Reply::json(resource));
        node->setReply("PATCH", connectionPath("/single/" + kind + "/" + id + "/staged"), Reply::json(QJsonObject()));
        node->setReply("GET", "/sdp/" + id, Reply::text(Sdp, 200, "application/sdp"));
        // A patch is only believed once the receiver reports it active.
        const QString activeSender = id == "r-v1" ? "s-v1" : "s-a1";
        node->setReply("GET", connectionPath("/single/receivers/" + id + "/active"),
                       Reply::json(QJsonObject{{"sender_id", activeSender}, {"master_enable", true}}));
        node->setReply("GET", connectionPath("/single/receivers/" + id + "/staged"),
                       Reply::json(QJsonObject{{"transport_file", QJsonObject{{"data", QString(Sdp)}, {"type", "application/sdp"}}}}));
    }
}

QByteArray nested(int depth)
{
    return QByteArray(depth, '[') + QByteArray(depth, ']');
}

QJsonArray manySenders(int count)
{
    QJsonArray list;
    for (int i = 0; i < count; ++i)
        list.append(senderJson(QStringLiteral("s-%1").arg(i), QStringLiteral("Cam %1").arg(i), "f-v", "http://127.0.0.1:9/x"));
    return list;
}

// A node announced by mDNS on fl1 from a responder of its own.
struct AnnouncedNode
{
    AnnouncedNode(const QByteArray &name, quint16 port, const QList<QHostAddress> &addresses,
                  const QMap<QByteArray, QByteArray> &txt)
        : server(QStringList{QStringLiteral("fl1")})
    {
        QMdnsEngine::Service service;
        service.setType("_nmos-node._tcp.local.");
        service.setName(name);
        service.setHostname("hostile-" + QByteArray::number(port) + ".local.");
        service.setPort(port);
        service.setAttributes(txt);
        responder = std::make_unique<QMdnsEngine::Responder>(&server, service);
        responder->setAddresses(addresses);
    }

    QMdnsEngine::Server server;
    std::unique_ptr<QMdnsEngine::Responder> responder;
};

// A main window fed the node as discovery would feed it; every box or dialog is recorded
// as "<kind>|<title>|<text>" and closed from its own modal loop.
struct Desk : QObject
{
    MainWindow window;
    QStringList shown;

    Desk() { qApp->installEventFilter(this); }
    ~Desk() override { qApp->removeEventFilter(this); }

    QComboBox *combo(int row) const { return window.findChildren<QComboBox *>().value(row); }
    QPushButton *button(const QString &text) const
    {
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->text() == text)
                return button;
        }
        return nullptr;
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (event->type() != QEvent::Show || !dialog || !dialog->isWindow())
            return false;
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            const QString kind = QStringList{"", "information", "warning", "critical", "question"}.value(box->icon());
            // A node's text is never read as markup.
            shown << (box->textFormat() == Qt::PlainText ? kind : "markup") + '|' + box->windowTitle() + '|' + box->text();
        } else if (auto *sdp = qobject_cast<SdpDialog *>(dialog)) {
            shown << "sdp|" + sdp->windowTitle() + '|' + sdp->text();
        }
        QTimer::singleShot(0, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        return false;
    }
};

} // namespace

void tst_HostileNodes::initTestCase()
{
    // The main window and the announcements send mDNS.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<QMap<QString, QString>>();
    // A stalled node costs each row this long, not the real 10 s.
    ReplyLimits::setTransferTimeoutMs(2000);
}

void tst_HostileNodes::survivesNode_data()
{
    // "intake": the node is discovered; "connect", "txsdp", "rxsdp": Cam 1 and Monitor 1 are
    // chosen and the run or view is made; "announce": the node is announced by mDNS.
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("path"); // the request the node answers its own way
    QTest::addColumn<Reply>("reply");
    // intake: "<transmitter items>,<receiver items>"; announce: what discovery reported;
    // otherwise the one box or dialog shown, "<kind>|<title>|<text>" ("~" and a pattern).
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("sent"); // a pattern that one request line must match; empty: none

    const auto sender = [](const QJsonValue &id, const QJsonValue &label, const QJsonValue &flow, const QJsonValue &href) {
        return QJsonObject{{"id", id}, {"label", label}, {"flow_id", flow}, {"manifest_href", href}};
    };
    const auto receivers = [](const QJsonValue &id, const QJsonValue &label) {
        return Reply::json(QJsonArray{QJsonObject{{"id", id}, {"label", label}, {"format", VideoUrn}}});
    };
    const QString videoFailed = "critical|Connect|Patch failed on video:\n";

    // JSON of the wrong type at every level.
    QTest::newRow("list is an object") << "intake" << Senders << Reply::json(QJsonObject{{"id", "s-v1"}}) << "0,1" << "";
    QTest::newRow("entries are not objects") << "intake" << Receivers << Reply::text("[1,\"r\",null,[],true]") << "1,0" << "";
    QTest::newRow("members of wrong types")
        << "intake" << Senders << Reply::json(QJsonArray{sender(5, QJsonArray{"Cam"}, QJsonObject(), 7)}) << "0,1" << "";
    QTest::newRow("flow format a number")
        << "intake" << Flows << Reply::json(QJsonArray{QJsonObject{{"id", "f-v"}, {"format", 1}}}) << "0,1" << "";
    QTest::newRow("device lists of wrong types")
        << "connect" << Devices << Reply::json(QJsonArray{QJsonObject{{"senders", "s-a1"}, {"receivers", 3}}}) << "" << "";
    QTest::newRow("staged file of wrong type")
        << "rxsdp" << RxStaged << Reply::json(QJsonObject{{"transport_file", "v=0"}}) << "~sdp\\|.*\\|\n\n\n.*" << "";
    QTest::newRow("staged is an array") << "rxsdp" << RxStaged << Reply::text("[{}]")
                                        << "warning|SDP|Nothing is connected/Failed to fetch SDP." << "";
    // Floods and broken transfers.
    QTest::newRow("100,000 senders") << "intake" << Senders << Reply::json(manySenders(100000)) << "100000,1" << "";
    QTest::newRow("JSON nested 10,000 deep") << "intake" << Receivers << Reply::text(nested(10000)) << "1,0" << "";
    QTest::newRow("body twice the cap") << "intake" << Senders << Reply::generated(2 * ReplyLimits::MaxReplySize, true) << "0,1" << "";
    QTest::newRow("reply cut mid-body") << "intake" << Receivers
                                        << Reply::closeMidReply(QJsonDocument(QJsonArray{receiverJson("r-v1", "Monitor 1", VideoUrn)}).toJson())
                                        << "1,0" << "";
    QTest::newRow("redirect loop") << "intake" << Senders << Reply::redirect(302, Senders) << "0,1" << "";
    QTest::newRow("list never answers") << "intake" << Receivers << Reply::neverAnswer() << "1,0" << "";
    QTest::newRow("transport file twice the cap")
        << "txsdp" << QByteArray("/sdp/s-v1") << Reply::generated(2 * ReplyLimits::MaxReplySize, true)
        << "warning|SDP|Failed to fetch SDP from sender." << "PATCH .*/single/senders/s-v1/staged";
    QTest::newRow("PATCH never answers") << "connect" << RxStaged << Reply::neverAnswer()
                                         << videoFailed + "Request timed out: no progress for 2 s" << "";
    QTest::newRow("PATCH refused in markup")
        << "connect" << RxStaged << Reply::json(QJsonObject{{"code", 400}, {"error", "<b>No</b>\nway"}}, 400)
        << videoFailed + "HTTP 400: <b>No</b>\nway" << "";
    // Texts and ids meant to mislead.
    QTest::newRow("label with markup, new line and RTL mark")
        << "intake" << Receivers << receivers("r-v1", "<b>Mon</b>\nitor \u202e1") << "1,1" << "";
    QTest::newRow("label of invalid UTF-8") << "intake" << Receivers
                                            << Reply::text("[{\"id\":\"r-v1\",\"label\":\"\xff\xfe\",\"format\":\"" + VideoUrn.toUtf8() + "\"}]")
                                            << "1,0" << "";
    QTest::newRow("ids with / and ..")
        << "connect" << Receivers << receivers("../r-v1/..", "Monitor 1") << videoFailed + "HTTP 404"
        << "PATCH /x-nmos/connection/v1.1/single/receivers/..%2Fr-v1%2F../staged";
    QTest::newRow("id that is ..") << "connect" << Receivers << receivers("..", "Monitor 1")
                                   << videoFailed + "Receiver id \"..\" cannot be used in a URL" << "";
    QTest::newRow("manifest with scheme file")
        << "connect" << Senders << Reply::json(QJsonArray{sender("s-v1", "Cam 1", "f-v", "file:///etc/passwd")})
        << videoFailed + "Failed to fetch Sender SDP." << "PATCH .*/single/senders/s-v1/staged";
    // The announcement itself.
    QTest::newRow("TXT with 255 keys") << "announce" << QByteArray() << Reply() << "self, 255 keys" << "GET .*/self";
    QTest::newRow("name with NUL bytes") << "announce" << QByteArray() << Reply() << "self, 0 keys" << "GET .*/self";
    QTest::newRow("address is the multicast group") << "announce" << QByteArray() << Reply() << "error" << "";
}

void tst_HostileNodes::survivesNode()
{
    QFETCH(QString, action);
    QFETCH(QByteArray, path);
    QFETCH(Reply, reply);
    QFETCH(QString, expected);
    QFETCH(QString, sent);
    const QString row = QString::fromUtf8(QTest::currentDataTag());

    TestHttpServer node;
    QVERIFY(node.start());
    scriptDesk(&node);
    if (!path.isEmpty())
        node.setReply(action == "connect" && path == RxStaged ? "PATCH" : "GET", path, reply);

    if (action == "announce") {
        QMap<QByteArray, QByteArray> txt;
        for (int i = 0; row.startsWith("TXT") && i < 255; ++i)
            txt.insert("k" + QByteArray::number(i), "v");
        QList<QHostAddress> addresses{QHostAddress::LocalHost};
        if (row.startsWith("SRV"))
            addresses.clear();
        else if (row.contains("multicast"))
            addresses = {QHostAddress("224.0.0.251")};
        const QByteArray name = row.contains("NUL") ? QByteArray("evil\0node", 9) : QByteArray("hostile-node");
        node.setReply("GET", "/x-nmos/node/v1.3/self", Reply::json(QJsonObject{{"id", "n"}}));

        NMOSMdnsBrowser browser;
        QSignalSpy discovered(&browser, &NMOSMdnsBrowser::nodeDiscovered);
        QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
        QSignalSpy error(&browser, &NMOSMdnsBrowser::nodeError);
        AnnouncedNode announced(name, node.port(), addresses, txt);
        browser.start();
        QTRY_VERIFY_WITH_TIMEOUT(discovered.count() > 0, 10000);
        QCOMPARE(discovered.at(0).at(0).toString(), QString::fromUtf8(name));
        if (expected == "nothing") {
            // Nothing to wait for but a resolver that never answers; it must hold nothing up.
            QTest::qWait(1000);
            QCOMPARE(ready.count() + error.count(), 0);
        } else if (expected == "error") {
            QTRY_VERIFY_WITH_TIMEOUT(error.count() > 0, 10000);
            QCOMPARE(ready.count(), 0);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(ready.count() > 0, 10000);
            const auto keys = discovered.at(0).at(3).value<QMap<QString, QString>>();
            QCOMPARE(QStringLiteral("self, %1 keys").arg(keys.size()), expected);
        }
    } else {
        Desk desk;
        QMetaObject::invokeMethod(&desk.window, "onMdnsDeviceFound", Qt::DirectConnection, Q_ARG(QString, "hostile"),
                                  Q_ARG(QUrl, QUrl("http://" + node.address())), Q_ARG(QJsonDocument, {}));
        if (action == "intake") {
            QCOMPARE(QStringLiteral("%1,%2").arg(desk.combo(0)->count()).arg(desk.combo(1)->count()), expected);
            for (int row = 0; row < 2; ++row) {
                for (int i = 0; i < qMin(desk.combo(row)->count(), 10); ++i) {
                    // One line, read left to right as written: a label cannot disguise its entry.
                    const QString text = desk.combo(row)->itemText(i);
                    QVERIFY2(!text.contains(QRegularExpression("[\\x{0}-\\x{1f}\\x{202a}-\\x{202e}\\x{2066}-\\x{2069}]")),
                             qPrintable(text));
                }
            }
        } else {
            for (int row = 0; row < 2; ++row) {
                QComboBox *combo = desk.combo(row);
                combo->setCurrentIndex(combo->findText(row == 0 ? "-Cam 1)" : "-Monitor 1)", Qt::MatchEndsWith));
                QVERIFY(combo->currentIndex() >= 0);
            }
            node.clearRequests();
            const QString text = action == "connect" ? "Connect (Tx->Rx)" : "Show SDP\u2026";
            QPushButton *button = desk.button(text);
            if (action == "rxsdp")
                button = desk.window.findChildren<QPushButton *>().value(1);
            QVERIFY(button);
            button->click();
            if (expected.isEmpty()) {
                QCOMPARE(desk.shown, QStringList());
            } else {
                QCOMPARE(desk.shown.size(), 1);
                const QRegularExpression pattern(QRegularExpression::anchoredPattern(expected.mid(1)),
                                                 QRegularExpression::DotMatchesEverythingOption);
                if (expected.startsWith('~'))
                    QVERIFY2(pattern.match(desk.shown.first()).hasMatch(), qPrintable(desk.shown.first()));
                else
                    QCOMPARE(desk.shown.first(), expected);
            }
        }
    }

    // Nothing but the node's own APIs and transport files was asked for.
    const QStringList lines = node.requestLines();
    for (const QString &line : lines)
        QVERIFY2(line.contains(QRegularExpression("^(GET|PATCH) (/x-nmos/|/sdp/)")), qPrintable(line));
    if (!sent.isEmpty())
        QVERIFY2(!lines.filter(QRegularExpression(sent)).isEmpty(), qPrintable(lines.join('\n')));
}

QTEST_MAIN(tst_HostileNodes)
#include "tst_hostilenodes.moc"
