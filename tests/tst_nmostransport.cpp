#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QUrl>
#include <QtTest>

using Reply = TestHttpServer::Reply;

namespace {

// A loopback address on which nothing listens: the system handed the port out a moment ago.
QString closedAddress()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return QString();
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

const QByteArray Path = "/x-nmos/node/v1.3/senders/";
const QString Untouched = QStringLiteral("<untouched>");
const int UntouchedStatus = 12345;

} // namespace

// The HTTP transport of NmosClient: synchronous GET and PATCH, the JSON and transport-file
// fetches, IPv6 literals in node addresses, and the limits on what a node may make it do.
class tst_NmosTransport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void jsonFetchAcceptsOnly2xxJson_data();
    void jsonFetchAcceptsOnly2xxJson();
    void syncGetReportsStatusOrError_data();
    void syncGetReportsStatusOrError();
    void syncPatchSendsCompactJson_data();
    void syncPatchSendsCompactJson();
    void manifestNeedsNonEmpty2xxBody_data();
    void manifestNeedsNonEmpty2xxBody();

    void bracketsIpv6Host_data();
    void bracketsIpv6Host();
    void reachesIpv6Node_data();
    void reachesIpv6Node();
    void reachesLinkLocalNodeThroughZone();

    void manifestReadsOnlyWebUrls_data();
    void manifestReadsOnlyWebUrls();
    void abortsOversizedReply_data();
    void abortsOversizedReply();
    void abortsStalledRequest();
    void stalledPatchInsideAnotherRequestFailsAlone();

private:
    std::unique_ptr<TestHttpServer> m_node;
    QNetworkAccessManager m_manager;
};

void tst_NmosTransport::init()
{
    m_node = std::make_unique<TestHttpServer>();
    QString error;
    QVERIFY2(m_node->start(&error), qPrintable(error));
}

void tst_NmosTransport::cleanup()
{
    m_node.reset();
}

void tst_NmosTransport::jsonFetchAcceptsOnly2xxJson_data()
{
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<int>("arraySize");  // of getJsonArray; getJsonObject gets the same reply
    QTest::addColumn<int>("objectSize"); // members of getJsonObject's result
    // The warning's text after "Unable to connect: ", as a pattern; empty when none is due.
    QTest::addColumn<QString>("warning");

    const QJsonArray two{QJsonObject{{"id", "a"}}, QJsonObject{{"id", "b"}}};
    const QJsonObject one{{"id", "a"}};
    QTest::newRow("unreachable") << false << Reply() << 0 << 0 << "\"Connection refused\"";
    QTest::newRow("404") << true << Reply::text("gone", 404) << 0 << 0 << "\".*server replied: Not Found\"";
    QTest::newRow("500") << true << Reply::json(two, 500) << 0 << 0 << "\".*Internal Server Error\"";
    // Redirects are not followed; the network layer sees no error, so the text is empty.
    QTest::newRow("302") << true << Reply::redirect(302, "/elsewhere") << 0 << 0 << "\"\"";
    QTest::newRow("closed mid reply") << true << Reply::closeMidReply("[{\"id\":\"a\"},{\"id\":\"b\"}]") << 0
                                      << 0 << "\".+\"";
    QTest::newRow("200 array") << true << Reply::json(two) << 2 << 0 << "";
    QTest::newRow("299 array") << true << Reply::json(two, 299) << 2 << 0 << "";
    QTest::newRow("200 object") << true << Reply::json(one) << 0 << 1 << "";
    QTest::newRow("200 empty object") << true << Reply::json(QJsonObject()) << 0 << 0 << "";
    QTest::newRow("200 not JSON") << true << Reply::text("<html>hello</html>") << 0 << 0 << "";
    QTest::newRow("200 JSON with trailing junk") << true << Reply::text("[1,2] x") << 0 << 0 << "";
    QTest::newRow("200 empty body") << true << Reply::empty(200) << 0 << 0 << "";
    QTest::newRow("204") << true << Reply::empty(204) << 0 << 0 << "";
}

