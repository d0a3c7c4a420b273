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

Service nodeService()
{
    Service service;
    service.setType(NodeType);
    service.setName("sim-node-1");
    service.setHostname(Host);
    service.setPort(8080);
    service.addAttribute("api_ver", "v1.3");
    service.addAttribute("ver_slf", "0");
    return service;
}

void addInterfaces(MdnsFakeServer *server)
{
    server->setInterface("fl0", {QHostAddress("10.77.0.1"), QHostAddress("fe80::1")});
    server->setInterface("fl1", {QHostAddress("10.77.0.2")});
}

Message query(const QList<Query> &questions, const QList<Record> &known = {}, quint16 port = MdnsPort)
{
    Message message;
    message.setAddress(QHostAddress("10.77.0.2"));
    message.setPort(port);
    message.setInterfaceName("fl1");
    message.setTransactionId(port == MdnsPort ? 0 : 0x4242);
    for (const Query &question : questions)
        message.addQuery(question);
    for (const Record &record : known)
        message.addRecord(record);
    return message;
}

const Record *find(const QList<Record> &records, const QByteArray &name, quint16 type)
{
    for (const Record &record : records) {
        if (record.type() == type && sameName(record.name(), name))
            return &record;
    }
    return nullptr;
}

QList<MdnsFakeServer::Sent> responses(const MdnsFakeServer &server)
{
    QList<MdnsFakeServer::Sent> found;
    for (const MdnsFakeServer::Sent &sent : server.sent) {
        if (sent.message.isResponse())
            found.append(sent);
    }
    return found;
}

// Waits out both rounds of the announcement (three messages each on the test's links), so
// that whatever is sent afterwards is an answer.
bool settle(MdnsFakeServer *server)
{
    if (!QTest::qWaitFor([server] { return responses(*server).size() >= 6; }, 5000))
        return false;
    server->sent.clear();
    return true;
}

} // namespace

class tst_Responder : public QObject
{
    Q_OBJECT

private slots:
    void announcesTwiceOnEveryInterface();
    void answersQueries_data();
    void answersQueries();
    void leavesOutKnownAnswers();
    void answersLegacyResolverDirectly();
    void answersUnicastQuestionByUnicast();
    void reannouncesChangedTxt();
    void saysGoodbyeToOldNameOnRename();
    void sendsGoodbyesOnceWhenWithdrawnAndDestroyed();
    void announcesOnlyGivenAddresses();
    void browserFollowsResponder();
};

void tst_Responder::announcesTwiceOnEveryInterface()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    QTRY_COMPARE(responses(server).size(), 3);

    const auto sent = responses(server);
    QStringList where;
    for (const auto &s : sent) {
        where << s.message.interfaceName() + QLatin1Char(' ') + s.message.address().toString();
        const QList<Record> records = s.message.records();
        QVERIFY(find(records, NodeType, PTR));
        QCOMPARE(find(records, ServicesType, PTR)->target(), NodeType);
        QCOMPARE(find(records, Instance, SRV)->port(), quint16(8080));
        QVERIFY(find(records, Instance, SRV)->flushCache());
        QCOMPARE(find(records, Instance, TXT)->attributes().value("api_ver"), QByteArray("v1.3"));
        QVERIFY(!find(records, NodeType, PTR)->flushCache());
        // Each link hears its own addresses.
        QCOMPARE(find(records, Host, A)->address(),
                 QHostAddress(s.message.interfaceName() == "fl0" ? "10.77.0.1" : "10.77.0.2"));
        QCOMPARE(find(records, Host, AAAA) != nullptr, s.message.interfaceName() == "fl0");
    }
    where.sort();
    QCOMPARE(where, (QStringList{"fl0 224.0.0.251", "fl0 ff02::fb", "fl1 224.0.0.251"}));
    QTRY_COMPARE(responses(server).size(), 6);
    QVERIFY(!server.encodingFailed);
}

