#include "mdns/message.h"

#include "mdns/dns.h"

namespace QMdnsEngine {

bool Query::operator==(const Query &other) const
{
    return m_name == other.m_name && m_type == other.m_type && m_unicastResponse == other.m_unicastResponse;
}

QList<Record> Message::receivedRecords() const
{
    QList<Record> all = m_records + m_additionalRecords;
    if (m_interfaceName.isEmpty())
        return all;
    // A link-local address means nothing without the link it was learnt on.
    for (Record &record : all) {
        if (record.type() == AAAA && record.address().isLinkLocal() && record.address().scopeId().isEmpty()) {
            QHostAddress scoped = record.address();
            scoped.setScopeId(m_interfaceName);
            record.setAddress(scoped);
        }
    }
    return all;
}

} // namespace QMdnsEngine
