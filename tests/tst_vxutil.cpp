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
    // feed: "served" asks the test server's /feed, "none" configures no feed at all.
    QTest::addColumn<QString>("feed");
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("version");

    const QString served = QStringLiteral("served");
    QTest::newRow("newer by a fourth number") << served << feed("8.0.124.1") << 1 << QByteArray("8.0.124.1");
    QTest::newRow("equal, shorter") << served << feed("8.0.124.0") << 0 << QByteArray();
    // As text "8.0.99" would sort after "8.0.124".
    QTest::newRow("older build") << served << feed("8.0.99") << 0 << QByteArray();
    QTest::newRow("not JSON") << served << TestHttpServer::Reply::text("<html>") << -2 << QByteArray();
    QTest::newRow("version not numbers") << served << feed("8.1.x") << -2 << QByteArray();
    QTest::newRow("download not a web address") << served << feed("9.0.0", "file:///etc/passwd") << -2 << QByteArray();
    QTest::newRow("feed missing") << served << TestHttpServer::Reply::empty(404) << -1 << QByteArray();
    QTest::newRow("over the time limit") << served << TestHttpServer::Reply::neverAnswer() << -1 << QByteArray();
    QTest::newRow("no feed configured") << QStringLiteral("none") << feed("9.0.0") << 0 << QByteArray();
}

void tst_VxUtil::answersFromFeed()
{
    QFETCH(QString, feed);
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(int, result);
    QFETCH(QByteArray, version);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setReply("GET", "/feed", reply);
    QByteArray feedUrl = server.url(QStringLiteral("/feed")).toUtf8();
    if (feed == QLatin1String("none"))
        feedUrl.clear();
    // Short enough to keep the hanging row quick, long enough for a loaded machine.
    vxSetUpdateFeedForTesting(feedUrl.constData(), 300);

    const char *newVersion = "unset";
    const char *downloadUrl = "unset";
    void *reserved = &server;
    QCOMPARE(vxOSGetAppVersion("ferrolink", 8, 0, 124, &newVersion, &downloadUrl, &reserved), result);
    QCOMPARE(reserved, nullptr);
    if (result == 1) {
        QCOMPARE(QByteArray(newVersion), version);
        QCOMPARE(QString::fromUtf8(downloadUrl), DownloadUrl);
    }
    QCOMPARE(server.requestCount(), feed == QLatin1String("served") ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_VxUtil)
#include "tst_vxutil.moc"