void tst_NmosTransport::jsonFetchAcceptsOnly2xxJson()
{
    QFETCH(bool, reachable);
    QFETCH(Reply, reply);
    QFETCH(int, arraySize);
    QFETCH(int, objectSize);
    QFETCH(QString, warning);

    m_node->setReply("GET", Path, reply);
    const QString url = reachable ? m_node->url(QString::fromLatin1(Path))
                                  : QStringLiteral("http://%1%2").arg(closedAddress(), QString::fromLatin1(Path));
    NmosClient client;
    MessageLog log;
    QCOMPARE(client.getJsonArray(url).size(), arraySize);
    QCOMPARE(client.getJsonObject(url).size(), objectSize);

    if (warning.isEmpty()) {
        QCOMPARE(log.all(), QStringList());
    } else {
        QCOMPARE(log.warnings().size(), 2);
        const QRegularExpression line(QRegularExpression::anchoredPattern("Unable to connect: " + warning));
        for (const QString &text : log.warnings())
            QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
    }
    if (reachable)
        QCOMPARE(m_node->requestLines(), QStringList({"GET " + Path, "GET " + Path}));
}

void tst_NmosTransport::syncGetReportsStatusOrError_data()
{
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("errorSet");

    QTest::newRow("200") << true << Reply::text("v=0\r\n") << QByteArray("v=0\r\n") << 200 << false;
    QTest::newRow("201") << true << Reply::text("made", 201) << QByteArray("made") << 201 << false;
    QTest::newRow("302") << true << Reply::redirect(302, "/elsewhere") << QByteArray() << 302 << false;
    QTest::newRow("404") << true << Reply::text("gone", 404) << QByteArray() << UntouchedStatus << true;
    QTest::newRow("unreachable") << false << Reply() << QByteArray() << UntouchedStatus << true;
}

void tst_NmosTransport::syncGetReportsStatusOrError()
{
    QFETCH(bool, reachable);
    QFETCH(Reply, reply);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(bool, errorSet);

    m_node->setReply("GET", "/file", reply);
    const QString url = reachable ? m_node->url("/file") : QStringLiteral("http://%1/file").arg(closedAddress());
    int gotStatus = UntouchedStatus;
    QString error = Untouched;
    QCOMPARE(NmosClient::syncGet(&m_manager, url, &gotStatus, &error), body);
    QCOMPARE(gotStatus, status);
    if (errorSet) {
        QVERIFY(error != Untouched);
        QVERIFY(!error.isEmpty());
    } else {
        QCOMPARE(error, Untouched);
    }
    // Both out-parameters are optional.
    QCOMPARE(NmosClient::syncGet(&m_manager, url), body);
}

void tst_NmosTransport::syncPatchSendsCompactJson_data()
{
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("errorSet");

    QTest::newRow("200") << true << Reply::json(QJsonObject{{"ok", true}}) << true << 200 << false;
    QTest::newRow("202") << true << Reply::empty(202) << true << 202 << false;
    // Only network errors fail the PATCH itself; judging the status is the caller's part.
    QTest::newRow("302") << true << Reply::redirect(302, "/elsewhere") << true << 302 << false;
    QTest::newRow("400") << true << Reply::json(QJsonObject{{"code", 400}}, 400) << false << 400 << true;
    QTest::newRow("500") << true << Reply::empty(500) << false << 500 << true;
    QTest::newRow("unreachable") << false << Reply() << false << 0 << true;
}

void tst_NmosTransport::syncPatchSendsCompactJson()
{
    QFETCH(bool, reachable);
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(int, status);
    QFETCH(bool, errorSet);

    m_node->setReply("PATCH", "/staged", reply);
    const QUrl url(reachable ? m_node->url("/staged") : QStringLiteral("http://%1/staged").arg(closedAddress()));
    const QJsonObject body{{"master_enable", true},
                           {"activation", QJsonObject{{"mode", "activate_immediate"}, {"requested_time", QJsonValue::Null}}}};
    int gotStatus = UntouchedStatus;
    QString error = Untouched;
    MessageLog log;
    QCOMPARE(NmosClient::syncPatch(&m_manager, url, body, &gotStatus, &error), result);
    QCOMPARE(gotStatus, status);
    QCOMPARE(error != Untouched, errorSet);
    QCOMPARE(log.all(), QStringList());

    if (reachable) {
        const QList<TestHttpServer::Request> requests = m_node->requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.at(0).method, QByteArray("PATCH"));
        QCOMPARE(requests.at(0).header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(requests.at(0).body,
                 QByteArray(R"({"activation":{"mode":"activate_immediate","requested_time":null},"master_enable":true})"));
    }
}

void tst_NmosTransport::manifestNeedsNonEmpty2xxBody_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");

    QTest::newRow("200 SDP") << Reply::text("v=0\r\ns=Cam 3 \xc3\xa9t\xc3\xa9\r\n", 200, "application/sdp") << true;
    QTest::newRow("200 not SDP at all") << Reply::text("<html/>") << true;
    QTest::newRow("200 empty") << Reply::empty(200) << false;
    QTest::newRow("404") << Reply::text("v=0\r\n", 404) << false;
    QTest::newRow("302") << Reply::redirect(302, "/other.sdp") << false;
}

