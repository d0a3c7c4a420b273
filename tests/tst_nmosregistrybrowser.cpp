#include "discovery/nmosregistrybrowser.h"
#include "tests/support/messagelog.h"
#include "tests/support/testhttpserver.h"

#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

// A registry named on the command line that answers badly: the browser warns, keeps going
// with what it could read, and never reports a node it cannot reach.
class tst_NMOSRegistryBrowser : public QObject
{
    Q_OBJECT

private slots:
    void registryBase_data();
    void registryBase();
    void survivesBadInput_data();
    void survivesBadInput();
};

namespace {

QJsonObject node(const QString &id, const QJsonArray &endpoints)
{
    return QJsonObject{{"id", id}, {"version", "1:0"}, {"label", id}, {"hostname", ""},
                       {"api", QJsonObject{{"versions", QJsonArray{"v1.3"}}, {"endpoints", endpoints}}}};
}

QJsonObject endpoint(const QString &host, int port, const QString &protocol = "http")
{
    return QJsonObject{{"host", host}, {"port", port}, {"protocol", protocol}, {"authorization", false}};
}

QByteArray grain(const QJsonObject &post)
{
    const QJsonObject event{{"path", post.value("id")}, {"post", post}};
    return QJsonDocument(QJsonObject{{"grain_type", "event"},
                                     {"grain", QJsonObject{{"topic", "/nodes/"}, {"data", QJsonArray{event}}}}})
        .toJson();
}

} // namespace

void tst_NMOSRegistryBrowser::registryBase_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("base");
    QTest::newRow("full base") << "http://10.0.0.5/x-nmos/query/v1.3/" << "http://10.0.0.5/x-nmos/query/v1.3";
    QTest::newRow("host and port only") << "http://reg.example:8080" << "http://reg.example:8080/x-nmos/query/v1.3";
    QTest::newRow("no scheme") << "10.0.0.5" << "";
    QTest::newRow("file") << "file:///etc/passwd" << "";
}

void tst_NMOSRegistryBrowser::registryBase()
{
    QFETCH(QString, text);
    QFETCH(QString, base);
    QCOMPARE(NMOSRegistryBrowser::registryBase(text).toString(), base);
}

void tst_NMOSRegistryBrowser::survivesBadInput_data()
{
    QTest::addColumn<QList<TestHttpServer::Reply>>("pages"); // GET /nodes, in turn
    QTest::addColumn<QList<QByteArray>>("messages");         // on the WebSocket; none: no WebSocket
    QTest::addColumn<QStringList>("urls");                   // the self URLs reported
    QTest::addColumn<QString>("warning");

    const QJsonObject good = node("good", {endpoint("127.0.0.1", 8080)});
    const QJsonObject other = node("other", {endpoint("127.0.0.1", 8081)});
    const QString goodUrl = "http://127.0.0.1:8080/x-nmos/node/v1.3/self";
    using Reply = TestHttpServer::Reply;
    QTest::newRow("nodes not a list") << QList<Reply>{Reply::json(QJsonObject{{"nodes", QJsonArray{good}}})}
                                      << QList<QByteArray>() << QStringList() << "did not answer with a list of nodes";
    QTest::newRow("node of the wrong shape") << QList<Reply>{Reply::json(QJsonArray{42, QJsonObject{{"id", 7}}, good})}
                                             << QList<QByteArray>() << QStringList{goodUrl} << "Ignored a node without id or version";
    // http is preferred to https, which serves a node that speaks nothing else.
    QTest::newRow("endpoints unusable, or https")
        << QList<Reply>{Reply::json(QJsonArray{node("n", {endpoint("no host!", 80), endpoint("127.0.0.1", 8443, "https"),
                                                          endpoint("127.0.0.1", 70000), endpoint("127.0.0.1", 8080)}),
                                               node("s", {endpoint("no host!", 80), endpoint("127.0.0.1", 8443, "https")})})}
        << QList<QByteArray>() << QStringList{goodUrl, "https://127.0.0.1:8443/x-nmos/node/v1.3/self"}
        << "Skipped an endpoint of node \"n\" that names no usable host";
    QTest::newRow("WebSocket garbage") << QList<Reply>{Reply::json(QJsonArray{good})}
                                       << QList<QByteArray>{"{\"grain\": 1", "[]", grain(other)}
                                       << QStringList{goodUrl, "http://127.0.0.1:8081/x-nmos/node/v1.3/self"}
                                       << "Ignored a WebSocket message";
    QTest::newRow("registry vanishes") << QList<Reply>{Reply::json(QJsonArray{good}), Reply::empty(503)}
                                       << QList<QByteArray>() << QStringList{goodUrl} << "No NMOS registry answers";
}

void tst_NMOSRegistryBrowser::survivesBadInput()
{
    QFETCH(QList<TestHttpServer::Reply>, pages);
    QFETCH(QList<QByteArray>, messages);
    QFETCH(QStringList, urls);
    QFETCH(QString, warning);

    QWebSocketServer sockets("test", QWebSocketServer::NonSecureMode);
    QVERIFY(sockets.listen(QHostAddress::LocalHost));
    connect(&sockets, &QWebSocketServer::newConnection, &sockets, [&sockets, messages] {
        QWebSocket *socket = sockets.nextPendingConnection();
        socket->setParent(&sockets); // the server hands over ownership
        for (const QByteArray &message : messages)
            socket->sendTextMessage(QString::fromUtf8(message));
    });
    TestHttpServer registry;
    QVERIFY(registry.start());
    for (const TestHttpServer::Reply &page : pages)
        registry.addReply("GET", "/x-nmos/query/v1.3/nodes/", page);
    if (!messages.isEmpty()) {
        const QString href = QStringLiteral("ws://127.0.0.1:%1/").arg(sockets.serverPort());
        registry.setReply("POST", "/x-nmos/query/v1.3/subscriptions",
                          TestHttpServer::Reply::json(QJsonObject{{"ws_href", href}}, 201));
    }

    MessageLog log;
    NMOSRegistryBrowser browser;
    QSignalSpy reported(&browser, &NMOSRegistryBrowser::nodeSelfReady);
    browser.setPollInterval(50);
    browser.setRegistry(QUrl(QStringLiteral("http://%1/x-nmos/query/v1.3").arg(registry.address())));
    browser.start();

    QTRY_VERIFY_WITH_TIMEOUT(!log.warnings().filter(warning).isEmpty(), 10000);
    QTRY_COMPARE(reported.count(), urls.size());
    QStringList seen;
    for (const QList<QVariant> &arguments : qAsConst(reported))
        seen << arguments.at(1).toUrl().toString();
    QCOMPARE(seen, urls);
}

QTEST_MAIN(tst_NMOSRegistryBrowser)
#include "tst_nmosregistrybrowser.moc"
