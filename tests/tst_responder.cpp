#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/message.h"
#include "mdns/responder.h"
#include "tests/support/mdnsfakeclock.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const QByteArray Instance = "sim-node-1._nmos-node._tcp.local.";
const QByteArray Host = "sim-node-1.local.";

Service nodeService(const QByteArray &verSlf = "0")
{
    Service service;
    service.setType(NodeType);
    service.setName("sim-node-1");
    service.setHostname(Host);
    service.setPort(8080);
    service.addAttribute("api_ver", "v1.3");
    service.addAttribute("ver_slf", verSlf);
    return service;
}

const Record *find(const QList<Record> &records, const QByteArray &name, quint16 type)
{
    for (const Record &record : records) {
        if (record.type() == type && sameName(record.name(), name))
            return &record;
    }
    return nullptr;
}

QString typesOf(const QList<Record> &records)
{
    QStringList types;
    for (const Record &record : records)
        types << typeName(record.type());
    return types.join(QLatin1Char(' '));
}

// As a peer on fl1 asks; only a legacy resolver (not on port 5353) sets an id.
Message queryFor(const Query &question, quint16 port = MdnsPort)
{
    Message message;
    message.setAddress(QHostAddress("10.77.0.2"));
    message.setPort(port);
    message.setInterfaceName("fl1");
    message.setTransactionId(port == MdnsPort ? 0 : 0x4242);
    message.addQuery(question);
    return message;
}

// A responder on two links: fl0 with an IPv4 and a link-local IPv6 address, fl1 with IPv4 only.
struct Rig {
    MdnsFakeServer *withInterfaces()
    {
        server.setInterface("fl0", {QHostAddress("10.77.0.1"), QHostAddress("fe80::1")});
        server.setInterface("fl1", {QHostAddress("10.77.0.2")});
        return &server;
    }
    // Waits out the first announcement (or both rounds), so that what is sent next is news.
    bool settle(int rounds = 1)
    {
        const bool done = QTest::qWaitFor([this, rounds] { return server.sent.size() >= 3 * rounds; }, 5000);
        server.sent.clear();
        return done;
    }

    MdnsFakeServer server;
    std::unique_ptr<Responder> responder{new Responder(withInterfaces(), nodeService())};
};

} // namespace

class tst_Responder : public QObject
{
    Q_OBJECT

private slots:
    void announcesTwiceOnEveryInterface();
    void answersQueries_data();
    void answersQueries();
    void sendsGoodbyesOnceWhenWithdrawnAndDestroyed();
    void announcesOnlyGivenAddresses();
    void browserFollowsResponder();
};

void tst_Responder::announcesTwiceOnEveryInterface()
{
    Rig rig;
    QTRY_COMPARE(rig.server.sent.size(), 3);
    QStringList where;
    for (const auto &s : qAsConst(rig.server.sent)) {
        where << s.message.interfaceName() + QLatin1Char(' ') + s.message.address().toString();
        const QList<Record> records = s.message.records();
        QVERIFY(!find(records, NodeType, PTR)->flushCache());
        QCOMPARE(find(records, ServicesType, PTR)->target(), NodeType);
        QCOMPARE(find(records, Instance, SRV)->port(), quint16(8080));
        QVERIFY(find(records, Instance, SRV)->flushCache());
        QCOMPARE(find(records, Instance, TXT)->attributes().value("api_ver"), QByteArray("v1.3"));
        // Each link hears its own addresses.
        QCOMPARE(find(records, Host, A)->address(), QHostAddress(s.message.interfaceName() == "fl0" ? "10.77.0.1" : "10.77.0.2"));
        QCOMPARE(find(records, Host, AAAA) != nullptr, s.message.interfaceName() == "fl0");
    }
    where.sort();
    QCOMPARE(where, (QStringList{"fl0 224.0.0.251", "fl0 ff02::fb", "fl1 224.0.0.251"}));
    QTRY_COMPARE(rig.server.sent.size(), 6);
    QVERIFY(!rig.server.encodingFailed);
}

void tst_Responder::answersQueries_data()
{
    QTest::addColumn<Query>("question");
    QTest::addColumn<quint32>("knownTtl");  // of a known PTR answer; 0: none
    QTest::addColumn<quint16>("sourcePort");
    QTest::addColumn<QString>("reply");  // "destination: answers / additionals", empty for none
    QTest::newRow("browse") << Query(NodeType, PTR) << 0u << MdnsPort << "224.0.0.251: PTR / SRV TXT A";
    QTest::newRow("SRV") << Query(Instance, SRV) << 0u << MdnsPort << "224.0.0.251: SRV / A";
    QTest::newRow("TXT") << Query(Instance, TXT) << 0u << MdnsPort << "224.0.0.251: TXT / ";
    QTest::newRow("host in capitals") << Query("SIM-NODE-1.local.", A) << 0u << MdnsPort << "224.0.0.251: A / ";
    QTest::newRow("ANY of instance") << Query(Instance, ANY) << 0u << MdnsPort << "224.0.0.251: SRV TXT / A";
    QTest::newRow("meta-query") << Query(ServicesType, PTR) << 0u << MdnsPort << "224.0.0.251: PTR / ";
    QTest::newRow("other type") << Query("_http._tcp.local.", PTR) << 0u << MdnsPort << QString();
    QTest::newRow("AAAA on an IPv4-only link") << Query(Host, AAAA) << 0u << MdnsPort << QString();
    QTest::newRow("known answer") << Query(NodeType, PTR) << 4000u << MdnsPort << QString();
    // Less than half the TTL left: the asker needs a fresh copy.
    QTest::newRow("stale known answer") << Query(NodeType, PTR) << 2000u << MdnsPort << "224.0.0.251: PTR / SRV TXT A";
    QTest::newRow("unicast question") << Query(Instance, SRV, true) << 0u << MdnsPort << "10.77.0.2: SRV / A";
    QTest::newRow("legacy resolver") << Query(Host, A) << 0u << quint16(40000) << "10.77.0.2: A / ";
}

