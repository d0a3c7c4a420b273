#include "discovery/unicastdnssdbrowser.h"
#include "tests/support/dnsmasq.h"
#include "tests/support/netns.h"

#include <QProcess>
#include <QtTest>

// DNS-SD over unicast DNS against Debian's dnsmasq, serving a facility's domain on this
// namespace's loopback.
class tst_UnicastDnsSdBrowser : public QObject
{
    Q_OBJECT

private slots:
    void readsSearchDomains_data();
    void readsSearchDomains();
    void findsAndLosesInstances();
};

void tst_UnicastDnsSdBrowser::readsSearchDomains_data()
{
    QTest::addColumn<QByteArray>("resolvConf");
    QTest::addColumn<QStringList>("domains");
    QTest::newRow("search list, domain after, dots and repeats")
        << QByteArray("# from DHCP\nnameserver 10.0.0.1\nsearch studio.example. ops.example  studio.example\n"
                      "domain Ops.Example\n")
        << QStringList{"studio.example", "ops.example"};
    QTest::newRow("comment ends the list") << QByteArray("search a.example ; b.example\n") << QStringList{"a.example"};
    QTest::newRow("none") << QByteArray("nameserver ::1\nsearch\n") << QStringList();
}

void tst_UnicastDnsSdBrowser::readsSearchDomains()
{
    QFETCH(QByteArray, resolvConf);
    QFETCH(QStringList, domains);
    QCOMPARE(UnicastDnsSdBrowser::searchDomains(resolvConf), domains);
}

void tst_UnicastDnsSdBrowser::findsAndLosesInstances()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    if (QStandardPaths::findExecutable("dnsmasq").isEmpty())
        QSKIP("dnsmasq is not installed (tools/setup.sh installs it)");
    const QString type = "_nmos-query._tcp.facility.test";
    const QString reg1 = "reg1." + type;
    // reg1 is complete; reg2 has no SRV record; the third is of another type.
    const QStringList records{"--ptr-record=" + type + "," + reg1,
                              "--ptr-record=" + type + ",reg2." + type,
                              "--ptr-record=" + type + ",web._http._tcp.facility.test",
                              "--srv-host=" + reg1 + ",registry.facility.test,8235,0,0",
                              "--srv-host=web._http._tcp.facility.test,registry.facility.test,80,0,0",
                              "--txt-record=" + reg1 + ",api_proto=https,API_VER=v1.3,pri=10,pri=90",
                              "--host-record=registry.facility.test,127.0.0.1,::1"};
    QProcess dns;
    QVERIFY(startDnsmasq(&dns, records));

    UnicastDnsSdBrowser browser("_nmos-query._tcp");
    browser.setDomains({"facility.test"});
    browser.setNameserver(QHostAddress::LocalHost);
    browser.setRefreshInterval(200);
    QSignalSpy found(&browser, &UnicastDnsSdBrowser::instanceFound);
    QSignalSpy removed(&browser, &UnicastDnsSdBrowser::instanceRemoved);
    browser.start();
    QVERIFY(found.wait(10000));
    const auto instance = found.first().first().value<UnicastDnsSdBrowser::Instance>();
    QCOMPARE(instance.name, reg1.toUtf8());
    QCOMPARE(instance.hostName + ':' + QString::number(instance.port), QStringLiteral("registry.facility.test:8235"));
    const QMap<QByteArray, QByteArray> txt{{"api_proto", "https"}, {"api_ver", "v1.3"}, {"pri", "10"}};
    QCOMPARE(instance.attributes, txt);
    QCOMPARE(instance.addresses.size(), 2);
    QVERIFY(instance.addresses.contains(QHostAddress("127.0.0.1")) && instance.addresses.contains(QHostAddress("::1")));

    // The domain stops publishing it: the next refresh says so, once.
    dns.terminate();
    QVERIFY(dns.waitForFinished(5000));
    QVERIFY(startDnsmasq(&dns, {}));
    QVERIFY(removed.wait(10000));
    QCOMPARE(removed.first().first().toByteArray(), reg1.toUtf8());
    for (const QList<QVariant> &report : found)
        QCOMPARE(report.first().value<UnicastDnsSdBrowser::Instance>().name, reg1.toUtf8());
    dns.terminate();
    dns.waitForFinished(5000);
    QCOMPARE(removed.count(), 1);
}

QTEST_GUILESS_MAIN(tst_UnicastDnsSdBrowser)
#include "tst_unicastdnssdbrowser.moc"
