#include "mdns/cache.h"
#include "mdns/dns.h"
#include "tests/support/mdnsfakeclock.h"

#include <QtTest>

using namespace QMdnsEngine;

namespace {

Record address(const QByteArray &name, const char *ip, quint32 ttl, bool flush = false)
{
    Record record(name, A, ttl);
    record.setAddress(QHostAddress(QString::fromLatin1(ip)));
    record.setFlushCache(flush);
    return record;
}

} // namespace

class tst_Cache : public QObject
{
    Q_OBJECT

private slots:
    void expiresRecordAfterTtl();
    void goodbyeExpiresAfterOneSecond();
    void ignoresGoodbyeForUnknownRecord();
    void asksForRefreshAtEightyToNinetyFivePercent();
    void refreshingRecordRestartsItsLife();
    void cacheFlushExpiresOlderRecordsAfterOneSecond();
    void cacheFlushKeepsRecordsOfTheSameSecond();
    void knownAnswersHaveMoreThanHalfTheirTtlLeft();
    void looksUpLatestRecordWithoutCase();
    void staysWithinItsBound();
};

void tst_Cache::expiresRecordAfterTtl()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    QSignalSpy expired(&cache, &Cache::recordExpired);
    cache.addRecord(address("host.local.", "10.0.0.1", 10));

    clock.advance(9999);
    QCOMPARE(expired.count(), 0);
    QVERIFY(cache.lookupRecord("host.local.", A, nullptr));
    clock.advance(1);
    QCOMPARE(expired.count(), 1);
    QCOMPARE(expired.first().first().value<Record>().address(), QHostAddress("10.0.0.1"));
    QVERIFY(!cache.lookupRecord("host.local.", A, nullptr));
}

void tst_Cache::goodbyeExpiresAfterOneSecond()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    QSignalSpy expired(&cache, &Cache::recordExpired);
    cache.addRecord(address("host.local.", "10.0.0.1", 120));
    cache.addRecord(address("host.local.", "10.0.0.2", 120));
    clock.advance(5000);
    cache.addRecord(address("host.local.", "10.0.0.1", 0));

    clock.advance(999);
    QCOMPARE(expired.count(), 0);
    // No longer fit to suppress an answer while it waits to go.
    QCOMPARE(cache.knownAnswers("host.local.", A).size(), 1);
    clock.advance(1);
    QCOMPARE(expired.count(), 1);
    QCOMPARE(expired.first().first().value<Record>().address(), QHostAddress("10.0.0.1"));
    QList<Record> left;
    QVERIFY(cache.lookupRecords("host.local.", A, &left));
    QCOMPARE(left.size(), 1);
}

void tst_Cache::ignoresGoodbyeForUnknownRecord()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    QSignalSpy expired(&cache, &Cache::recordExpired);
    cache.addRecord(address("host.local.", "10.0.0.9", 0));
    QCOMPARE(cache.count(), 0);
    clock.advance(2000);
    QCOMPARE(expired.count(), 0);
}

void tst_Cache::asksForRefreshAtEightyToNinetyFivePercent()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    QSignalSpy refresh(&cache, &Cache::shouldQuery);
    const qint64 start = clock.now();
    cache.addRecord(address("host.local.", "10.0.0.1", 100));

    // Step through the record's life in 100 ms steps and note when each refresh comes.
    QList<qint64> at;
    while (clock.now() - start < 100000) {
        clock.advance(100);
        while (at.size() < refresh.count())
            at.append(clock.now() - start);
    }
    QCOMPARE(at.size(), 4);
    const QList<qint64> percents{80, 85, 90, 95};
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(at.at(i) >= percents.at(i) * 1000 && at.at(i) <= (percents.at(i) + 2) * 1000 + 100,
                 qPrintable(QStringLiteral("refresh %1 at %2 ms").arg(i).arg(at.at(i))));
    }
}

