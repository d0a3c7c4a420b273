#include "mdns/record.h"

#include "mdns/dns.h"
#include "mdns/service.h"

namespace QMdnsEngine {

namespace {

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    return a == b && a.scopeId() == b.scopeId();
}

} // namespace

bool Record::sameData(const Record &other) const
{
    if (m_type != other.m_type || !sameName(m_name, other.m_name))
        return false;
    switch (m_type) {
    case A:
    case AAAA:
        return sameAddress(m_address, other.m_address);
    case PTR:
        return sameName(m_target, other.m_target);
    case SRV:
        return m_priority == other.m_priority && m_weight == other.m_weight && m_port == other.m_port
            && sameName(m_target, other.m_target);
    case TXT:
        return sameAttributes(m_attributes, other.m_attributes);
    case NSEC:
        return sameName(m_target, other.m_target) && m_types == other.m_types;
    default:
        return m_data == other.m_data;
    }
}

bool Record::operator==(const Record &other) const
{
    return m_name == other.m_name && m_type == other.m_type && m_flushCache == other.m_flushCache
        && m_ttl == other.m_ttl && sameAddress(m_address, other.m_address) && m_target == other.m_target
        && m_priority == other.m_priority && m_weight == other.m_weight && m_port == other.m_port
        && sameAttributes(m_attributes, other.m_attributes) && m_types == other.m_types
        && m_data == other.m_data;
}

} // namespace QMdnsEngine
