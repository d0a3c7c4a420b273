#include "mdns/dns.h"
#include "mdns/message.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using namespace QMdnsEngine;

namespace {

QByteArray u16(quint16 v)
{
    QByteArray b;
    b += char(v >> 8);
    b += char(v & 0xFF);
    return b;
}

QByteArray u32(quint32 v)
{
    return u16(quint16(v >> 16)) + u16(quint16(v));
}

QByteArray header(quint16 flags, quint16 qd, quint16 an, quint16 ns = 0, quint16 ar = 0)
{
    return u16(0) + u16(flags) + u16(qd) + u16(an) + u16(ns) + u16(ar);
}

QByteArray wireName(const QList<QByteArray> &labels)
{
    QByteArray b;
    for (const QByteArray &label : labels)
        b += char(label.size()) + label;
    return b + '\0';
}

QByteArray rr(const QByteArray &name, quint16 type, const QByteArray &rdata, quint16 cls = 1)
{
    return name + u16(type) + u16(cls) + u32(120) + u16(quint16(rdata.size())) + rdata;
}

const QByteArray Local = wireName({"host", "local"});

bool recordsEqual(const QList<Record> &a, const QList<Record> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (!(a.at(i) == b.at(i)))
            return false;
    }
    return true;
}

bool messagesEqual(const Message &a, const Message &b)
{
    return a.isResponse() == b.isResponse() && a.isTruncated() == b.isTruncated()
        && a.transactionId() == b.transactionId() && a.queries() == b.queries()
        && recordsEqual(a.records(), b.records()) && recordsEqual(a.authorityRecords(), b.authorityRecords())
        && recordsEqual(a.additionalRecords(), b.additionalRecords());
}

} // namespace

class tst_Dns : public QObject
{
    Q_OBJECT

private slots:
    void roundTripsRecords_data();
    void roundTripsRecords();
    void roundTripsSectionsAndFlags();
    void compressesRepeatedNames();
    void parsesKnownPacket();
    void readsTxtByDnsSdRules();
    void rejectsMalformedPacket_data();
    void rejectsMalformedPacket();
    void refusesToEncodeInvalid_data();
    void refusesToEncodeInvalid();
    void escapesDotsInLabels();
    void comparesNamesWithoutCase();
    void replaysFuzzCorpus();
};

void tst_Dns::roundTripsRecords_data()
{
    QTest::addColumn<Record>("record");

    Record a("host.local.", A, 120);
    a.setAddress(QHostAddress("10.77.0.1"));
    a.setFlushCache(true);
    QTest::newRow("A") << a;

    Record aaaa("host.local.", AAAA, 120);
    aaaa.setAddress(QHostAddress("fd77::1"));
    QTest::newRow("AAAA") << aaaa;

    Record ptr("_nmos-node._tcp.local.", PTR, 4500);
    ptr.setTarget("studio-gw-1._nmos-node._tcp.local.");
    QTest::newRow("PTR") << ptr;

    Record srv("studio-gw-1._nmos-node._tcp.local.", SRV, 120);
    srv.setPriority(1);
    srv.setWeight(2);
    srv.setPort(8080);
    srv.setTarget("studio-gw-1.local.");
    QTest::newRow("SRV") << srv;

    Record txt("studio-gw-1._nmos-node._tcp.local.", TXT, 4500);
    txt.addAttribute("api_ver", "v1.2,v1.3");
    txt.addAttribute("api_proto", "http");
    txt.addAttribute("flag", QByteArray());
    txt.addAttribute("empty", QByteArray(""));
    QTest::newRow("TXT with null and empty values") << txt;

    Record emptyTxt("x._http._tcp.local.", TXT, 4500);
    QTest::newRow("empty TXT") << emptyTxt;

    Record nsec("host.local.", NSEC, 120);
    nsec.setTarget("host.local.");
    nsec.setTypes({A, AAAA, 300, 1234});
    QTest::newRow("NSEC over several windows") << nsec;

    Record opaque("host.local.", 99, 60);
    opaque.setData(QByteArray("\x00\x01\xff opaque", 10));
    QTest::newRow("unknown type") << opaque;

    Record dotted("My\\.Printer._ipp._tcp.local.", PTR, 10);
    dotted.setTarget("a\\\\b._ipp._tcp.local.");
    QTest::newRow("escaped dot and backslash") << dotted;
}

void tst_Dns::roundTripsRecords()
{
    QFETCH(Record, record);
    Message message;
    message.setResponse(true);
    message.addRecord(record);
    QByteArray packet;
    QString error;
    QVERIFY2(toPacket(message, &packet, &error), qPrintable(error));
    Message parsed;
    QVERIFY2(parsePacket(packet, &parsed, &error), qPrintable(error));
    QCOMPARE(parsed.records().size(), 1);
    QVERIFY(parsed.records().first() == record);
    // null and empty TXT values travel as "key" and "key="
    if (record.type() == TXT) {
        const auto attributes = parsed.records().first().attributes();
        for (auto i = attributes.cbegin(); i != attributes.cend(); ++i)
            QCOMPARE(i.value().isNull(), record.attributes().value(i.key()).isNull());
    }
}

