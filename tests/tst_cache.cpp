#include "mdns/cache.h"
#include "mdns/dns.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

namespace {

Record host(const char *ip, quint32 ttl = 120, bool flush = false)
{
    return address("host.local.", ip, ttl, flush);
}

} // namespace

class tst_Cache : public QObject
{
    Q_OBJECT

private slots:
    void expiresRecords_data();
    void expiresRecords();
    void staysWithinItsBound();
};

void tst_Cache::expiresRecords_data()
{
    QTest::addColumn<QList<Record>>("before");
    QTest::addColumn<QList<Record>>("later");  // from 5 s on, half a second apart
    QTest::addColumn<qint64>("expiresAfter");  // from half a second after the last; -1: nothing expires
    QTest::addColumn<QString>("gone");
    QTest::addColumn<int>("left");
    using L = QList<Record>;
    QTest::newRow("TTL restarts when heard again") << L{host("10.0.0.1", 10)} << L{host("10.0.0.1", 10)} << qint64(9500) << "10.0.0.1" << 0;
    // The same record again within the second, as heard on another interface, is not news.
    QTest::newRow("a copy within the second") << L{} << L{host("10.0.0.1", 10), host("10.0.0.1", 10)} << qint64(9000)
                                              << "10.0.0.1" << 0;
    QTest::newRow("goodbye after a second") << L{host("10.0.0.1"), host("10.0.0.2")} << L{host("10.0.0.1", 0)}
                                            << qint64(500) << "10.0.0.1" << 1;
    QTest::newRow("goodbye for unknown record") << L{host("10.0.0.1")} << L{host("10.0.0.9", 0)} << qint64(-1) << "" << 1;
    QTest::newRow("cache-flush replaces older") << L{host("10.0.0.1"), address("other.local.", "10.0.0.3")}
                                                << L{address("HOST.local.", "10.0.0.2", 120, true)} << qint64(500) << "10.0.0.1" << 2;
    // One answer split over two packets: the second must not flush the first (RFC 6762 10.2).
    QTest::newRow("cache-flush keeps the same second") << L{} << L{host("10.0.0.1", 120, true), host("10.0.0.2", 120, true)}
                                                       << qint64(-1) << "" << 2;
}

void tst_Cache::expiresRecords()
{
    QFETCH(QList<Record>, before);
    QFETCH(QList<Record>, later);
    QFETCH(qint64, expiresAfter);
    QFETCH(QString, gone);
    QFETCH(int, left);
    MdnsFakeLink rig;
    QSignalSpy expired(&rig.cache, &Cache::recordExpired);
    for (const Record &record : before)
        rig.cache.addRecord(record);
    rig.clock.advance(5000);
    for (const Record &record : later) {
        rig.cache.addRecord(record);
        rig.clock.advance(500);
    }
    rig.clock.advance((expiresAfter < 0 ? 3000 : expiresAfter) - 1);
    QCOMPARE(expired.count(), 0);
    rig.clock.advance(1);
    QCOMPARE(expired.count(), gone.isEmpty() ? 0 : 1);
    if (!gone.isEmpty())
        QCOMPARE(expired.first().first().value<Record>().address(), QHostAddress(gone));
    QCOMPARE(rig.cache.count(), left);
}

void tst_Cache::staysWithinItsBound()
{
    // A flood keeps the newest records.
    MdnsFakeLink rig;
    for (int i = 0; i < Cache::MaxRecords + 100; ++i)
        rig.cache.addRecord(address(QByteArray::number(i) + ".local.", "10.0.0.1", quint32(100 + i)));
    QCOMPARE(rig.cache.count(), Cache::MaxRecords);
    QVERIFY(rig.cache.lookupRecord(QByteArray::number(Cache::MaxRecords + 99) + ".LOCAL.", ANY, nullptr));
}

QTEST_GUILESS_MAIN(tst_Cache)
#include "tst_cache.moc"
