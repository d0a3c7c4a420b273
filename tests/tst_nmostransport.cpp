#include "net/replylimits.h"
#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QtTest>

using Reply = TestHttpServer::Reply;

namespace {

const QByteArray Path = "/x-nmos/node/v1.3/senders/";
const QString Untouched = QStringLiteral("<untouched>");
const int UntouchedStatus = 12345;
// A reply whose status is 0 stands for a node that is down: the test stops the server.
const Reply NodeDown = Reply::empty(0);

} // namespace

// The HTTP transport of NmosClient: synchronous GET and PATCH, the JSON and transport-file
// fetches, IPv6 literals in node addresses, and the limits on what a node may make it do.
class tst_NmosTransport : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void jsonFetchAcceptsOnly2xxJson_data();
    void jsonFetchAcceptsOnly2xxJson();
    void syncRequestReportsStatusOrError_data();
    void syncRequestReportsStatusOrError();
    void manifestNeedsWebUrlAndNonEmpty2xxBody_data();
    void manifestNeedsWebUrlAndNonEmpty2xxBody();
    void bracketsIpv6Host_data();
    void bracketsIpv6Host();
    void reachesIpv6Node_data();
    void reachesIpv6Node();
    void abortsStalledRequest();

private:
    // Scripts the reply, or stops the node for NodeDown; returns the URL of path.
    QString script(const QByteArray &method, const QByteArray &path, const Reply &reply);

    std::unique_ptr<TestHttpServer> m_node;
    QNetworkAccessManager m_manager;
};

void tst_NmosTransport::init()
{
    m_node = std::make_unique<TestHttpServer>();
    QString error;
    QVERIFY2(m_node->start(&error), qPrintable(error));
}

QString tst_NmosTransport::script(const QByteArray &method, const QByteArray &path, const Reply &reply)
{
    m_node->setReply(method, path, reply);
    if (reply.status == 0)
        m_node->stop();
    return m_node->url(QString::fromLatin1(path));
}

void tst_NmosTransport::jsonFetchAcceptsOnly2xxJson_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<int>("arraySize");  // of getJsonArray; getJsonObject gets the same reply
    QTest::addColumn<int>("objectSize"); // members of getJsonObject's result
    // The warning's text after "Unable to connect: ", as a pattern; empty when none is due.
    QTest::addColumn<QString>("warning");

    const QJsonArray two{QJsonObject{{"id", "a"}}, QJsonObject{{"id", "b"}}};
    QTest::newRow("unreachable") << NodeDown << 0 << 0 << "\"Connection refused\"";
    QTest::newRow("404") << Reply::text("gone", 404) << 0 << 0 << "\".*server replied: Not Found\"";
    // Redirects are not followed; the network layer sees no error, so the text is empty.
    QTest::newRow("302") << Reply::redirect(302, "/elsewhere") << 0 << 0 << "\"\"";
    QTest::newRow("closed mid reply") << Reply::closeMidReply("[{\"id\":\"a\"},{\"id\":\"b\"}]") << 0 << 0 << "\".+\"";
    QTest::newRow("299 array") << Reply::json(two, 299) << 2 << 0 << "";
    QTest::newRow("200 object") << Reply::json(QJsonObject{{"id", "a"}}) << 0 << 1 << "";
    QTest::newRow("200 not JSON") << Reply::text("[1,2] x") << 0 << 0 << "";
    QTest::newRow("200 empty body") << Reply::empty(200) << 0 << 0 << "";
}

void tst_NmosTransport::jsonFetchAcceptsOnly2xxJson()
{
    QFETCH(Reply, reply);
    QFETCH(int, arraySize);
    QFETCH(int, objectSize);
    QFETCH(QString, warning);

    const QString url = script("GET", Path, reply);
    NmosClient client;
    MessageLog log;
    QCOMPARE(client.getJsonArray(url).size(), arraySize);
    QCOMPARE(client.getJsonObject(url).size(), objectSize);
    const QRegularExpression line(QRegularExpression::anchoredPattern("Unable to connect: " + warning));
    QCOMPARE(log.all().size(), warning.isEmpty() ? 0 : 2);
    for (const QString &text : log.warnings())
        QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
    QCOMPARE(m_node->requestCount(), reply.status == 0 ? 0 : 2);
}

