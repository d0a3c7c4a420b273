#include "net/replylimits.h"
#include "nmos/nmosclient.h"
#include "nmos/receivercapabilities.h"
#include "nmos/nodelisting.h"
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

// A camera's two ST 2022-7 legs: separate groups, separate sources; the one-leg file is
// its first leg alone.
const QByteArray OneLegSdp = "v=0\r\no=- 1 1 IN IP4 10.0.0.7\r\ns=Cam\r\nt=0 0\r\n"
                             "m=video 5004 RTP/AVP 96\r\nc=IN IP4 239.1.1.1/64\r\n"
                             "a=source-filter: incl IN IP4 239.1.1.1 10.0.0.7\r\na=mid:p\r\n";
const QByteArray TwoLegSdp = QByteArray(OneLegSdp).replace("t=0 0\r\n", "t=0 0\r\na=group:DUP p s\r\n")
                             + "m=video 5006 RTP/AVP 96\r\nc=IN IP4 239.2.1.1/64\r\n"
                               "a=source-filter: incl IN IP4 239.2.1.1 10.1.0.7\r\na=mid:s\r\n";

// The expected error text: Untouched, an exact text, or "~" and a pattern.
void compareError(const QString &got, const QString &expected)
{
    if (expected.startsWith(QLatin1Char('~')))
        QVERIFY2(got != Untouched && QRegularExpression(expected.mid(1)).match(got).hasMatch(), qPrintable(got));
    else
        QCOMPARE(got, expected);
}

// A node of Studio A's camera and monitor with their audio and data, a microphone and an
// earpiece of Studio B, and another device's: each collection by its Node API path.
QMap<QByteArray, QJsonArray> studioNode()
{
    const auto a = [](const QString &name) { return grouphint("Studio A:" + name); };
    // A camera's audio sender may bear the camera's label, a monitor's audio receiver the monitor's.
    const QJsonArray senders{senderJson("sa1", "Cam 1", "fa1", "http://n/sa1", a("Audio 1")),
                             senderJson("sv2", "Cam 2", "fv2", "http://n/sv2", a("Video 2")),
                             senderJson("sa2", "Mic 2", "fa2", "http://n/sa2", a("Audio 2")),
                             senderJson("cam 1/v", "Cam 1", "fv1", "http://n/sv1", a("Video")),
                             senderJson("sd", "Anc", "fd", "http://n/sd", a("Anc")),
                             senderJson("sb", "Mic B", "fb", "http://n/sb", grouphint("Studio B:Audio")),
                             senderJson("so", "Mic O", "fo", "http://n/so", a("Audio 3"))};
    const QJsonArray receivers{receiverJson("ra2", "Mon 2", AudioUrn, a("Audio 2")),
                               receiverJson("rd", "Anc", DataUrn, a("Anc")),
                               receiverJson("mon 1/v", "Mon 1", VideoUrn, a("Video")),
                               receiverJson("rv2", "Mon 2", VideoUrn, a("Video 2")),
                               receiverJson("ra1", "Ear 1", AudioUrn, a("Audio 1")),
                               receiverJson("rb", "Ear B", AudioUrn, grouphint("Studio B:Audio")),
                               receiverJson("ro", "Ear O", AudioUrn, a("Audio 3")),
                               receiverJson("rv3", "Mon 1", VideoUrn, a("Video 3"))};
    const QJsonArray flows{flowJson("fa2", AudioUrn), flowJson("fv1", VideoUrn), flowJson("fa1", AudioUrn), flowJson("fd", DataUrn),
                           flowJson("fv2", VideoUrn), flowJson("fb", AudioUrn), flowJson("fo", AudioUrn)};
    const QJsonArray devices{deviceJson("d1", {"sa1", "sv2", "sa2", "cam 1/v", "sd", "sb"}, {"ra2", "rd", "mon 1/v", "rv2", "ra1", "rb", "rv3"}),
                             deviceJson("d2", {"so"}, {"ro"})};
    // Each resource names its device too, as IS-04 v1.3 has devices leave their lists empty.
    const auto onDevices = [](QJsonArray list) {
        for (QJsonValueRef value : list) {
            QJsonObject object = value.toObject();
            object.insert("device_id", object["id"].toString().endsWith('o') ? "d2" : "d1");
            value = object;
        }
        return list;
    };
    return {{"/senders/", onDevices(senders)}, {"/receivers/", onDevices(receivers)}, {"/flows/", flows}, {"/devices/", devices}};
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
    void abortsStalledAndTricklingRequests();
    void followsRedirectsToSameOriginOnly_data();
    void followsRedirectsToSameOriginOnly();
    void readsNodeResources_data();
    void readsNodeResources();
    void connectsReceiver_data();
    void connectsReceiver();
    void patchesAndVerifies_data();
    void patchesAndVerifies();
    void patchesAndVerifiesEachLeg_data();
    void patchesAndVerifiesEachLeg();
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
    QTest::newRow("file URL") << "file://%file" << sdp << false;
    QTest::newRow("local path") << "%file" << sdp << false;
}

