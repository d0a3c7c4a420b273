#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/message.h"
#include "tests/support/mdnsfakeclock.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const QByteArray Instance = "studio-gw-1._nmos-node._tcp.local.";

Record pointer(const QByteArray &type, const QByteArray &target, quint32 ttl = 4500)
{
    Record record(type, PTR, ttl);
    record.setTarget(target);
    return record;
}

Record srv(const QByteArray &instance, const QByteArray &host, quint16 port, quint32 ttl = 120, bool flush = true)
{
    Record record(instance, SRV, ttl);
    record.setTarget(host);
    record.setPort(port);
    record.setFlushCache(flush);
    return record;
}

Record txt(const QByteArray &instance, const QMap<QByteArray, QByteArray> &attributes, quint32 ttl = 4500)
{
    Record record(instance, TXT, ttl);
    record.setAttributes(attributes);
    record.setFlushCache(true);
    return record;
}

Message response(const QList<Record> &answers, const QList<Record> &additionals = {})
{
    Message message;
    message.setResponse(true);
    message.setAddress(QHostAddress("10.77.0.2"));
    message.setPort(MdnsPort);
    message.setInterfaceName("fl0");
    for (const Record &record : answers)
        message.addRecord(record);
    for (const Record &record : additionals)
        message.addAdditionalRecord(record);
    return message;
}

Message fullAnnouncement(quint16 port = 8080, const QByteArray &apiVer = "v1.3")
{
    return response({pointer(NodeType, Instance)},
                    {srv(Instance, "studio-gw-1.local.", port), txt(Instance, {{"api_ver", apiVer}, {"api_proto", "http"}})});
}

// Counts the browse queries (PTR questions for the type) sent so far.
int browseQueries(const MdnsFakeServer &server, const QByteArray &type = NodeType)
{
    return server.questionCount(type, PTR);
}

} // namespace

class tst_Browser : public QObject
{
    Q_OBJECT

private slots:
    void queriesOnDoublingSchedule();
    void restartsScheduleWhenInterfaceAppears();
    void reportsServiceFromOneResponse();
    void asksForMissingSrvAndTxt();
    void reportsWithoutTxtWhenNoneComes();
    void reportsUpdates_data();
    void reportsUpdates();
    void removesAfterGoodbye_data();
    void removesAfterGoodbye();
    void removesWhenRecordsExpire();
    void refreshesSrvBeforeItExpires();
    void listsKnownAnswersWithMoreThanHalfTtl();
    void splitsKnownAnswersOverTruncatedPackets();
    void cacheFlushUpdatesWithoutRemoval();
    void metaQueryReportsEveryType();
    void ignoresWhatIsNotAResponse();
    void reportsCachedServicesAfterConstruction();
    void survivesServerAndCacheDeletion();
};

void tst_Browser::queriesOnDoublingSchedule()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);

    clock.advance(19);
    QCOMPARE(browseQueries(server), 0);
    clock.advance(101);
    QCOMPARE(browseQueries(server), 1);
    QVERIFY(server.sent.first().toAll);

    // Then 1 s, 2 s, 4 s, ... up to one hour between queries.
    qint64 expected = 1000;
    for (int i = 2; i < 20; ++i) {
        QCOMPARE(browser.queryInterval(), expected);
        clock.advance(expected - 1);
        QCOMPARE(browseQueries(server), i - 1);
        clock.advance(1);
        QCOMPARE(browseQueries(server), i);
        expected = std::min<qint64>(expected * 2, 3600000);
    }
    QCOMPARE(browser.queryInterval(), 3600000);
    QVERIFY(!server.encodingFailed);
}

void tst_Browser::restartsScheduleWhenInterfaceAppears()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    clock.advance(120);
    for (int i = 0; i < 6; ++i)
        clock.advance(browser.queryInterval());
    const int before = browseQueries(server);
    QVERIFY(browser.queryInterval() >= 32000);

    server.appear("fl1");
    clock.advance(120);
    QCOMPARE(browseQueries(server), before + 1);
    QCOMPARE(browser.queryInterval(), 1000);
}

