#include "net/replylimits.h"
#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QtTest>

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

namespace {

const QString Untouched = QStringLiteral("<untouched>");
const QString Old = QStringLiteral("old");
const QString SdpFailure = QStringLiteral("Failed to fetch Sender SDP.");
// A reply whose status is 0 stands for a node that is down: the test stops the server.
const Reply NodeDown = Reply::empty(0);
const QByteArray SdpPath = "/sdp/s1.sdp";
// Real resource ids, as the published schemas want them.
const QByteArray SenderId = "0b6e3c1a-5f2d-4e8b-9c47-1d2e3f4a5b6c";
const QByteArray ReceiverId = "7d9f0a2b-3c4e-4f5a-8b6c-7d8e9f0a1b2c";
const QByteArray SenderStaged = connectionPath("/single/senders/" + SenderId + "/staged");
const QByteArray ReceiverStaged = connectionPath("/single/receivers/" + ReceiverId + "/staged");
// Not ASCII, so a transport file read as anything but UTF-8 shows.
const QByteArray Sdp1 = "v=0\r\no=- 1 1 IN IP4 10.0.0.7\r\ns=Cam 1 \xc3\xa9t\xc3\xa9\r\n";

// The expected error text: Untouched, an exact text, or "~" and a pattern.
void compareError(const QString &got, const QString &expected)
{
    if (expected.startsWith(QLatin1Char('~')))
        QVERIFY2(got != Untouched && QRegularExpression(expected.mid(1)).match(got).hasMatch(), qPrintable(got));
    else
        QCOMPARE(got, expected);
}

} // namespace

// NmosClient against a scripted node: the transport and its limits, the Node API lookups,
// the group matching and the Connection API operations.
class tst_NmosClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readsManifestOnlyFromWeb_data();
    void readsManifestOnlyFromWeb();
    void bracketsIpv6Host_data();
    void bracketsIpv6Host();
    void reachesIpv6Node_data();
    void reachesIpv6Node();
    void abortsOnlyStalledRequest();
    void looksUpResources_data();
    void looksUpResources();
    void fillsGroup_data();
    void fillsGroup();
    void connectsReceiver_data();
    void connectsReceiver();
    void patchesAndVerifies_data();
    void patchesAndVerifies();
    void encodesIdAsOneSegment_data();
    void encodesIdAsOneSegment();
    void bodiesMatchConnectionApiSchemas();

private:
    // Scripts the reply, or stops the node for NodeDown.
    static void script(TestHttpServer *node, const QByteArray &method, const QByteArray &path, const Reply &reply)
    {
        node->setReply(method, path, reply);
        if (reply.status == 0)
            node->stop();
    }
    NmosClient::NodeEndpoint tx() const { return {m_tx->address()}; }
    NmosClient::SenderGroup senderGroup() const { return {SenderId, "Cam 1", m_tx->url(SdpPath), tx(), {}, {}}; }
    NmosClient::ReceiverGroup receiverGroup() const { return {ReceiverId, "Mon 1", {m_rx->address()}, {}, {}}; }

    std::unique_ptr<TestHttpServer> m_tx, m_rx;
    QNetworkAccessManager m_manager;
};

void tst_NmosClient::init()
{
    m_tx = std::make_unique<TestHttpServer>();
    m_rx = std::make_unique<TestHttpServer>();
    QVERIFY(m_tx->start() && m_rx->start());
}

void tst_NmosClient::readsManifestOnlyFromWeb_data()
{
    QTest::addColumn<QString>("href"); // "%file" is a readable local SDP file, "%port" the node's port
    QTest::addColumn<QList<Reply>>("replies"); // one per read, the last one stays
    QTest::addColumn<bool>("result");

    const QString http = QStringLiteral("http://127.0.0.1:%port/video.sdp");
    const QList<Reply> sdp{Reply::text(Sdp1, 200, "application/sdp")};
    const qint64 limit = ReplyLimits::MaxReplySize;
    QTest::newRow("200 SDP") << http << sdp << true;
    QTest::newRow("200 empty") << http << QList<Reply>{Reply::empty(200)} << false;
    // Followed, the redirect would fetch the file on the second read.
    QTest::newRow("redirect not followed") << http << QList<Reply>{Reply::redirect(302, "/video.sdp")} + sdp << false;
    QTest::newRow("exactly the size limit") << http << QList<Reply>{Reply::generated(limit)} << true;
    QTest::newRow("one byte over, chunked") << http << QList<Reply>{Reply::generated(limit + 1, true)} << false;
    QTest::newRow("upper-case scheme") << "HTTP://127.0.0.1:%port/video.sdp" << sdp << true;
    QTest::newRow("IPv6 node") << "http://::1:%port/video.sdp" << sdp << true;
    QTest::newRow("file URL") << "file://%file" << sdp << false;
    QTest::newRow("local path") << "%file" << sdp << false;
}

