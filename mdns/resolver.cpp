#include "mdns/resolver.h"

#include "mdns/abstractserver.h"
#include "mdns/cache.h"

namespace QMdnsEngine {

Resolver::Resolver(AbstractServer *server, const QByteArray &name, Cache *cache, QObject *parent)
    : QObject(parent), m_server(server), m_cache(cache ? cache : new Cache(this)), m_name(name)
{
}

Resolver::~Resolver() = default;

} // namespace QMdnsEngine
