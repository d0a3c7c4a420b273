#include "serviceannouncements.h"

#include "discovery/unicastdnssdbrowser.h"

#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/resolver.h"
#include "mdns/server.h"

#include <QDebug>

namespace {

QString hostNameOf(const QByteArray &target)
{
    QString name = QString::fromUtf8(target).toLower();
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

} // namespace

ServiceAnnouncements::ServiceAnnouncements(const QByteArray &type, QObject *parent)
    : QObject(parent)
    , m_type(type)
{
}

ServiceAnnouncements::~ServiceAnnouncements()
{
    // The browser and resolvers work on the server and cache, which go before the children.
    stop();
}

void ServiceAnnouncements::start()
{
    if (m_started)
        return;
    m_started = true;
    const QByteArray mdnsType = m_type + QByteArrayLiteral(".local.");
    m_mdnsServer.reset(new QMdnsEngine::Server);
    m_mdnsCache.reset(new QMdnsEngine::Cache);
    m_mdnsBrowser = new QMdnsEngine::Browser(m_mdnsServer.get(), mdnsType, m_mdnsCache.get(), this);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceAdded, this, &ServiceAnnouncements::onMdnsAnnounced);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceUpdated, this, &ServiceAnnouncements::onMdnsAnnounced);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceRemoved, this,
            [this](const QMdnsEngine::Service &svc) { onMdnsWithdrawn(svc.name()); });
    qInfo().noquote() << "Browsing for" << QString::fromUtf8(mdnsType);

    // Where mDNS does not reach, across subnets, a facility publishes its services in DNS.
    const QStringList domains = m_dnsDomains.isEmpty() ? UnicastDnsSdBrowser::systemSearchDomains() : m_dnsDomains;
    if (domains.isEmpty())
        return;
    m_unicast = new UnicastDnsSdBrowser(m_type, this);
    m_unicast->setDomains(domains);
    if (!m_dnsNameserver.isNull())
        m_unicast->setNameserver(m_dnsNameserver);
    connect(m_unicast, &UnicastDnsSdBrowser::instanceFound, this, [this](const UnicastDnsSdBrowser::Instance &instance) {
        Announcement announcement;
        announcement.service = instance.service();
        announcement.hostName = hostNameOf(instance.hostName.toUtf8());
        announcement.inDns = true;
        for (const QHostAddress &a : instance.addresses) {
            if (a.isLinkLocal())
                continue;
            if (announcement.address.isNull()
                || (a.protocol() == QAbstractSocket::IPv4Protocol && announcement.address.protocol() != a.protocol()))
                announcement.address = a;
        }
        emit announced(announcement);
    });
    connect(m_unicast, &UnicastDnsSdBrowser::instanceRemoved, this, &ServiceAnnouncements::withdrawn);
    qInfo().noquote() << "Browsing for" << QString::fromUtf8(m_type) << "in" << domains.join(QLatin1Char(' '));
    m_unicast->start();
}

void ServiceAnnouncements::stop()
{
    if (!m_started)
        return;
    m_started = false;
    // The resolvers work on the server and cache deleted below: none may outlive them.
    qDeleteAll(m_resolvers);
    m_resolvers.clear();
    m_mdnsServices.clear();
    m_addresses.clear();
    delete m_mdnsBrowser;
    m_mdnsBrowser = nullptr;
    delete m_unicast;
    m_unicast = nullptr;
    m_mdnsCache.reset();
    m_mdnsServer.reset();
}

void ServiceAnnouncements::onMdnsAnnounced(const QMdnsEngine::Service &svc)
{
    const QByteArray name = svc.name();
    const bool sameHost = m_mdnsServices.value(name).hostname() == svc.hostname();
    m_mdnsServices.insert(name, svc);
    if (sameHost && m_addresses.contains(name)) {
        onResolved(name, m_addresses.value(name));
        return;
    }
    m_addresses.remove(name);
    delete m_resolvers.take(name);
    auto *resolver = new QMdnsEngine::Resolver(m_mdnsServer.get(), svc.hostname(), m_mdnsCache.get(), this);
    m_resolvers.insert(name, resolver);
    connect(resolver, &QMdnsEngine::Resolver::resolved, this,
            [this, name](const QHostAddress &address) { onResolved(name, address); });
}

void ServiceAnnouncements::onMdnsWithdrawn(const QByteArray &name)
{
    delete m_resolvers.take(name);
    m_mdnsServices.remove(name);
    m_addresses.remove(name);
    emit withdrawn(name);
}

// The first address will do: a link-local one names no interface in a URL everywhere.
void ServiceAnnouncements::onResolved(const QByteArray &name, const QHostAddress &address)
{
    const auto known = m_addresses.constFind(name);
    if (address.isLinkLocal() || !m_mdnsServices.contains(name) || (known != m_addresses.constEnd() && *known != address))
        return;
    m_addresses.insert(name, address);
    Announcement announcement;
    announcement.service = m_mdnsServices.value(name);
    announcement.address = address;
    announcement.hostName = hostNameOf(announcement.service.hostname());
    emit announced(announcement);
}