void tst_NmosClient::readsManifestOnlyFromWeb()
{
    QFETCH(QString, href);
    QFETCH(QList<Reply>, replies);
    QFETCH(bool, result);
    if (href.contains("::1") && !m_tx->hasAddress6())
        QSKIP("this host has no IPv6 loopback");

    QTemporaryFile file;
    QVERIFY(file.open() && file.write(Sdp1) > 0 && file.flush());
    for (const Reply &reply : replies)
        m_tx->addReply("GET", "/video.sdp", reply);
    NmosClient::SenderGroup sender;
    sender.manifestHref = href.replace("%file", file.fileName()).replace("%port", QString::number(m_tx->port()));
    QString sdp = Untouched;
    MessageLog log;
    QCOMPARE(NmosClient().getManifest(sender, &sdp), result);
    const Reply &last = replies.last();
    const QByteArray body = last.kind == Reply::Generated ? QByteArray(int(last.generatedSize), 'x') : last.body;
    QCOMPARE(sdp, result ? QString::fromUtf8(body) : Untouched);
    // Anything but the web is refused, and said so.
    const bool web = href.startsWith("http", Qt::CaseInsensitive);
    QCOMPARE(m_tx->requestCount(), web ? 1 : 0);
    QCOMPARE(log.warnings().filter("Transport file address is not an http or https URL").size(), web ? 0 : 1);
}

void tst_NmosClient::bracketsIpv6Host_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    QTest::newRow("port and path") << "http://fe80::1:8080/x-nmos/node/v1.3/senders/" << "http://[fe80::1]:8080/x-nmos/node/v1.3/senders/";
    QTest::newRow("query ends authority") << "http://fe80::1:8080?q=a::b" << "http://[fe80::1]:8080?q=a::b";
    QTest::newRow("hex last group is no port") << "http://fe80::1:abcd/x" << "http://[fe80::1:abcd]/x";
    QTest::newRow("IPv4-mapped") << "http://::ffff:10.0.0.7:8080/x" << "http://[::ffff:10.0.0.7]:8080/x";
    QTest::newRow("zone with odd characters") << "http://fe80::1%a b:80/x" << "http://[fe80::1%25a%20b]:80/x";
    QTest::newRow("full form with port") << "http://2001:db8:1:2:3:4:5:6:8080/x" << "http://[2001:db8:1:2:3:4:5:6]:8080/x";
    QTest::newRow("already bracketed") << "http://[fe80::1]:8080/x" << "http://[fe80::1]:8080/x";
    QTest::newRow("host name, colons in the path") << "http://studio-gw-1.local:80/x::y" << "http://studio-gw-1.local:80/x::y";
}
void tst_NmosClient::bracketsIpv6Host()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(NmosClient::bracketIpv6Host(url), expected);
}

void tst_NmosClient::reachesIpv6Node_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("loopback") << "::1";
    QTest::newRow("link-local with zone") << "fl0";
}

void tst_NmosClient::reachesIpv6Node()
{
    QFETCH(QString, host);
    TestHttpServer node;
    if (host == "fl0") {
        // Only inside the private namespace is there a link-local address of our own to serve on.
        if (!insidePrivateNetns())
            QSKIP("needs the link-local address of fl0: runs only inside tools/netns-run");
        for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl0").addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
                host = entry.ip().toString().section(QLatin1Char('%'), 0, 0) + "%fl0";
        }
    } else if (!m_rx->hasAddress6()) {
        QSKIP("this host has no IPv6 loopback");
    }
    QVERIFY2(node.start({host}), qPrintable(host));
    node.setReply("GET", nodePath("/senders/"), Reply::json(QJsonArray{QJsonObject{{"id", "s"}}}));
    node.setReply("PATCH", ReceiverStaged, Reply::json(QJsonObject()));
    NmosClient::ReceiverGroup receiver = receiverGroup();
    receiver.node.address = QStringLiteral("%1:%2").arg(host).arg(node.port());
    NmosClient client;
    MessageLog log;
    QString error;
    QVERIFY(client.hasSenders(receiver.node));
    QVERIFY2(client.disconnectReceiver(receiver, &error), qPrintable(error));
    // Without its zone a link-local address names no interface: this is what the zone fixes.
    if (host.contains('%'))
        QVERIFY(!client.hasSenders({QStringLiteral("%1:%2").arg(host.section('%', 0, 0)).arg(node.port())}));
}

