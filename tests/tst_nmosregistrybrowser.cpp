#include "discovery/nmosregistrybrowser.h"
#include "discovery/queryapireader.h"
#include "tests/support/certificates.h"
#include "tests/support/dnsmasq.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QCryptographicHash>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

// A registry named on the command line, played by a scripted Query API: the browser lists
// what it holds without asking any node, follows its grains, and when it answers badly
// warns, keeps going with what it could read, and keeps what it listed.
class tst_NMOSRegistryBrowser : public QObject
{
    Q_OBJECT

private slots:
    void registryBase_data();
    void registryBase();
    void readsRegistry_data();
    void readsRegistry();
    void backsOffFailingRegistry();
    void readsHttpsRegistryByItsName_data();
    void readsHttpsRegistryByItsName();
    void findsRegistryByUnicastDnsSd();
};

namespace {

using Reply = TestHttpServer::Reply;

// One scripted answer of the Query API: the path after the version's base, with the query
// when it matters ("senders/?paging.since=0:0&paging.limit=100").
struct Route
{
    QByteArray path;
    Reply reply;
};

const QByteArray FirstPage = "?paging.since=0:0&paging.limit=100";
const QString ControlV11 = "urn:x-nmos:control:sr-ctrl/v1.1";

QJsonObject node(const QString &id)
{
    // Port 9 answers nothing: the node's own API is never asked.
    const QJsonObject endpoint{{"host", "127.0.0.1"}, {"port", 9}, {"protocol", "http"}, {"authorization", false}};
    return QJsonObject{{"id", id}, {"version", "1:0"}, {"label", id}, {"hostname", id},
                       {"api", QJsonObject{{"versions", QJsonArray{"v1.3"}}, {"endpoints", QJsonArray{endpoint}}}}};
}

QJsonObject device(const QString &id, const QJsonArray &controls)
{
    return QJsonObject{{"id", id}, {"version", "1:0"}, {"label", id}, {"node_id", "cam"}, {"controls", controls}};
}

QJsonObject control(const QString &href, const QString &type = ControlV11)
{
    return QJsonObject{{"href", href}, {"type", type}};
}

QJsonObject senderJson(const QString &id, const QString &deviceId = "dev")
{
    return QJsonObject{{"id", id}, {"version", "1:0"}, {"label", id}, {"device_id", deviceId}, {"flow_id", "flow"},
                       {"manifest_href", "http://127.0.0.1:9/" + id + ".sdp"}};
}

QJsonObject receiverJson(const QString &id, const QString &deviceId = "dev")
{
    return QJsonObject{{"id", id}, {"version", "1:0"}, {"label", id}, {"device_id", deviceId},
                       {"format", "urn:x-nmos:format:video"},
                       {"subscription", QJsonObject{{"sender_id", QJsonValue()}, {"active", false}}}};
}

// A grain on the collection's topic: each event a resource added (post), removed (pre) or,
// with both the same, unchanged.
QByteArray grain(const QString &type, const QJsonArray &events)
{
    return QJsonDocument(QJsonObject{{"grain_type", "event"},
                                     {"grain", QJsonObject{{"topic", "/" + type + "/"}, {"data", events}}}})
        .toJson(QJsonDocument::Compact);
}

QJsonObject added(const QJsonObject &resource)
{
    return QJsonObject{{"path", resource.value("id")}, {"post", resource}};
}

QJsonObject removed(const QJsonObject &resource)
{
    return QJsonObject{{"path", resource.value("id")}, {"pre", resource}};
}

// The routes of a registry holding node "cam" with one device, one video flow and the
// senders and receivers given. A path of more replaces its default; named again, its
// replies are given in turn.
QList<Route> registry(const QJsonArray &senders, const QJsonArray &receivers, const QList<Route> &more = {},
                      const QJsonArray &controls = {control("http://127.0.0.1:5201/x-nmos/connection/v1.1/")})
{
    QList<Route> routes{{"nodes/", Reply::json(QJsonArray{node("cam")})},
                        {"devices/", Reply::json(QJsonArray{device("dev", controls)})},
                        {"flows/", Reply::json(QJsonArray{QJsonObject{{"id", "flow"}, {"format", "urn:x-nmos:format:video"},
                                                                      {"device_id", "dev"}}})},
                        {"senders/", Reply::json(senders)},
                        {"receivers/", Reply::json(receivers)}};
    for (const Route &route : more)
        routes.erase(std::remove_if(routes.begin(), routes.end(), [&route](const Route &r) { return r.path == route.path; }),
                     routes.end());
    return routes + more;
}

QString entry(const QString &label)
{
    return QStringLiteral("cam (127.0.0.1:9-%1)").arg(label);
}

// Serves a TestHttpServer's script over TLS: each connection decrypted and passed on.
class TlsFront : public QTcpServer
{
public:
    TlsFront(quint16 backPort, const QSslConfiguration &tls) : m_backPort(backPort), m_tls(tls) {}

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *front = new QSslSocket(this);
        front->setSocketDescriptor(handle);
        front->setSslConfiguration(m_tls);
        auto *back = new QTcpSocket(front);
        back->connectToHost(QHostAddress::LocalHost, m_backPort);
        connect(front, &QSslSocket::readyRead, back, [front, back] { back->write(front->readAll()); });
        connect(back, &QTcpSocket::readyRead, front, [front, back] { front->write(back->readAll()); });
        connect(back, &QTcpSocket::disconnected, front, [front] { front->disconnectFromHost(); });
        connect(front, &QSslSocket::disconnected, front, &QObject::deleteLater);
        front->startServerEncryption();
    }

private:
    quint16 m_backPort;
    QSslConfiguration m_tls;
};

