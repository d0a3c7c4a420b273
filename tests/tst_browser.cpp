#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/message.h"
#include "tests/support/mdnsfakeclock.h"
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

Service first(const QSignalSpy &spy, int index = 0)
{
    return spy.at(index).first().value<Service>();
}

// A browser on a fake link with a hand-moved clock.
struct Rig {
    explicit Rig(const QByteArray &type = NodeType) : browser(&server, type, withClock()) {}
    Cache *withClock()
    {
        cache.setClock(&clock);
        return &cache;
    }
    int browseQueries(const QByteArray &type = NodeType) const { return server.questionCount(type, PTR); }

    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    Browser browser;
    QSignalSpy added{&browser, &Browser::serviceAdded};
    QSignalSpy updated{&browser, &Browser::serviceUpdated};
    QSignalSpy removed{&browser, &Browser::serviceRemoved};
};

} // namespace

class tst_Browser : public QObject
{
    Q_OBJECT

private slots:
    void queriesOnDoublingScheduleAndRestarts();
    void reportsServiceFromOneResponse();
    void asksForMissingSrvAndTxt();
    void reportsUpdates_data();
    void reportsUpdates();
    void removesAfterGoodbyeOrExpiry_data();
    void removesAfterGoodbyeOrExpiry();
    void refreshesSrvBeforeItExpires();
    void listsKnownAnswersWithMoreThanHalfTtl();
    void splitsKnownAnswersOverTruncatedPackets();
    void metaQueryReportsEveryType();
    void ignoresWhatIsNotAResponse();
    void reportsCachedServicesAfterConstruction();
    void survivesServerAndCacheDeletion();
};

void tst_Browser::queriesOnDoublingScheduleAndRestarts()
{
    Rig rig;
    rig.clock.advance(19);
    QCOMPARE(rig.browseQueries(), 0);
    rig.clock.advance(101);
    QCOMPARE(rig.browseQueries(), 1);
    QVERIFY(rig.server.sent.first().toAll);
    // The first round also goes as a one-shot query, answered at once by unicast.
    QCOMPARE(rig.server.oneShots.size(), 1);
    QCOMPARE(rig.server.oneShots.first().queries(), (QList<Query>{Query(NodeType, PTR)}));

    // Then 1 s, 2 s, 4 s, ... up to one hour between queries.
    qint64 expected = 1000;
    for (int i = 2; i < 20; ++i) {
        QCOMPARE(rig.browser.queryInterval(), expected);
        rig.clock.advance(expected - 1);
        QCOMPARE(rig.browseQueries(), i - 1);
        rig.clock.advance(1);
        QCOMPARE(rig.browseQueries(), i);
        expected = std::min<qint64>(expected * 2, 3600000);
    }
    QCOMPARE(rig.browser.queryInterval(), 3600000);
    QCOMPARE(rig.server.oneShots.size(), 1);

    rig.server.appear("fl1");
    rig.clock.advance(120);
    QCOMPARE(rig.browseQueries(), 20);
    QCOMPARE(rig.browser.queryInterval(), 1000);
    QCOMPARE(rig.server.oneShots.size(), 2);
    QVERIFY(!rig.server.encodingFailed);
}

void tst_Browser::reportsServiceFromOneResponse()
{
    Rig rig;
    rig.server.deliver(fullAnnouncement());

    QCOMPARE(rig.added.count(), 1);
    const Service service = first(rig.added);
    QCOMPARE(service.name(), QByteArray("studio-gw-1"));
    QCOMPARE(service.type(), NodeType);
    QCOMPARE(service.hostname(), QByteArray("studio-gw-1.local."));
    QCOMPARE(service.port(), quint16(8080));
    QCOMPARE(service.attributes().value("api_ver"), QByteArray("v1.3"));
    QVERIFY(service.attributes().contains("flag"));
    QVERIFY(service.attributes().value("flag").isNull());
    QCOMPARE(rig.server.questionCount(Instance, SRV), 0);  // nothing was missing

    // The same announcement again is no news.
    rig.server.deliver(fullAnnouncement());
    QCOMPARE(rig.added.count(), 1);
    QCOMPARE(rig.updated.count(), 0);
}

void tst_Browser::asksForMissingSrvAndTxt()
{
    Rig rig;
    rig.server.deliver(response({ptr(NodeType, Instance)}));
    QCOMPARE(rig.server.questionCount(Instance, SRV), 1);
    QCOMPARE(rig.server.questionCount(Instance, TXT), 1);
    // Unanswered: asked again after 1 s, then 2 s later.
    rig.clock.advance(1000);
    QCOMPARE(rig.server.questionCount(Instance, SRV), 2);
    rig.clock.advance(1999);
    QCOMPARE(rig.server.questionCount(Instance, SRV), 2);
    rig.clock.advance(1);
    QCOMPARE(rig.server.questionCount(Instance, SRV), 3);

    // The SRV alone is reported after waiting a second for the TXT, which then is an update.
    rig.server.deliver(response({srv(Instance, "h.local.", 80)}));
    rig.clock.advance(999);
    QCOMPARE(rig.added.count(), 0);
    rig.clock.advance(1);
    QCOMPARE(rig.added.count(), 1);
    QVERIFY(first(rig.added).attributes().isEmpty());
    rig.server.deliver(response({txt(Instance, {{"api_ver", "v1.3"}})}));
    QCOMPARE(rig.updated.count(), 1);
    QCOMPARE(first(rig.updated).attributes().value("api_ver"), QByteArray("v1.3"));
    const int asked = rig.server.questionCount(Instance, SRV) + rig.server.questionCount(Instance, TXT);
    rig.clock.advance(10000);
    QCOMPARE(rig.server.questionCount(Instance, SRV) + rig.server.questionCount(Instance, TXT), asked);
}