void tst_NmosClient::abortsOnlyStalledRequest()
{
    ReplyLimits::setTransferTimeoutMs(300);
    const auto restore = qScopeGuard([] { ReplyLimits::setTransferTimeoutMs(ReplyLimits::DefaultTransferTimeoutMs); });
    m_tx->setReply("GET", "/outer", Reply::text("outer body").delayed(30));
    m_tx->setReply("GET", "/inner-first", Reply::text("first").delayed(150));
    m_tx->setReply("GET", nodePath("/senders/"), Reply::neverAnswer());
    NmosClient client;
    MessageLog log;
    bool innerResult = true;
    // A handler inside the GET's nested loop holds it past the transfer timeout after the
    // GET's last progress: a short request, then a stalled one. Only the stalled one fails.
    QTimer::singleShot(0, this, [&] {
        QCOMPARE(NmosClient::syncGet(&m_manager, m_tx->url("/inner-first")), QByteArray("first"));
        innerResult = client.hasSenders(tx());
    });
    QString error = Untouched;
    QCOMPARE(NmosClient::syncGet(&m_manager, m_tx->url("/outer"), nullptr, &error), QByteArray("outer body"));
    QCOMPARE(error, Untouched);
    QVERIFY(!innerResult);
    QCOMPARE(log.warnings().size(), 1);
    QVERIFY2(log.warnings().first().startsWith("Unable to connect: \"Request timed out"), qPrintable(log.warnings().first()));
}

void tst_NmosClient::looksUpResources_data()
{
    QTest::addColumn<QByteArray>("collection");
    QTest::addColumn<Reply>("resources");
    QTest::addColumn<QString>("call"); // "list" the video entries, or find one: "video", "audio", "data", "video:<preferred id>"
    QTest::addColumn<QStringList>("expected"); // "id|label|manifestHref" of each record, in order

    const QByteArray s = "senders", r = "receivers";
    const auto json = [](std::initializer_list<QJsonValue> list) { return Reply::json(QJsonArray(list)); };
    // Listed receivers: every format enters the label set, but only video ones are listed.
    QTest::newRow("list receivers, same label twice")
        << r << json({receiverJson("r1", "Cam 1", VideoUrn), receiverJson("r2", "Cam 1", VideoUrn)}) << "list" << QStringList{"r1|Cam 1|"};
    QTest::newRow("list receivers, audio first takes the label")
        << r << json({receiverJson("a1", "Cam 1", AudioUrn), receiverJson("r1", "Cam 1", VideoUrn)}) << "list" << QStringList();
    // Listed senders: only video senders, by their flow, enter the label set.
    QTest::newRow("list senders in sender order") << s << json({senderJson("sv2", "Cam 2", "fv2", "http://n/2"), senderJson("sv1", "Cam 1", "fv1")})
                                                  << "list" << QStringList{"sv2|Cam 2|http://n/2", "sv1|Cam 1|"};
    QTest::newRow("list senders, audio label does not hide video")
        << s << json({senderJson("a", "Cam 1", "fa"), senderJson("sv1", "Cam 1", "fv1")}) << "list" << QStringList{"sv1|Cam 1|"};

    const Reply senders = json({senderJson("sa", "Mic", "fa", "http://n/sa"), senderJson("sv2", "Cam 2", "fv2", "http://n/sv2"),
                                senderJson("sv1", "Cam 1", "fv1", "http://n/sv1"), senderJson("sd", "Anc", "fd", "http://n/sd")});
    QTest::newRow("sender of the first video flow") << s << senders << "video" << QStringList{"sv1|Cam 1|http://n/sv1"};
    QTest::newRow("audio sender") << s << senders << "audio" << QStringList{"sa|Mic|http://n/sa"};
    QTest::newRow("data sender") << s << senders << "data" << QStringList{"sd|Anc|http://n/sd"};
    QTest::newRow("first video flow without sender") << s << json({senderJson("sv2", "Cam 2", "fv2", "http://n/sv2")}) << "video" << QStringList();
    QTest::newRow("preferred id of an audio sender") << s << senders << "video:sa" << QStringList{"sa|Mic|http://n/sa"};
    QTest::newRow("sender without manifest_href") << s << json({senderJson("sv1", "Cam 1", "fv1")}) << "video" << QStringList();
    const Reply receivers = json({receiverJson("ra", "Mic", AudioUrn), receiverJson("rv1", "Mon 1", VideoUrn), receiverJson("rv2", "Mon 2", VideoUrn)});
    QTest::newRow("first video receiver") << r << receivers << "video" << QStringList{"rv1|Mon 1|"};
    QTest::newRow("audio receiver") << r << receivers << "audio" << QStringList{"ra|Mic|"};
    QTest::newRow("preferred video receiver id") << r << receivers << "video:rv2" << QStringList{"rv2|Mon 2|"};
    QTest::newRow("preferred id of an audio receiver") << r << receivers << "video:ra" << QStringList();
}