// A certificate for registry.test from an authority this process trusts; empty on failure.
QSslConfiguration registryCertificate(const QString &dir)
{
    if (!makeCertificate(dir, "reg", "DNS:registry.test"))
        return QSslConfiguration();
    QSslConfiguration client = QSslConfiguration::defaultConfiguration();
    client.setCaCertificates(client.caCertificates() + QSslCertificate::fromPath(dir + "/ca.pem"));
    QSslConfiguration::setDefaultConfiguration(client);
    QFile key(dir + "/reg.key");
    if (!key.open(QIODevice::ReadOnly))
        return QSslConfiguration();
    QSslConfiguration server = QSslConfiguration::defaultConfiguration();
    server.setLocalCertificateChain(QSslCertificate::fromPath(dir + "/reg.pem"));
    server.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    server.setPeerVerifyMode(QSslSocket::VerifyNone);
    return server;
}

} // namespace

Q_DECLARE_METATYPE(Route)

void tst_NMOSRegistryBrowser::registryBase_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("base");
    QTest::newRow("full base") << "http://10.0.0.5/x-nmos/query/v1.3/" << "http://10.0.0.5/x-nmos/query/v1.3";
    // The version is then chosen from those the registry lists.
    QTest::newRow("host and port only") << "http://reg.example:8080" << "http://reg.example:8080/x-nmos/query";
    QTest::newRow("no scheme") << "10.0.0.5" << "";
    QTest::newRow("file") << "file:///etc/passwd" << "";
}

void tst_NMOSRegistryBrowser::registryBase()
{
    QFETCH(QString, text);
    QFETCH(QString, base);
    QCOMPARE(NMOSRegistryBrowser::registryBase(text).toString(), base);
}

