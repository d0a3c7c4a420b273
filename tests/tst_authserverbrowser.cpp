#include "discovery/authserverbrowser.h"
#include "tests/support/dnsmasq.h"
#include "tests/support/netns.h"

#include <QProcess>
#include <QtTest>

// Finding a facility's authorization server published by unicast DNS-SD (Debian's dnsmasq on
// this namespace's loopback), as IS-10 requires every client to.
class tst_AuthServerBrowser : public QObject
{
    Q_OBJECT

private slots:
    void choosesServer_data();
    void choosesServer();
};

void tst_AuthServerBrowser::choosesServer_data()
{
    QTest::addColumn<QStringList>("servers"); // "instance|port|txt,txt,...", each published
    QTest::addColumn<bool>("development");
    QTest::addColumn<QString>("chosen");      // the base used, empty: none

    QTest::newRow("lowest pri") << QStringList{"a|8443|api_proto=https,api_ver=v1.0,pri=20", "b|9443|api_proto=https,api_ver=v1.0,pri=10"}
                                << false << "https://auth.facility.test:9443";
    QTest::newRow("api_selector names the issuer's path")
        << QStringList{"a|443|api_proto=https,api_ver=v1.0,pri=10,api_selector=x-nmos/auth"} << false << "https://auth.facility.test:443/x-nmos/auth";
    // Tokens never travel over http; a development server only when allowed.
    QTest::newRow("http server ignored") << QStringList{"a|80|api_proto=http,api_ver=v1.0,pri=0"} << false << "";
    QTest::newRow("development pri ignored") << QStringList{"a|8443|api_proto=https,api_ver=v1.0,pri=100"} << false << "";
    QTest::newRow("development pri allowed") << QStringList{"a|8443|api_proto=https,api_ver=v1.0,pri=100"} << true << "https://auth.facility.test:8443";
    QTest::newRow("other version only") << QStringList{"a|8443|api_proto=https,api_ver=v2.0,pri=0", "b|7443|api_proto=https,pri=50"}
                                        << false << "https://auth.facility.test:7443";
}

void tst_AuthServerBrowser::choosesServer()
{
    QFETCH(QStringList, servers);
    QFETCH(bool, development);
    QFETCH(QString, chosen);
    SKIP_UNLESS_PRIVATE_NETNS();
    if (QStandardPaths::findExecutable("dnsmasq").isEmpty())
        QSKIP("dnsmasq is not installed (tools/setup.sh installs it)");

    const QString type = "_nmos-auth._tcp.facility.test";
    QStringList records{"--host-record=auth.facility.test,127.0.0.1"};
    for (const QString &server : servers) {
        const QStringList parts = server.split('|');
        const QString instance = parts[0] + "." + type;
        records << "--ptr-record=" + type + "," + instance << "--srv-host=" + instance + ",auth.facility.test," + parts[1] + ",0,0"
                << "--txt-record=" + instance + "," + parts[2];
    }
    QProcess dns;
    QVERIFY(startDnsmasq(&dns, records));

    AuthServerBrowser browser;
    browser.setDnsDomains({"facility.test"});
    browser.setDnsNameserver(QHostAddress::LocalHost);
    browser.setDevelopmentServersAllowed(development);
    QSignalSpy changed(&browser, &AuthServerBrowser::serverChanged);
    browser.start();
    if (chosen.isEmpty()) {
        QVERIFY(!changed.wait(3000));
        return;
    }
    // Every instance is looked up before the round ends: the choice settles on the best.
    QTRY_COMPARE_WITH_TIMEOUT(browser.server().toString(), chosen, 10000);
    // Found by name, its certificate is checked against that name as usual.
    QCOMPARE(browser.verifyName(), QString());
}

QTEST_GUILESS_MAIN(tst_AuthServerBrowser)
#include "tst_authserverbrowser.moc"