void tst_NmosTransport::manifestNeedsNonEmpty2xxBody()
{
    QFETCH(Reply, reply);
    QFETCH(bool, result);

    m_node->setReply("GET", "/video.sdp", reply);
    NmosClient client;
    NmosClient::SenderGroup sender;
    sender.manifestHref = m_node->url("/video.sdp");
    QString sdp = Untouched;
    MessageLog log;
    QCOMPARE(client.getManifest(sender, &sdp), result);
    QCOMPARE(sdp, result ? QString::fromUtf8(reply.body) : Untouched);
    QCOMPARE(log.all(), QStringList());
    QCOMPARE(m_node->requestCount(), 1);
}

void tst_NmosTransport::bracketsIpv6Host_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    QTest::newRow("port and path") << "http://fe80::1:8080/x-nmos/node/v1.3/senders/"
                                   << "http://[fe80::1]:8080/x-nmos/node/v1.3/senders/";
    QTest::newRow("loopback, no path") << "http://::1:8080" << "http://[::1]:8080";
    QTest::newRow("path with colons untouched") << "http://::1:80/a::b/c:1" << "http://[::1]:80/a::b/c:1";
    QTest::newRow("query ends authority") << "http://fe80::1:8080?q=a::b" << "http://[fe80::1]:8080?q=a::b";
    QTest::newRow("fragment ends authority") << "https://fe80::1:443#x::y" << "https://[fe80::1]:443#x::y";
    QTest::newRow("nothing to read as port") << "http://fe80::/x" << "http://[fe80::]/x";
    QTest::newRow("hex last group is no port") << "http://fe80::1:abcd/x" << "http://[fe80::1:abcd]/x";
    QTest::newRow("digit last group, no port left") << "http://fe80::12/x" << "http://[fe80::12]/x";
    QTest::newRow("digit last group, address left") << "http://fe80::1:12/x" << "http://[fe80::1]:12/x";
    QTest::newRow("IPv4-mapped") << "http://::ffff:10.0.0.7:8080/x" << "http://[::ffff:10.0.0.7]:8080/x";
    QTest::newRow("zone and port") << "http://fe80::1%fl0:8080/x" << "http://[fe80::1%25fl0]:8080/x";
    QTest::newRow("zone, no port") << "http://fe80::1%fl0/x" << "http://[fe80::1%25fl0]/x";
    QTest::newRow("zone with odd characters") << "http://fe80::1%a b:80/x" << "http://[fe80::1%25a%20b]:80/x";
    QTest::newRow("full form with port") << "http://2001:db8:1:2:3:4:5:6:8080/x" << "http://[2001:db8:1:2:3:4:5:6]:8080/x";
    QTest::newRow("full form, no port") << "http://2001:db8:1:2:3:4:5:6/x" << "http://[2001:db8:1:2:3:4:5:6]/x";
    QTest::newRow("already bracketed") << "http://[fe80::1]:8080/x" << "http://[fe80::1]:8080/x";
    QTest::newRow("IPv4 with port") << "http://10.0.0.7:8080/x" << "http://10.0.0.7:8080/x";
    QTest::newRow("host name") << "http://studio-gw-1.local:80/x::y" << "http://studio-gw-1.local:80/x::y";
    QTest::newRow("no scheme separator") << "fe80::1:8080/x" << "fe80::1:8080/x";
    QTest::newRow("empty") << "" << "";
}

void tst_NmosTransport::bracketsIpv6Host()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(NmosClient::bracketIpv6Host(url), expected);
}

void tst_NmosTransport::reachesIpv6Node_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("plain") << "";
    // Loopback ignores the zone, but it must survive into a URL that still connects.
    QTest::newRow("with zone") << "%lo";
}

void tst_NmosTransport::reachesIpv6Node()
{
    QFETCH(QString, suffix);
    if (!m_node->hasAddress6())
        QSKIP("this host has no IPv6 loopback");

    const QString address = QStringLiteral("::1%1:%2").arg(suffix).arg(m_node->port());
    m_node->setReply("GET", "/x-nmos/node/v1.3/receivers/", Reply::json(QJsonArray{QJsonObject{{"id", "r"}}}));
    m_node->setReply("PATCH", "/x-nmos/connection/v1.1/single/receivers/r1/staged", Reply::json(QJsonObject()));

    NmosClient client;
    NmosClient::ReceiverGroup receiver;
    receiver.id = QStringLiteral("r1");
    receiver.nodeAddress = address;
    QString error;
    QVERIFY(client.hasReceivers(address));
    QVERIFY2(client.disconnectReceiver(receiver, &error), qPrintable(error));

    const QList<TestHttpServer::Request> requests = m_node->requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).method, QByteArray("GET"));
    QCOMPARE(requests.at(1).method, QByteArray("PATCH"));
    for (const TestHttpServer::Request &request : requests)
        QCOMPARE(request.remoteAddress, QByteArray("::1"));
}