void tst_NMOSRegistryBrowser::readsRegistry_data()
{
    QTest::addColumn<QString>("version");        // the only one the registry speaks
    QTest::addColumn<QList<Route>>("routes");
    QTest::addColumn<QList<QByteArray>>("grains"); // each on its topic's WebSocket; others on the senders'
    QTest::addColumn<QStringList>("entries");    // every entry text ever listed, sorted
    QTest::addColumn<QStringList>("senders");    // the sender ids held at the end
    QTest::addColumn<QString>("connectionApi");  // of the first sender's entry
    QTest::addColumn<QString>("warning");

    const QJsonObject s1 = senderJson("s1");
    const QJsonObject s2 = senderJson("s2");
    const QJsonArray both{s1, s2};
    const QJsonArray receivers{receiverJson("r1")};
    const QString base = "http://127.0.0.1:5201/x-nmos/connection/v1.1";
    const QStringList listed{entry("r1"), entry("s1"), entry("s2")};
    const QByteArray page2 = "senders/?paging.since=1:0&paging.limit=1";
    QTest::newRow("paging with next links")
        << "v1.3"
        << registry({}, receivers, {{"senders/" + FirstPage, Reply::json(QJsonArray{s1}).withHeader("X-Paging-Limit", "1")
                                                                 .withHeader("Link", "</x-nmos/query/v1.3/" + page2 + ">; rel=\"next\"")},
                                    {page2, Reply::json(QJsonArray{s2})}})
        << QList<QByteArray>() << listed << QStringList{"s1", "s2"} << base << QString();
    QTest::newRow("paging refused with 501")
        << "v1.3" << registry(both, receivers, {{"senders/" + FirstPage, Reply::empty(501)}}) << QList<QByteArray>()
        << listed << QStringList{"s1", "s2"} << base << "does not page";
    // Offered among versions it does not speak, ordered as text would put v1.10 last.
    QTest::newRow("v1.2 only, read and patched as v1.0")
        << "v1.2" << registry(both, receivers, {}, {control("http://127.0.0.1:6000/x-nmos/connection/v1.0",
                                                               "urn:x-nmos:control:sr-ctrl/v1.0")})
        << QList<QByteArray>() << listed << QStringList{"s1", "s2"} << "http://127.0.0.1:6000/x-nmos/connection/v1.0"
        << QString();
    QTest::newRow("301 to the same server")
        << "v1.3"
        << registry({}, receivers, {{"senders/" + FirstPage, Reply::redirect(301, "/x-nmos/query/v1.3/senders" + FirstPage)},
                                    {"senders" + FirstPage, Reply::json(both)}})
        << QList<QByteArray>() << listed << QStringList{"s1", "s2"} << base << QString();
    // A failed read fails the registry: whatever else was read, no node means no entry.
    QTest::newRow("redirect to another host refused")
        << "v1.3" << registry({}, receivers, {{"nodes/", Reply::redirect(301, "http://127.0.0.2:1/x-nmos/query/v1.3/nodes/")}})
        << QList<QByteArray>() << QStringList() << QStringList() << QString() << "Refused the redirect (HTTP 301) from";
    QTest::newRow("next page on another server refused")
        << "v1.3" << registry({}, receivers, {{"nodes/" + FirstPage, Reply::json(QJsonArray{node("cam")}).withHeader("X-Paging-Limit", "1")
                                                   .withHeader("Link", "<http://127.0.0.2:1/x-nmos/query/v1.3/nodes/?paging.since=1:0>; rel=\"next\"")}})
        << QList<QByteArray>() << QStringList() << QStringList() << QString() << "Refused the next page http://127.0.0.2:1/";
    QTest::newRow("device without IS-05")
        << "v1.3" << registry(both, receivers, {}, {control("http://127.0.0.1:5000/", "urn:x-vendor:control:x/v1.0")})
        << QList<QByteArray>() << QStringList() << QStringList{"s1", "s2"} << QString()
        << "Not listed: device dev lists no IS-05 control";
    QTest::newRow("IS-05 control unusable")
        << "v1.3" << registry(both, receivers, {}, {control("ftp://127.0.0.1/")}) << QList<QByteArray>() << QStringList()
        << QStringList{"s1", "s2"} << QString() << "has the unusable IS-05 control";
    QTest::newRow("grains add and remove senders")
        << "v1.3" << registry(QJsonArray{s1}, receivers)
        << QList<QByteArray>{grain("senders", {added(s2)}), grain("senders", {removed(s1)})} << listed
        << QStringList{"s2"} << base << QString();
    // A facility's first grain is worked out away from the event loop; the grain after it
    // waits for it, or the whole collection it holds would take back what came after.
    // Over a megabyte of characters outside the BMP, with a pair of them across the
    // megabyte's end, where the text is cut for converting.
    const auto unchanged = [](const QJsonObject &resource) {
        return QJsonObject{{"path", resource.value("id")}, {"pre", resource}, {"post", resource}};
    };
    const QString faces = QString::fromUtf8("\xF0\x9F\x98\x80").repeated(550000);
    QJsonObject large = senderJson("s2");
    large.insert("description", faces);
    if (QString::fromUtf8(grain("senders", {unchanged(large)})).indexOf(faces) % 2 == 0)
        large.insert("description", 'x' + faces);
    QTest::newRow("first grain a large whole collection")
        << "v1.3" << registry(QJsonArray{s1}, receivers)
        << QList<QByteArray>{grain("senders", {unchanged(large)}), grain("senders", {added(senderJson("s3"))})}
        << QStringList{entry("r1"), entry("s1"), entry("s2"), entry("s3")} << QStringList{"s2", "s3"} << base
        << QString();
    // Behind it, more grains than wait while it is worked out: the collection is read again.
    QList<QByteArray> flood{grain("senders", {added(large)})};
    for (int i = 0; i < QueryApiReader::MaxQueuedMessages + 1; ++i)
        flood << grain("senders", {added(senderJson("s3"))});
    QTest::newRow("grains pile up")
        << "v1.3" << registry({}, receivers, {{"senders/", Reply::json(QJsonArray{s1})}, {"senders/", Reply::json(both)}})
        << flood << listed << QStringList{"s1", "s2"} << base << "messages waiting to be worked out";
    QTest::newRow("WebSocket garbage")
        << "v1.3" << registry(QJsonArray{s1}, receivers)
        << QList<QByteArray>{"{\"grain\": 1", "[]", grain("senders", {QJsonObject{{"path", "x"}}}),
                             grain("senders", {added(s2)})}
        << listed << QStringList{"s1", "s2"} << base << "Ignored a WebSocket message";
    // The collection is read again and subscribed afresh: what changed meanwhile shows.
    QTest::newRow("WebSocket closed")
        << "v1.3" << registry({}, receivers, {{"senders/", Reply::json(QJsonArray{s1})}, {"senders/", Reply::json(both)}})
        << QList<QByteArray>{"close"} << listed << QStringList{"s1", "s2"} << base << "reading them again in 1 s";
    // Taken, and never a word: no handshake.
    QTest::newRow("WebSocket handshake unanswered")
        << "v1.3" << registry({}, receivers, {{"senders/", Reply::json(QJsonArray{s1})}, {"senders/", Reply::json(both)}})
        << QList<QByteArray>{"mute"} << listed << QStringList{"s1", "s2"} << base << "ended (no handshake within";
    // Open, and never a word again, not even to a ping.
    QTest::newRow("WebSocket silent")
        << "v1.3" << registry(QJsonArray{s1}, receivers) << QList<QByteArray>{"silent"}
        << QStringList{entry("r1"), entry("s1")} << QStringList{"s1"} << base << "ended (silent for";
    QTest::newRow("resources of the wrong shape")
        << "v1.3" << registry(QJsonArray{42, QJsonObject{{"id", 7}}, s1}, receivers) << QList<QByteArray>()
        << QStringList{entry("r1"), entry("s1")} << QStringList{"s1"} << base
        << "Ignored one of the \"senders\" from";
    QTest::newRow("nodes not a list")
        << "v1.3" << registry({}, receivers, {{"nodes/", Reply::json(QJsonObject{{"nodes", QJsonArray{node("cam")}}})}})
        << QList<QByteArray>() << QStringList() << QStringList() << QString() << "did not answer with a list of nodes";
    // Without a WebSocket the collections are read again after a pause; then nobody answers,
    // and what was listed stays.
    QTest::newRow("registry vanishes")
        << "v1.3"
        << registry(QJsonArray{s1}, receivers, {{"nodes/", Reply::json(QJsonArray{node("cam")})}, {"nodes/", Reply::empty(503)}})
        << QList<QByteArray>() << QStringList{entry("r1"), entry("s1")} << QStringList{"s1"} << base
        << "No NMOS registry answers";
}