void tst_NmosClient::readsManifestOnlyFromWeb()
{
    QFETCH(QString, href);
    QFETCH(QList<Reply>, replies);
    QFETCH(bool, result);

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
    if (host == "fl0") {
        // Only inside the private namespace is there a link-local address of our own to serve on.
        if (!insidePrivateNetns())
            QSKIP("needs the link-local address of fl0: runs only inside tools/netns-run");
        for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl0").addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
                host = entry.ip().toString().section(QLatin1Char('%'), 0, 0) + "%fl0";
        }
    }
    TestHttpServer node;
    if (!node.start(host) && host == "::1")
        QSKIP("this host has no IPv6 loopback");
    QVERIFY2(node.port() > 0, qPrintable(host));
    node.setReply("PATCH", ReceiverStaged, Reply::json(QJsonObject()));
    node.setReply("GET", SdpPath, Reply::text(Sdp1));
    const QString address = QStringLiteral("%1:%2").arg(host).arg(node.port());
    NmosClient client;
    MessageLog log;
    QString error, sdp;
    // Nodes give their addresses unbracketed: both the PATCH and the transport file reach them.
    QVERIFY2(client.disconnectReceiver({ReceiverId, "Mon 1", {address}, {}, {}}, &error), qPrintable(error));
    QVERIFY(client.getManifest({SenderId, "Cam 1", "http://" + address + SdpPath, {address}, {}, {}}, &sdp));
    QCOMPARE(sdp, QString::fromUtf8(Sdp1));
    // Without its zone a link-local address names no interface: this is what the zone fixes.
    if (host.contains('%'))
        QVERIFY(!client.disconnectReceiver({ReceiverId, "Mon 1", {QStringLiteral("%1:%2").arg(host.section('%', 0, 0)).arg(node.port())}, {}, {}}));
}

void tst_NmosClient::abortsStalledAndTricklingRequests()
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

    // A node that keeps sending a byte well within the limit is cut off all the same.
    m_tx->setReply("GET", nodePath("/senders/"), Reply::trickle(40, 50));
    QVERIFY(!client.hasSenders(tx()));
    QVERIFY2(log.warnings().last().contains("not complete after 0.9 s"), qPrintable(log.warnings().last()));
}

void tst_NmosClient::followsRedirectsToSameOriginOnly_data()
{
    QTest::addColumn<QString>("read");        // "listing", "active" or "sdp"
    QTest::addColumn<Reply>("redirect");      // the first answer; "%other" stands for 127.0.0.2 on the node's port
    QTest::addColumn<bool>("followed");

    // A node may answer a path asked with a trailing slash by a move to the one without.
    const QByteArray receivers = nodePath("/receivers");
    QTest::newRow("listing, 301 to the path without slash") << "listing" << Reply::redirect(301, receivers) << true;
    QTest::newRow("listing, 308") << "listing" << Reply::redirect(308, receivers) << true;
    QTest::newRow("listing, 302") << "listing" << Reply::redirect(302, receivers) << false;
    // Not a redirect at all: what failed is its status, never an empty reason.
    QTest::newRow("listing, 300") << "listing" << Reply::redirect(300, receivers) << false;
    QTest::newRow("listing, 301 to another host on the same port") << "listing" << Reply::redirect(301, "http://%other" + receivers) << false;
    QTest::newRow("active, 301") << "active" << Reply::redirect(301, "/moved/active") << true;
    QTest::newRow("active, 301 to another host on the same port") << "active" << Reply::redirect(301, "http://%other/moved/active") << false;
    QTest::newRow("sdp, 308") << "sdp" << Reply::redirect(308, "/moved/s1.sdp") << true;
    QTest::newRow("sdp, 301 to https on the same host") << "sdp" << Reply::redirect(301, "https://127.0.0.1:%port/moved/s1.sdp") << false;
}