void tst_Browser::reportsServiceFromOneResponse()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);

    Message announcement = fullAnnouncement();
    Record flag = announcement.additionalRecords().last();
    flag.addAttribute("flag", QByteArray());
    announcement = response(announcement.records(), {announcement.additionalRecords().first(), flag});
    server.deliver(announcement);

    QCOMPARE(added.count(), 1);
    const Service service = added.first().first().value<Service>();
    QCOMPARE(service.name(), QByteArray("studio-gw-1"));
    QCOMPARE(service.type(), NodeType);
    QCOMPARE(service.hostname(), QByteArray("studio-gw-1.local."));
    QCOMPARE(service.port(), quint16(8080));
    QCOMPARE(service.attributes().value("api_ver"), QByteArray("v1.3"));
    QVERIFY(service.attributes().contains("flag"));
    QVERIFY(service.attributes().value("flag").isNull());
    // Nothing was missing, so nothing was asked.
    QCOMPARE(server.questionCount(Instance, SRV), 0);
    QCOMPARE(browser.services().size(), 1);

    // The same announcement again is no news.
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    server.deliver(announcement);
    QCOMPARE(added.count(), 1);
    QCOMPARE(updated.count(), 0);
}

void tst_Browser::asksForMissingSrvAndTxt()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);

    server.deliver(response({pointer(NodeType, Instance)}));
    QCOMPARE(server.questionCount(Instance, SRV), 1);
    QCOMPARE(server.questionCount(Instance, TXT), 1);
    QCOMPARE(added.count(), 0);

    // Unanswered: asked again after 1 s, then 2 s later.
    clock.advance(1000);
    QCOMPARE(server.questionCount(Instance, SRV), 2);
    clock.advance(1999);
    QCOMPARE(server.questionCount(Instance, SRV), 2);
    clock.advance(1);
    QCOMPARE(server.questionCount(Instance, SRV), 3);

    server.deliver(response({srv(Instance, "studio-gw-1.local.", 80), txt(Instance, {{"api_ver", "v1.2"}})}));
    QCOMPARE(added.count(), 1);
    QCOMPARE(added.first().first().value<Service>().attributes().value("api_ver"), QByteArray("v1.2"));
    clock.advance(10000);
    QCOMPARE(server.questionCount(Instance, SRV), 3);
}

void tst_Browser::reportsWithoutTxtWhenNoneComes()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);

    server.deliver(response({pointer(NodeType, Instance)}, {srv(Instance, "h.local.", 80)}));
    QCOMPARE(server.questionCount(Instance, TXT), 1);
    QCOMPARE(added.count(), 0);
    clock.advance(999);
    QCOMPARE(added.count(), 0);
    clock.advance(1);
    QCOMPARE(added.count(), 1);
    QVERIFY(added.first().first().value<Service>().attributes().isEmpty());

    server.deliver(response({txt(Instance, {{"api_ver", "v1.3"}})}));
    QCOMPARE(updated.count(), 1);
    QCOMPARE(updated.first().first().value<Service>().attributes().value("api_ver"), QByteArray("v1.3"));
}

void tst_Browser::reportsUpdates_data()
{
    QTest::addColumn<Record>("change");
    QTest::addColumn<bool>("isUpdate");
    QTest::newRow("port") << srv(Instance, "studio-gw-1.local.", 9090) << true;
    QTest::newRow("host") << srv(Instance, "other.local.", 8080) << true;
    QTest::newRow("attributes") << txt(Instance, {{"api_ver", "v1.2,v1.3"}, {"api_proto", "http"}}) << true;
    QTest::newRow("key loses its value") << txt(Instance, {{"api_ver", QByteArray()}, {"api_proto", "http"}}) << true;
    QTest::newRow("same SRV") << srv(Instance, "studio-gw-1.local.", 8080) << false;
    QTest::newRow("same SRV, host in capitals") << srv(Instance, "STUDIO-GW-1.local.", 8080, 120, false) << false;
}