void tst_NmosTransport::syncRequestReportsStatusOrError_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result"); // PATCH: the result; GET: whether the body came back
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error"); // a pattern; empty: left untouched

    const QByteArray get = "GET", patch = "PATCH";
    const qint64 limit = ReplyLimits::MaxReplySize;
    QTest::newRow("GET 200") << get << Reply::text("v=0\r\n") << true << 200 << "";
    QTest::newRow("GET 302") << get << Reply::redirect(302, "/elsewhere") << false << 302 << "";
    QTest::newRow("GET 404") << get << Reply::text("gone", 404) << false << UntouchedStatus << "Not Found";
    QTest::newRow("GET unreachable") << get << NodeDown << false << UntouchedStatus << "Connection refused";
    QTest::newRow("GET exactly the limit") << get << Reply::generated(limit, true) << true << 200 << "";
    QTest::newRow("GET one byte over, announced") << get << Reply::generated(limit + 1) << false << UntouchedStatus
                                                  << "larger than";
    QTest::newRow("GET one byte over, chunked") << get << Reply::generated(limit + 1, true) << false << UntouchedStatus
                                                << "larger than";
    QTest::newRow("PATCH 202") << patch << Reply::empty(202) << true << 202 << "";
    // Only network errors fail the PATCH itself; judging the status is the caller's part.
    QTest::newRow("PATCH 302") << patch << Reply::redirect(302, "/elsewhere") << true << 302 << "";
    QTest::newRow("PATCH 400") << patch << Reply::json(QJsonObject{{"code", 400}}, 400) << false << 400 << "Bad Request";
    QTest::newRow("PATCH unreachable") << patch << NodeDown << false << 0 << "Connection refused";
    QTest::newRow("PATCH one byte over") << patch << Reply::generated(limit + 1, true) << false << 200 << "larger than";
}

void tst_NmosTransport::syncRequestReportsStatusOrError()
{
    QFETCH(QByteArray, method);
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(int, status);
    QFETCH(QString, error);

    const QString url = script(method, "/staged", reply);
    int gotStatus = UntouchedStatus;
    QString gotError = Untouched;
    MessageLog log;
    if (method == "GET") {
        const QByteArray body = NmosClient::syncGet(&m_manager, url, &gotStatus, &gotError);
        QCOMPARE(body.size(), !result ? 0 : reply.kind == Reply::Generated ? int(reply.generatedSize) : reply.body.size());
        QCOMPARE(NmosClient::syncGet(&m_manager, url).size(), body.size()); // out-parameters optional
    } else {
        QCOMPARE(NmosClient::syncPatch(&m_manager, QUrl(url), QJsonObject(), &gotStatus, &gotError), result);
    }
    QCOMPARE(gotStatus, status);
    if (error.isEmpty())
        QCOMPARE(gotError, Untouched);
    else
        QVERIFY2(gotError != Untouched && gotError.contains(QRegularExpression(error)), qPrintable(gotError));
    QCOMPARE(log.all(), QStringList());
}

void tst_NmosTransport::manifestNeedsWebUrlAndNonEmpty2xxBody_data()
{
    QTest::addColumn<QString>("href"); // "%file" is a readable local SDP file, "%port" the node's port
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");

    const QString http = QStringLiteral("http://127.0.0.1:%port/video.sdp");
    const Reply sdp = Reply::text("v=0\r\ns=Cam 3 \xc3\xa9t\xc3\xa9\r\n", 200, "application/sdp");
    QTest::newRow("200 SDP") << http << sdp << true;
    QTest::newRow("200 empty") << http << Reply::empty(200) << false;
    QTest::newRow("404") << http << Reply::text("v=0\r\n", 404) << false;
    QTest::newRow("302") << http << Reply::redirect(302, "/other.sdp") << false;
    QTest::newRow("upper-case scheme") << "HTTP://127.0.0.1:%port/video.sdp" << sdp << true;
    QTest::newRow("IPv6 node") << "http://::1:%port/video.sdp" << sdp << true;
    QTest::newRow("file URL") << "file://%file" << sdp << false;
    QTest::newRow("local path") << "%file" << sdp << false;
    QTest::newRow("qrc") << "qrc:/img/Ferrolink_Icon_128x128.png" << sdp << false;
    QTest::newRow("ftp") << "ftp://127.0.0.1:%port/video.sdp" << sdp << false;
    QTest::newRow("UNC-like, backslashes") << "\\\\127.0.0.1\\share\\video.sdp" << sdp << false;
    QTest::newRow("empty") << "" << sdp << false;
}