void tst_NmosClient::looksUpResources()
{
    QFETCH(QByteArray, collection);
    QFETCH(Reply, resources);
    QFETCH(QString, call);
    QFETCH(QStringList, expected);

    m_tx->setReply("GET", nodePath("/flows/"), Reply::json(QJsonArray{flowJson("fa", AudioUrn), flowJson("fv1", VideoUrn),
                                                                      flowJson("fd", DataUrn), flowJson("fv2", VideoUrn)}));
    m_tx->setReply("GET", nodePath("/" + collection + "/"), resources);
    NmosClient client;
    QStringList got;
    // Each record names its node; a listed one also has its combo text.
    const auto record = [&](const auto &entry, const QString &manifestHref, const QString &displayName) {
        got.append(entry.id + '|' + entry.label + '|' + manifestHref);
        QCOMPARE(entry.node.address, m_tx->address());
        if (!displayName.isNull())
            QCOMPARE(displayName, QStringLiteral("Bühne (%1-%2)").arg(m_tx->address(), entry.label));
    };
    const bool senders = collection == "senders";
    if (call == "list" && senders) {
        for (const NmosClient::SenderConnection &entry : client.videoSenders(tx(), "Bühne"))
            record(entry, entry.manifestHref, entry.displayName);
    } else if (call == "list") {
        for (const NmosClient::ReceiverConnection &entry : client.videoReceivers(tx(), "Bühne"))
            record(entry, QString(), entry.displayName);
    } else {
        const auto format = NmosClient::Format(QStringList{"video", "audio", "data"}.indexOf(call.section(':', 0, 0)));
        // The grouping lists belong to the group matching, not to the lookup: they stay.
        NmosClient::SenderGroup sender{Old, Old, Old, {Old}, {"a1"}, {"d1"}};
        NmosClient::ReceiverGroup receiver{Old, Old, {Old}, {"a1"}, {"d1"}};
        if (senders && client.findSender(tx(), format, &sender, call.section(':', 1)))
            record(sender, sender.manifestHref, QString());
        else if (!senders && client.findReceiver(tx(), format, &receiver, call.section(':', 1)))
            record(receiver, QString(), QString());
        QCOMPARE(sender.audioIds + sender.dataIds + receiver.audioIds + receiver.dataIds, QStringList({"a1", "d1", "a1", "d1"}));
    }
    QCOMPARE(got, expected);
}