void tst_NMOSRegistryBrowser::readsRegistry()
{
    QFETCH(QString, version);
    QFETCH(QList<Route>, routes);
    QFETCH(QList<QByteArray>, grains);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, senders);
    QFETCH(QString, connectionApi);
    QFETCH(QString, warning);

    TestHttpServer registry;
    QVERIFY(registry.start());
    const QByteArray root = "/x-nmos/query/" + version.toLatin1() + "/";
    registry.setReply("GET", "/x-nmos/query/", Reply::json(QJsonArray{"v1.0/", version + "/", "v1.10/", "v2.0/"}));
    for (const Route &route : routes)
        registry.addReply("GET", root + route.path, route.reply);

    // Each subscription gets a WebSocket of its own; the grains naming its topic go there.
    QWebSocketServer sockets("registry", QWebSocketServer::NonSecureMode);
    QVERIFY(sockets.listen(QHostAddress::LocalHost));
    // A server that accepts the handshake and then says nothing.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    connect(&silent, &QTcpServer::newConnection, &silent, [&silent] {
        QTcpSocket *socket = silent.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            static const QRegularExpression key("Sec-WebSocket-Key: *(\\S+)", QRegularExpression::CaseInsensitiveOption);
            const QRegularExpressionMatch match = key.match(QString::fromLatin1(socket->readAll()));
            if (!match.hasMatch())
                return;
            const QByteArray accept = QCryptographicHash::hash(match.captured(1).toLatin1() + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                                               QCryptographicHash::Sha1).toBase64();
            socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: " + accept + "\r\n\r\n");
        });
    });
    QTcpServer mute;
    QVERIFY(mute.listen(QHostAddress::LocalHost));
    const quint16 wsPort = grains == QList<QByteArray>{"silent"} ? silent.serverPort()
                           : grains == QList<QByteArray>{"mute"} ? mute.serverPort()
                                                                 : sockets.serverPort();
    if (!grains.isEmpty()) {
        for (int i = 0; i < 5; ++i)
            registry.addReply("POST", root + "subscriptions",
                              Reply::json(QJsonObject{{"ws_href", QString("ws://127.0.0.1:%1/%2").arg(wsPort).arg(i)}}, 201));
    }
    connect(&sockets, &QWebSocketServer::newConnection, &sockets, [&] {
        QWebSocket *socket = sockets.nextPendingConnection();
        socket->setParent(&sockets); // the server hands over ownership
        // The n-th subscription asked for the collection its body names.
        const int n = socket->requestUrl().path().mid(1).toInt();
        QList<TestHttpServer::Request> posts;
        for (const TestHttpServer::Request &request : registry.requests()) {
            if (request.method == "POST")
                posts << request;
        }
        const QString topic = "/" + QJsonDocument::fromJson(posts.value(n).body).object().value("resource_path").toString().mid(1) + "/";
        for (const QByteArray &message : grains) {
            const QString grainTopic = QJsonDocument::fromJson(message).object().value("grain").toObject().value("topic").toString();
            if (message == "close" && topic == "/senders/")
                socket->close();
            else if (grainTopic == topic || (grainTopic.isEmpty() && topic == "/senders/"))
                socket->sendTextMessage(QString::fromUtf8(message));
        }
    });

    MessageLog log;
    NMOSRegistryBrowser browser;
    QStringList listed;
    QString firstConnectionApi;
    connect(&browser, &NMOSRegistryBrowser::entriesListed, &browser,
            [&](const QString &nodeId, const QString &, const QList<NmosClient::SenderConnection> &txs,
                const QList<NmosClient::ReceiverConnection> &rxs) {
                for (const NmosClient::SenderConnection &tx : txs) {
                    QCOMPARE(tx.node.registryNodeId, nodeId);
                    if (firstConnectionApi.isEmpty())
                        firstConnectionApi = tx.node.connectionApi;
                    if (!listed.contains(tx.displayName))
                        listed << tx.displayName;
                }
                for (const NmosClient::ReceiverConnection &rx : rxs) {
                    if (!listed.contains(rx.displayName))
                        listed << rx.displayName;
                }
                listed.sort();
            });
    browser.setPollInterval(50);
    browser.setPingInterval(100);
    // With a trailing slash, as people write it: the registry is still known by it when it fails.
    const QString given = QString("http://%1/x-nmos/query%2/").arg(registry.address(), version == "v1.3" ? "/v1.3" : "");
    browser.setRegistry(QUrl(given));
    browser.start();

    if (!warning.isEmpty())
        QTRY_VERIFY2_WITH_TIMEOUT(!log.warnings().filter(warning).isEmpty() || !log.infos().filter(warning).isEmpty(), qPrintable(log.all().join("\n")), 10000);
    const auto heldSenders = [&browser] {
        QStringList ids;
        for (const QJsonValue &held : browser.store()->collection("senders", "cam"))
            ids << held.toObject().value("id").toString()
                       + (held.toObject().value("description").toString().contains(QChar::ReplacementCharacter) ? "!" : "");
        return ids;
    };
    QTRY_COMPARE(heldSenders(), senders);
    QTRY_COMPARE(listed, entries);
    QCOMPARE(firstConnectionApi, connectionApi);
    // Nothing was asked of a node: every request went to the registry.
    for (const TestHttpServer::Request &request : registry.requests())
        QVERIFY2(request.path.startsWith("/x-nmos/query/"), request.path.constData());
}

