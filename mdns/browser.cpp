#include "mdns/browser.h"

#include "mdns/abstractserver.h"
#include "mdns/cache.h"
#include "mdns/clock.h"
#include "mdns/dns.h"
#include "mdns/message.h"

namespace QMdnsEngine {

Browser::Browser(AbstractServer *server, const QByteArray &type, Cache *cache, QObject *parent)
    : QObject(parent), m_server(server), m_cache(cache ? cache : new Cache(this)), m_type(type)
{
    qRegisterMetaType<QMdnsEngine::Service>("QMdnsEngine::Service");
}

Browser::~Browser() = default;

QList<Service> Browser::services() const
{
    return {};
}

} // namespace QMdnsEngine