void tst_Responder::answersQueries_data()
{
    QTest::addColumn<Query>("question");
    QTest::addColumn<QList<quint16>>("answerTypes");
    QTest::addColumn<QList<quint16>>("additionalTypes");
    QTest::newRow("browse") << Query(NodeType, PTR) << QList<quint16>{PTR} << QList<quint16>{SRV, TXT, A};
    QTest::newRow("SRV") << Query(Instance, SRV) << QList<quint16>{SRV} << QList<quint16>{A};
    QTest::newRow("TXT") << Query(Instance, TXT) << QList<quint16>{TXT} << QList<quint16>{};
    QTest::newRow("host in capitals") << Query("SIM-NODE-1.local.", A) << QList<quint16>{A} << QList<quint16>{};
    QTest::newRow("ANY of instance") << Query(Instance, ANY) << QList<quint16>{SRV, TXT} << QList<quint16>{A};
    QTest::newRow("meta-query") << Query(ServicesType, PTR) << QList<quint16>{PTR} << QList<quint16>{};
    QTest::newRow("other type") << Query("_http._tcp.local.", PTR) << QList<quint16>{} << QList<quint16>{};
    QTest::newRow("AAAA on an IPv4-only link") << Query(Host, AAAA) << QList<quint16>{} << QList<quint16>{};
}

void tst_Responder::answersQueries()
{
    QFETCH(Query, question);
    QFETCH(QList<quint16>, answerTypes);
    QFETCH(QList<quint16>, additionalTypes);
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    QVERIFY(settle(&server));

    server.deliver(query({question}));
    if (answerTypes.isEmpty()) {
        QTest::qWait(200);  // the longest answer delay; nothing may come
        QCOMPARE(server.sent.size(), 0);
        return;
    }
    QTRY_COMPARE(server.sent.size(), 1);
    const Message reply = server.sent.first().message;
    QVERIFY(reply.isResponse());
    QCOMPARE(reply.interfaceName(), QStringLiteral("fl1"));
    QCOMPARE(reply.address(), mdnsIpv4Address());
    QList<quint16> types;
    for (const Record &record : reply.records())
        types << record.type();
    QCOMPARE(types, answerTypes);
    types.clear();
    for (const Record &record : reply.additionalRecords())
        types << record.type();
    QCOMPARE(types, additionalTypes);
}

void tst_Responder::leavesOutKnownAnswers()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    QVERIFY(settle(&server));

    Record known(NodeType, PTR, 4000);
    known.setTarget(Instance);
    server.deliver(query({Query(NodeType, PTR)}, {known}));
    // Less than half the TTL left: the asker needs a fresh copy.
    known.setTtl(2000);
    server.deliver(query({Query(NodeType, PTR)}, {known}));
    QTRY_COMPARE(server.sent.size(), 1);
    QTest::qWait(200);
    QCOMPARE(server.sent.size(), 1);
}

void tst_Responder::answersLegacyResolverDirectly()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    QVERIFY(settle(&server));

    server.deliver(query({Query(Host, A)}, {}, 40000));
    QCOMPARE(server.sent.size(), 1);
    const Message reply = server.sent.first().message;
    QCOMPARE(reply.address(), QHostAddress("10.77.0.2"));
    QCOMPARE(reply.port(), quint16(40000));
    QCOMPARE(reply.transactionId(), quint16(0x4242));
    QCOMPARE(reply.queries().size(), 1);
    QCOMPARE(reply.records().size(), 1);
    QVERIFY(reply.records().first().ttl() <= 10);
    QVERIFY(!reply.records().first().flushCache());
}

void tst_Responder::answersUnicastQuestionByUnicast()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    QVERIFY(settle(&server));

    server.deliver(query({Query(Instance, SRV, true)}));
    QTRY_COMPARE(server.sent.size(), 1);
    QCOMPARE(server.sent.first().message.address(), QHostAddress("10.77.0.2"));
    QCOMPARE(server.sent.first().message.port(), MdnsPort);
}

void tst_Responder::reannouncesChangedTxt()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    QTRY_COMPARE(responses(server).size(), 3);
    server.sent.clear();

    Service changed = nodeService();
    changed.addAttribute("ver_slf", "1");
    responder.setService(changed);
    QCOMPARE(server.sent.size(), 3);
    for (const auto &sent : qAsConst(server.sent)) {
        const Record *txt = find(sent.message.records(), Instance, TXT);
        QVERIFY(txt);
        QVERIFY(txt->ttl() > 0);
        QCOMPARE(txt->attributes().value("ver_slf"), QByteArray("1"));
    }
}

