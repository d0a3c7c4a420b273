#ifndef MDNSFAKESERVER_H
#define MDNSFAKESERVER_H

#include "mdns/abstractserver.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/message.h"
#include "tests/support/mdnsfakeclock.h"

#include <QMap>
#include <QtTest>

// Stands in for the sockets: records what the class under test sends and hands it
// messages as if they came from the link. Sent messages go through the codec, so a
// message that could not be encoded fails the test instead of passing unnoticed.
class MdnsFakeServer : public QMdnsEngine::AbstractServer
{
public:
    struct Sent {
        QMdnsEngine::Message message;
        int size = 0;
    };

    void sendMessage(const QMdnsEngine::Message &message) override { record(message); }
    void sendMessageToAll(const QMdnsEngine::Message &message) override { record(message); }
    void sendOneShotQuery(const QMdnsEngine::Message &message) override { oneShots.append(message); }
    QStringList interfaceNames() const override { return m_addresses.keys(); }
    QList<QHostAddress> interfaceAddresses(const QString &name) const override { return m_addresses.value(name); }

    void setInterface(const QString &name, const QList<QHostAddress> &addresses) { m_addresses.insert(name, addresses); }
    void deliver(const QMdnsEngine::Message &message) { emit messageReceived(message); }
    void appear(const QString &name) { emit interfaceAppeared(name); }

    // How many sent questions asked for that name and type.
    int questionCount(const QByteArray &name, quint16 type) const
    {
        int count = 0;
        for (const Sent &s : sent) {
            for (const QMdnsEngine::Query &query : s.message.queries())
                count += QMdnsEngine::sameName(query.name(), name) && query.type() == type;
        }
        return count;
    }

    QList<Sent> sent;
    QList<QMdnsEngine::Message> oneShots;

private:
    void record(const QMdnsEngine::Message &message)
    {
        QByteArray packet;
        QVERIFY2(QMdnsEngine::toPacket(message, &packet), "a sent message could not be encoded");
        sent.append({message, int(packet.size())});
    }

    QMap<QString, QList<QHostAddress>> m_addresses;
};

// A fake link and a cache that keeps time by a hand-moved clock.
struct MdnsFakeLink {
    MdnsFakeLink() { cache.setClock(&clock); }
    MdnsFakeClock clock;
    MdnsFakeServer server;
    QMdnsEngine::Cache cache;
};

// Records and responses as a responder on the test link would send them.
namespace MdnsRecords {

inline QMdnsEngine::Record ptr(const QByteArray &type, const QByteArray &target, quint32 ttl = 4500)
{
    QMdnsEngine::Record record(type, QMdnsEngine::PTR, ttl);
    record.setTarget(target);
    return record;
}

inline QMdnsEngine::Record srv(const QByteArray &instance, const QByteArray &host, quint16 port, quint32 ttl = 120,
                               bool flush = true)
{
    QMdnsEngine::Record record(instance, QMdnsEngine::SRV, ttl);
    record.setTarget(host);
    record.setPort(port);
    record.setFlushCache(flush);
    return record;
}

inline QMdnsEngine::Record txt(const QByteArray &instance, const QMap<QByteArray, QByteArray> &attributes)
{
    QMdnsEngine::Record record(instance, QMdnsEngine::TXT, 4500);
    record.setAttributes(attributes);
    record.setFlushCache(true);
    return record;
}

// A or AAAA, after the address's family.
inline QMdnsEngine::Record address(const QByteArray &name, const char *ip, quint32 ttl = 120, bool flush = false)
{
    const QHostAddress parsed(QString::fromLatin1(ip));
    QMdnsEngine::Record record(name, parsed.protocol() == QAbstractSocket::IPv6Protocol ? QMdnsEngine::AAAA : QMdnsEngine::A, ttl);
    record.setAddress(parsed);
    record.setFlushCache(flush);
    return record;
}

inline QMdnsEngine::Message response(const QList<QMdnsEngine::Record> &answers,
                                     const QList<QMdnsEngine::Record> &additionals = {},
                                     const QString &interfaceName = QStringLiteral("fl0"))
{
    QMdnsEngine::Message message;
    message.setResponse(true);
    message.setAddress(QHostAddress("10.77.0.2"));
    message.setPort(QMdnsEngine::MdnsPort);
    message.setInterfaceName(interfaceName);
    for (const QMdnsEngine::Record &record : answers)
        message.addRecord(record);
    for (const QMdnsEngine::Record &record : additionals)
        message.addAdditionalRecord(record);
    return message;
}

} // namespace MdnsRecords

#endif // MDNSFAKESERVER_H