void tst_Browser::reportsUpdates()
{
    QFETCH(Record, change);
    QFETCH(bool, isUpdate);
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    server.deliver(fullAnnouncement());
    clock.advance(2000);

    server.deliver(response({change}));
    QCOMPARE(updated.count(), isUpdate ? 1 : 0);
    if (isUpdate) {
        const Service service = updated.first().first().value<Service>();
        if (change.type() == SRV) {
            QCOMPARE(service.port(), change.port());
            QCOMPARE(service.hostname(), change.target());
        } else {
            QVERIFY(sameAttributes(service.attributes(), change.attributes()));
        }
    }
    // The replaced record's expiry a second later is not news either.
    clock.advance(1500);
    QCOMPARE(updated.count(), isUpdate ? 1 : 0);
    QCOMPARE(removed.count(), 0);
}

void tst_Browser::removesAfterGoodbye_data()
{
    QTest::addColumn<Record>("goodbye");
    QTest::newRow("PTR") << pointer(NodeType, Instance, 0);
    QTest::newRow("SRV") << srv(Instance, "studio-gw-1.local.", 8080, 0);
}

void tst_Browser::removesAfterGoodbye()
{
    QFETCH(Record, goodbye);
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    server.deliver(fullAnnouncement());
    QCOMPARE(added.count(), 1);

    server.deliver(response({goodbye}));
    QCOMPARE(removed.count(), 0);
    clock.advance(999);
    QCOMPARE(removed.count(), 0);
    clock.advance(1);
    QCOMPARE(removed.count(), 1);
    const Service gone = removed.first().first().value<Service>();
    QCOMPARE(gone.name(), QByteArray("studio-gw-1"));
    QCOMPARE(gone.port(), quint16(8080));
    QVERIFY(browser.services().isEmpty());

    // It may come back, and is then new again.
    server.deliver(fullAnnouncement());
    QCOMPARE(added.count(), 2);
}

void tst_Browser::removesWhenRecordsExpire()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    server.deliver(response({pointer(NodeType, Instance, 100)},
                            {srv(Instance, "h.local.", 80, 100), txt(Instance, {}, 100)}));
    clock.advance(99999);
    QCOMPARE(removed.count(), 0);
    clock.advance(1);
    QCOMPARE(removed.count(), 1);
}

void tst_Browser::refreshesSrvBeforeItExpires()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    server.deliver(response({pointer(NodeType, Instance)}, {srv(Instance, "h.local.", 80, 100), txt(Instance, {})}));
    clock.advance(79900);
    QCOMPARE(server.questionCount(Instance, SRV), 0);
    clock.advance(2200);
    QCOMPARE(server.questionCount(Instance, SRV), 1);
    for (int i = 0; i < 15; ++i)
        clock.advance(1000);
    QCOMPARE(server.questionCount(Instance, SRV), 4);
}

void tst_Browser::listsKnownAnswersWithMoreThanHalfTtl()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    server.deliver(response({pointer(NodeType, Instance, 100)}, {srv(Instance, "h.local.", 80), txt(Instance, {})}));

    auto lastBrowseQuery = [&server] {
        const auto queries = server.queries();
        for (int i = queries.size() - 1; i >= 0; --i) {
            if (!queries.at(i).queries().isEmpty() && queries.at(i).queries().first().type() == PTR)
                return queries.at(i);
        }
        return Message();
    };
    clock.advance(120);  // first query
    Message query = lastBrowseQuery();
    QCOMPARE(query.records().size(), 1);
    QCOMPARE(query.records().first().target(), Instance);
    QVERIFY(query.records().first().ttl() >= 99);

    // Queries at 1, 3, 7, 15, 31 s (plus the first delay): 31 s still leaves more than half.
    clock.advance(31000);
    query = lastBrowseQuery();
    QCOMPARE(query.records().size(), 1);
    // The next, at 63 s, leaves 37 s: no longer a known answer.
    clock.advance(32000);
    query = lastBrowseQuery();
    QVERIFY(query.records().isEmpty());
}