void tst_NmosTransport::manifestNeedsWebUrlAndNonEmpty2xxBody()
{
    QFETCH(QString, href);
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    if (href.contains("::1") && !m_node->hasAddress6())
        QSKIP("this host has no IPv6 loopback");

    QTemporaryFile file;
    QVERIFY(file.open());
    file.write(reply.body);
    file.flush();
    m_node->setReply("GET", "/video.sdp", reply);
    NmosClient client;
    NmosClient::SenderGroup sender;
    sender.manifestHref = href.replace("%file", file.fileName()).replace("%port", QString::number(m_node->port()));
    QString sdp = Untouched;
    MessageLog log;
    QCOMPARE(client.getManifest(sender, &sdp), result);
    QCOMPARE(sdp, result ? QString::fromUtf8(reply.body) : Untouched);
    // Anything but the web is refused, and said so.
    const bool web = href.startsWith("http", Qt::CaseInsensitive);
    const bool warned = !web && !href.isEmpty();
    QCOMPARE(m_node->requestCount(), web ? 1 : 0);
    QCOMPARE(log.all().size(), warned ? 1 : 0);
    if (warned)
        QVERIFY2(log.warnings().first().startsWith("ferrolink.nmos: Transport file address is not an http or https URL"),
                 qPrintable(log.warnings().first()));
}

void tst_NmosTransport::bracketsIpv6Host_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    QTest::newRow("port and path") << "http://fe80::1:8080/x-nmos/node/v1.3/senders/"
                                   << "http://[fe80::1]:8080/x-nmos/node/v1.3/senders/";
    QTest::newRow("path with colons untouched") << "http://::1:80/a::b/c:1" << "http://[::1]:80/a::b/c:1";
    QTest::newRow("query ends authority") << "http://fe80::1:8080?q=a::b" << "http://[fe80::1]:8080?q=a::b";
    QTest::newRow("hex last group is no port") << "http://fe80::1:abcd/x" << "http://[fe80::1:abcd]/x";
    QTest::newRow("digit last group, no port left") << "http://fe80::12/x" << "http://[fe80::12]/x";
    QTest::newRow("digit last group, address left") << "http://fe80::1:12/x" << "http://[fe80::1]:12/x";
    QTest::newRow("IPv4-mapped") << "http://::ffff:10.0.0.7:8080/x" << "http://[::ffff:10.0.0.7]:8080/x";
    QTest::newRow("zone and port") << "http://fe80::1%fl0:8080/x" << "http://[fe80::1%25fl0]:8080/x";
    QTest::newRow("zone with odd characters") << "http://fe80::1%a b:80/x" << "http://[fe80::1%25a%20b]:80/x";
    QTest::newRow("full form with port") << "http://2001:db8:1:2:3:4:5:6:8080/x" << "http://[2001:db8:1:2:3:4:5:6]:8080/x";
    QTest::newRow("full form, no port") << "http://2001:db8:1:2:3:4:5:6/x" << "http://[2001:db8:1:2:3:4:5:6]/x";
    QTest::newRow("already bracketed") << "http://[fe80::1]:8080/x" << "http://[fe80::1]:8080/x";
    QTest::newRow("host name") << "http://studio-gw-1.local:80/x::y" << "http://studio-gw-1.local:80/x::y";
}

void tst_NmosTransport::bracketsIpv6Host()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(NmosClient::bracketIpv6Host(url), expected);
}