// Named without its version, as operators write it, and failing under the version it offers:
// many desks read one registry, and one in trouble is asked less and less often until it
// answers again, and then read.
void tst_NMOSRegistryBrowser::backsOffFailingRegistry()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setReply("GET", "/x-nmos/query/", Reply::json(QJsonArray{"v1.3/"}));
    const QList<Route> routes = registry({senderJson("s1")}, {});
    for (const Route &route : routes)
        server.setReply("GET", "/x-nmos/query/v1.3/" + route.path, route.path == "nodes/" ? Reply::empty(500) : route.reply);
    const auto nodeReads = [&server] {
        return server.requestLines().filter(QRegularExpression("^GET /x-nmos/query/v1.3/nodes/")).size();
    };

    MessageLog log;
    NMOSRegistryBrowser browser;
    browser.setPollInterval(200);
    browser.setRegistry(NMOSRegistryBrowser::registryBase("http://" + server.address()));
    browser.start();
    // Pauses of 0.2, 0.4 and 0.8 s, then 1.6.
    QTest::qWait(2000);
    QVERIFY2(nodeReads() >= 2 && nodeReads() <= 5, qPrintable(QString::number(nodeReads())));
    QVERIFY(!log.warnings().filter("No NMOS registry answers; trying again in").isEmpty());

    for (const Route &route : routes)
        server.setReply("GET", "/x-nmos/query/v1.3/" + route.path, route.reply);
    QTRY_COMPARE_WITH_TIMEOUT(browser.store()->count("senders"), 1, 5000);
    QCOMPARE(browser.currentRegistry().toString(), server.url("/x-nmos/query/v1.3"));
}

