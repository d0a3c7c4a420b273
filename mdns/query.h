#ifndef QMDNSENGINE_QUERY_H
#define QMDNSENGINE_QUERY_H

#include <QByteArray>
#include <QMetaType>

namespace QMdnsEngine {

// One question of a DNS message.
class Query
{
public:
    Query() = default;
    Query(const QByteArray &name, quint16 type, bool unicastResponse = false)
        : m_name(name), m_type(type), m_unicastResponse(unicastResponse) {}

    QByteArray name() const { return m_name; }
    void setName(const QByteArray &name) { m_name = name; }

    quint16 type() const { return m_type; }
    void setType(quint16 type) { m_type = type; }

    // The QU bit (RFC 6762 5.4): the asker would like a unicast answer.
    bool unicastResponse() const { return m_unicastResponse; }
    void setUnicastResponse(bool unicastResponse) { m_unicastResponse = unicastResponse; }

    bool operator==(const Query &other) const;

private:
    QByteArray m_name;
    quint16 m_type = 0;
    bool m_unicastResponse = false;
};

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Query)

#endif // QMDNSENGINE_QUERY_H
