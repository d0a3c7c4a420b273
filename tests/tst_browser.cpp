#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/resolver.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const QByteArray Instance = "studio-gw-1._nmos-node._tcp.local.";

Message fullAnnouncement()
{
    return response({ptr(NodeType, Instance)},
                    {srv(Instance, "studio-gw-1.local.", 8080), txt(Instance, {{"api_ver", "v1.3"}, {"flag", QByteArray()}})});
}

// A browser on a fake link with a hand-moved clock; what it reports, in order, as text.
struct Rig : MdnsFakeLink {
    Rig() : browser(&server, NodeType, &cache)
    {
        for (const auto signal : {&Browser::serviceAdded, &Browser::serviceUpdated, &Browser::serviceRemoved}) {
            QObject::connect(&browser, signal, &browser, [this, signal](const Service &s) {
                QStringList txt;
                for (auto i = s.attributes().cbegin(); i != s.attributes().cend(); ++i)
                    txt << i.key() + (i.value().isNull() ? "" : "=" + i.value());
                events << (signal == &Browser::serviceAdded ? "added " : signal == &Browser::serviceUpdated ? "updated " : "removed ")
                              + s.name() + ' ' + s.type() + ' ' + s.hostname() + ':' + QByteArray::number(s.port()) + ' ' + txt.join(',');
            });
        }
    }
    int asked(const QByteArray &name = NodeType, quint16 type = PTR) const { return server.questionCount(name, type); }

    Browser browser;
    QStringList events;
};

const QString Found = QStringLiteral("added studio-gw-1 _nmos-node._tcp.local. studio-gw-1.local.:8080 api_ver=v1.3,flag");

} // namespace

class tst_Browser : public QObject
{
    Q_OBJECT

private slots:
    void queriesOnDoublingScheduleAndRestarts();
    void reportsChanges_data();
    void reportsChanges();
    void listsKnownAnswersOverTruncatedPackets();
    void outlivesServerAndCache();
};

void tst_Browser::queriesOnDoublingScheduleAndRestarts()
{
    Rig rig;
    rig.clock.advance(19);
    QCOMPARE(rig.asked(), 0);
    // The first round also goes as a one-shot query, at once, answered at once by unicast.
    QCOMPARE(rig.server.oneShots.size(), 1);
    QCOMPARE(rig.server.oneShots.first().queries(), (QList<Query>{Query(NodeType, PTR)}));
    rig.clock.advance(101);
    QCOMPARE(rig.asked(), 1);
    // Then 1 s, 2 s, 4 s, ... up to one hour between queries.
    for (qint64 i = 2, interval = 1000; i < 20; ++i, interval = std::min<qint64>(interval * 2, 3600000)) {
        rig.clock.advance(interval - 1);
        QCOMPARE(rig.asked(), i - 1);
        rig.clock.advance(1);
        QCOMPARE(rig.asked(), i);
    }
    QCOMPARE(rig.browser.queryInterval(), 3600000);
    // A new link starts the schedule over.
    rig.server.appear("fl1");
    rig.clock.advance(120);
    QCOMPARE(rig.asked(), 20);
    QCOMPARE(rig.browser.queryInterval(), 1000);
    QCOMPARE(rig.server.oneShots.size(), 2);
}

void tst_Browser::reportsChanges_data()
{
    QTest::addColumn<QList<Message>>("messages");  // an empty one stands for half a second
    QTest::addColumn<qint64>("after");  // ms on the clock after the messages
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("asked");  // questions for the instance's SRV and TXT, "SRV/TXT"
    const auto then = [](const Record &record) { return QList<Message>{fullAnnouncement(), response({record})}; };
    const QString updated = "updated studio-gw-1 _nmos-node._tcp.local. ";
    const QString removed = "removed studio-gw-1 _nmos-node._tcp.local. studio-gw-1.local.:8080 api_ver=v1.3,flag";
    const QString hostH = "studio-gw-1 _nmos-node._tcp.local. h.local.:80 ";
    Message query = fullAnnouncement(), wrongPort = fullAnnouncement();
    query.setResponse(false);
    wrongPort.setPort(1234);
    const Message ptrAlone = response({ptr(NodeType, Instance)}), srvAlone = response({srv(Instance, "h.local.", 80)});
    const Message txtAlone = response({txt(Instance, {{"api_ver", "v1.3"}})});
    QTest::newRow("announced twice") << QList<Message>{fullAnnouncement(), fullAnnouncement()} << qint64(0) << QStringList{Found} << "0/0";
    QTest::newRow("a query") << QList<Message>{query} << qint64(0) << QStringList() << "0/0";
    QTest::newRow("not from port 5353") << QList<Message>{wrongPort} << qint64(0) << QStringList() << "0/0";
    QTest::newRow("host") << then(srv(Instance, "other.local.", 8080)) << qint64(1500)
                          << QStringList{Found, updated + "other.local.:8080 api_ver=v1.3,flag"} << "0/0";
    QTest::newRow("null value becomes empty") << then(txt(Instance, {{"api_ver", "v1.3"}, {"flag", ""}})) << qint64(1500)
                                              << QStringList{Found, updated + "studio-gw-1.local.:8080 api_ver=v1.3,flag="} << "0/0";
    QTest::newRow("same SRV, host in capitals") << then(srv(Instance, "STUDIO-GW-1.local.", 8080, 120, false)) << qint64(1500)
                                                << QStringList{Found} << "0/0";
    QTest::newRow("SRV goodbye") << then(srv(Instance, "studio-gw-1.local.", 8080, 0)) << qint64(1000)
                                 << QStringList{Found, removed} << "1/0";  // the PTR still points at it
    QTest::newRow("back after a goodbye") << then(ptr(NodeType, Instance, 0)) + QList<Message>{{}, {}, fullAnnouncement()}
                                          << qint64(0) << QStringList{Found, removed, Found} << "0/0";
    // RFC 6763 12: most responders send SRV and TXT with the PTR; what did not come is asked
    // for, again after 1 s and 2 s more. The SRV waits up to a second for the TXT.
    QTest::newRow("SRV and TXT asked for") << QList<Message>{ptrAlone, srvAlone, {}, txtAlone} << qint64(10000)
                                           << QStringList{"added " + hostH + "api_ver=v1.3"} << "1/1";
    QTest::newRow("SRV alone after 3 s, TXT later") << QList<Message>{ptrAlone, {}, {}, {}, {}, {}, {}, srvAlone, {}, {}, txtAlone}
                                                    << qint64(10000) << QStringList{"added " + hostH, updated + "h.local.:80 api_ver=v1.3"}
                                                    << "3/3";
    // Only the browsed type's records are kept: another type's beside them are not, and a
    // dot escaped in an instance's name does not make it another type's.
    const QByteArray dotted = "Cam\\.1._nmos-node._tcp.local.", printer = "p._ipp._tcp.local.";
    QTest::newRow("dot in a name, other types beside")
        << QList<Message>{response({ptr(NodeType, dotted), ptr("_ipp._tcp.local.", printer)},
                                   {srv(dotted, "h.local.", 80), txt(dotted, {{"api_ver", "v1.3"}}), srv(printer, "h.local.", 631)})}
        << qint64(0) << QStringList{"added Cam.1 _nmos-node._tcp.local. h.local.:80 api_ver=v1.3"} << "0/0";
    // Refreshed from 80 % of its TTL on, four times before it would expire.
    QTest::newRow("SRV refreshed") << QList<Message>{response({ptr(NodeType, Instance)}, {srv(Instance, "studio-gw-1.local.", 8080, 100),
                                                                                           txt(Instance, {{"api_ver", "v1.3"}, {"flag", {}}})})}
                                   << qint64(99000) << QStringList{Found} << "4/0";
}

