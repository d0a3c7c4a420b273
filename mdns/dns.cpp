#include "mdns/dns.h"

#include "mdns/logging_p.h"
#include "mdns/message.h"

#include <QHash>
#include <QSet>
#include <QtEndian>

#include <algorithm>

// Debug lines only on request (QT_LOGGING_RULES="ferrolink.mdns.debug=true"): every packet would make one.
Q_LOGGING_CATEGORY(lcMdns, "ferrolink.mdns", QtInfoMsg)

namespace QMdnsEngine {

const char ServicesType[] = "_services._dns-sd._udp.local.";

namespace {

const quint16 ClassIn = 1;
const quint16 ClassAny = 255;
const quint16 TopBit = 0x8000;
const int MaxNameLength = 255;  // on the wire, length bytes and the root label included
const int MaxLabelLength = 63;
const int HeaderSize = 12;

bool fail(QString *errorString, const QString &message)
{
    if (errorString)
        *errorString = message;
    return false;
}

QByteArray escapeLabel(const QByteArray &label)
{
    QByteArray escaped;
    escaped.reserve(label.size());
    for (char c : label) {
        if (c == '.' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

class Reader
{
public:
    explicit Reader(const QByteArray &packet)
        : m_data(reinterpret_cast<const uchar *>(packet.constData())), m_size(packet.size()) {}

    int size() const { return m_size; }

    bool read8(int *pos, int end, quint8 *value) const
    {
        if (*pos < 0 || end > m_size || *pos + 1 > end)
            return false;
        *value = m_data[*pos];
        *pos += 1;
        return true;
    }
    bool read16(int *pos, int end, quint16 *value) const
    {
        if (*pos < 0 || end > m_size || *pos + 2 > end)
            return false;
        *value = qFromBigEndian<quint16>(m_data + *pos);
        *pos += 2;
        return true;
    }
    bool read32(int *pos, int end, quint32 *value) const
    {
        if (*pos < 0 || end > m_size || *pos + 4 > end)
            return false;
        *value = qFromBigEndian<quint32>(m_data + *pos);
        *pos += 4;
        return true;
    }
    bool readBytes(int *pos, int end, int length, QByteArray *value) const
    {
        if (*pos < 0 || length < 0 || end > m_size || *pos + length > end)
            return false;
        *value = QByteArray(reinterpret_cast<const char *>(m_data + *pos), length);
        *pos += length;
        return true;
    }

    // The name's own bytes must lie before end; compression pointers may reach anywhere
    // earlier in the packet but must point strictly before every place already visited
    // for this name, so each jump goes further back and a loop cannot form.
    // *broken is set for faults no length field can contain (a pointer loop, a name over
    // 255 bytes): the sender's packet as a whole cannot be trusted then.
    bool readName(int *pos, int end, QByteArray *name, QString *errorString, bool *broken = nullptr) const
    {
        QList<QByteArray> labels;
        int p = *pos;
        int limit = end;
        int lowest = *pos;
        int wireLength = 0;
        bool jumped = false;
        for (;;) {
            if (p < 0 || p >= limit)
                return fail(errorString, QStringLiteral("name runs past its data"));
            const quint8 length = m_data[p];
            if ((length & 0xC0) == 0xC0) {
                if (p + 2 > limit)
                    return fail(errorString, QStringLiteral("truncated compression pointer"));
                const int target = ((length & 0x3F) << 8) | m_data[p + 1];
                if (target >= lowest) {
                    if (broken)
                        *broken = true;
                    return fail(errorString, QStringLiteral("compression pointer does not point backwards"));
                }
                if (!jumped)
                    *pos = p + 2;
                jumped = true;
                lowest = target;
                limit = m_size;
                p = target;
                continue;
            }
            if (length & 0xC0)
                return fail(errorString, QStringLiteral("reserved label type 0x%1").arg(length, 2, 16, QLatin1Char('0')));
            wireLength += 1 + length;
            if (wireLength > MaxNameLength) {
                if (broken)
                    *broken = true;
                return fail(errorString, QStringLiteral("name longer than 255 bytes"));
            }
            if (length == 0) {
                if (!jumped)
                    *pos = p + 1;
                break;
            }
            if (p + 1 + length > limit)
                return fail(errorString, QStringLiteral("label runs past its data"));
            labels.append(QByteArray(reinterpret_cast<const char *>(m_data + p + 1), length));
            p += 1 + length;
        }
        *name = labelsToName(labels);
        return true;
    }

private:
    const uchar *m_data;
    int m_size;
};

bool parseTxt(const Reader &reader, int pos, int end, Record *record)
{
    QMap<QByteArray, QByteArray> attributes;
    QSet<QByteArray> seen;
    while (pos < end) {
        quint8 length = 0;
        QByteArray entry;
        if (!reader.read8(&pos, end, &length) || !reader.readBytes(&pos, end, length, &entry))
            return false;
        // RFC 6763 6.4: an empty string or one without a key says nothing; a repeated key
        // (compared without case) is ignored after its first appearance.
        if (entry.isEmpty() || entry.startsWith('='))
            continue;
        const int equals = entry.indexOf('=');
        const QByteArray key = equals < 0 ? entry : entry.left(equals);
        const QByteArray folded = nameKey(key);
        if (seen.contains(folded))
            continue;
        seen.insert(folded);
        QByteArray value;
        if (equals >= 0) {
            value = entry.mid(equals + 1);
            if (value.isNull())
                value = QByteArray("");
        }
        attributes.insert(key, value);
    }
    record->setAttributes(attributes);
    return true;
}

bool parseNsecTypes(const Reader &reader, int pos, int end, Record *record)
{
    QList<quint16> types;
    int lastWindow = -1;
    while (pos < end) {
        quint8 window = 0;
        quint8 length = 0;
        QByteArray bitmap;
        if (!reader.read8(&pos, end, &window) || !reader.read8(&pos, end, &length))
            return false;
        if (window <= lastWindow || length < 1 || length > 32)
            return false;
        if (!reader.readBytes(&pos, end, length, &bitmap))
            return false;
        lastWindow = window;
        for (int i = 0; i < bitmap.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                if (quint8(bitmap.at(i)) & (0x80 >> bit))
                    types.append(quint16(window * 256 + i * 8 + bit));
            }
        }
    }
    record->setTypes(types);
    return true;
}

// Reads the rdata between start and end as its type says. Fails when it does not hold what
// the type promises; *broken as for Reader::readName.
bool parseRdata(const Reader &reader, int start, int end, Record *record, QString *errorString, bool *broken)
{
    const quint16 type = record->type();
    const int length = end - start;
    int p = start;
    bool ok = true;
    switch (type) {
    case A: {
        quint32 ipv4 = 0;
        ok = length == 4 && reader.read32(&p, end, &ipv4);
        record->setAddress(QHostAddress(ipv4));
        break;
    }
    case AAAA: {
        QByteArray bytes;
        ok = length == 16 && reader.readBytes(&p, end, 16, &bytes);
        if (ok)
            record->setAddress(QHostAddress(reinterpret_cast<const quint8 *>(bytes.constData())));
        break;
    }
    case PTR: {
        QByteArray target;
        ok = reader.readName(&p, end, &target, errorString, broken);
        record->setTarget(target);
        break;
    }
    case SRV: {
        quint16 priority = 0;
        quint16 weight = 0;
        quint16 port = 0;
        QByteArray target;
        ok = reader.read16(&p, end, &priority) && reader.read16(&p, end, &weight)
            && reader.read16(&p, end, &port) && reader.readName(&p, end, &target, errorString, broken);
        record->setPriority(priority);
        record->setWeight(weight);
        record->setPort(port);
        record->setTarget(target);
        break;
    }
    case TXT:
        ok = parseTxt(reader, p, end, record);
        p = end;
        break;
    case NSEC: {
        QByteArray next;
        ok = reader.readName(&p, end, &next, errorString, broken) && parseNsecTypes(reader, p, end, record);
        record->setTarget(next);
        p = end;
        break;
    }
    default: {
        QByteArray data;
        ok = reader.readBytes(&p, end, length, &data);
        record->setData(data);
        break;
    }
    }
    if (*broken)
        return false;
    if (!ok || p != end)
        return fail(errorString, QStringLiteral("malformed %1 rdata").arg(typeName(type)));
    return true;
}

// Reads one resource record. Fails only when the packet's framing is broken; a record that
// is framed but of no use (a class other than IN, rdata that does not parse) comes back
// with *keep false.
bool parseRecord(const Reader &reader, int *pos, Record *record, bool *keep, QString *errorString)
{
    QByteArray name;
    if (!reader.readName(pos, reader.size(), &name, errorString))
        return false;
    quint16 type = 0;
    quint16 cls = 0;
    quint32 ttl = 0;
    quint16 length = 0;
    if (!reader.read16(pos, reader.size(), &type) || !reader.read16(pos, reader.size(), &cls)
        || !reader.read32(pos, reader.size(), &ttl) || !reader.read16(pos, reader.size(), &length)) {
        return fail(errorString, QStringLiteral("truncated record header"));
    }
    const int start = *pos;
    const int end = start + length;
    if (end > reader.size())
        return fail(errorString, QStringLiteral("rdata runs past the packet"));

    record->setName(name);
    record->setType(type);
    record->setFlushCache(cls & TopBit);
    record->setTtl(ttl);

    QString why;
    bool broken = false;
    if (!parseRdata(reader, start, end, record, &why, &broken)) {
        if (broken)
            return fail(errorString, why);
        // Responders in the field get some rdata wrong (python3-zeroconf writes the NSEC
        // bitmap's window and length as 16-bit fields). The length still frames the record,
        // so the records beside it are sound; this one is treated as never sent.
        qCDebug(lcMdns) << "skipped" << typeName(type) << "record of" << name << why;
        *keep = false;
    } else {
        *keep = (cls & ~TopBit) == ClassIn;
    }
    *pos = end;
    return true;
}

class Writer
{
public:
    explicit Writer(QByteArray *out) : m_out(out) {}

    void write8(quint8 value) { m_out->append(char(value)); }
    void write16(quint16 value)
    {
        write8(quint8(value >> 8));
        write8(quint8(value));
    }
    void write32(quint32 value)
    {
        write16(quint16(value >> 16));
        write16(quint16(value));
    }
    void patch16(int pos, quint16 value)
    {
        (*m_out)[pos] = char(value >> 8);
        (*m_out)[pos + 1] = char(value);
    }

    bool writeName(const QByteArray &name, bool compress, QString *errorString)
    {
        const QList<QByteArray> labels = nameLabels(name);
        int wireLength = 1;
        for (const QByteArray &label : labels) {
            if (label.isEmpty())
                return fail(errorString, QStringLiteral("empty label in %1").arg(QString::fromUtf8(name)));
            if (label.size() > MaxLabelLength)
                return fail(errorString, QStringLiteral("label longer than 63 bytes in %1").arg(QString::fromUtf8(name)));
            wireLength += 1 + label.size();
        }
        if (wireLength > MaxNameLength)
            return fail(errorString, QStringLiteral("name longer than 255 bytes"));
        for (int i = 0; i < labels.size(); ++i) {
            QByteArray suffix;
            for (int j = i; j < labels.size(); ++j)
                suffix += char(labels.at(j).size()) + labels.at(j);
            if (compress) {
                const auto known = m_suffixes.constFind(suffix);
                if (known != m_suffixes.cend()) {
                    write16(quint16(0xC000 | *known));
                    return true;
                }
            }
            if (m_out->size() < 0x3FFF)
                m_suffixes.insert(suffix, m_out->size());
            write8(quint8(labels.at(i).size()));
            m_out->append(labels.at(i));
        }
        write8(0);
        return true;
    }

    bool writeRecord(const Record &record, QString *errorString)
    {
        if (!writeName(record.name(), true, errorString))
            return false;
        write16(record.type());
        write16(quint16(ClassIn | (record.flushCache() ? TopBit : 0)));
        write32(record.ttl());
        const int lengthPos = m_out->size();
        write16(0);
        const int start = m_out->size();
        switch (record.type()) {
        case A: {
            bool ok = false;
            const quint32 ipv4 = record.address().toIPv4Address(&ok);
            if (!ok)
                return fail(errorString, QStringLiteral("A record without an IPv4 address"));
            write32(ipv4);
            break;
        }
        case AAAA: {
            if (record.address().protocol() != QAbstractSocket::IPv6Protocol)
                return fail(errorString, QStringLiteral("AAAA record without an IPv6 address"));
            const Q_IPV6ADDR ipv6 = record.address().toIPv6Address();
            m_out->append(reinterpret_cast<const char *>(ipv6.c), 16);
            break;
        }
        case PTR:
            if (!writeName(record.target(), true, errorString))
                return false;
            break;
        case SRV:
            write16(record.priority());
            write16(record.weight());
            write16(record.port());
            if (!writeName(record.target(), true, errorString))
                return false;
            break;
        case TXT: {
            const auto attributes = record.attributes();
            // RFC 6763 6.1: an empty TXT record still holds one empty string.
            if (attributes.isEmpty())
                write8(0);
            for (auto i = attributes.cbegin(); i != attributes.cend(); ++i) {
                const QByteArray entry = i.value().isNull() ? i.key() : i.key() + '=' + i.value();
                if (entry.size() > 255)
                    return fail(errorString, QStringLiteral("TXT entry longer than 255 bytes"));
                write8(quint8(entry.size()));
                m_out->append(entry);
            }
            break;
        }
        case NSEC: {
            if (!writeName(record.target(), false, errorString))
                return false;
            QMap<int, QByteArray> windows;
            for (quint16 type : record.types()) {
                QByteArray &bitmap = windows[type >> 8];
                const int byte = (type & 0xFF) / 8;
                if (bitmap.size() <= byte)
                    bitmap.append(QByteArray(byte + 1 - bitmap.size(), '\0'));
                bitmap[byte] = char(quint8(bitmap.at(byte)) | (0x80 >> (type % 8)));
            }
            for (auto i = windows.cbegin(); i != windows.cend(); ++i) {
                write8(quint8(i.key()));
                write8(quint8(i.value().size()));
                m_out->append(i.value());
            }
            break;
        }
        default:
            m_out->append(record.data());
            break;
        }
        const int length = m_out->size() - start;
        if (length > 0xFFFF)
            return fail(errorString, QStringLiteral("rdata longer than 65535 bytes"));
        patch16(lengthPos, quint16(length));
        return true;
    }

private:
    QByteArray *m_out;
    QHash<QByteArray, int> m_suffixes;
};

} // namespace

QHostAddress mdnsIpv4Address()
{
    return QHostAddress(QStringLiteral("224.0.0.251"));
}

QHostAddress mdnsIpv6Address()
{
    return QHostAddress(QStringLiteral("ff02::fb"));
}

bool parsePacket(const QByteArray &packet, Message *message, QString *errorString)
{
    const Reader reader(packet);
    int pos = 0;
    quint16 id = 0;
    quint16 flags = 0;
    quint16 counts[4] = {};
    if (packet.size() < HeaderSize)
        return fail(errorString, QStringLiteral("packet shorter than a DNS header"));
    reader.read16(&pos, packet.size(), &id);
    reader.read16(&pos, packet.size(), &flags);
    for (quint16 &count : counts)
        reader.read16(&pos, packet.size(), &count);
    // RFC 6762 18.3, 18.11: other opcodes and non-zero response codes are ignored.
    if ((flags >> 11) & 0xF)
        return fail(errorString, QStringLiteral("opcode is not QUERY"));
    if (flags & 0xF)
        return fail(errorString, QStringLiteral("non-zero response code"));

    Message parsed;
    parsed.setTransactionId(id);
    parsed.setResponse(flags & TopBit);
    parsed.setTruncated(flags & 0x0200);
    for (int i = 0; i < counts[0]; ++i) {
        QByteArray name;
        quint16 type = 0;
        quint16 cls = 0;
        if (!reader.readName(&pos, packet.size(), &name, errorString))
            return false;
        if (!reader.read16(&pos, packet.size(), &type) || !reader.read16(&pos, packet.size(), &cls))
            return fail(errorString, QStringLiteral("truncated question"));
        const quint16 plainClass = cls & ~TopBit;
        if (plainClass == ClassIn || plainClass == ClassAny)
            parsed.addQuery(Query(name, type, cls & TopBit));
    }
    for (int section = 1; section < 4; ++section) {
        for (int i = 0; i < counts[section]; ++i) {
            Record record;
            bool keep = false;
            if (!parseRecord(reader, &pos, &record, &keep, errorString))
                return false;
            if (!keep)
                continue;
            if (section == 1)
                parsed.addRecord(record);
            else if (section == 2)
                parsed.addAuthorityRecord(record);
            else
                parsed.addAdditionalRecord(record);
        }
    }
    // Bytes after the last record are tolerated: they hold nothing we would act on.
    *message = parsed;
    return true;
}

bool toPacket(const Message &message, QByteArray *packet, QString *errorString)
{
    const QList<Query> queries = message.queries();
    const QList<Record> sections[3] = {message.records(), message.authorityRecords(),
                                       message.additionalRecords()};
    if (queries.size() > 0xFFFF || sections[0].size() > 0xFFFF || sections[1].size() > 0xFFFF
        || sections[2].size() > 0xFFFF) {
        return fail(errorString, QStringLiteral("too many entries for one message"));
    }
    QByteArray out;
    Writer writer(&out);
    writer.write16(message.transactionId());
    quint16 flags = 0;
    if (message.isResponse())
        flags |= TopBit | 0x0400;  // QR and AA: mDNS answers are always authoritative
    if (message.isTruncated())
        flags |= 0x0200;
    writer.write16(flags);
    writer.write16(quint16(queries.size()));
    for (const QList<Record> &records : sections)
        writer.write16(quint16(records.size()));
    for (const Query &query : queries) {
        if (!writer.writeName(query.name(), true, errorString))
            return false;
        writer.write16(query.type());
        writer.write16(quint16(ClassIn | (query.unicastResponse() ? TopBit : 0)));
    }
    for (const QList<Record> &records : sections) {
        for (const Record &record : records) {
            if (!writer.writeRecord(record, errorString))
                return false;
        }
    }
    *packet = out;
    return true;
}

QList<QByteArray> nameLabels(const QByteArray &name)
{
    QList<QByteArray> labels;
    QByteArray label;
    bool escaped = false;
    for (char c : name) {
        if (escaped) {
            label += c;
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '.') {
            labels.append(label);
            label.clear();
        } else {
            label += c;
        }
    }
    if (escaped)
        label += '\\';
    if (!label.isEmpty())
        labels.append(label);
    // "." alone is the root: no labels at all.
    if (labels.size() == 1 && labels.first().isEmpty() && name == ".")
        labels.clear();
    return labels;
}

QByteArray labelsToName(const QList<QByteArray> &labels)
{
    if (labels.isEmpty())
        return QByteArrayLiteral(".");
    QByteArray name;
    for (const QByteArray &label : labels)
        name += escapeLabel(label) + '.';
    return name;
}

namespace {

// The length of a name without its root dot: a final "." that no odd run of "\\" escapes.
int bareLength(const QByteArray &name)
{
    if (!name.endsWith('.'))
        return name.size();
    int backslashes = 0;
    for (int i = name.size() - 2; i >= 0 && name.at(i) == '\\'; --i)
        ++backslashes;
    return backslashes % 2 ? name.size() : name.size() - 1;
}

char folded(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

QByteArray nameKey(const QByteArray &name)
{
    const int length = bareLength(name);
    // Names on the wire are mostly lower case already: then the key shares the name's data.
    const bool lower = std::none_of(name.cbegin(), name.cbegin() + length, [](char c) { return c >= 'A' && c <= 'Z'; });
    if (lower && length < name.size())
        return name;
    QByteArray key(name.constData(), length);
    for (char &c : key)
        c = folded(c);
    key += '.';
    return key;
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    // Compared in place: every packet compares names many times over, and the keys of
    // both would cost two copies each time.
    if (a == b)
        return true;
    const int length = bareLength(a);
    if (length != bareLength(b))
        return false;
    for (int i = 0; i < length; ++i) {
        if (folded(a.at(i)) != folded(b.at(i)))
            return false;
    }
    return true;
}

QString typeName(quint16 type)
{
    switch (type) {
    case A: return QStringLiteral("A");
    case PTR: return QStringLiteral("PTR");
    case TXT: return QStringLiteral("TXT");
    case AAAA: return QStringLiteral("AAAA");
    case SRV: return QStringLiteral("SRV");
    case NSEC: return QStringLiteral("NSEC");
    case ANY: return QStringLiteral("ANY");
    default: return QStringLiteral("TYPE%1").arg(type);
    }
}

} // namespace QMdnsEngine
