#ifndef QMDNSENGINE_DNS_H
#define QMDNSENGINE_DNS_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

namespace QMdnsEngine {

class Message;

// Record types this library understands; any other type is kept as opaque data.
enum RecordType : quint16 {
    A = 1,
    PTR = 12,
    TXT = 16,
    AAAA = 28,
    SRV = 33,
    NSEC = 47,
    ANY = 255,
};

const quint16 MdnsPort = 5353;
QHostAddress mdnsIpv4Address();
QHostAddress mdnsIpv6Address();

// The DNS-SD meta-query name (RFC 6763 9).
extern const char ServicesType[];

// Largest packet we build; leaves room for IPv6 and UDP headers in a 1500-byte MTU.
const int MaxPacketSize = 1440;

// Reads a whole DNS message. Fails (and leaves *message alone) when the framing is broken:
// anything out of bounds, a compression pointer that does not point backwards, a reserved
// label type outside rdata, a name over 255 bytes, a count that promises more than the
// packet holds; or on a non-zero opcode or response code. A record whose rdata does not
// hold what its type promises, while its length keeps it inside the packet, is left out
// (and logged at debug level) and the rest of the message is kept.
bool parsePacket(const QByteArray &packet, Message *message, QString *errorString = nullptr);

// Writes a message with name compression. Fails on a label over 63 bytes, a name over
// 255 bytes, a TXT string over 255 bytes or a count over 65535.
bool toPacket(const Message &message, QByteArray *packet, QString *errorString = nullptr);

// Names are dotted text with a trailing dot; a "." or "\" inside a label is escaped with "\".
QList<QByteArray> nameLabels(const QByteArray &name);
QByteArray labelsToName(const QList<QByteArray> &labels);
// Case-folded (ASCII) form for comparing names, with the trailing dot ensured.
QByteArray nameKey(const QByteArray &name);
bool sameName(const QByteArray &a, const QByteArray &b);

QString typeName(quint16 type);

} // namespace QMdnsEngine

#endif // QMDNSENGINE_DNS_H