void tst_Browser::reportsUpdates_data()
{
    QTest::addColumn<Record>("change");
    QTest::addColumn<bool>("isUpdate");
    QTest::newRow("port") << srv(Instance, "studio-gw-1.local.", 9090) << true;
    QTest::newRow("host") << srv(Instance, "other.local.", 8080) << true;
    QTest::newRow("attributes") << txt(Instance, {{"api_ver", "v1.2,v1.3"}, {"flag", QByteArray()}}) << true;
    QTest::newRow("key loses its value") << txt(Instance, {{"api_ver", QByteArray()}, {"flag", QByteArray()}}) << true;
    QTest::newRow("null value becomes empty") << txt(Instance, {{"api_ver", "v1.3"}, {"flag", ""}}) << true;
    QTest::newRow("same SRV") << srv(Instance, "studio-gw-1.local.", 8080) << false;
    QTest::newRow("same SRV, host in capitals") << srv(Instance, "STUDIO-GW-1.local.", 8080, 120, false) << false;
}

void tst_Browser::reportsUpdates()
{
    QFETCH(Record, change);
    QFETCH(bool, isUpdate);
    Rig rig;
    rig.server.deliver(fullAnnouncement());
    rig.clock.advance(2000);

    rig.server.deliver(response({change}));
    QCOMPARE(rig.updated.count(), isUpdate ? 1 : 0);
    // The flushed record's expiry a second later is neither an update nor a removal.
    rig.clock.advance(1500);
    QCOMPARE(rig.updated.count(), isUpdate ? 1 : 0);
    QCOMPARE(rig.removed.count(), 0);
    QCOMPARE(rig.cache.count(), 3);
    const Service service = rig.browser.services().first();
    if (change.type() == SRV) {
        QCOMPARE(service.port(), change.port());
        QVERIFY(sameName(service.hostname(), change.target()));
    } else {
        QVERIFY(sameAttributes(service.attributes(), change.attributes()));
    }
    if (isUpdate)
        QVERIFY(first(rig.updated) == service);
}

void tst_Browser::removesAfterGoodbyeOrExpiry_data()
{
    QTest::addColumn<Record>("goodbye");
    QTest::addColumn<qint64>("lifetime");
    QTest::newRow("PTR goodbye") << ptr(NodeType, Instance, 0) << qint64(1000);
    QTest::newRow("SRV goodbye") << srv(Instance, "studio-gw-1.local.", 8080, 0) << qint64(1000);
    QTest::newRow("PTR expires") << ptr(NodeType, Instance, 100) << qint64(100000);
    QTest::newRow("SRV expires") << srv(Instance, "studio-gw-1.local.", 8080, 100) << qint64(100000);
}

void tst_Browser::removesAfterGoodbyeOrExpiry()
{
    QFETCH(Record, goodbye);
    QFETCH(qint64, lifetime);
    Rig rig;
    rig.server.deliver(fullAnnouncement());
    rig.server.deliver(response({goodbye}));
    rig.clock.advance(lifetime - 1);
    QCOMPARE(rig.removed.count(), 0);
    rig.clock.advance(1);
    QCOMPARE(rig.removed.count(), 1);
    QCOMPARE(first(rig.removed).name(), QByteArray("studio-gw-1"));
    QCOMPARE(first(rig.removed).port(), quint16(8080));
    QVERIFY(rig.browser.services().isEmpty());

    // It may come back, and is then new again.
    rig.server.deliver(fullAnnouncement());
    QCOMPARE(rig.added.count(), 2);
}

void tst_Browser::refreshesSrvBeforeItExpires()
{
    Rig rig;
    rig.server.deliver(response({ptr(NodeType, Instance)}, {srv(Instance, "h.local.", 80, 100), txt(Instance, {})}));
    rig.clock.advance(79900);
    QCOMPARE(rig.server.questionCount(Instance, SRV), 0);
    rig.clock.advance(2200);
    QCOMPARE(rig.server.questionCount(Instance, SRV), 1);
    for (int i = 0; i < 15; ++i)
        rig.clock.advance(1000);
    QCOMPARE(rig.server.questionCount(Instance, SRV), 4);
}