void tst_NmosTransport::reachesLinkLocalNodeThroughZone()
{
    // Only inside the private namespace is there a link-local address of our own to serve on.
    if (!insidePrivateNetns())
        QSKIP("needs the link-local address of fl0: runs only inside tools/netns-run");
    QString linkLocal;
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl0").addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
            linkLocal = entry.ip().toString().section(QLatin1Char('%'), 0, 0);
    }
    QVERIFY(!linkLocal.isEmpty());

    TestHttpServer node;
    QString error;
    QVERIFY2(node.start({linkLocal + QStringLiteral("%fl0")}, &error), qPrintable(error));
    node.setReply("GET", "/x-nmos/node/v1.3/senders/", Reply::json(QJsonArray{QJsonObject{{"id", "s"}}}));
    node.setReply("PATCH", "/x-nmos/connection/v1.1/single/receivers/r1/staged", Reply::json(QJsonObject()));

    NmosClient client;
    // Without its zone a link-local address names no interface: this is what the zone fixes.
    {
        MessageLog log;
        QVERIFY(!client.hasSenders(QStringLiteral("%1:%2").arg(linkLocal).arg(node.port())));
        QCOMPARE(log.warnings().size(), 1);
    }
    const QString address = QStringLiteral("%1%fl0:%2").arg(linkLocal).arg(node.port());
    QVERIFY(client.hasSenders(address));
    NmosClient::ReceiverGroup receiver;
    receiver.id = QStringLiteral("r1");
    receiver.nodeAddress = address;
    QVERIFY2(client.disconnectReceiver(receiver, &error), qPrintable(error));
    QCOMPARE(node.requestLines(),
             QStringList({"GET /x-nmos/node/v1.3/senders/", "PATCH /x-nmos/connection/v1.1/single/receivers/r1/staged"}));
}

void tst_NmosTransport::manifestReadsOnlyWebUrls_data()
{
    QTest::addColumn<QString>("href"); // "%file" is a readable local SDP file, "%port" the node's port
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("warned");

    QTest::newRow("http") << "http://127.0.0.1:%port/video.sdp" << true << false;
    QTest::newRow("http, upper-case scheme") << "HTTP://127.0.0.1:%port/video.sdp" << true << false;
    QTest::newRow("IPv6 node") << "http://::1:%port/video.sdp" << true << false;
    QTest::newRow("file URL") << "file://%file" << false << true;
    QTest::newRow("local path") << "%file" << false << true;
    QTest::newRow("qrc") << "qrc:/img/Ferrolink_Icon_128x128.png" << false << true;
    QTest::newRow("ftp") << "ftp://127.0.0.1:%port/video.sdp" << false << true;
    QTest::newRow("UNC-like, slashes") << "//127.0.0.1/share/video.sdp" << false << true;
    QTest::newRow("UNC-like, backslashes") << "\\\\127.0.0.1\\share\\video.sdp" << false << true;
    QTest::newRow("no scheme") << "127.0.0.1:%port/video.sdp" << false << true;
    QTest::newRow("empty") << "" << false << false;
}

void tst_NmosTransport::manifestReadsOnlyWebUrls()
{
    QFETCH(QString, href);
    QFETCH(bool, result);
    QFETCH(bool, warned);
    if (href.contains("::1") && !m_node->hasAddress6())
        QSKIP("this host has no IPv6 loopback");

    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("v=0\r\ns=local file\r\n");
    file.flush();
    m_node->setReply("GET", "/video.sdp", Reply::text("v=0\r\ns=from node\r\n", 200, "application/sdp"));

    NmosClient client;
    NmosClient::SenderGroup sender;
    sender.manifestHref = QString(href).replace("%file", file.fileName()).replace("%port", QString::number(m_node->port()));
    QString sdp = Untouched;
    MessageLog log;
    QCOMPARE(client.getManifest(sender, &sdp), result);
    QCOMPARE(sdp, result ? QStringLiteral("v=0\r\ns=from node\r\n") : Untouched);
    QCOMPARE(m_node->requestCount(), result ? 1 : 0);
    QCOMPARE(log.warnings().size(), warned ? 1 : 0);
    if (warned)
        QVERIFY2(log.warnings().first().startsWith("ferrolink.nmos: Transport file address is not an http or https URL"),
                 qPrintable(log.warnings().first()));
}