void tst_Dns::roundTripsSectionsAndFlags()
{
    Message message;
    message.setTransactionId(0x1234);
    message.setTruncated(true);
    message.addQuery(Query("_nmos-node._tcp.local.", PTR, true));
    message.addQuery(Query("host.local.", ANY));
    Record known("_nmos-node._tcp.local.", PTR, 4000);
    known.setTarget("a._nmos-node._tcp.local.");
    message.addRecord(known);
    Record authority("host.local.", A, 120);
    authority.setAddress(QHostAddress("10.0.0.1"));
    message.addAuthorityRecord(authority);
    Record additional("host.local.", AAAA, 120);
    additional.setAddress(QHostAddress("fe80::1"));
    message.addAdditionalRecord(additional);

    QByteArray packet;
    QVERIFY(toPacket(message, &packet));
    Message parsed;
    QVERIFY(parsePacket(packet, &parsed));
    QVERIFY(messagesEqual(parsed, message));
    QVERIFY(parsed.queries().first().unicastResponse());
    QVERIFY(!parsed.queries().last().unicastResponse());
}

void tst_Dns::compressesRepeatedNames()
{
    Message message;
    message.setResponse(true);
    for (const char *instance : {"one", "two", "three"}) {
        Record ptr("_nmos-node._tcp.local.", PTR, 4500);
        ptr.setTarget(QByteArray(instance) + "._nmos-node._tcp.local.");
        message.addRecord(ptr);
    }
    QByteArray packet;
    QVERIFY(toPacket(message, &packet));
    // "_nmos-node._tcp.local." is written once; every later use is a two-byte pointer.
    QCOMPARE(packet.count("_nmos-node"), 1);
    QVERIFY(packet.size() < 12 + 3 * (24 + 10 + 28));
    Message parsed;
    QVERIFY(parsePacket(packet, &parsed));
    QCOMPARE(parsed.records().at(2).target(), QByteArray("three._nmos-node._tcp.local."));
}

void tst_Dns::parsesKnownPacket()
{
    // A response as a responder writes it: answer PTR, then SRV whose names point back
    // into the PTR's rdata.
    QByteArray packet = header(0x8400, 0, 2);
    const int typeOffset = packet.size();
    packet += wireName({"_http", "_tcp", "local"});
    packet += u16(PTR) + u16(1) + u32(4500);
    const int instanceOffset = packet.size() + 2;
    const QByteArray ptrData = QByteArray("\x03web", 4) + u16(quint16(0xC000 | typeOffset));
    packet += u16(quint16(ptrData.size())) + ptrData;
    const QByteArray srvData = u16(0) + u16(0) + u16(80) + QByteArray("\x04host", 5) + u16(quint16(0xC000 | (typeOffset + 11)));
    packet += u16(quint16(0xC000 | instanceOffset)) + u16(SRV) + u16(0x8001) + u32(120)
        + u16(quint16(srvData.size())) + srvData;

    Message parsed;
    QString error;
    QVERIFY2(parsePacket(packet, &parsed, &error), qPrintable(error));
    QVERIFY(parsed.isResponse());
    QCOMPARE(parsed.records().size(), 2);
    QCOMPARE(parsed.records().at(0).target(), QByteArray("web._http._tcp.local."));
    const Record srv = parsed.records().at(1);
    QCOMPARE(srv.name(), QByteArray("web._http._tcp.local."));
    QCOMPARE(srv.type(), quint16(SRV));
    QVERIFY(srv.flushCache());
    QCOMPARE(srv.port(), quint16(80));
    QCOMPARE(srv.target(), QByteArray("host.local."));
}

void tst_Dns::readsTxtByDnsSdRules()
{
    QByteArray txt;
    for (const QByteArray &entry : {QByteArray("api_ver=v1.3"), QByteArray("API_VER=v9.9"), QByteArray("=orphan"),
                                    QByteArray(), QByteArray("flag"), QByteArray("eq=a=b")}) {
        txt += char(entry.size()) + entry;
    }
    const QByteArray packet = header(0x8400, 0, 1) + rr(Local, TXT, txt);
    Message parsed;
    QVERIFY(parsePacket(packet, &parsed));
    const auto attributes = parsed.records().first().attributes();
    // RFC 6763 6.4: the first of a repeated key wins (compared without case); no key, no entry.
    QCOMPARE(attributes.keys(), (QList<QByteArray>{"api_ver", "eq", "flag"}));
    QCOMPARE(attributes.value("api_ver"), QByteArray("v1.3"));
    QCOMPARE(attributes.value("eq"), QByteArray("a=b"));
    QVERIFY(attributes.value("flag").isNull());
}

