#include "mdns/dns.h"
#include "mdns/responder.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const QByteArray Instance = "sim-node-1._nmos-node._tcp.local.";
const QByteArray Host = "sim-node-1.local.";

// The records' types, "!" marking cache-flush.
QString typesOf(const QList<Record> &records)
{
    QStringList types;
    for (const Record &record : records)
        types << typeName(record.type()) + (record.flushCache() ? "!" : "");
    return types.join(QLatin1Char(' '));
}

// A responder on two links: fl0 with an IPv4 and a link-local IPv6 address, fl1 with IPv4 only.
struct Rig : MdnsFakeLink {
    Rig()
    {
        server.setInterface("fl0", {QHostAddress("10.77.0.1"), QHostAddress("fe80::1")});
        server.setInterface("fl1", {QHostAddress("10.77.0.2")});
        Service service;
        service.setType(NodeType);
        service.setName("sim-node-1");
        service.setHostname(Host);
        service.setPort(8080);
        service.setAttributes({{"api_ver", "v1.3"}, {"ver_slf", "0"}});
        responder.reset(new Responder(&server, service));
        responder->setClock(&clock);
    }
    std::unique_ptr<Responder> responder;
};

} // namespace

class tst_Responder : public QObject
{
    Q_OBJECT

private slots:
    void answersQueries_data();
    void answersQueries();
    void announcesTwiceAndSaysGoodbyeOnce();
};

void tst_Responder::answersQueries_data()
{
    QTest::addColumn<Query>("question");
    QTest::addColumn<int>("knownTtl");  // of a known PTR answer; 0: none; < 0: in a second packet
    QTest::addColumn<quint16>("sourcePort");
    QTest::addColumn<QString>("reply");  // "delay interface destination:port: answers / additionals", empty for none
    QTest::newRow("browse") << Query(NodeType, PTR) << 0 << MdnsPort << "20 fl1 224.0.0.251:5353: PTR / SRV! TXT! A!";
    QTest::newRow("host in capitals") << Query("SIM-NODE-1.local.", A) << 0 << MdnsPort << "0 fl1 224.0.0.251:5353: A! / ";
    QTest::newRow("ANY of instance") << Query(Instance, ANY) << 0 << MdnsPort << "0 fl1 224.0.0.251:5353: SRV! TXT! / A!";
    QTest::newRow("meta-query") << Query(ServicesType, PTR) << 0 << MdnsPort << "20 fl1 224.0.0.251:5353: PTR / ";
    QTest::newRow("other type") << Query("_http._tcp.local.", PTR) << 0 << MdnsPort << QString();
    QTest::newRow("AAAA on an IPv4-only link") << Query(Host, AAAA) << 0 << MdnsPort << QString();
    QTest::newRow("known answer") << Query(NodeType, PTR) << 4000 << MdnsPort << QString();
    QTest::newRow("known answer in a second packet") << Query(NodeType, PTR) << -4000 << MdnsPort << QString();
    // Less than half the TTL left: the asker needs a fresh copy.
    QTest::newRow("stale known answer") << Query(NodeType, PTR) << 2000 << MdnsPort << "20 fl1 224.0.0.251:5353: PTR / SRV! TXT! A!";
    QTest::newRow("unicast question") << Query(Instance, SRV, true) << 0 << MdnsPort << "0 fl1 10.77.0.2:5353: SRV! / A!";
    // A one-shot resolver gets its question and id back, short TTLs and no cache-flush bits.
    QTest::newRow("legacy resolver") << Query(Host, A) << 0 << quint16(40000) << "0 fl1 10.77.0.2:40000: A / ";
}

