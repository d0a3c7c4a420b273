#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/resolver.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

const QByteArray Host = "studio-gw-1.local.";

class tst_Resolver : public QObject
{
    Q_OBJECT

private slots:
    void asksUntilAnsweredAndAgainAfterExpiry();
    void reportsEachAddressOnceWithItsScope();
};

void tst_Resolver::asksUntilAnsweredAndAgainAfterExpiry()
{
    MdnsFakeLink link;
    Resolver resolver(&link.server, Host, &link.cache);
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    const auto asked = [&link] { return link.server.questionCount(Host, A); };
    QTRY_COMPARE(asked(), 1);
    QCOMPARE(link.server.questionCount(Host, AAAA), 1);
    // Then after 1, 2 and 4 s.
    for (const qint64 wait : {1000, 2000, 4000}) {
        const int before = asked();
        link.clock.advance(wait - 1);
        QCOMPARE(asked(), before);
        link.clock.advance(1);
        QCOMPARE(asked(), before + 1);
    }
    // Answered, then silent: the address lapses with its TTL, is looked for again at once and
    // reported again when found. (The cache's refreshes before that are tst_browser's
    // 'SRV refreshed'; lasting past the TTL when one is answered, tst_cache's.)
    link.server.deliver(response({address(Host, "10.77.0.1", 100, true)}));
    link.clock.advance(99999);
    QCOMPARE(resolver.addresses().size(), 1);
    link.clock.advance(1);
    QVERIFY(resolver.addresses().isEmpty());
    const int lapsed = asked();
    link.clock.advance(1000);
    QCOMPARE(asked(), lapsed + 1);
    link.server.deliver(response({address(Host, "10.77.0.1", 100, true)}));
    QCOMPARE(resolved.count(), 2);

    // A second resolver of the name is told what the cache holds, even when connected
    // after construction; it asks once anyway (the cache may hold only one family), listing
    // what it knows, and then no more.
    link.cache.addRecord(address(Host, "fd77::1"));
    link.server.sent.clear();
    Resolver cached(&link.server, Host, &link.cache);
    QSignalSpy told(&cached, &Resolver::resolved);
    QTRY_COMPARE(told.count(), 2);
    QCOMPARE(link.server.sent.size(), 1);
    QCOMPARE(link.server.sent.first().message.records().size(), 2);
    link.clock.advance(10000);
    QCOMPARE(link.server.sent.size(), 1);
}

void tst_Resolver::reportsEachAddressOnceWithItsScope()
{
    MdnsFakeServer server;
    Resolver resolver(&server, Host);
    QList<QHostAddress> resolved;
    connect(&resolver, &Resolver::resolved, this, [&resolved](const QHostAddress &address) { resolved << address; });
    server.deliver(response({address(Host, "10.77.0.1"), address(Host, "fd77::1")}, {}, "fl1"));
    server.deliver(response({address("Studio-GW-1.LOCAL.", "10.77.0.1")}, {}, "fl0"));
    // The same link-local address on two links is two addresses.
    server.deliver(response({address(Host, "fe80::1")}, {}, "fl1"));
    server.deliver(response({address(Host, "fe80::1")}, {}, "fl0"));
    // Not ours: another name, a goodbye, a query.
    server.deliver(response({address("other.local.", "10.77.0.9"), address(Host, "10.77.0.5", 0)}));
    Message query = response({address(Host, "10.77.0.6")});
    query.setResponse(false);
    server.deliver(query);
    // QHostAddress's == ignores the scope, hence the text.
    QStringList texts;
    for (const QHostAddress &address : qAsConst(resolved))
        texts << address.toString();
    QCOMPARE(texts, (QStringList{"10.77.0.1", "fd77::1", "fe80::1%fl1", "fe80::1%fl0"}));
}

QTEST_GUILESS_MAIN(tst_Resolver)
#include "tst_resolver.moc"