void tst_Browser::splitsKnownAnswersOverTruncatedPackets()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    Message many = response({});
    const int count = 80;
    for (int i = 0; i < count; ++i) {
        const QByteArray instance = "node-with-a-rather-long-instance-name-" + QByteArray::number(i) + "." + NodeType;
        many.addRecord(pointer(NodeType, instance));
        many.addAdditionalRecord(srv(instance, "h.local.", 80));
        many.addAdditionalRecord(txt(instance, {}));
    }
    server.deliver(many);
    server.sent.clear();
    clock.advance(120);

    const QList<MdnsFakeServer::Sent> packets = server.sent;
    QVERIFY(packets.size() >= 3);
    QCOMPARE(packets.first().message.queries().size(), 1);
    int answers = 0;
    for (int i = 0; i < packets.size(); ++i) {
        QVERIFY(packets.at(i).size <= MaxPacketSize);
        QCOMPARE(packets.at(i).message.isTruncated(), i < packets.size() - 1);
        if (i > 0)
            QVERIFY(packets.at(i).message.queries().isEmpty());
        answers += packets.at(i).message.records().size();
    }
    QCOMPARE(answers, count);
    QVERIFY(!server.encodingFailed);
}

void tst_Browser::cacheFlushUpdatesWithoutRemoval()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    server.deliver(fullAnnouncement(8080));
    clock.advance(5000);
    server.deliver(response({srv(Instance, "studio-gw-1.local.", 8081)}));
    QCOMPARE(updated.count(), 1);
    QCOMPARE(cache.count(), 4);  // PTR, TXT, both SRVs for one more second
    clock.advance(1000);
    QCOMPARE(cache.count(), 3);
    QCOMPARE(updated.count(), 1);
    QCOMPARE(removed.count(), 0);
    QCOMPARE(browser.services().first().port(), quint16(8081));
}

void tst_Browser::metaQueryReportsEveryType()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, ServicesType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    clock.advance(120);
    QCOMPARE(server.questionCount(ServicesType, PTR), 1);

    server.deliver(response({pointer(ServicesType, NodeType), pointer(ServicesType, "_http._tcp.local.")}));
    // Each newly found type is asked for at once.
    QCOMPARE(server.questionCount(NodeType, PTR), 1);
    QCOMPARE(server.questionCount("_http._tcp.local.", PTR), 1);

    server.deliver(fullAnnouncement());
    server.deliver(response({pointer("_http._tcp.local.", "web._http._tcp.local.")},
                            {srv("web._http._tcp.local.", "web.local.", 80), txt("web._http._tcp.local.", {})}));
    // Instances of types not announced in the meta-query are not ours.
    server.deliver(response({pointer("_ipp._tcp.local.", "p._ipp._tcp.local.")},
                            {srv("p._ipp._tcp.local.", "p.local.", 631), txt("p._ipp._tcp.local.", {})}));
    QCOMPARE(added.count(), 2);
    QCOMPARE(added.at(0).first().value<Service>().type(), NodeType);
    QCOMPARE(added.at(1).first().value<Service>().type(), QByteArray("_http._tcp.local."));
    QCOMPARE(added.at(1).first().value<Service>().name(), QByteArray("web"));

    // Later browse queries cover the meta-query and every type found.
    server.sent.clear();
    clock.advance(1000);
    QCOMPARE(server.questionCount(ServicesType, PTR), 1);
    QCOMPARE(server.questionCount(NodeType, PTR), 1);
    QCOMPARE(server.questionCount("_http._tcp.local.", PTR), 1);
}

void tst_Browser::ignoresWhatIsNotAResponse()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser browser(&server, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);

    Message query = fullAnnouncement();
    query.setResponse(false);
    server.deliver(query);
    Message wrongPort = fullAnnouncement();
    wrongPort.setPort(1234);
    server.deliver(wrongPort);
    QCOMPARE(added.count(), 0);
    QCOMPARE(cache.count(), 0);
}

void tst_Browser::reportsCachedServicesAfterConstruction()
{
    MdnsFakeClock clock;
    MdnsFakeServer server;
    Cache cache;
    cache.setClock(&clock);
    Browser first(&server, NodeType, &cache);
    server.deliver(fullAnnouncement());

    Browser second(&server, NodeType, &cache);
    QSignalSpy added(&second, &Browser::serviceAdded);
    QCOMPARE(added.count(), 0);
    QVERIFY(added.wait(2000));
    QCOMPARE(added.first().first().value<Service>().port(), quint16(8080));
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