void tst_NmosClient::followsRedirectsToSameOriginOnly()
{
    QFETCH(QString, read);
    QFETCH(Reply, redirect);
    QFETCH(bool, followed);

    // Another host on the node's own port serves the same answers: only the host tells them apart.
    TestHttpServer other;
    QVERIFY(other.start("127.0.0.2", m_tx->port()));
    const QString port = QString::number(m_tx->port());
    redirect.location.replace("%other", "127.0.0.2:" + port.toLatin1()).replace("%port", port.toLatin1());
    const QByteArray &location = redirect.location;
    const QByteArray moved = location.startsWith('/') ? location : location.mid(location.indexOf('/', location.indexOf("//") + 2));
    const QByteArray active = connectionPath("/single/receivers/" + ReceiverId + "/active");
    const QByteArray first = read == "listing" ? nodePath("/receivers/") : read == "active" ? active : SdpPath;
    const Reply answer = read == "listing" ? Reply::json(QJsonArray{receiverJson("rv", "Mon 1", VideoUrn)})
                         : read == "active"  ? Reply::json(QJsonObject{{"sender_id", QString(SenderId)}, {"master_enable", true}})
                                             : Reply::text(Sdp1, 200, "application/sdp");
    m_tx->setReply("GET", first, redirect);
    for (TestHttpServer *server : {m_tx.get(), &other})
        server->setReply("GET", moved, answer);

    MessageLog log;
    NmosClient client;
    bool ok = false;
    if (read == "listing") {
        NodeListing listing(&m_manager, tx(), "Bühne");
        QSignalSpy finished(&listing, &NodeListing::finished);
        listing.start();
        QVERIFY(finished.wait(5000));
        ok = listing.receivers().size() == 1;
    } else if (read == "active") {
        NmosClient::ReceiverGroup receiver = receiverGroup();
        receiver.node = tx();
        QNetworkReply *reply = client.requestActiveSender(receiver);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QString senderId;
        bool enabled = false;
        ok = NmosClient::activeSenderOf(reply, &enabled, &senderId) && senderId == SenderId;
        delete reply;
    } else {
        QString sdp;
        ok = client.getManifest(senderGroup(), &sdp) && sdp == QString::fromUtf8(Sdp1);
    }
    QCOMPARE(ok, followed);
    QCOMPARE(other.requestCount(), 0);
    // A redirect that is not followed says so, with where it would have gone.
    if (!followed)
        QVERIFY2(log.warnings().join('\n').contains(redirect.status == 300 ? "Unable to connect: \"HTTP 300 from http"
                                                                            : "Refused the redirect (HTTP " + QString::number(redirect.status)),
                 qPrintable(log.warnings().join('\n')));
}

