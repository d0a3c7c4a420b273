#include "mdns/service.h"

namespace QMdnsEngine {

QByteArray Service::instanceName() const
{
    // Asked for on every packet by every responder of a simulated facility: most names need
    // no escaping, and replace() searches even when there is nothing to replace.
    if (!m_name.contains('\\') && !m_name.contains('.'))
        return m_name + '.' + m_type;
    QByteArray label = m_name;
    label.replace('\\', "\\\\");
    label.replace('.', "\\.");
    return label + '.' + m_type;
}

QByteArray Service::attribute(const QByteArray &key, bool *found) const
{
    for (auto it = m_attributes.cbegin(); it != m_attributes.cend(); ++it) {
        if (it.key().compare(key, Qt::CaseInsensitive) == 0) {
            if (found)
                *found = true;
            return it.value();
        }
    }
    if (found)
        *found = false;
    return QByteArray();
}

bool Service::operator==(const Service &other) const
{
    return m_type == other.m_type && m_name == other.m_name && m_hostname == other.m_hostname
        && m_port == other.m_port && sameAttributes(m_attributes, other.m_attributes);
}

bool sameAttributes(const QMap<QByteArray, QByteArray> &a, const QMap<QByteArray, QByteArray> &b)
{
    if (a != b)
        return false;
    for (auto i = a.cbegin(), j = b.cbegin(); i != a.cend(); ++i, ++j) {
        if (i.value().isNull() != j.value().isNull())
            return false;
    }
    return true;
}

} // namespace QMdnsEngine
