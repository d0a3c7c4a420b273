#include "mdns/dns.h"
#include "mdns/message.h"
#include "tests/support/mdnsfakeserver.h"

#include <QFile>
#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

namespace {

QByteArray u16(quint16 v)
{
    return QByteArray(1, char(v >> 8)) + char(v & 0xFF);
}

QByteArray u32(quint32 v)
{
    return u16(quint16(v >> 16)) + u16(quint16(v));
}

QByteArray header(quint16 flags, quint16 qd, quint16 an)
{
    return u16(0) + u16(flags) + u16(qd) + u16(an) + u32(0);
}

QByteArray rr(const QByteArray &name, quint16 type, const QByteArray &rdata, quint16 cls = 1)
{
    return name + u16(type) + u16(cls) + u32(120) + u16(quint16(rdata.size())) + rdata;
}

const QByteArray Local("\x04host\x05local", 12);  // "host.local." in wire form
const QByteArray NodeType = "_nmos-node._tcp.local.";

bool messagesEqual(const Message &a, const Message &b)
{
    return a.isResponse() == b.isResponse() && a.isTruncated() == b.isTruncated()
        && a.transactionId() == b.transactionId() && a.queries() == b.queries() && a.records() == b.records()
        && a.authorityRecords() == b.authorityRecords() && a.additionalRecords() == b.additionalRecords();
}

// One question for A records, with the given name in wire form.
QByteArray question(const QByteArray &name)
{
    return header(0, 1, 0) + name + u16(A) + u16(1);
}

} // namespace

class tst_Dns : public QObject
{
    Q_OBJECT

private slots:
    void roundTripsRecords_data();
    void roundTripsRecords();
    void readsTxtAndNamesByDnsSdRules();
    void readsHostilePacket_data();
    void readsHostilePacket();
};

void tst_Dns::roundTripsRecords_data()
{
    QTest::addColumn<Record>("record");
    QTest::addColumn<bool>("valid");
    // Plain A, AAAA, PTR, SRV and TXT records make the round trip in the replay of the
    // captured packets (fuzz/corpus); here what those lack.
    Record service = srv("studio-gw-1." + NodeType, "studio-gw-1.local.", 8080);
    service.setPriority(1);
    service.setWeight(2);
    QTest::newRow("SRV") << service << true;
    QTest::newRow("TXT with null and empty values")
        << txt("studio-gw-1." + NodeType, {{"api_ver", "v1.2,v1.3"}, {"flag", QByteArray()}, {"empty", QByteArray("")}}) << true;
    QTest::newRow("empty TXT") << txt("x._http._tcp.local.", {}) << true;
    Record opaque("host.local.", 99, 60);
    opaque.setData(QByteArray("\x00\x01\xff opaque", 10));
    QTest::newRow("unknown type") << opaque << true;
    QTest::newRow("escaped dot and backslash") << ptr("My\\.Printer._ipp._tcp.local.", "a\\\\b._ipp._tcp.local.", 10) << true;
    // Refused on the way out, leaving the packet alone:
    QTest::newRow("label of 64") << address(QByteArray(64, 'a') + ".local.", "10.0.0.1") << false;
    QTest::newRow("name over 255") << ptr((QByteArray(60, 'b') + '.').repeated(5), "x.local.") << false;
    QTest::newRow("empty label") << ptr("a..local.", "x.local.") << false;
    Record wrongFamily = address("host.local.", "fd77::1");
    wrongFamily.setType(A);
    QTest::newRow("A with IPv6 address") << wrongFamily << false;
    QTest::newRow("AAAA without address") << Record("host.local.", AAAA, 1) << false;
    QTest::newRow("TXT entry over 255") << txt("x._http._tcp.local.", {{"k", QByteArray(300, 'v')}}) << false;
}