void tst_Cache::refreshingRecordRestartsItsLife()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    QSignalSpy expired(&cache, &Cache::recordExpired);
    QSignalSpy refresh(&cache, &Cache::shouldQuery);
    cache.addRecord(address("host.local.", "10.0.0.1", 10));
    clock.advance(8500);
    QCOMPARE(refresh.count(), 1);
    cache.addRecord(address("host.local.", "10.0.0.1", 10));
    clock.advance(7000);
    QCOMPARE(expired.count(), 0);
    QCOMPARE(cache.count(), 1);
    clock.advance(3000);
    QCOMPARE(expired.count(), 1);
}

void tst_Cache::cacheFlushExpiresOlderRecordsAfterOneSecond()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    QSignalSpy expired(&cache, &Cache::recordExpired);
    cache.addRecord(address("host.local.", "10.0.0.1", 120));
    cache.addRecord(address("other.local.", "10.0.0.3", 120));
    clock.advance(5000);
    cache.addRecord(address("HOST.local.", "10.0.0.2", 120, true));
    QCOMPARE(cache.count(), 3);

    clock.advance(999);
    QCOMPARE(expired.count(), 0);
    clock.advance(1);
    QCOMPARE(expired.count(), 1);
    QCOMPARE(expired.first().first().value<Record>().address(), QHostAddress("10.0.0.1"));
    Record latest;
    QVERIFY(cache.lookupRecord("host.local.", A, &latest));
    QCOMPARE(latest.address(), QHostAddress("10.0.0.2"));
    QVERIFY(cache.lookupRecord("other.local.", A, nullptr));
}

void tst_Cache::cacheFlushKeepsRecordsOfTheSameSecond()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    QSignalSpy expired(&cache, &Cache::recordExpired);
    // One answer split over two packets: the second must not flush the first (RFC 6762 10.2).
    cache.addRecord(address("host.local.", "10.0.0.1", 120, true));
    clock.advance(500);
    cache.addRecord(address("host.local.", "10.0.0.2", 120, true));
    clock.advance(3000);
    QCOMPARE(expired.count(), 0);
    QCOMPARE(cache.count(), 2);
}

void tst_Cache::knownAnswersHaveMoreThanHalfTheirTtlLeft()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    Record pointer("_http._tcp.local.", PTR, 100);
    pointer.setTarget("a._http._tcp.local.");
    cache.addRecord(pointer);
    clock.advance(30000);
    QList<Record> known = cache.knownAnswers("_http._tcp.local.", PTR);
    QCOMPARE(known.size(), 1);
    QCOMPARE(known.first().ttl(), quint32(70));
    QVERIFY(cache.knownAnswers("_http._tcp.local.", SRV).isEmpty());
    clock.advance(20000);
    QVERIFY(cache.knownAnswers("_http._tcp.local.", PTR).isEmpty());
}

void tst_Cache::looksUpLatestRecordWithoutCase()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    Record txt("A._http._tcp.local.", TXT, 100);
    txt.addAttribute("v", "1");
    cache.addRecord(txt);
    clock.advance(10);
    txt.setAttributes({{"v", "2"}});
    cache.addRecord(txt);
    Record found;
    QVERIFY(cache.lookupRecord("a._HTTP._tcp.local", TXT, &found));
    QCOMPARE(found.attributes().value("v"), QByteArray("2"));
    QVERIFY(cache.lookupRecord("a._http._tcp.local.", ANY, nullptr));
    QVERIFY(!cache.lookupRecord("a._http._tcp.local.", SRV, nullptr));
}

void tst_Cache::staysWithinItsBound()
{
    MdnsFakeClock clock;
    Cache cache;
    cache.setClock(&clock);
    for (int i = 0; i < Cache::MaxRecords + 100; ++i) {
        Record record(QByteArray::number(i) + ".local.", A, quint32(100 + i));
        record.setAddress(QHostAddress(quint32(i)));
        cache.addRecord(record);
    }
    QCOMPARE(cache.count(), Cache::MaxRecords);
    // The newest records are kept.
    QVERIFY(cache.lookupRecord(QByteArray::number(Cache::MaxRecords + 99) + ".local.", A, nullptr));
}

QTEST_GUILESS_MAIN(tst_Cache)
#include "tst_cache.moc"