void tst_NmosClient::readsNodeResources_data()
{
    QTest::addColumn<QByteArray>("collection");
    QTest::addColumn<QString>("call"); // "list", "fill" the group, or find one: "video", "audio", "data", "video:<preferred id>"
    QTest::addColumn<QByteArray>("path"); // a Node API path that answers otherwise in this row, and how
    QTest::addColumn<Reply>("reply");     // status 0: the node is down
    // list, find: "id|label|manifestHref" of each record, and on a list what it is known to carry or
    // take when it says; fill: the audio ids, the data ids
    QTest::addColumn<QStringList>("expected");

    const QByteArray s = "senders", r = "receivers", senders = nodePath("/senders/"), receivers = nodePath("/receivers/");
    const auto row = [](const char *name, const QByteArray &collection, const QString &call, const QStringList &expected,
                        const QByteArray &path = QByteArray(), const Reply &reply = Reply()) {
        QTest::newRow(name) << collection << call << path << reply << expected;
    };
    const auto json = [](std::initializer_list<QJsonValue> list) { return Reply::json(QJsonArray(list)); };
    // Listed: every video sender (by its flow) and video receiver, in the node's order; a label listed
    // before gets its count in the entry text, and only a video resource's label counts.
    row("list senders", s, "list", {"sv2|Cam 2|http://n/sv2", "cam 1/v|Cam 1|http://n/sv1"});
    row("list receivers, labels alike", r, "list", {"mon 1/v|Mon 1|", "rv2|Mon 2|", "rv3|Mon 1 #2|"});
    QJsonObject jxsv = flowJson("fv2", VideoUrn);
    for (auto it : {std::pair<const char *, QJsonValue>{"media_type", "video/jxsv"}, {"frame_width", 1920}, {"frame_height", 1080},
                    {"grain_rate", QJsonObject{{"numerator", 60000}, {"denominator", 1001}}}})
        jxsv.insert(it.first, it.second);
    row("list senders, a flow's format", s, "list", {"sv2|Cam 2|http://n/sv2|JPEG XS 1920\u00d71080 59.94p", "cam 1/v|Cam 1|http://n/sv1"},
        nodePath("/flows/"), json({jxsv, flowJson("fv1", VideoUrn)}));
    QJsonObject capable = receiverJson("rv2", "Mon 2", VideoUrn);
    capable.insert("caps", QJsonObject{{"media_types", QJsonArray{"video/raw"}}, {"constraint_sets", QJsonArray{QJsonObject()}}});
    row("list receivers, caps", r, "list", {"rv2|Mon 2||media types video/raw; 1 constraint set"}, receivers, json({capable}));
    // Found: the sender of the format's first flow, the format's first receiver, or the one preferred.
    row("video sender", s, "video", {"cam 1/v|Cam 1|http://n/sv1"});
    row("audio sender", s, "audio", {"sa2|Mic 2|http://n/sa2"});
    row("data sender", s, "data", {"sd|Anc|http://n/sd"});
    row("preferred id of an audio sender", s, "video:sa1", {"sa1|Cam 1|http://n/sa1"});
    row("first video flow without sender", s, "video", {}, senders, json({senderJson("sv2", "Cam 2", "fv2", "http://n/sv2")}));
    row("sender without manifest_href", s, "video", {}, senders, json({senderJson("cam 1/v", "Cam 1", "fv1")}));
    row("video receiver", r, "video", {"mon 1/v|Mon 1|"});
    row("audio receiver", r, "audio", {"ra2|Mon 2|"});
    row("preferred video receiver id", r, "video:rv2", {"rv2|Mon 2|"});
    row("preferred id of an audio receiver", r, "video:ra1", {});
    // Grouped with the chosen video one: same grouphint name, same device; senders in flow order.
    row("sender group", s, "fill", {"sa2 sa1", "sd"});
    row("receiver group", r, "fill", {"ra2 ra1", "rd"});
    row("sender group, device lists empty", s, "fill", {"sa2 sa1", "sd"}, nodePath("/devices/"),
        json({deviceJson("d2", {}, {}), deviceJson("d1", {}, {})}));
    row("sender group, first device listing the chosen one", s, "fill", {"so", ""}, nodePath("/devices/"),
        json({deviceJson("d2", {"so", "cam 1/v"}, {}), studioNode().value("/devices/").at(0)}));
    row("sender group, grouphint not an array", s, "fill", {"sa2", ""}, senders,
        json({senderJson("sa1", "Cam 1", "fa1", "", {{GroupHintKey, "Studio A:Audio 1"}}), studioNode().value("/senders/").at(2)}));
    row("receiver group, one id twice", r, "fill", {"ra1 ra2", ""}, receivers,
        json({receiverJson("ra1", "Ear 1", AudioUrn, grouphint("Studio A:Audio 1")), receiverJson("ra2", "Ear 2", AudioUrn, grouphint("Studio A:2")),
              receiverJson("ra1", "Ear 1", AudioUrn, grouphint("Studio A:Audio 1"))}));
    row("receiver group, format missing or other", r, "fill", {"", ""}, receivers,
        json({QJsonObject{{"id", "ra1"}, {"tags", grouphint("Studio A:Audio")}}, receiverJson("ra2", "Ear 2", "urn:x-nmos:format:mux", grouphint("Studio A:Mux"))}));
    row("receiver group, node down", r, "fill", {Old, Old}, nodePath("/devices/"), NodeDown);
}

