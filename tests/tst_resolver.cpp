#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/message.h"
#include "mdns/resolver.h"
#include "tests/support/mdnsfakeclock.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;

namespace {

const QByteArray Host = "studio-gw-1.local.";

Record address(const QByteArray &name, const char *ip, quint32 ttl = 120)
{
    const QHostAddress parsed(QString::fromLatin1(ip));
    Record record(name, parsed.protocol() == QAbstractSocket::IPv6Protocol ? AAAA : A, ttl);
    record.setAddress(parsed);
    record.setFlushCache(true);
    return record;
}

Message response(const QList<Record> &answers, const QString &interfaceName = QStringLiteral("fl1"))
{
    Message message;
    message.setResponse(true);
    message.setPort(MdnsPort);
    message.setAddress(QHostAddress("10.77.0.1"));
    message.setInterfaceName(interfaceName);
    for (const Record &record : answers)
        message.addRecord(record);
    return message;
}

} // namespace

class tst_Resolver : public QObject
{
    Q_OBJECT

private slots:
    void asksWithBackOffUntilAnswered();
    void reportsEachAddressOnce();
    void scopesLinkLocalAddressToArrivalInterface();
    void reportsCachedAddressesAfterConstruction();
    void reportsAgainAfterExpiry();
    void refreshesAsTheCacheAsks();
    void ignoresOtherNamesAndGoodbyes();
    void outlivesServerAndCache();
};

void tst_Resolver::asksWithBackOffUntilAnswered()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Resolver resolver(&server, Host, &cache);
    QTRY_COMPARE(server.questionCount(Host, A), 1);
    QCOMPARE(server.questionCount(Host, AAAA), 1);

    clock.advance(999);
    QCOMPARE(server.questionCount(Host, A), 1);
    clock.advance(1);
    QCOMPARE(server.questionCount(Host, A), 2);
    clock.advance(2000);
    QCOMPARE(server.questionCount(Host, A), 3);
    clock.advance(3999);
    QCOMPARE(server.questionCount(Host, A), 3);
    clock.advance(1);
    QCOMPARE(server.questionCount(Host, A), 4);

    server.deliver(response({address(Host, "10.77.0.1")}));
    clock.advance(60000);
    QCOMPARE(server.questionCount(Host, A), 4);
    QVERIFY(!server.encodingFailed);
}

void tst_Resolver::reportsEachAddressOnce()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Resolver resolver(&server, Host, &cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);

    server.deliver(response({address(Host, "10.77.0.1"), address(Host, "fd77::1")}));
    server.deliver(response({address("Studio-GW-1.LOCAL.", "10.77.0.1")}, QStringLiteral("fl0")));
    QCOMPARE(resolved.count(), 2);
    QCOMPARE(resolved.at(0).first().value<QHostAddress>(), QHostAddress("10.77.0.1"));
    QCOMPARE(resolved.at(1).first().value<QHostAddress>(), QHostAddress("fd77::1"));
    QCOMPARE(resolver.addresses().size(), 2);
}

void tst_Resolver::scopesLinkLocalAddressToArrivalInterface()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Resolver resolver(&server, Host, &cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);

    server.deliver(response({address(Host, "fe80::1")}, QStringLiteral("fl1")));
    server.deliver(response({address(Host, "fe80::1")}, QStringLiteral("fl0")));
    // The same link-local address on two links is two addresses.
    QCOMPARE(resolved.count(), 2);
    QCOMPARE(resolved.at(0).first().value<QHostAddress>().scopeId(), QStringLiteral("fl1"));
    QCOMPARE(resolved.at(1).first().value<QHostAddress>().scopeId(), QStringLiteral("fl0"));
}

void tst_Resolver::reportsCachedAddressesAfterConstruction()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    cache.addRecord(address(Host, "10.77.0.1"));
    cache.addRecord(address(Host, "fd77::1"));

    Resolver resolver(&server, Host, &cache);
    // Connected after construction and still told.
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    QCOMPARE(resolved.count(), 0);
    QTRY_COMPARE(resolved.count(), 2);
    // Asked once anyway (the cache may hold only one family), listing what it knows.
    QCOMPARE(server.questionCount(Host, A), 1);
    QCOMPARE(server.queries().first().records().size(), 2);
    clock.advance(10000);
    QCOMPARE(server.questionCount(Host, A), 1);
}

void tst_Resolver::reportsAgainAfterExpiry()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Resolver resolver(&server, Host, &cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    QTRY_COMPARE(server.questionCount(Host, A), 1);
    server.deliver(response({address(Host, "10.77.0.1", 10)}));
    QCOMPARE(resolved.count(), 1);
    const int asked = server.questionCount(Host, A);
    clock.advance(10000);
    QVERIFY(resolver.addresses().isEmpty());
    // Gone: looked for again with back-off.
    clock.advance(1000);
    QVERIFY(server.questionCount(Host, A) > asked);
    server.deliver(response({address(Host, "10.77.0.1", 10)}));
    QCOMPARE(resolved.count(), 2);
}

void tst_Resolver::refreshesAsTheCacheAsks()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Resolver resolver(&server, Host, &cache);
    QTRY_COMPARE(server.questionCount(Host, A), 1);
    server.deliver(response({address(Host, "10.77.0.1", 100)}));
    clock.advance(79000);
    QCOMPARE(server.questionCount(Host, A), 1);
    for (int i = 0; i < 4; ++i)
        clock.advance(1000);
    QCOMPARE(server.questionCount(Host, A), 2);
    // An answer to the refresh keeps it.
    server.deliver(response({address(Host, "10.77.0.1", 100)}));
    clock.advance(50000);
    QCOMPARE(resolver.addresses().size(), 1);
}

void tst_Resolver::ignoresOtherNamesAndGoodbyes()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Resolver resolver(&server, Host, &cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    server.deliver(response({address("other.local.", "10.77.0.9"), address(Host, "10.77.0.5", 0)}));
    Message query = response({address(Host, "10.77.0.6")});
    query.setResponse(false);
    server.deliver(query);
    QCOMPARE(resolved.count(), 0);
}

void tst_Resolver::outlivesServerAndCache()
{
    // Users may delete the server and cache before the resolvers made on them.
    MdnsFakeClock clock;
    auto server = new MdnsFakeServer;
    auto cache = new Cache;
    cache->setClock(&clock);
    Resolver resolver(server, Host, cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    server->deliver(response({address(Host, "10.77.0.1", 10)}));
    delete cache;
    server->deliver(response({address(Host, "10.77.0.2", 10)}));
    delete server;
    clock.advance(20000);
    QTest::qWait(10);
    QCOMPARE(resolved.count(), 1);
}

QTEST_GUILESS_MAIN(tst_Resolver)
#include "tst_resolver.moc"
