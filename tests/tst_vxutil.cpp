#include "vxutil/vxutil.h"

#include "tests/support/testhttpserver.h"

#include <QJsonObject>
#include <QtTest>

class tst_VxUtil : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void answersFromFeed_data();
    void answersFromFeed();
};

namespace {

const QString DownloadUrl = QStringLiteral("https://downloads.veltrix.example/ferrolink.deb");

TestHttpServer::Reply feed(const QString &version, const QString &url = DownloadUrl)
{
    return TestHttpServer::Reply::json(
        QJsonObject{{QStringLiteral("version"), version}, {QStringLiteral("url"), url}});
}

} // namespace

void tst_VxUtil::cleanup()
{
    vxSetUpdateFeedForTesting(nullptr, 0);
}

void tst_VxUtil::answersFromFeed_data()
{
    QTest::addColumn<TestHttpServer::Reply>("reply"); // status 0: no feed configured at all
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("feedUrl"); // empty: the test server's, on loopback

    QTest::newRow("newer by a fourth number") << feed("8.0.124.1") << 1 << QByteArray();
    QTest::newRow("equal, shorter") << feed("8.0.124.0") << 0 << QByteArray();
    // As text "8.0.99" would sort after "8.0.124".
    QTest::newRow("older build") << feed("8.0.99") << 0 << QByteArray();
    QTest::newRow("not JSON") << TestHttpServer::Reply::text("<html>") << -2 << QByteArray();
    QTest::newRow("version not numbers") << feed("8.1.x") << -2 << QByteArray();
    QTest::newRow("download not a web address") << feed("9.0.0", "file:///etc/passwd") << -2 << QByteArray();
    QTest::newRow("feed missing") << TestHttpServer::Reply::empty(404) << -1 << QByteArray();
    QTest::newRow("over the time limit") << TestHttpServer::Reply::neverAnswer() << -1 << QByteArray();
    // Whoever answers a plain http feed could choose what "Download" opens.
    QTest::newRow("download over plain http") << feed("9.0.0", "http://downloads.veltrix.example/ferrolink.deb") << -2 << QByteArray();
    // 0.0.0.0 reaches this machine's server, though not by a loopback address: were the
    // feed read, the server would see it.
    QTest::newRow("feed over plain http") << feed("9.0.0") << -1 << QByteArray("http://0.0.0.0:%port/feed");
    QTest::newRow("no feed configured") << TestHttpServer::Reply::empty(0) << 0 << QByteArray();
}

void tst_VxUtil::answersFromFeed()
{
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(int, result);
    QFETCH(QByteArray, feedUrl);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setReply("GET", "/feed", reply);
    const bool configured = reply.status != 0;
    if (feedUrl.isEmpty() && configured)
        feedUrl = server.url(QStringLiteral("/feed")).toUtf8();
    feedUrl.replace("%port", QByteArray::number(server.port()));
    // Short enough to keep the hanging row quick, long enough for a loaded machine.
    vxSetUpdateFeedForTesting(feedUrl.constData(), 300);

    const char *newVersion = "unset";
    const char *downloadUrl = "unset";
    void *reserved = &server;
    QCOMPARE(vxOSGetAppVersion("ferrolink", 8, 0, 124, &newVersion, &downloadUrl, &reserved), result);
    QCOMPARE(reserved, nullptr);
    // A newer version is handed on as the feed offers it.
    const QJsonObject offered = QJsonDocument::fromJson(reply.body).object();
    if (result == 1)
        QCOMPARE(QStringList({newVersion, downloadUrl}), QStringList({offered["version"].toString(), offered["url"].toString()}));
    QCOMPARE(server.requestCount(), configured && feedUrl.startsWith(server.url("").toUtf8()) ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_VxUtil)
#include "tst_vxutil.moc"