void tst_NmosClient::readsNodeResources()
{
    QFETCH(QByteArray, collection);
    QFETCH(QString, call);
    QFETCH(QByteArray, path);
    QFETCH(Reply, reply);
    QFETCH(QStringList, expected);

    const QMap<QByteArray, QJsonArray> node = studioNode();
    for (auto list = node.begin(); list != node.end(); ++list) {
        m_tx->setReply("GET", nodePath(list.key()), Reply::json(list.value()));
        // Each resource on its own too, its id sent as one path segment.
        for (const QJsonValue &resource : list.value())
            m_tx->setReply("GET", nodePath(list.key() + QUrl::toPercentEncoding(resource["id"].toString())), Reply::json(resource.toObject()));
    }
    if (!path.isEmpty())
        script(m_tx.get(), "GET", path, reply);
    NmosClient client;
    MessageLog log;
    QStringList got;
    // Each record names its node; a listed one is named by the label its combo text shows.
    const auto record = [&](const auto &entry, const QString &manifestHref, const QString &displayName,
                            const QString &carries = QString()) {
        const QString prefix = QStringLiteral("Bühne (%1-").arg(m_tx->address());
        QString shown = entry.label;
        if (!displayName.isNull()) {
            QVERIFY2(displayName.startsWith(prefix + entry.label) && displayName.endsWith(')'), qPrintable(displayName));
            shown = displayName.mid(prefix.size()).chopped(1);
        }
        got.append(entry.id + '|' + shown + '|' + manifestHref + (carries.isEmpty() ? QString() : '|' + carries));
        QCOMPARE(entry.node.address, m_tx->address());
    };
    const bool senders = collection == "senders";
    NmosClient::SenderGroup sender{"cam 1/v", Old, Old, tx(), {Old}, {Old}};
    NmosClient::ReceiverGroup receiver{"mon 1/v", Old, tx(), {Old}, {Old}};
    if (call == "list" && senders) {
        for (const NmosClient::SenderConnection &entry : client.videoSenders(tx(), "Bühne"))
            record(entry, entry.manifestHref, entry.displayName, entry.format.text());
    } else if (call == "list") {
        for (const NmosClient::ReceiverConnection &entry : client.videoReceivers(tx(), "Bühne"))
            record(entry, QString(), entry.displayName, ReceiverCapabilities::summary(entry.capabilities));
    } else if (call == "fill") {
        senders ? client.fillSenderGroup(&sender) : client.fillReceiverGroup(&receiver);
        // Only the two lists are the grouping's to write.
        QCOMPARE(QStringList({sender.label, sender.manifestHref, receiver.label}), QStringList({Old, Old, Old}));
        got << (senders ? sender.audioIds : receiver.audioIds).join(' ') << (senders ? sender.dataIds : receiver.dataIds).join(' ');
    } else {
        const auto format = NmosClient::Format(QStringList{"video", "audio", "data"}.indexOf(call.section(':', 0, 0)));
        if (senders && client.findSender(tx(), format, &sender, call.section(':', 1)))
            record(sender, sender.manifestHref, QString());
        else if (!senders && client.findReceiver(tx(), format, &receiver, call.section(':', 1)))
            record(receiver, QString(), QString());
        // The grouping lists belong to the group matching, not to the lookup: they stay.
        QCOMPARE(sender.audioIds + sender.dataIds + receiver.audioIds + receiver.dataIds, QStringList({Old, Old, Old, Old}));
    }
    QCOMPARE(got, expected);
}

void tst_NmosClient::connectsReceiver_data()
{
    QTest::addColumn<Reply>("manifest");
    QTest::addColumn<Reply>("activation");
    QTest::addColumn<QList<Reply>>("receiver"); // one per PATCH, the last one stays; status 0: the node is down
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QByteArray>("sdp"); // "transport_file"."data" sent; null: not patched

    const Reply sdp1 = Reply::text(Sdp1, 200, "application/sdp");
    const Reply missing = Reply::text("not here", 404);
    const Reply accepted = Reply::json(QJsonObject{{"master_enable", true}});
    QTest::newRow("transport file at once") << sdp1 << accepted << QList<Reply>{accepted} << true << Untouched << Sdp1;
    // The file that a sender publishes once activated is sent: the end-to-end test's shy camera.
    QTest::newRow("404, activated, 404") << missing << accepted << QList<Reply>{accepted} << false
                                         << "~^" + SdpFailure + "\nError transferring http://[^ ]+/sdp/s1\\.sdp - server replied: Not Found$" << QByteArray();
    // No transport file, no patch: an empty one would leave the receiver on nothing.
    QTest::newRow("404, activation refused") << missing << Reply::json(QJsonObject{{"error", "Sender is locked"}}, 500) << QList<Reply>{accepted}
                                             << false << SdpFailure + "\nActivating the sender (master_enable true, immediately) failed: HTTP 500: Sender is locked" << QByteArray();
    // A refusal is named by its status and the node's own reason, never left to an earlier text.
    const QJsonObject badSdp{{"code", 400}, {"error", " Unsupported transport file "}, {"debug", QJsonValue()}};
    QTest::newRow("receiver 400") << sdp1 << accepted << QList<Reply>{Reply::json(badSdp, 400)} << false << "HTTP 400: Unsupported transport file" << Sdp1;
    QTest::newRow("receiver 400, long reason") << sdp1 << accepted << QList<Reply>{Reply::json(QJsonObject{{"error", QString(100000, 'x')}}, 400)}
                                               << false << "HTTP 400: " + QString(300, 'x') + "\u2026" << Sdp1;
    QTest::newRow("receiver node down") << sdp1 << accepted << QList<Reply>{NodeDown} << false << "~Connection refused" << QByteArray();
    // A connection the node closes as the request goes out: the request never reached it, and
    // goes once more on a connection of its own (the network layer tries twice by itself).
    QTest::newRow("receiver hangs up twice, then accepts") << sdp1 << accepted << QList<Reply>{Reply::hangUp(), Reply::hangUp(), accepted}
                                                           << true << Untouched << Sdp1;
    QTest::newRow("receiver always hangs up") << sdp1 << accepted << QList<Reply>{Reply::hangUp()} << false
                                              << "~^PATCH http://127\\.0\\.0\\.1:\\d+" + QString::fromLatin1(ReceiverStaged) + ": the node closed the connection before answering, tried twice$"
                                              << Sdp1;
}