void tst_NmosClient::fillsGroup_data()
{
    QTest::addColumn<QByteArray>("collection");
    QTest::addColumn<Reply>("devices"); // status 0: the node is down
    QTest::addColumn<Reply>("members"); // the reply to "/<collection>/"
    QTest::addColumn<QStringList>("audio"); // "old": left alone
    QTest::addColumn<QStringList>("data");

    // Grouped with the chosen "sv"/"rv" (of "Studio A:Video") by grouphint prefix, on its device.
    const QJsonArray senders{senderJson("sa1", "Mic 1", "fa1", "", grouphint("Studio A:Audio 1")),
                             senderJson("sa2", "Mic 2", "fa2", "", grouphint("Studio A:Audio 2")),
                             senderJson("sd", "Anc", "fd", "", grouphint("Studio A:Anc")),
                             senderJson("sb", "Mic B", "fb", "", grouphint("Studio B:Audio")),
                             senderJson("so", "Mic O", "fo", "", grouphint("Studio A:Audio 3"))};
    const QJsonObject d1 = deviceJson("d1", {"sv", "sa1", "sa2", "sd", "sb"}, {}), d2 = deviceJson("d2", {"so"}, {});
    const QByteArray s = "senders", r = "receivers";
    QTest::newRow("senders: audio in flow order, data, same device only")
        << s << Reply::json(QJsonArray{d1, d2}) << Reply::json(senders) << QStringList{"sa2", "sa1"} << QStringList{"sd"};
    QTest::newRow("senders: first device listing the chosen id") << s << Reply::json(QJsonArray{deviceJson("d2", {"so", "sv"}, {}), d1})
                                                                 << Reply::json(senders) << QStringList{"so"} << QStringList();
    QTest::newRow("senders: device member and grouphint not arrays")
        << s << Reply::json(QJsonArray{QJsonObject{{"id", "d0"}, {"senders", "sv"}}, d1})
        << Reply::json(QJsonArray{senderJson("sa1", "Mic 1", "fa1", "", {{GroupHintKey, "Studio A:Audio 1"}}), senders.at(1)})
        << QStringList{"sa2"} << QStringList();

    const QJsonArray receivers{receiverJson("ra2", "Ear 2", AudioUrn, grouphint("Studio A:Audio 2")),
                               receiverJson("rd", "Anc", DataUrn, grouphint("Studio A:Anc")),
                               receiverJson("rv2", "Mon 2", VideoUrn, grouphint("Studio A:Video 2")),
                               receiverJson("ra1", "Ear 1", AudioUrn, grouphint("Studio A:Audio 1")),
                               receiverJson("rb", "Ear B", AudioUrn, grouphint("Studio B:Audio")),
                               receiverJson("ro", "Ear O", AudioUrn, grouphint("Studio A:Audio 3"))};
    const Reply rxDevices = Reply::json(QJsonArray{deviceJson("d1", {}, {"rv", "ra2", "rd", "rv2", "ra1", "rb"}), deviceJson("d2", {}, {"ro"})});
    QTest::newRow("receivers: receiver order, same device only, video passed over")
        << r << rxDevices << Reply::json(receivers) << QStringList{"ra2", "ra1"} << QStringList{"rd"};
    QTest::newRow("receivers: one id twice") << r << rxDevices << Reply::json(QJsonArray{receivers.at(3), receivers.at(0), receivers.at(3)})
                                             << QStringList{"ra1", "ra2"} << QStringList();
    QTest::newRow("receivers: format missing or other")
        << r << rxDevices << Reply::json(QJsonArray{QJsonObject{{"id", "ra1"}, {"tags", grouphint("Studio A:Audio")}},
                                                    receiverJson("ra2", "Ear 2", "urn:x-nmos:format:mux", grouphint("Studio A:Mux"))})
        << QStringList() << QStringList();
    QTest::newRow("receivers: node down") << r << NodeDown << Reply::json(receivers) << QStringList{Old} << QStringList{Old};
}

void tst_NmosClient::fillsGroup()
{
    QFETCH(QByteArray, collection);
    QFETCH(Reply, devices);
    QFETCH(Reply, members);
    QFETCH(QStringList, audio);
    QFETCH(QStringList, data);

    // The chosen one's id is sent as one path segment.
    const QString chosen = collection == "senders" ? "s/v" : "r/v";
    const QJsonObject tags = grouphint("Studio A:Video");
    m_tx->setReply("GET", nodePath("/" + collection + "/" + QUrl::toPercentEncoding(chosen)),
                   Reply::json(collection == "senders" ? senderJson(chosen, "Cam", "fv", "", tags) : receiverJson(chosen, "Mon", VideoUrn, tags)));
    m_tx->setReply("GET", nodePath("/" + collection + "/"), members);
    m_tx->setReply("GET", nodePath("/flows/"), Reply::json(QJsonArray{flowJson("fv", VideoUrn), flowJson("fa2", AudioUrn), flowJson("fd", DataUrn),
                                                                      flowJson("fa1", AudioUrn), flowJson("fb", AudioUrn), flowJson("fo", AudioUrn)}));
    devices.body.replace("\"sv\"", "\"s/v\"").replace("\"rv\"", "\"r/v\"");
    const NmosClient::NodeEndpoint node = tx();
    script(m_tx.get(), "GET", nodePath("/devices/"), devices);
    NmosClient client;
    MessageLog log;
    // Only the two lists are the grouping's to write.
    NmosClient::SenderGroup sender{chosen, "Cam", "http://node/sdp", node, {Old}, {Old}};
    NmosClient::ReceiverGroup receiver{chosen, "Mon", node, {Old}, {Old}};
    if (collection == "senders")
        client.fillSenderGroup(&sender);
    else
        client.fillReceiverGroup(&receiver);
    QCOMPARE(QStringList({sender.id, sender.label, sender.manifestHref, receiver.id, receiver.label}),
             QStringList({chosen, "Cam", "http://node/sdp", chosen, "Mon"}));
    QCOMPARE(collection == "senders" ? sender.audioIds : receiver.audioIds, audio);
    QCOMPARE(collection == "senders" ? sender.dataIds : receiver.dataIds, data);
}

