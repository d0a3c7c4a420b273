#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/message.h"
#include "mdns/resolver.h"
#include "tests/support/mdnsfakeclock.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

namespace {

const QByteArray Host = "studio-gw-1.local.";

// Cache-flush set, as responders send address records.
Message answer(const char *ip, quint32 ttl = 120, const QString &interfaceName = QStringLiteral("fl1"))
{
    return response({address(Host, ip, ttl, true)}, {}, interfaceName);
}

struct Rig {
    Rig() { cache.setClock(&clock); }
    int asked() const { return server.questionCount(Host, A); }

    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
};

} // namespace

class tst_Resolver : public QObject
{
    Q_OBJECT

private slots:
    void asksWithBackOffUntilAnswered();
    void reportsEachAddressOnceWithItsScope();
    void reportsCachedAddressesAfterConstruction();
    void refreshesAndAsksAgainAfterExpiry();
    void outlivesServerAndCache();
};

void tst_Resolver::asksWithBackOffUntilAnswered()
{
    Rig rig;
    Resolver resolver(&rig.server, Host, &rig.cache);
    QTRY_COMPARE(rig.asked(), 1);
    QCOMPARE(rig.server.questionCount(Host, AAAA), 1);
    // Then after 1, 2 and 4 s.
    for (const qint64 wait : {1000, 2000, 4000}) {
        const int before = rig.asked();
        rig.clock.advance(wait - 1);
        QCOMPARE(rig.asked(), before);
        rig.clock.advance(1);
        QCOMPARE(rig.asked(), before + 1);
    }
    rig.server.deliver(answer("10.77.0.1"));
    rig.clock.advance(60000);
    QCOMPARE(rig.asked(), 4);
    QVERIFY(!rig.server.encodingFailed);
}

void tst_Resolver::reportsEachAddressOnceWithItsScope()
{
    Rig rig;
    Resolver resolver(&rig.server, Host, &rig.cache);
    QList<QHostAddress> resolved;
    connect(&resolver, &Resolver::resolved, this, [&resolved](const QHostAddress &address) { resolved << address; });

    rig.server.deliver(response({address(Host, "10.77.0.1"), address(Host, "fd77::1")}, {}, "fl1"));
    rig.server.deliver(response({address("Studio-GW-1.LOCAL.", "10.77.0.1")}, {}, "fl0"));
    // The same link-local address on two links is two addresses.
    rig.server.deliver(answer("fe80::1", 120, "fl1"));
    rig.server.deliver(answer("fe80::1", 120, "fl0"));
    // Not ours: another name, a goodbye, a query.
    rig.server.deliver(response({address("other.local.", "10.77.0.9"), address(Host, "10.77.0.5", 0)}));
    Message query = answer("10.77.0.6");
    query.setResponse(false);
    rig.server.deliver(query);

    // QHostAddress's == ignores the scope, hence the scopes on their own.
    QCOMPARE(resolved, (QList<QHostAddress>{QHostAddress("10.77.0.1"), QHostAddress("fd77::1"), QHostAddress("fe80::1"), QHostAddress("fe80::1")}));
    QCOMPARE(resolved.at(2).scopeId(), QStringLiteral("fl1"));
    QCOMPARE(resolved.at(3).scopeId(), QStringLiteral("fl0"));
}

void tst_Resolver::reportsCachedAddressesAfterConstruction()
{
    Rig rig;
    rig.cache.addRecord(address(Host, "10.77.0.1"));
    rig.cache.addRecord(address(Host, "fd77::1"));
    Resolver resolver(&rig.server, Host, &rig.cache);
    // Connected after construction and still told.
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    QCOMPARE(resolved.count(), 0);
    QTRY_COMPARE(resolved.count(), 2);
    // Asked once anyway (the cache may hold only one family), listing what it knows.
    QCOMPARE(rig.asked(), 1);
    QCOMPARE(rig.server.queries().first().records().size(), 2);
    rig.clock.advance(10000);
    QCOMPARE(rig.asked(), 1);
}

void tst_Resolver::refreshesAndAsksAgainAfterExpiry()
{
    Rig rig;
    Resolver resolver(&rig.server, Host, &rig.cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    QTRY_COMPARE(rig.asked(), 1);
    rig.server.deliver(answer("10.77.0.1", 100));
    rig.clock.advance(79000);
    QCOMPARE(rig.asked(), 1);
    rig.clock.advance(4000);
    QCOMPARE(rig.asked(), 2);
    // An answer to the refresh keeps it past its first TTL...
    rig.server.deliver(answer("10.77.0.1", 100));
    rig.clock.advance(50000);
    QCOMPARE(resolver.addresses().size(), 1);
    // ...and once it lapses it is looked for again, and reported again when found.
    rig.clock.advance(50000);
    QVERIFY(resolver.addresses().isEmpty());
    const int asked = rig.asked();
    rig.clock.advance(1000);
    QVERIFY(rig.asked() > asked);
    rig.server.deliver(answer("10.77.0.1", 100));
    QCOMPARE(resolved.count(), 2);
}

void tst_Resolver::outlivesServerAndCache()
{
    MdnsFakeClock clock;
    auto server = new MdnsFakeServer;
    auto cache = new Cache;
    cache->setClock(&clock);
    Resolver resolver(server, Host, cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    server->deliver(answer("10.77.0.1", 10));
    delete cache;
    server->deliver(answer("10.77.0.2", 10));
    delete server;
    clock.advance(20000);
    QTest::qWait(10);
    QCOMPARE(resolved.count(), 1);
}

QTEST_GUILESS_MAIN(tst_Resolver)
#include "tst_resolver.moc"