void tst_NmosTransport::abortsOversizedReply_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("accepted");

    const qint64 limit = NmosClient::MaxReplySize;
    QTest::newRow("GET, exactly the limit") << QByteArray("GET") << Reply::generated(limit) << true;
    QTest::newRow("GET, exactly the limit, chunked") << QByteArray("GET") << Reply::generated(limit, true) << true;
    QTest::newRow("GET, one byte over, announced") << QByteArray("GET") << Reply::generated(limit + 1) << false;
    QTest::newRow("GET, one byte over, chunked") << QByteArray("GET") << Reply::generated(limit + 1, true) << false;
    QTest::newRow("GET, 1 GiB announced") << QByteArray("GET") << Reply::generated(qint64(1) << 30) << false;
    QTest::newRow("GET, 256 MiB chunked") << QByteArray("GET") << Reply::generated(qint64(256) << 20, true) << false;
    QTest::newRow("PATCH, one byte over, chunked") << QByteArray("PATCH") << Reply::generated(limit + 1, true) << false;
}

void tst_NmosTransport::abortsOversizedReply()
{
    QFETCH(QByteArray, method);
    QFETCH(Reply, reply);
    QFETCH(bool, accepted);

    m_node->setReply(method, "/big", reply);
    int status = UntouchedStatus;
    QString error = Untouched;
    if (method == "GET") {
        const QByteArray body = NmosClient::syncGet(&m_manager, m_node->url("/big"), &status, &error);
        QCOMPARE(body.size(), accepted ? int(NmosClient::MaxReplySize) : 0);
        QCOMPARE(status, accepted ? 200 : UntouchedStatus);
    } else {
        QCOMPARE(NmosClient::syncPatch(&m_manager, QUrl(m_node->url("/big")), QJsonObject(), &status, &error), accepted);
    }
    if (accepted)
        QCOMPARE(error, Untouched);
    else
        QVERIFY2(error.contains(QLatin1String("larger than")), qPrintable(error));
}

void tst_NmosTransport::abortsStalledRequest()
{
    m_node->setReply("GET", "/x-nmos/node/v1.3/senders/", Reply::neverAnswer());
    NmosClient client;
    MessageLog log;
    QVERIFY(!client.hasSenders(m_node->address()));
    QCOMPARE(log.warnings().size(), 1);
    QVERIFY2(log.warnings().first().startsWith(QLatin1String("Unable to connect: \"Request timed out")),
             qPrintable(log.warnings().first()));
    QCOMPARE(m_node->requestCount(), 1);
}

void tst_NmosTransport::stalledPatchInsideAnotherRequestFailsAlone()
{
    m_node->setReply("GET", "/outer", Reply::text("outer body").delayed(100));
    m_node->setReply("GET", "/inner-first", Reply::text("first").delayed(500));
    m_node->setReply("PATCH", "/inner", Reply::neverAnswer());
    bool innerResult = true;
    int innerStatus = UntouchedStatus;
    QString innerError;
    // A second handler runs inside the GET's nested loop and holds it there longer than the
    // transfer timeout after the GET's last progress: a short request, then a stalled PATCH.
    QTimer::singleShot(0, this, [&] {
        QCOMPARE(NmosClient::syncGet(&m_manager, m_node->url("/inner-first")), QByteArray("first"));
        innerResult = NmosClient::syncPatch(&m_manager, QUrl(m_node->url("/inner")), QJsonObject(), &innerStatus,
                                            &innerError);
    });
    int status = 0;
    QString error = Untouched;
    QCOMPARE(NmosClient::syncGet(&m_manager, m_node->url("/outer"), &status, &error), QByteArray("outer body"));
    QCOMPARE(status, 200);
    QCOMPARE(error, Untouched);

    QVERIFY(!innerResult);
    QCOMPARE(innerStatus, 0);
    QVERIFY2(innerError.contains(QLatin1String("timed out")), qPrintable(innerError));
    QStringList lines = m_node->requestLines();
    lines.sort();
    QCOMPARE(lines, QStringList({"GET /inner-first", "GET /outer", "PATCH /inner"}));
}

QTEST_GUILESS_MAIN(tst_NmosTransport)
#include "tst_nmostransport.moc"