void tst_NmosClient::connectsReceiver()
{
    QFETCH(Reply, manifest);
    QFETCH(Reply, activation);
    QFETCH(QList<Reply>, receiver);
    QFETCH(bool, result);
    QFETCH(QString, error);
    QFETCH(QByteArray, sdp);

    m_tx->setReply("GET", SdpPath, manifest);
    m_tx->setReply("PATCH", SenderStaged, activation);
    script(m_rx.get(), "PATCH", ReceiverStaged, receiver.takeFirst());
    for (const Reply &reply : qAsConst(receiver))
        m_rx->addReply("PATCH", ReceiverStaged, reply);

    QString gotError = Untouched;
    MessageLog log;
    QCOMPARE(NmosClient().connectReceiver(senderGroup(), receiverGroup(), &gotError), result);
    compareError(gotError, error);
    QCOMPARE(log.all(), QStringList());
    // Only a sender whose file could not be read is activated.
    QCOMPARE(m_tx->requestLines().contains("PATCH " + SenderStaged), manifest.status != 200);
    QList<QJsonObject> sent;
    for (const TestHttpServer::Request &request : m_rx->requests())
        sent << QJsonDocument::fromJson(request.body).object();
    const QJsonObject patch{{"sender_id", QString(SenderId)}, {"master_enable", true},
                            {"transport_file", QJsonObject{{"data", QString(sdp)}, {"type", "application/sdp"}}},
                            {"activation", QJsonObject{{"mode", "activate_immediate"}, {"requested_time", QJsonValue()}}}};
    // A request sent again is the same request.
    QCOMPARE(sent.mid(0, 1), sdp.isNull() ? QList<QJsonObject>() : QList<QJsonObject>{patch});
    QCOMPARE(sent.count(patch), sent.size());
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
    QTest::newRow("activate 400") << "activate" << Reply::json(QJsonObject{{"code", 400}}, 400) << SdpFailure + "\nActivating the sender (master_enable true, immediately) failed: HTTP 400";
    QTest::newRow("disconnect 200") << "disconnect" << Reply::json(QJsonObject{{"master_enable", false}}) << Untouched;
    QTest::newRow("disconnect 500, reason not a string") << "disconnect" << Reply::json(QJsonObject{{"error", 7}}, 500) << "HTTP 500";
    QTest::newRow("connected") << "connected" << active(sender, true) << Untouched;
    QTest::newRow("connected, not enabled") << "connected" << active(sender, false) << notActive.arg(sender, "false");
    QTest::newRow("disconnected") << "disconnected" << active(sender, false) << Untouched;
    QTest::newRow("disconnected, still on") << "disconnected" << active(QJsonValue(), true) << notActive.arg("none", "true");
    QTest::newRow("active 500") << "connected" << Reply::json(QJsonObject{{"code", 500}, {"error", "Receiver gone"}}, 500)
                                << "~/active.*Internal Server Error: Receiver gone$";
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
    // An activation states what it activates, so that nothing else staged on the sender goes with it.
    if (activate)
        QCOMPARE(body.value("master_enable"), QJsonValue(true));
    // Taking down switches the receiver off, names no sender and clears its file.
    if (disconnect)
        QVERIFY(body.value("master_enable") == false && body.contains("sender_id") && body["sender_id"].isNull()
                && body["transport_file"]["data"].isNull());
}