void tst_Responder::answersQueries()
{
    QFETCH(Query, question);
    QFETCH(quint32, knownTtl);
    QFETCH(quint16, sourcePort);
    QFETCH(QString, reply);
    Rig rig;
    QVERIFY(rig.settle(2));

    Message query = queryFor(question, sourcePort);
    if (knownTtl > 0)
        query.addRecord(MdnsRecords::ptr(NodeType, Instance, knownTtl));
    rig.server.deliver(query);
    if (reply.isEmpty()) {
        QTest::qWait(200);  // the longest answer delay; nothing may come
        QCOMPARE(rig.server.sent.size(), 0);
        return;
    }
    QTRY_COMPARE(rig.server.sent.size(), 1);
    const Message sent = rig.server.sent.first().message;
    QVERIFY(sent.isResponse());
    QCOMPARE(sent.interfaceName(), QStringLiteral("fl1"));
    QCOMPARE(sent.port(), sourcePort);
    QCOMPARE(sent.address().toString() + ": " + typesOf(sent.records()) + " / " + typesOf(sent.additionalRecords()), reply);
    if (sourcePort != MdnsPort) {
        // A one-shot resolver gets its question and id back, short TTLs and no cache-flush bits.
        QCOMPARE(sent.transactionId(), quint16(0x4242));
        QCOMPARE(sent.queries().size(), 1);
        QVERIFY(sent.records().first().ttl() <= 10);
        QVERIFY(!sent.records().first().flushCache());
    }
}

void tst_Responder::sendsGoodbyesOnceWhenWithdrawnAndDestroyed()
{
    Rig rig;
    QVERIFY(rig.settle());
    rig.responder->withdraw();
    QVERIFY(rig.responder->isWithdrawn());
    QCOMPARE(rig.server.sent.size(), 3);
    for (const auto &sent : qAsConst(rig.server.sent)) {
        QCOMPARE(sent.message.records().size(), 3);
        for (const Record &record : sent.message.records())
            QCOMPARE(record.ttl(), quint32(0));
    }
    // Silent from now on, even when asked or destroyed.
    rig.server.deliver(queryFor(Query(Instance, SRV)));
    rig.responder.reset();
    QCOMPARE(rig.server.sent.size(), 3);

    Rig destroyed;
    QVERIFY(destroyed.settle());
    destroyed.responder.reset();
    QCOMPARE(destroyed.server.sent.size(), 3);
    QCOMPARE(find(destroyed.server.sent.first().message.records(), Instance, SRV)->ttl(), quint32(0));
}

void tst_Responder::announcesOnlyGivenAddresses()
{
    Rig rig;
    rig.responder->setAddresses({QHostAddress("10.77.0.1"), QHostAddress("fd77::1")});
    QCOMPARE(rig.server.sent.size(), 0);
    // Given before the first announcement, the addresses are in it, and it is not doubled.
    QTRY_COMPARE(rig.server.sent.size(), 3);
    QTest::qWait(200);
    QCOMPARE(rig.server.sent.size(), 3);
    for (const auto &sent : qAsConst(rig.server.sent)) {
        QCOMPARE(find(sent.message.records(), Host, A)->address(), QHostAddress("10.77.0.1"));
        QCOMPARE(find(sent.message.records(), Host, AAAA)->address(), QHostAddress("fd77::1"));
    }
}

void tst_Responder::browserFollowsResponder()
{
    // Whatever the responder sends reaches the browser, as on one link.
    Rig rig;
    MdnsFakeClock clock;
    MdnsFakeServer browserSide;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&browserSide, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    auto carry = [&] {
        for (const auto &sent : qAsConst(rig.server.sent))
            browserSide.deliver(sent.message);
        rig.server.sent.clear();
    };

    QTRY_VERIFY(!rig.server.sent.isEmpty());
    carry();
    QCOMPARE(added.count(), 1);
    QVERIFY(added.first().first().value<Service>() == nodeService());
    // A changed TXT is announced on every link at once.
    rig.responder->setService(nodeService("1"));
    QCOMPARE(rig.server.sent.size(), 3);
    carry();
    QCOMPARE(updated.count(), 1);
    QVERIFY(updated.first().first().value<Service>() == nodeService("1"));
    // A new name: goodbyes for the old one, then the new one announced.
    Service renamed = nodeService("1");
    renamed.setName("sim-node-2");
    rig.responder->setService(renamed);
    QCOMPARE(rig.server.sent.size(), 6);
    carry();
    QCOMPARE(added.count(), 2);
    QVERIFY(added.last().first().value<Service>() == renamed);
    clock.advance(1000);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.first().first().value<Service>().name(), QByteArray("sim-node-1"));
    rig.responder.reset();
    carry();
    clock.advance(1000);
    QCOMPARE(removed.count(), 2);
}

QTEST_GUILESS_MAIN(tst_Responder)
#include "tst_responder.moc"