void tst_NmosTransport::reachesIpv6Node_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("loopback") << "::1";
    // Loopback ignores the zone, but it must survive into a URL that still connects.
    QTest::newRow("loopback with zone") << "::1%lo";
    QTest::newRow("link-local with zone") << "fl0";
}

void tst_NmosTransport::reachesIpv6Node()
{
    QFETCH(QString, host);
    TestHttpServer *node = m_node.get();
    TestHttpServer linkLocalNode;
    if (host == "fl0") {
        // Only inside the private namespace is there a link-local address of our own to serve on.
        if (!insidePrivateNetns())
            QSKIP("needs the link-local address of fl0: runs only inside tools/netns-run");
        for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl0").addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
                host = entry.ip().toString().section(QLatin1Char('%'), 0, 0) + "%fl0";
        }
        QVERIFY2(linkLocalNode.start({host}), qPrintable(host));
        node = &linkLocalNode;
        // Without its zone a link-local address names no interface: this is what the zone fixes.
        MessageLog log;
        QVERIFY(!NmosClient().hasSenders({QStringLiteral("%1:%2").arg(host.section('%', 0, 0)).arg(node->port())}));
        QCOMPARE(log.warnings().size(), 1);
    } else if (!m_node->hasAddress6()) {
        QSKIP("this host has no IPv6 loopback");
    }

    const QString address = QStringLiteral("%1:%2").arg(host).arg(node->port());
    const QByteArray staged = "/x-nmos/connection/v1.1/single/receivers/r1/staged";
    node->setReply("GET", Path, Reply::json(QJsonArray{QJsonObject{{"id", "s"}}}));
    node->setReply("PATCH", staged, Reply::json(QJsonObject()));
    NmosClient client;
    NmosClient::ReceiverGroup receiver;
    receiver.id = QStringLiteral("r1");
    receiver.node.address = address;
    QString error;
    QVERIFY(client.hasSenders({address}));
    QVERIFY2(client.disconnectReceiver(receiver, &error), qPrintable(error));
    QCOMPARE(node->requestLines(), QStringList({"GET " + Path, "PATCH " + staged}));
    for (const TestHttpServer::Request &request : node->requests())
        QCOMPARE(request.remoteAddress.split('%').first(), host.section('%', 0, 0).toLatin1());
}

void tst_NmosTransport::abortsStalledRequest()
{
    ReplyLimits::setTransferTimeoutMs(1000);
    const auto restore = qScopeGuard([] { ReplyLimits::setTransferTimeoutMs(ReplyLimits::DefaultTransferTimeoutMs); });
    m_node->setReply("GET", "/outer", Reply::text("outer body").delayed(100));
    m_node->setReply("GET", "/inner-first", Reply::text("first").delayed(500));
    m_node->setReply("GET", Path, Reply::neverAnswer());
    NmosClient client;
    MessageLog log;
    bool innerResult = true;
    // A handler inside the GET's nested loop holds it past the transfer timeout after the
    // GET's last progress: a short request, then a stalled one. Only the stalled one fails.
    QTimer::singleShot(0, this, [&] {
        QCOMPARE(NmosClient::syncGet(&m_manager, m_node->url("/inner-first")), QByteArray("first"));
        innerResult = client.hasSenders({m_node->address()});
    });
    int status = 0;
    QString error = Untouched;
    QCOMPARE(NmosClient::syncGet(&m_manager, m_node->url("/outer"), &status, &error), QByteArray("outer body"));
    QCOMPARE(status, 200);
    QCOMPARE(error, Untouched);
    QVERIFY(!innerResult);
    QCOMPARE(log.warnings().size(), 1);
    QVERIFY2(log.warnings().first().startsWith(QLatin1String("Unable to connect: \"Request timed out")),
             qPrintable(log.warnings().first()));
    QStringList lines = m_node->requestLines();
    lines.sort();
    QCOMPARE(lines, QStringList({"GET /inner-first", "GET /outer", "GET " + Path}));
}

QTEST_GUILESS_MAIN(tst_NmosTransport)
#include "tst_nmostransport.moc"