void tst_Dns::roundTripsRecords()
{
    QFETCH(Record, record);
    QFETCH(bool, valid);
    // A query with known answers, probe records and additionals: every section and flag.
    Message message, parsed;
    message.setTransactionId(0x1234);
    message.setTruncated(true);
    message.addQuery(Query(NodeType, PTR, true));
    message.addQuery(Query("host.local.", ANY));
    message.addRecord(record);
    message.addAuthorityRecord(record);
    message.addAdditionalRecord(record);
    QByteArray packet("unchanged");
    QString error;
    QCOMPARE(toPacket(message, &packet, &error) && error.isEmpty(), valid);
    QCOMPARE(packet == "unchanged", !valid);
    QVERIFY(!valid || (parsePacket(packet, &parsed, &error) && messagesEqual(parsed, message)));
    // null and empty TXT values travel as "key" and "key="
    const auto attributes = parsed.records().value(0).attributes();
    for (auto i = attributes.cbegin(); i != attributes.cend(); ++i)
        QCOMPARE(i.value().isNull(), record.attributes().value(i.key()).isNull());
}

void tst_Dns::readsTxtAndNamesByDnsSdRules()
{
    QByteArray txt;
    for (const QByteArray &entry : {QByteArray("api_ver=v1.3"), QByteArray("API_VER=v9.9"), QByteArray("=orphan"),
                                    QByteArray(), QByteArray("flag"), QByteArray("eq=a=b")}) {
        txt += char(entry.size()) + entry;
    }
    Message parsed;
    QVERIFY(parsePacket(header(0x8400, 0, 1) + rr(Local, TXT, txt), &parsed));
    const auto attributes = parsed.records().first().attributes();
    // RFC 6763 6.4: the first of a repeated key wins (compared without case); no key, no entry.
    QCOMPARE(attributes, (QMap<QByteArray, QByteArray>{{"api_ver", "v1.3"}, {"eq", "a=b"}, {"flag", QByteArray()}}));
    QVERIFY(attributes.value("flag").isNull());
    // Names compare without case, and an escaped dot is not a label's end.
    QCOMPARE(nameLabels("My\\.Printer._ipp._tcp.local."), (QList<QByteArray>{"My.Printer", "_ipp", "_tcp", "local"}));
    QVERIFY(sameName("Studio-GW-1.LOCAL.", "studio-gw-1.local") && !sameName("a\\..local.", "a.local."));
}