void tst_Responder::saysGoodbyeToOldNameOnRename()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    QTRY_COMPARE(responses(server).size(), 3);
    server.sent.clear();

    Service renamed = nodeService();
    renamed.setName("sim-node-2");
    responder.setService(renamed);
    QCOMPARE(server.sent.size(), 6);
    const QList<Record> goodbye = server.sent.first().message.records();
    QCOMPARE(find(goodbye, Instance, SRV)->ttl(), quint32(0));
    QCOMPARE(find(goodbye, NodeType, PTR)->target(), Instance);
    QCOMPARE(find(goodbye, NodeType, PTR)->ttl(), quint32(0));
    QVERIFY(find(server.sent.last().message.records(), "sim-node-2._nmos-node._tcp.local.", SRV)->ttl() > 0);
}

void tst_Responder::sendsGoodbyesOnceWhenWithdrawnAndDestroyed()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    {
        Responder responder(&server, nodeService());
        QTRY_COMPARE(responses(server).size(), 3);
        server.sent.clear();
        responder.withdraw();
        QVERIFY(responder.isWithdrawn());
        QCOMPARE(server.sent.size(), 3);
        for (const auto &sent : qAsConst(server.sent)) {
            QCOMPARE(sent.message.records().size(), 3);
            for (const Record &record : sent.message.records())
                QCOMPARE(record.ttl(), quint32(0));
        }
        // Silent from now on.
        server.deliver(query({Query(Instance, SRV)}));
        QCOMPARE(server.sent.size(), 3);
    }
    QCOMPARE(server.sent.size(), 3);

    server.sent.clear();
    {
        Responder responder(&server, nodeService());
        QTRY_COMPARE(responses(server).size(), 3);
        server.sent.clear();
    }
    QCOMPARE(server.sent.size(), 3);
    QCOMPARE(find(server.sent.first().message.records(), Instance, SRV)->ttl(), quint32(0));
}

void tst_Responder::announcesOnlyGivenAddresses()
{
    MdnsFakeServer server;
    addInterfaces(&server);
    Responder responder(&server, nodeService());
    responder.setAddresses({QHostAddress("10.77.0.1"), QHostAddress("fd77::1")});
    QCOMPARE(server.sent.size(), 0);
    // Given before the first announcement, the addresses are in it, and it is not doubled.
    QTRY_COMPARE(server.sent.size(), 3);
    QTest::qWait(200);
    QCOMPARE(server.sent.size(), 3);
    for (const auto &sent : qAsConst(server.sent)) {
        QCOMPARE(find(sent.message.records(), Host, A)->address(), QHostAddress("10.77.0.1"));
        QCOMPARE(find(sent.message.records(), Host, AAAA)->address(), QHostAddress("fd77::1"));
    }
}

void tst_Responder::browserFollowsResponder()
{
    // Whatever the responder sends reaches the browser, as on one link.
    MdnsFakeClock clock;
    MdnsFakeServer responderSide;
    MdnsFakeServer browserSide;
    addInterfaces(&responderSide);
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&browserSide, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    auto carry = [&] {
        for (const auto &sent : qAsConst(responderSide.sent)) {
            Message message = sent.message;
            message.setPort(MdnsPort);
            browserSide.deliver(message);
        }
        responderSide.sent.clear();
    };

    auto responder = new Responder(&responderSide, nodeService());
    QTRY_VERIFY(!responderSide.sent.isEmpty());
    carry();
    QCOMPARE(added.count(), 1);
    QVERIFY(added.first().first().value<Service>() == nodeService());

    Service changed = nodeService();
    changed.addAttribute("ver_slf", "1");
    responder->setService(changed);
    carry();
    QCOMPARE(updated.count(), 1);
    QVERIFY(updated.first().first().value<Service>() == changed);

    delete responder;
    carry();
    clock.advance(1000);
    QCOMPARE(removed.count(), 1);
}

QTEST_GUILESS_MAIN(tst_Responder)
#include "tst_responder.moc"