void tst_Browser::reportsChanges()
{
    QFETCH(QList<Message>, messages);
    QFETCH(qint64, after);
    QFETCH(QStringList, events);
    QFETCH(QString, asked);
    Rig rig;
    for (const Message &message : messages) {
        if (message.records().isEmpty())
            rig.clock.advance(500);
        else
            rig.server.deliver(message);
    }
    for (qint64 passed = 0; passed < after; passed += 500)
        rig.clock.advance(std::min<qint64>(500, after - passed));
    QCOMPARE(rig.events, events);
    QVERIFY(!rig.cache.lookupRecord("p._ipp._tcp.local.", SRV, nullptr));
    QVERIFY(!rig.cache.lookupRecord("_ipp._tcp.local.", PTR, nullptr));
    QCOMPARE(rig.browser.services().size(), events.isEmpty() || events.last().startsWith("removed") ? 0 : 1);
    QCOMPARE(QString::number(rig.asked(Instance, SRV)) + '/' + QString::number(rig.asked(Instance, TXT)), asked);
}

void tst_Browser::listsKnownAnswersOverTruncatedPackets()
{
    // A browse query lists what the browser knows while it has more than half its TTL
    // left (RFC 6762 7.1), in as many packets as that takes, TC set on all but the last (7.2).
    Rig rig;
    Message many = response({});
    for (int i = 0; i < 80; ++i) {
        const QByteArray instance = "node-with-a-rather-long-instance-name-" + QByteArray::number(i) + "." + NodeType;
        many.addRecord(ptr(NodeType, instance, 100));
        many.addAdditionalRecord(srv(instance, "h.local.", 80));
        many.addAdditionalRecord(txt(instance, {}));
    }
    rig.server.deliver(many);
    for (const qint64 at : {120, 31000, 32000}) {
        rig.server.sent.clear();
        rig.clock.advance(at);
        const QList<MdnsFakeServer::Sent> packets = rig.server.sent;
        QVERIFY(at == 32000 || packets.size() >= 3);
        int answers = 0;
        for (int i = 0; i < packets.size(); ++i) {
            QVERIFY(packets.at(i).size <= MaxPacketSize);
            QCOMPARE(packets.at(i).message.isTruncated(), i < packets.size() - 1);
            QCOMPARE(packets.at(i).message.queries().size(), i == 0 ? 1 : 0);
            for (const Record &known : packets.at(i).message.records())
                answers += known.ttl() <= 100 - at / 1000 && known.ttl() >= 50;  // what is left of it
        }
        // At 0.1 and 31 s, not at 63 s.
        QCOMPARE(answers, at < 32000 ? 80 : 0);
    }
}

void tst_Browser::outlivesServerAndCache()
{
    // A browser and a resolver whose server and cache go first (as at shutdown) must neither
    // crash nor drop what they found.
    MdnsFakeClock clock;
    auto server = new MdnsFakeServer;
    auto cache = new Cache;
    cache->setClock(&clock);
    cache->addRecord(address("studio-gw-1.local.", "10.77.0.1"));
    Browser browser(server, NodeType, cache);
    Resolver resolver(server, "studio-gw-1.local.", cache);
    server->deliver(fullAnnouncement());
    QTRY_COMPARE(resolver.addresses().size(), 1);
    delete cache;
    server->deliver(fullAnnouncement());
    server->deliver(response({address("studio-gw-1.local.", "10.77.0.2", 10)}));
    delete server;
    clock.advance(20000);
    QCOMPARE(browser.services().size(), 1);
    QCOMPARE(resolver.addresses().size(), 1);
}

QTEST_GUILESS_MAIN(tst_Browser)
#include "tst_browser.moc"