void tst_NmosClient::connectsReceiver_data()
{
    QTest::addColumn<Reply>("manifest");
    QTest::addColumn<Reply>("activation");
    QTest::addColumn<Reply>("receiver"); // status 0: the node is down
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QByteArray>("sdp"); // "transport_file"."data" sent; null: not patched

    const Reply sdp1 = Reply::text(Sdp1, 200, "application/sdp");
    const Reply missing = Reply::text("not here", 404);
    const Reply accepted = Reply::json(QJsonObject{{"master_enable", true}});
    QTest::newRow("transport file at once") << sdp1 << accepted << accepted << true << Untouched << Sdp1;
    // The file that a sender publishes once activated is sent: the end-to-end test's shy camera.
    QTest::newRow("404, activated, 404") << missing << accepted << accepted << false << SdpFailure << QByteArray();
    QTest::newRow("404, activation refused") << missing << Reply::empty(500) << accepted << true << SdpFailure << QByteArray("");
    // A refusal is named by its status and the node's own reason, never left to an earlier text.
    const QJsonObject badSdp{{"code", 400}, {"error", " Unsupported transport file "}, {"debug", QJsonValue()}};
    QTest::newRow("receiver 400") << sdp1 << accepted << Reply::json(badSdp, 400) << false << "HTTP 400: Unsupported transport file" << Sdp1;
    QTest::newRow("receiver 400, long reason") << sdp1 << accepted << Reply::json(QJsonObject{{"error", QString(100000, 'x')}}, 400)
                                               << false << "HTTP 400: " + QString(300, 'x') + "\u2026" << Sdp1;
    QTest::newRow("receiver 302") << sdp1 << accepted << Reply::redirect(302, "/elsewhere") << false << "HTTP 302" << Sdp1;
    QTest::newRow("receiver node down") << sdp1 << accepted << NodeDown << false << "~Connection refused" << QByteArray();
}

void tst_NmosClient::connectsReceiver()
{
    QFETCH(Reply, manifest);
    QFETCH(Reply, activation);
    QFETCH(Reply, receiver);
    QFETCH(bool, result);
    QFETCH(QString, error);
    QFETCH(QByteArray, sdp);

    m_tx->setReply("GET", SdpPath, manifest);
    m_tx->setReply("PATCH", SenderStaged, activation);
    const NmosClient::ReceiverGroup receiverRecord = receiverGroup();
    script(m_rx.get(), "PATCH", ReceiverStaged, receiver);

    QString gotError = Untouched;
    MessageLog log;
    QCOMPARE(NmosClient().connectReceiver(senderGroup(), receiverRecord, &gotError), result);
    compareError(gotError, error);
    QCOMPARE(log.all(), QStringList());
    // Only a sender whose file could not be read is activated.
    QCOMPARE(m_tx->requestLines().contains("PATCH " + SenderStaged), manifest.status != 200);
    const QList<TestHttpServer::Request> requests = m_rx->requests();
    QCOMPARE(requests.size(), sdp.isNull() ? 0 : 1);
    if (!sdp.isNull()) {
        const QJsonObject body = QJsonDocument::fromJson(requests.at(0).body).object();
        QCOMPARE(requests.at(0).path, ReceiverStaged);
        QCOMPARE(QStringList({body["sender_id"].toString(), body["transport_file"]["data"].toString(), body["activation"]["mode"].toString()}),
                 QStringList({SenderId, sdp, "activate_immediate"}));
        QCOMPARE(body.value("master_enable"), QJsonValue(true));
    }
}