void tst_Browser::listsKnownAnswersWithMoreThanHalfTtl()
{
    Rig rig;
    rig.server.deliver(response({ptr(NodeType, Instance, 100)}, {srv(Instance, "h.local.", 80), txt(Instance, {})}));
    // Nothing is missing or due for refresh yet, so every query is a browse query.
    auto lastBrowseQuery = [&rig] { return rig.server.queries().last(); };
    rig.clock.advance(120);
    QCOMPARE(lastBrowseQuery().records().size(), 1);
    QCOMPARE(lastBrowseQuery().records().first().target(), Instance);
    QVERIFY(lastBrowseQuery().records().first().ttl() >= 99);
    // The query at 31 s still leaves more than half; the next, at 63 s, leaves 37 s.
    rig.clock.advance(31000);
    QCOMPARE(lastBrowseQuery().records().size(), 1);
    rig.clock.advance(32000);
    QVERIFY(lastBrowseQuery().records().isEmpty());
}

void tst_Browser::splitsKnownAnswersOverTruncatedPackets()
{
    Rig rig;
    Message many = response({});
    const int count = 80;
    for (int i = 0; i < count; ++i) {
        const QByteArray instance = "node-with-a-rather-long-instance-name-" + QByteArray::number(i) + "." + NodeType;
        many.addRecord(ptr(NodeType, instance));
        many.addAdditionalRecord(srv(instance, "h.local.", 80));
        many.addAdditionalRecord(txt(instance, {}));
    }
    rig.server.deliver(many);
    rig.server.sent.clear();
    rig.clock.advance(120);

    const QList<MdnsFakeServer::Sent> packets = rig.server.sent;
    QVERIFY(packets.size() >= 3);
    int answers = 0;
    for (int i = 0; i < packets.size(); ++i) {
        QVERIFY(packets.at(i).size <= MaxPacketSize);
        QCOMPARE(packets.at(i).message.isTruncated(), i < packets.size() - 1);
        QCOMPARE(packets.at(i).message.queries().size(), i == 0 ? 1 : 0);
        answers += packets.at(i).message.records().size();
    }
    QCOMPARE(answers, count);
    QVERIFY(!rig.server.encodingFailed);
}

void tst_Browser::metaQueryReportsEveryType()
{
    const QByteArray http = "_http._tcp.local.";
    Rig rig(ServicesType);
    rig.clock.advance(120);
    QCOMPARE(rig.browseQueries(ServicesType), 1);

    rig.server.deliver(response({ptr(ServicesType, NodeType), ptr(ServicesType, http)}));
    // Each newly found type is asked for at once.
    QCOMPARE(rig.browseQueries(NodeType), 1);
    QCOMPARE(rig.browseQueries(http), 1);

    rig.server.deliver(fullAnnouncement());
    rig.server.deliver(response({ptr(http, "web." + http)}, {srv("web." + http, "web.local.", 80), txt("web." + http, {})}));
    // Instances of types not announced in the meta-query are not ours.
    rig.server.deliver(response({ptr("_ipp._tcp.local.", "p._ipp._tcp.local.")},
                                {srv("p._ipp._tcp.local.", "p.local.", 631), txt("p._ipp._tcp.local.", {})}));
    QCOMPARE(rig.added.count(), 2);
    QCOMPARE(first(rig.added, 0).type(), NodeType);
    QCOMPARE(first(rig.added, 1).type(), http);
    QCOMPARE(first(rig.added, 1).name(), QByteArray("web"));

    // Later browse queries cover the meta-query and every type found.
    rig.server.sent.clear();
    rig.clock.advance(1000);
    QCOMPARE(rig.browseQueries(ServicesType), 1);
    QCOMPARE(rig.browseQueries(NodeType), 1);
    QCOMPARE(rig.browseQueries(http), 1);
}

void tst_Browser::ignoresWhatIsNotAResponse()
{
    Rig rig;
    Message query = fullAnnouncement();
    query.setResponse(false);
    rig.server.deliver(query);
    Message wrongPort = fullAnnouncement();
    wrongPort.setPort(1234);
    rig.server.deliver(wrongPort);
    QCOMPARE(rig.added.count(), 0);
    QCOMPARE(rig.cache.count(), 0);
}

void tst_Browser::reportsCachedServicesAfterConstruction()
{
    Rig rig;
    rig.server.deliver(fullAnnouncement());
    Browser second(&rig.server, NodeType, &rig.cache);
    QSignalSpy added(&second, &Browser::serviceAdded);
    QCOMPARE(added.count(), 0);  // told later, so that a receiver connected now hears it
    QVERIFY(added.wait(2000));
    QCOMPARE(first(added).port(), quint16(8080));
}

void tst_Browser::survivesServerAndCacheDeletion()
{
    MdnsFakeClock clock;
    auto server = new MdnsFakeServer;
    auto cache = new Cache;
    cache->setClock(&clock);
    Browser browser(server, NodeType, cache);
    server->deliver(fullAnnouncement());
    delete cache;
    server->deliver(fullAnnouncement());
    delete server;
    clock.advance(5000);
    QCOMPARE(browser.services().size(), 1);
}

QTEST_GUILESS_MAIN(tst_Browser)
#include "tst_browser.moc"