void tst_Responder::answersQueries()
{
    QFETCH(Query, question);
    QFETCH(int, knownTtl);
    QFETCH(quint16, sourcePort);
    QFETCH(QString, reply);
    // The first announcement waits for the event loop, which this test never runs: all
    // that is sent is the answer.
    Rig rig;
    // As a peer on fl1 asks; only a legacy resolver (not on port 5353) sets an id.
    Message query;
    query.setAddress(QHostAddress("10.77.0.2"));
    query.setPort(sourcePort);
    query.setInterfaceName("fl1");
    query.setTransactionId(sourcePort == MdnsPort ? 0 : 0x4242);
    Message more = query;  // known answers only, as the rest of a truncated question
    query.addQuery(question);
    if (knownTtl != 0)
        (knownTtl < 0 ? more : query).addRecord(MdnsRecords::ptr(NodeType, Instance, quint32(std::abs(knownTtl))));
    query.setTruncated(knownTtl < 0);
    rig.server.deliver(query);
    if (knownTtl < 0)
        rig.server.deliver(more);
    // Shared records wait 20 to 120 ms, so that a type's responders do not answer together;
    // the question asked again meanwhile adds nothing to send.
    const int delay = reply.section(' ', 0, 0).toInt();
    if (delay > 0)
        rig.server.deliver(query);
    if (delay > 0) {
        rig.clock.advance(delay - 1);
        QCOMPARE(rig.server.sent.size(), 0);
    }
    rig.clock.advance(121);
    QCOMPARE(rig.server.sent.size(), reply.isEmpty() ? 0 : 1);
    if (reply.isEmpty())
        return;
    const Message sent = rig.server.sent.first().message;
    QVERIFY(sent.isResponse());
    QCOMPARE(QStringList({sent.interfaceName(), sent.address().toString() + ':' + QString::number(sent.port()) + ": "
                          + typesOf(sent.records()) + " / " + typesOf(sent.additionalRecords())}).join(' '), reply.section(' ', 1));
    if (sourcePort != MdnsPort)
        QVERIFY(sent.transactionId() == 0x4242 && sent.queries().size() == 1 && sent.records().first().ttl() <= 10);
}

void tst_Responder::announcesTwiceAndSaysGoodbyeOnce()
{
    for (const bool withdrawFirst : {true, false}) {
        Rig rig;
        rig.responder->setAddresses({});
        QCOMPARE(rig.server.sent.size(), 0);  // given before the first announcement: no extra one
        QTRY_COMPARE(rig.server.sent.size(), 3);
        // Each link hears its own addresses (what the records say is checked end to end).
        QStringList where;
        for (const auto &s : qAsConst(rig.server.sent)) {
            where << s.message.interfaceName() + ' ' + s.message.address().toString() + ": " + typesOf(s.message.records()) + ' '
                    + s.message.records().at(4).address().toString();
        }
        QCOMPARE(where, (QStringList{"fl0 224.0.0.251: PTR SRV! TXT! PTR A! AAAA! 10.77.0.1",
                                     "fl0 ff02::fb: PTR SRV! TXT! PTR A! AAAA! 10.77.0.1", "fl1 224.0.0.251: PTR SRV! TXT! PTR A! 10.77.0.2"}));
        rig.clock.advance(999);
        QCOMPARE(rig.server.sent.size(), 3);
        rig.clock.advance(1);
        QCOMPARE(rig.server.sent.size(), 6);
        rig.clock.advance(60000);
        QCOMPARE(rig.server.sent.size(), 6);
        rig.server.sent.clear();
        // An answer still waiting its delay is not sent after the goodbye, nor is one asked later.
        Message browse;
        browse.addQuery(Query(NodeType, PTR));
        rig.server.deliver(browse);
        if (withdrawFirst) {
            rig.responder->withdraw();
            rig.server.deliver(browse);
        }
        rig.responder.reset();
        rig.clock.advance(5000);
        QStringList sent;
        for (const auto &s : qAsConst(rig.server.sent)) {
            for (const Record &record : s.message.records())
                sent << typeName(record.type()) + QString::number(record.ttl());
        }
        QCOMPARE(sent.join(' '), QStringLiteral("PTR0 SRV0 TXT0 ").repeated(3).trimmed());
    }
}

QTEST_GUILESS_MAIN(tst_Responder)
#include "tst_responder.moc"
