#ifndef QMDNSENGINE_RECORD_H
#define QMDNSENGINE_RECORD_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMetaType>

namespace QMdnsEngine {

// One resource record (class IN). Which data fields count depends on the type:
// A/AAAA address; PTR target; SRV priority, weight, port, target; TXT attributes;
// NSEC target (next domain name) and types; any other type keeps its rdata in data().
class Record
{
public:
    Record() = default;
    Record(const QByteArray &name, quint16 type, quint32 ttl = 0)
        : m_name(name), m_type(type), m_ttl(ttl) {}

    QByteArray name() const { return m_name; }
    void setName(const QByteArray &name) { m_name = name; }

    quint16 type() const { return m_type; }
    void setType(quint16 type) { m_type = type; }

    // The cache-flush bit (RFC 6762 10.2): this set of records replaces older ones.
    bool flushCache() const { return m_flushCache; }
    void setFlushCache(bool flushCache) { m_flushCache = flushCache; }

    quint32 ttl() const { return m_ttl; }
    void setTtl(quint32 ttl) { m_ttl = ttl; }

    QHostAddress address() const { return m_address; }
    void setAddress(const QHostAddress &address) { m_address = address; }

    QByteArray target() const { return m_target; }
    void setTarget(const QByteArray &target) { m_target = target; }

    quint16 priority() const { return m_priority; }
    void setPriority(quint16 priority) { m_priority = priority; }
    quint16 weight() const { return m_weight; }
    void setWeight(quint16 weight) { m_weight = weight; }
    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }

    QMap<QByteArray, QByteArray> attributes() const { return m_attributes; }
    void setAttributes(const QMap<QByteArray, QByteArray> &attributes) { m_attributes = attributes; }
    void addAttribute(const QByteArray &key, const QByteArray &value) { m_attributes.insert(key, value); }

    QList<quint16> types() const { return m_types; }
    void setTypes(const QList<quint16> &types) { m_types = types; }

    QByteArray data() const { return m_data; }
    void setData(const QByteArray &data) { m_data = data; }

    // Same owner name (case-insensitive), type and rdata; TTL and cache-flush bit ignored.
    bool sameData(const Record &other) const;
    bool operator==(const Record &other) const;
    bool operator!=(const Record &other) const { return !(*this == other); }

private:
    QByteArray m_name;
    quint16 m_type = 0;
    bool m_flushCache = false;
    quint32 m_ttl = 0;
    QHostAddress m_address;
    QByteArray m_target;
    quint16 m_priority = 0;
    quint16 m_weight = 0;
    quint16 m_port = 0;
    QMap<QByteArray, QByteArray> m_attributes;
    QList<quint16> m_types;
    QByteArray m_data;
};

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Record)

#endif // QMDNSENGINE_RECORD_H