void tst_NmosClient::patchesAndVerifies_data()
{
    // activate, disconnect: the PATCH; connected, disconnected: the check of /active after it;
    // staged: the read of the receiver's staged transport file.
    QTest::addColumn<QString>("operation");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("text"); // the error, Untouched when it succeeds; staged: the SDP, Untouched when it fails

    const auto active = [](const QJsonValue &senderId, const QJsonValue &on) {
        return Reply::json(QJsonObject{{"sender_id", senderId}, {"master_enable", on}});
    };
    const auto staged = [](const QJsonValue &data) { return Reply::json(QJsonObject{{"transport_file", QJsonObject{{"data", data}}}}); };
    const QString sender = QString::fromLatin1(SenderId), notActive = "Not active: the receiver reports sender %1 with master_enable %2";
    QTest::newRow("activate 202") << "activate" << Reply::empty(202) << Untouched;
    QTest::newRow("activate 400") << "activate" << Reply::json(QJsonObject{{"code", 400}}, 400) << SdpFailure;
    QTest::newRow("disconnect 200") << "disconnect" << Reply::json(QJsonObject{{"master_enable", false}}) << Untouched;
    QTest::newRow("disconnect 500, reason not a string") << "disconnect" << Reply::json(QJsonObject{{"error", 7}}, 500) << "HTTP 500";
    QTest::newRow("connected") << "connected" << active(sender, true) << Untouched;
    QTest::newRow("connected, not enabled") << "connected" << active(sender, false) << notActive.arg(sender, "false");
    QTest::newRow("disconnected") << "disconnected" << active(sender, false) << Untouched;
    QTest::newRow("disconnected, still on") << "disconnected" << active(QJsonValue(), true) << notActive.arg("none", "true");
    QTest::newRow("active 500") << "connected" << Reply::empty(500) << "~/active.*Internal Server Error";
    QTest::newRow("no master_enable") << "disconnected" << Reply::json(QJsonObject{{"sender_id", QJsonValue()}})
                                      << "~^No active parameters in the answer from .*/active$";
    QTest::newRow("staged SDP") << "staged" << staged(QString::fromUtf8(Sdp1)) << QString::fromUtf8(Sdp1);
    QTest::newRow("staged null") << "staged" << staged(QJsonValue::Null) << Untouched;
    QTest::newRow("staged not a string") << "staged" << staged(5) << "";
}

void tst_NmosClient::patchesAndVerifies()
{
    QFETCH(QString, operation);
    QFETCH(Reply, reply);
    QFETCH(QString, text);

    const bool activate = operation == "activate", disconnect = operation == "disconnect";
    TestHttpServer *node = activate ? m_tx.get() : m_rx.get();
    QByteArray path = activate ? SenderStaged : ReceiverStaged;
    if (operation.endsWith("connected"))
        path = connectionPath("/single/receivers/" + ReceiverId + "/active");
    node->setReply(activate || disconnect ? "PATCH" : "GET", path, reply);
    NmosClient client;
    QString got = Untouched;
    MessageLog log;
    bool ok = false;
    if (operation == "staged")
        ok = client.getReceiverSdp(receiverGroup(), &got);
    else if (activate)
        ok = client.activateSender(senderGroup(), &got);
    else if (disconnect)
        ok = client.disconnectReceiver(receiverGroup(), &got);
    else if (operation == "connected")
        ok = client.verifyConnected(senderGroup(), receiverGroup(), &got);
    else
        ok = client.verifyDisconnected(receiverGroup(), &got);
    QCOMPARE(ok, (operation == "staged") == (text != Untouched));
    compareError(got, text);
    QCOMPARE(m_tx->requestCount() + m_rx->requestCount(), 1);
    if (!(activate || disconnect))
        return;
    const QJsonObject body = QJsonDocument::fromJson(node->requests().at(0).body).object();
    QCOMPARE(body["activation"]["mode"].toString(), "activate_immediate");
    // Taking down switches the receiver off, names no sender and clears its file.
    if (disconnect)
        QVERIFY(body.value("master_enable") == false && !body.contains("sender_id") && body["transport_file"]["data"].isNull());
}

void tst_NmosClient::encodesIdAsOneSegment_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("segment"); // empty: no request may be sent at all

    QTest::newRow("climbing out, query and fragment") << "../../bulk/receivers?x#y" << QByteArray("..%2F..%2Fbulk%2Freceivers%3Fx%23y");
    QTest::newRow("dot-dot") << ".." << QByteArray();
    QTest::newRow("dot") << "." << QByteArray();
}