void tst_NmosClient::patchesAndVerifiesEachLeg_data()
{
    QTest::addColumn<QByteArray>("sdp");
    QTest::addColumn<int>("bindings"); // the receiver's IS-04 interface bindings
    QTest::addColumn<Reply>("constraints");
    QTest::addColumn<QJsonArray>("params");    // the transport_params sent; empty: none
    QTest::addColumn<QJsonArray>("active");    // what /active reports; empty: params
    QTest::addColumn<QString>("error");        // of the check of /active

    // A receiver's constraints, each leg listing what it takes.
    const QJsonObject known{{"source_ip", QJsonObject()}, {"multicast_ip", QJsonObject()}, {"interface_ip", QJsonObject()},
                            {"destination_port", QJsonObject()}, {"rtp_enabled", QJsonObject()}};
    const auto legs = [known](int count) { return Reply::json(count == 1 ? QJsonArray{known} : QJsonArray{known, known}); };
    const QJsonObject first{{"multicast_ip", "239.1.1.1"}, {"source_ip", "10.0.0.7"}, {"destination_port", 5004}, {"rtp_enabled", true}};
    const QJsonObject second{{"multicast_ip", "239.2.1.1"}, {"source_ip", "10.1.0.7"}, {"destination_port", 5006}, {"rtp_enabled", true}};
    const QJsonObject off{{"rtp_enabled", false}};
    QTest::newRow("two legs to two") << TwoLegSdp << 2 << legs(2) << QJsonArray{first, second} << QJsonArray() << Untouched;
    QTest::newRow("one leg to two") << OneLegSdp << 2 << legs(2) << QJsonArray{first, off} << QJsonArray() << Untouched;
    // A receiver that says nothing of its legs in IS-04 has as many as its constraints list.
    QTest::newRow("two legs to one") << TwoLegSdp << 0 << legs(1) << QJsonArray{first} << QJsonArray() << Untouched;
    QTest::newRow("one leg to two, constraints unread") << OneLegSdp << 2 << Reply::text("no", 404) << QJsonArray{first, off}
                                                        << QJsonArray() << Untouched;
    QTest::newRow("one leg to one") << OneLegSdp << 1 << legs(1) << QJsonArray() << QJsonArray() << Untouched;
    // A leg of the constraints naming its parameters gets only those.
    const QJsonObject listed{{"rtp_enabled", QJsonObject()}, {"destination_port", QJsonObject()}};
    QTest::newRow("two legs to two listing some parameters") << TwoLegSdp << 2 << Reply::json(QJsonArray{listed, listed})
                                                             << QJsonArray{QJsonObject{{"destination_port", 5004}, {"rtp_enabled", true}},
                                                                           QJsonObject{{"destination_port", 5006}, {"rtp_enabled", true}}}
                                                             << QJsonArray() << Untouched;
    // Two media sections that are no duplicates carry one stream.
    QJsonObject fromSecondSource = first;
    fromSecondSource["source_ip"] = "10.1.0.7";
    QTest::newRow("two sources of one section to two")
        << QByteArray(OneLegSdp).replace("239.1.1.1 10.0.0.7\r\n", "239.1.1.1 10.0.0.7 10.1.0.7\r\na=ssrc-group:DUP 1000 1010\r\n") << 2 << legs(2)
        << QJsonArray{first, fromSecondSource} << QJsonArray() << Untouched;
    QTest::newRow("two sections without DUP to two") << QByteArray(TwoLegSdp).replace("a=group:DUP p s\r\n", "") << 2 << legs(2)
                                                     << QJsonArray{first, off} << QJsonArray() << Untouched;
    QJsonObject wrongGroup = second;
    wrongGroup["multicast_ip"] = "239.2.1.9";
    QTest::newRow("second leg left off") << TwoLegSdp << 2 << legs(2) << QJsonArray{first, second} << QJsonArray{first, off}
                                         << "Not active as patched: leg 2 of the receiver has rtp_enabled false, not true";
    QTest::newRow("second leg on another group") << TwoLegSdp << 2 << legs(2) << QJsonArray{first, second} << QJsonArray{first, wrongGroup}
                                                 << "Not active as patched: leg 2 of the receiver has multicast_ip 239.2.1.9, not 239.2.1.1";
    QTest::newRow("one leg reported of two") << OneLegSdp << 2 << legs(2) << QJsonArray{first, off} << QJsonArray{first}
                                             << "Not active as patched: the receiver reports 1 legs, not 2";
}