// An https registry reached at the address its announcement resolved to: its certificate
// names the announced host, which every request and the WebSocket are checked against, and
// a plain WebSocket it names is refused.
void tst_NMOSRegistryBrowser::readsHttpsRegistryByItsName_data()
{
    QTest::addColumn<QString>("verifyName");
    QTest::addColumn<bool>("secureSocket");
    QTest::addColumn<QStringList>("senders");
    QTest::addColumn<QString>("warning");
    QTest::newRow("announced name") << "registry.test" << true << QStringList{"s1", "s2"} << QString();
    QTest::newRow("no name") << QString() << true << QStringList() << "TLS";
    QTest::newRow("plain WebSocket refused") << "registry.test" << false << QStringList{"s1"}
                                             << "refused the WebSocket ws://127.0.0.1:";
}

void tst_NMOSRegistryBrowser::readsHttpsRegistryByItsName()
{
    QFETCH(QString, verifyName);
    QFETCH(bool, secureSocket);
    QFETCH(QStringList, senders);
    QFETCH(QString, warning);
    QTemporaryDir dir;
    const QSslConfiguration tls = registryCertificate(dir.path());
    if (tls.isNull())
        QSKIP("openssl could not make a certificate");
    TestHttpServer plain;
    QVERIFY(plain.start());
    TlsFront server(plain.port(), tls);
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QWebSocketServer sockets("registry", secureSocket ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode);
    sockets.setSslConfiguration(tls);
    QVERIFY(sockets.listen(QHostAddress::LocalHost));
    int opened = 0;
    connect(&sockets, &QWebSocketServer::newConnection, &sockets, [&] {
        QWebSocket *socket = sockets.nextPendingConnection();
        socket->setParent(&sockets);
        // The n-th subscription asked for the collection its body names.
        QList<TestHttpServer::Request> posts = plain.requests();
        posts.erase(std::remove_if(posts.begin(), posts.end(), [](const TestHttpServer::Request &r) { return r.method != "POST"; }),
                    posts.end());
        const QByteArray body = posts.value(socket->requestUrl().path().mid(1).toInt()).body;
        if (QJsonDocument::fromJson(body).object().value("resource_path") == "/senders")
            socket->sendTextMessage(QString::fromUtf8(grain("senders", {added(senderJson("s2"))})));
        ++opened;
    });
    for (const Route &route : registry({senderJson("s1")}, {}))
        plain.setReply("GET", "/x-nmos/query/v1.3/" + route.path, route.reply);
    for (int i = 0; i < 5; ++i)
        plain.addReply("POST", "/x-nmos/query/v1.3/subscriptions",
                       Reply::json(QJsonObject{{"ws_href", QString("%1://127.0.0.1:%2/%3").arg(secureSocket ? "wss" : "ws")
                                                                .arg(sockets.serverPort()).arg(i)}}, 201));

    MessageLog log;
    NmosResourceStore store;
    QueryApiReader reader(QUrl(QString("https://127.0.0.1:%1/x-nmos/query/v1.3").arg(server.serverPort())), &store);
    reader.setPeerVerifyName(verifyName);
    reader.start();
    if (!warning.isEmpty())
        QTRY_VERIFY2_WITH_TIMEOUT(!log.warnings().filter(warning).isEmpty(), qPrintable(log.all().join("\n")), 10000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(reader.isSubscribed(), 10000);
    const auto held = [&store] {
        QStringList ids = store.texts("senders").keys();
        ids.sort();
        return ids;
    };
    QTRY_COMPARE(held(), senders);
    QCOMPARE(opened > 0, secureSocket && !verifyName.isEmpty());
}

// A facility's DNS publishes two registries, as Debian's dnsmasq does here; mDNS finds
// nothing. The better one fails: the other is read meanwhile, the failed one is asked again
// less and less often, and read again once it answers.
void tst_NMOSRegistryBrowser::findsRegistryByUnicastDnsSd()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    if (QStandardPaths::findExecutable("dnsmasq").isEmpty())
        QSKIP("dnsmasq is not installed (tools/setup.sh installs it)");
    TestHttpServer best;
    TestHttpServer next;
    QVERIFY(best.start() && next.start());
    const QList<Route> routes = registry({senderJson("s1")}, {});
    for (const Route &route : routes) {
        best.setReply("GET", "/x-nmos/query/v1.3/" + route.path, route.path == "nodes/" ? Reply::empty(500) : route.reply);
        next.setReply("GET", "/x-nmos/query/v1.3/" + route.path, route.reply);
    }
    const QString type = "_nmos-query._tcp.facility.test";
    QStringList records{"--host-record=registry.facility.test,127.0.0.1"};
    for (const auto &[name, pri, port] : {std::make_tuple("reg1", 10, best.port()), std::make_tuple("reg2", 20, next.port())}) {
        const QString instance = QString("%1.%2").arg(name, type);
        records << "--ptr-record=" + type + "," + instance
                << QString("--srv-host=%1,registry.facility.test,%2,0,0").arg(instance).arg(port)
                << QString("--txt-record=%1,pri=%2,api_ver=v1.3").arg(instance).arg(pri);
    }
    QProcess dns;
    QVERIFY(startDnsmasq(&dns, records));

    NMOSRegistryBrowser browser;
    browser.setDnsDomains({"facility.test"});
    browser.setDnsNameserver(QHostAddress::LocalHost);
    browser.start();
    QTRY_COMPARE_WITH_TIMEOUT(browser.currentRegistry().toString(), next.url("/x-nmos/query/v1.3"), 10000);
    QTRY_COMPARE(browser.store()->count("senders"), 1);
    // Asked again after 1 s, then 2 s later.
    QTest::qWait(2500);
    const int asked = best.requestLines().filter(QRegularExpression("^GET /x-nmos/query/v1.3/nodes/")).size();
    QVERIFY2(asked >= 2 && asked <= 3, qPrintable(QString::number(asked)));
    best.setReply("GET", "/x-nmos/query/v1.3/nodes/", routes.first().reply);
    QTRY_COMPARE_WITH_TIMEOUT(browser.currentRegistry().toString(), best.url("/x-nmos/query/v1.3"), 10000);
    dns.terminate();
    dns.waitForFinished(5000);
}

QTEST_MAIN(tst_NMOSRegistryBrowser)
#include "tst_nmosregistrybrowser.moc"