void tst_Dns::rejectsMalformedPacket_data()
{
    QTest::addColumn<QByteArray>("packet");
    const QByteArray question = Local + u16(A) + u16(1);

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("short header") << header(0, 0, 0).left(11);
    QTest::newRow("question count lies") << header(0, 2, 0) + question;
    QTest::newRow("answer count lies") << header(0x8400, 0, 2) + rr(Local, A, u32(1));
    QTest::newRow("truncated question") << header(0, 1, 0) + question.left(question.size() - 1);
    QTest::newRow("truncated name") << header(0, 1, 0) + QByteArray("\x04ho", 3);
    QTest::newRow("name without end") << header(0, 1, 0) + QByteArray("\x04host", 5);
    QTest::newRow("truncated record header") << header(0x8400, 0, 1) + Local + u16(A) + u16(1) + u32(120);
    QTest::newRow("rdata runs past packet") << header(0x8400, 0, 1) + Local + u16(A) + u16(1) + u32(120) + u16(8) + u32(1);
    QTest::newRow("pointer to itself") << header(0, 1, 0) + u16(0xC00C) + u16(A) + u16(1);
    QTest::newRow("pointer forward") << header(0, 1, 0) + u16(0xC010) + u16(A) + u16(1) + Local;
    QTest::newRow("pointer loop of two") << header(0, 2, 0) + QByteArray("\x01" "a", 2) + u16(0xC014) + u16(A) + u16(1)
            + QByteArray("\x01" "b", 2) + u16(0xC00C) + u16(A) + u16(1);
    QTest::newRow("loop through a backward pointer") << header(0, 1, 0) + QByteArray("\x01" "c", 2) + u16(0xC00C) + u16(A) + u16(1);
    QTest::newRow("pointer past packet") << header(0, 1, 0) + u16(0xFFFF) + u16(A) + u16(1);
    QTest::newRow("truncated pointer") << header(0, 1, 0) + QByteArray("\xC0", 1);
    QTest::newRow("label of 64 (extended label type)") << header(0, 1, 0) + char(64) + QByteArray(64, 'a') + '\0' + u16(A) + u16(1);
    QTest::newRow("reserved label type 0x80") << header(0, 1, 0) + char(0x81) + QByteArray("a", 1) + '\0' + u16(A) + u16(1);
    {
        QByteArray longName;
        for (int i = 0; i < 5; ++i)
            longName += char(63) + QByteArray(63, 'x');
        QTest::newRow("name over 255") << header(0, 1, 0) + longName + '\0' + u16(A) + u16(1);
        // The same, assembled by pointers: 4 * 64 + 1 bytes from three chained suffixes.
        QByteArray chained = header(0x8400, 0, 3);
        const QByteArray label = char(63) + QByteArray(63, 'y');
        chained += rr(label + label + '\0', A, u32(1));
        chained += rr(label + u16(0xC00C), A, u32(1));
        chained += rr(label + u16(quint16(0xC000 | (12 + 2 * 64 + 1 + 14))), A, u32(1));
        QTest::newRow("name over 255 through pointers") << chained;
    }
    QTest::newRow("A rdata of 5") << header(0x8400, 0, 1) + rr(Local, A, u32(1) + 'x');
    QTest::newRow("A rdata of 3") << header(0x8400, 0, 1) + rr(Local, A, u32(1).left(3));
    QTest::newRow("AAAA rdata of 4") << header(0x8400, 0, 1) + rr(Local, AAAA, u32(1));
    QTest::newRow("SRV too short") << header(0x8400, 0, 1) + rr(Local, SRV, u16(0) + u16(0) + u16(80));
    QTest::newRow("SRV name past rdata") << header(0x8400, 0, 1) + rr(Local, SRV, u16(0) + u16(0) + u16(80) + QByteArray("\x04ho", 3))
            + QByteArray("st\0", 3);
    QTest::newRow("PTR with trailing bytes") << header(0x8400, 0, 1) + rr(Local, PTR, Local + "xx");
    QTest::newRow("TXT string past rdata") << header(0x8400, 0, 1) + rr(Local, TXT, QByteArray("\x05" "ab", 3)) + QByteArray("cd");
    QTest::newRow("NSEC window length 0") << header(0x8400, 0, 1) + rr(Local, NSEC, Local + '\0' + '\0');
    QTest::newRow("NSEC window length 33") << header(0x8400, 0, 1) + rr(Local, NSEC, Local + '\0' + char(33) + QByteArray(33, '\xff'));
    QTest::newRow("NSEC windows out of order") << header(0x8400, 0, 1)
            + rr(Local, NSEC, Local + char(1) + char(1) + char(0x40) + char(0) + char(1) + char(0x40));
    QTest::newRow("NSEC bitmap past rdata") << header(0x8400, 0, 1) + rr(Local, NSEC, Local + '\0' + char(4) + 'a');
    QTest::newRow("opcode not QUERY") << header(0x2800, 0, 1) + rr(Local, A, u32(1));
    QTest::newRow("response code set") << header(0x8403, 0, 1) + rr(Local, A, u32(1));
    QTest::newRow("good record then bad one") << header(0x8400, 0, 2) + rr(Local, A, u32(1)) + rr(Local, AAAA, u32(1));
}

