#ifndef QMDNSENGINE_SERVICE_H
#define QMDNSENGINE_SERVICE_H

#include <QByteArray>
#include <QMap>
#include <QMetaType>

namespace QMdnsEngine {

// One DNS-SD service instance: what a browser reports and a responder announces.
class Service
{
public:
    QByteArray type() const { return m_type; }
    void setType(const QByteArray &type) { m_type = type; }

    // The instance label alone ("studio-gw-1"), not the full instance name.
    QByteArray name() const { return m_name; }
    void setName(const QByteArray &name) { m_name = name; }

    QByteArray hostname() const { return m_hostname; }
    void setHostname(const QByteArray &hostname) { m_hostname = hostname; }

    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }

    // TXT entries by key; a key given without "=" has a null value.
    QMap<QByteArray, QByteArray> attributes() const { return m_attributes; }
    void setAttributes(const QMap<QByteArray, QByteArray> &attributes) { m_attributes = attributes; }
    void addAttribute(const QByteArray &key, const QByteArray &value) { m_attributes.insert(key, value); }
    // The value of a TXT key, which DNS-SD compares without case ("API_Ver" is "api_ver");
    // *found (when given) tells a missing key from an empty value.
    QByteArray attribute(const QByteArray &key, bool *found = nullptr) const;

    // The full DNS name of the instance ("studio-gw-1._nmos-node._tcp.local.").
    QByteArray instanceName() const;

    bool operator==(const Service &other) const;
    bool operator!=(const Service &other) const { return !(*this == other); }

private:
    QByteArray m_type;
    QByteArray m_name;
    QByteArray m_hostname;
    quint16 m_port = 0;
    QMap<QByteArray, QByteArray> m_attributes;
};

// QByteArray's == treats null and empty alike; TXT keeps "key" and "key=" apart.
bool sameAttributes(const QMap<QByteArray, QByteArray> &a, const QMap<QByteArray, QByteArray> &b);

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Service)

#endif // QMDNSENGINE_SERVICE_H