void tst_NmosClient::encodesIdAsOneSegment()
{
    QFETCH(QString, id);
    QFETCH(QByteArray, segment);

    const QByteArray senderPath = connectionPath("/single/senders/" + segment + "/staged");
    const QByteArray receiverPath = connectionPath("/single/receivers/" + segment + "/staged");
    m_tx->setReply("PATCH", senderPath, Reply::json(QJsonObject()));
    m_rx->setReply("PATCH", receiverPath, Reply::json(QJsonObject()));
    m_rx->setReply("GET", receiverPath, Reply::json(QJsonObject{{"transport_file", QJsonObject{{"data", "v=0"}}}}));
    NmosClient::SenderGroup sender = senderGroup();
    NmosClient::ReceiverGroup receiver = receiverGroup();
    sender.id = receiver.id = id;
    NmosClient client;
    MessageLog log;
    QString sdp;
    const bool sent = !segment.isEmpty();
    QCOMPARE(client.activateSender(sender), sent);
    QCOMPARE(client.disconnectReceiver(receiver), sent);
    QCOMPARE(client.getReceiverSdp(receiver, &sdp), sent);
    QCOMPARE(m_tx->requestLines(), sent ? QStringList{"PATCH " + senderPath} : QStringList());
    QCOMPARE(m_rx->requestLines(), sent ? QStringList({"PATCH " + receiverPath, "GET " + receiverPath}) : QStringList());
}

void tst_NmosClient::bodiesMatchConnectionApiSchemas()
{
    // The published schemas sit beside the checkout, not in it.
    const QString schemas = QDir::cleanPath(QStringLiteral(FERROLINK_SOURCE_DIR "/../shared/amwa/is-05-v1.1/schemas"));
    if (!QFileInfo::exists(schemas + QStringLiteral("/receiver-stage-schema.json")))
        QSKIP("the Connection API schemas are not beside the checkout (../shared/amwa)");
    const QString python = QStringLiteral("/usr/bin/python3");
    if (QProcess::execute(python, {"-c", "import jsonschema"}) != 0)
        QSKIP("needs /usr/bin/python3 with jsonschema (python3-jsonschema)");

    // What the client really sends: an activation, a connect and a disconnect.
    m_tx->setReply("GET", SdpPath, Reply::text(Sdp1, 200, "application/sdp"));
    m_tx->setReply("PATCH", SenderStaged, Reply::json(QJsonObject()));
    m_rx->setReply("PATCH", ReceiverStaged, Reply::json(QJsonObject()));
    NmosClient client;
    QVERIFY(client.activateSender(senderGroup()) && client.connectReceiver(senderGroup(), receiverGroup())
            && client.disconnectReceiver(receiverGroup()));
    QStringList bodies;
    for (const TestHttpServer::Request &request : m_tx->requests() + m_rx->requests()) {
        if (request.method == "PATCH")
            bodies << (request.path.contains("/senders/") ? "sender-stage-schema.json" : "receiver-stage-schema.json")
                   << QString::fromUtf8(request.body);
    }
    QCOMPARE(bodies.size(), 6);

    // Arguments: the schema folder, then pairs of schema file and body.
    const QString check = R"(
import json, pathlib, sys
import jsonschema
base = pathlib.Path(sys.argv[1]).resolve()
failed = 0
for name, body in zip(sys.argv[2::2], sys.argv[3::2]):
    schema = json.loads((base / name).read_text())
    resolver = jsonschema.RefResolver(base_uri=base.as_uri() + "/", referrer=schema)
    try:
        jsonschema.validate(json.loads(body), schema, resolver=resolver)
    except jsonschema.ValidationError as error:
        print(name, body, error.message)
        failed += 1
sys.exit(failed)
)";
    // The check itself must be able to fail: the last body is one the schema forbids.
    bodies << "receiver-stage-schema.json" << R"({"master_enable":"yes","activation":{"mode":"now"}})";
    QProcess validator;
    validator.setProcessChannelMode(QProcess::ForwardedChannels);
    validator.start(python, QStringList{"-c", check, schemas} + bodies);
    QVERIFY(validator.waitForFinished(60000));
    QCOMPARE(validator.exitCode(), 1);
}

QTEST_GUILESS_MAIN(tst_NmosClient)
#include "tst_nmosclient.moc"