void tst_Dns::rejectsMalformedPacket()
{
    QFETCH(QByteArray, packet);
    Message message;
    message.setTransactionId(77);
    Record untouched("keep.local.", A, 1);
    message.addRecord(untouched);
    QString error;
    QVERIFY(!parsePacket(packet, &message, &error));
    QVERIFY(!error.isEmpty());
    // Nothing half-applied: the caller's message is as it was.
    QCOMPARE(message.transactionId(), quint16(77));
    QCOMPARE(message.records().size(), 1);
    QCOMPARE(message.records().first().name(), QByteArray("keep.local."));
}

void tst_Dns::refusesToEncodeInvalid_data()
{
    QTest::addColumn<Record>("record");
    QTest::newRow("label of 64") << Record(QByteArray(64, 'a') + ".local.", A, 1);
    QByteArray longName;
    for (int i = 0; i < 5; ++i)
        longName += QByteArray(60, 'b') + '.';
    QTest::newRow("name over 255") << Record(longName, PTR, 1);
    QTest::newRow("empty label") << Record("a..local.", PTR, 1);
    Record wrongFamily("host.local.", A, 1);
    wrongFamily.setAddress(QHostAddress("fd77::1"));
    QTest::newRow("A with IPv6 address") << wrongFamily;
    Record noAddress("host.local.", AAAA, 1);
    QTest::newRow("AAAA without address") << noAddress;
    Record bigTxt("x._http._tcp.local.", TXT, 1);
    bigTxt.addAttribute("k", QByteArray(300, 'v'));
    QTest::newRow("TXT entry over 255") << bigTxt;
}

void tst_Dns::refusesToEncodeInvalid()
{
    QFETCH(Record, record);
    if (record.type() == A && record.address().isNull())
        record.setAddress(QHostAddress("10.0.0.1"));
    Message message;
    message.setResponse(true);
    message.addRecord(record);
    QByteArray packet("unchanged");
    QString error;
    QVERIFY(!toPacket(message, &packet, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(packet, QByteArray("unchanged"));
}

void tst_Dns::escapesDotsInLabels()
{
    QCOMPARE(nameLabels("My\\.Printer._ipp._tcp.local."),
             (QList<QByteArray>{"My.Printer", "_ipp", "_tcp", "local"}));
    QCOMPARE(labelsToName({"a.b", "c\\d", "local"}), QByteArray("a\\.b.c\\\\d.local."));
    QCOMPARE(labelsToName({}), QByteArray("."));
    QVERIFY(nameLabels(".").isEmpty());
}

void tst_Dns::comparesNamesWithoutCase()
{
    QVERIFY(sameName("Studio-GW-1.LOCAL.", "studio-gw-1.local"));
    QVERIFY(!sameName("studio-gw-1.local.", "studio-gw-2.local."));
    QVERIFY(!sameName("a\\..local.", "a.local."));
}

void tst_Dns::replaysFuzzCorpus()
{
    // Every packet that once mattered to the fuzzer goes through the parser here too, so
    // the builds without clang keep checking them.
    QDir corpus(QStringLiteral(FERROLINK_SOURCE_DIR "/fuzz/corpus"));
    const auto files = corpus.entryList(QDir::Files);
    QVERIFY2(files.size() >= 5, "the seed corpus is missing");
    int parsedCount = 0;
    for (const QString &name : files) {
        QFile file(corpus.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray packet = file.readAll();
        Message message;
        if (!parsePacket(packet, &message))
            continue;
        ++parsedCount;
        // What parses must encode again and read back the same.
        QByteArray again;
        QString error;
        QVERIFY2(toPacket(message, &again, &error), qPrintable(name + QLatin1String(": ") + error));
        Message reparsed;
        QVERIFY2(parsePacket(again, &reparsed, &error), qPrintable(name + QLatin1String(": ") + error));
        QVERIFY2(messagesEqual(message, reparsed), qPrintable(name));
    }
    QVERIFY(parsedCount > 0);
}

QTEST_GUILESS_MAIN(tst_Dns)
#include "tst_dns.moc"