void tst_Dns::readsHostilePacket_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QString>("kept");  // the types of the records read, all sections; or "rejected"

    QTest::newRow("empty") << QByteArray() << "rejected";
    QTest::newRow("short header") << header(0, 0, 0).left(11) << "rejected";
    QTest::newRow("question count lies") << header(0, 2, 0) + Local + u16(A) + u16(1) << "rejected";
    QTest::newRow("answer count lies") << header(0x8400, 0, 2) + rr(Local, A, u32(1)) << "rejected";
    QTest::newRow("truncated question") << question(Local).chopped(1) << "rejected";
    QTest::newRow("truncated name") << header(0, 1, 0) + QByteArray("\x04ho", 3) << "rejected";
    QTest::newRow("name without end") << header(0, 1, 0) + QByteArray("\x04host", 5) << "rejected";
    QTest::newRow("truncated record header") << header(0x8400, 0, 1) + Local + u16(A) + u16(1) + u32(120) << "rejected";
    QTest::newRow("rdata runs past packet") << header(0x8400, 0, 1) + Local + u16(A) + u16(1) + u32(120) + u16(8) + u32(1) << "rejected";
    QTest::newRow("pointer to itself") << question(u16(0xC00C)) << "rejected";
    QTest::newRow("pointer forward") << question(u16(0xC010)) + Local << "rejected";
    QTest::newRow("loop through a backward pointer") << question(QByteArray("\x01" "c", 2) + u16(0xC00C)) << "rejected";
    QTest::newRow("truncated pointer") << header(0, 1, 0) + QByteArray("\xC0", 1) << "rejected";
    QTest::newRow("label of 64 (extended label type)") << question(char(64) + QByteArray(64, 'a') + '\0') << "rejected";
    const QByteArray label = char(63) + QByteArray(63, 'y');
    QTest::newRow("name over 255") << question(label.repeated(5) + '\0') << "rejected";
    // The same, assembled by pointers: 4 * 64 + 1 bytes from three chained suffixes.
    QTest::newRow("name over 255 through pointers") << header(0x8400, 0, 3) + rr(label + label + '\0', A, u32(1))
            + rr(label + u16(0xC00C), A, u32(1)) + rr(label + u16(quint16(0xC000 | (12 + 2 * 64 + 1 + 14))), A, u32(1)) << "rejected";
    // Faults no length field can contain, inside rdata: the sender cannot be trusted.
    QTest::newRow("pointer loop in PTR rdata") << header(0x8400, 0, 1) + rr(Local, PTR, u16(0xC000 | 34)) << "rejected";
    QTest::newRow("opcode not QUERY") << header(0x2800, 0, 1) + rr(Local, A, u32(1)) << "rejected";
    QTest::newRow("response code set") << header(0x8403, 0, 1) + rr(Local, A, u32(1)) << "rejected";
    // A record with bad rdata is left out, the rest of the packet read.
    // A bad record framed by its length, between two good ones.
    const auto between = [](const QByteArray &bad) {
        return header(0x8400, 0, 3) + rr(Local, A, u32(1)) + bad + rr(Local, AAAA, QByteArray(16, '\1'));
    };
    const QString aroundIt = QStringLiteral("A AAAA");
    QTest::newRow("A rdata of 5") << between(rr(Local, A, u32(1) + 'x')) << aroundIt;
    QTest::newRow("A rdata of 3") << between(rr(Local, A, u32(1).left(3))) << aroundIt;
    QTest::newRow("AAAA rdata of 4") << between(rr(Local, AAAA, u32(1))) << aroundIt;
    QTest::newRow("SRV too short") << between(rr(Local, SRV, u16(0) + u16(0) + u16(80))) << aroundIt;
    QTest::newRow("SRV name past rdata") << between(rr(Local, SRV, u16(0) + u16(0) + u16(80) + QByteArray("\x04ho", 3)))
                                         << aroundIt;
    QTest::newRow("PTR with trailing bytes") << between(rr(Local, PTR, Local + "xx")) << aroundIt;
    QTest::newRow("PTR with reserved label type") << between(rr(Local, PTR, QByteArray("\x81" "a", 3))) << aroundIt;
    QTest::newRow("TXT string past rdata") << between(rr(Local, TXT, QByteArray("\x05" "ab", 3))) << aroundIt;
    QTest::newRow("NSEC bitmap past rdata") << between(rr(Local, NSEC, Local + '\0' + char(4) + 'a')) << aroundIt;
    // python3-zeroconf 0.47 answering for a host of one address family: its NSEC carries
    // 16-bit window and length fields (and names the missing type, not the present ones).
    const auto captured = [](const char *name) {
        QFile file(QStringLiteral(FERROLINK_SOURCE_DIR "/fuzz/corpus/") + QLatin1String(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTest::newRow("zeroconf, IPv4 only") << captured("zeroconf-nsec16-ipv4-only.bin") << "PTR TXT SRV A";
    QTest::newRow("zeroconf, IPv6 only") << captured("zeroconf-nsec16-ipv6-only.bin") << "PTR TXT AAAA SRV";
}

void tst_Dns::readsHostilePacket()
{
    QFETCH(QByteArray, packet);
    QFETCH(QString, kept);
    Message message;
    message.setTransactionId(77);
    message.addRecord(address("keep.local.", "10.0.0.1"));
    const Message before = message;
    QString error;
    if (kept == "rejected") {
        QVERIFY(!parsePacket(packet, &message, &error) && !error.isEmpty());
        QVERIFY(messagesEqual(message, before));  // nothing half-applied
        return;
    }
    QVERIFY2(parsePacket(packet, &message, &error), qPrintable(error));
    QStringList types;
    for (const Record &record : message.records() + message.additionalRecords())
        types << typeName(record.type());
    QCOMPARE(types.join(' '), kept);
}

QTEST_GUILESS_MAIN(tst_Dns)
#include "tst_dns.moc"