void tst_NmosClient::patchesAndVerifiesEachLeg()
{
    QFETCH(QByteArray, sdp);
    QFETCH(int, bindings);
    QFETCH(Reply, constraints);
    QFETCH(QJsonArray, params);
    QFETCH(QJsonArray, active);
    QFETCH(QString, error);

    m_tx->setReply("GET", SdpPath, Reply::text(sdp, 200, "application/sdp"));
    m_rx->setReply("GET", connectionPath("/single/receivers/" + ReceiverId + "/constraints"), constraints);
    m_rx->setReply("PATCH", ReceiverStaged, Reply::json(QJsonObject()));
    m_rx->setReply("GET", connectionPath("/single/receivers/" + ReceiverId + "/active"),
                   Reply::json(QJsonObject{{"sender_id", QString(SenderId)}, {"master_enable", true},
                                           {"transport_params", active.isEmpty() ? params : active}}));
    NmosClient::ReceiverGroup receiver = receiverGroup();
    receiver.legs = qMax(1, bindings);
    NmosClient client;
    NmosClient::LegPatch legs;
    QString got = Untouched;
    QVERIFY(client.connectReceiver(senderGroup(), receiver, &got, &legs));
    QCOMPARE(client.verifyConnected(senderGroup(), receiver, &got, legs.params), error == Untouched);
    compareError(got, error);
    QCOMPARE(legs.senderLegs, sdp.contains("DUP") ? 2 : 1);
    QJsonObject sent;
    for (const TestHttpServer::Request &request : m_rx->requests())
        sent = request.method == "PATCH" ? QJsonDocument::fromJson(request.body).object() : sent;
    QCOMPARE(sent.value("transport_params").toArray(), params);
    QCOMPARE(sent.value("transport_file")["data"].toString().toUtf8(), sdp);
}

void tst_NmosClient::encodesIdAsOneSegment()
{
    NmosClient client;
    MessageLog log;
    // "." and ".." would name the collection or its parent, whatever the encoding: no request at all.
    for (const char *id : {"../../bulk/receivers?x#y", "..", "."}) {
        NmosClient::SenderGroup sender = senderGroup();
        NmosClient::ReceiverGroup receiver = receiverGroup();
        sender.id = receiver.id = id;
        client.activateSender(sender);
        client.disconnectReceiver(receiver);
    }
    // The request lines show the paths as they were sent.
    const QByteArray segment = "..%2F..%2Fbulk%2Freceivers%3Fx%23y";
    const auto staged = [&](const QByteArray &kind) { return "PATCH " + connectionPath("/single/" + kind + segment + "/staged"); };
    QCOMPARE(m_tx->requestLines() + m_rx->requestLines(), QStringList({staged("senders/"), staged("receivers/")}));
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

    // What the client really sends: an activation, a connect of each leg of two, one of a
    // single leg, and a disconnect.
    m_tx->setReply("GET", SdpPath, Reply::text(TwoLegSdp, 200, "application/sdp"));
    m_tx->setReply("PATCH", SenderStaged, Reply::json(QJsonObject()));
    m_rx->setReply("PATCH", ReceiverStaged, Reply::json(QJsonObject()));
    NmosClient client;
    NmosClient::ReceiverGroup twoLegs = receiverGroup();
    twoLegs.legs = 2;
    QVERIFY(client.activateSender(senderGroup()) && client.connectReceiver(senderGroup(), twoLegs)
            && client.connectReceiver(senderGroup(), receiverGroup()) && client.disconnectReceiver(receiverGroup()));
    // The sender's PATCH came first, before the connect read the transport file.
    QStringList bodies{"sender-stage-schema.json", QString::fromUtf8(m_tx->requests().at(0).body)};
    for (const TestHttpServer::Request &request : m_rx->requests()) {
        if (request.method == "PATCH")
            bodies << "receiver-stage-schema.json" << QString::fromUtf8(request.body);
    }
    QCOMPARE(bodies.size(), 8);
    QVERIFY(bodies[3].contains("transport_params"));

    // Arguments: the schema folder, then pairs of schema file and body.
    const QString check = R"(
import json, pathlib, sys
import jsonschema
base = pathlib.Path(sys.argv[1]).resolve()
failed = 0
for name, body in zip(sys.argv[2::2], sys.argv[3::2]):
    schema = json.loads((base / name).read_text())
    resolver = jsonschema.RefResolver(base_uri=base.as_uri() + "/", referrer=schema)
    errors = [error.message for error in jsonschema.Draft4Validator(schema, resolver=resolver).iter_errors(json.loads(body))]
    if errors:
        print(name, body, errors)
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
