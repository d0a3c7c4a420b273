#include "authserverbrowser.h"
#include "logging_p.h"

#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/resolver.h"
#include "mdns/server.h"

#include <QDebug>

namespace {

const QByteArray AuthServiceType = QByteArrayLiteral("_nmos-auth._tcp.local.");
const QByteArray UnicastAuthServiceType = QByteArrayLiteral("_nmos-auth._tcp");

// The path of the issuer an api_selector names ("x-nmos/auth" → "/x-nmos/auth"), or none
// when the selector could leave the server's own paths.
QString selectorPath(const QString &selector)
{
    if (selector.isEmpty() || selector.contains(QLatin1String("..")) || selector.contains(QLatin1Char('?'))
        || selector.contains(QLatin1Char('#')))
        return QString();
    return QLatin1Char('/') + selector;
}

} // namespace

AuthServerBrowser::AuthServerBrowser(QObject *parent)
    : QObject(parent)
{
}

AuthServerBrowser::~AuthServerBrowser()
{
    // The browser and resolvers use the server and cache, which go before the children.
    stop();
}

void AuthServerBrowser::setDnsDomains(const QStringList &domains)
{
    m_dnsDomains = domains;
    if (m_started) {
        stop();
        start();
    }
}

void AuthServerBrowser::setDnsNameserver(const QHostAddress &server)
{
    m_dnsNameserver = server;
    if (m_started) {
        stop();
        start();
    }
}

void AuthServerBrowser::start()
{
    if (m_started)
        return;
    m_started = true;
    if (!m_given.isEmpty()) {
        m_current = m_given;
        emit serverChanged(m_current, QString());
        return;
    }
    m_mdnsServer.reset(new QMdnsEngine::Server);
    m_mdnsCache.reset(new QMdnsEngine::Cache);
    m_mdnsBrowser = new QMdnsEngine::Browser(m_mdnsServer.get(), AuthServiceType, m_mdnsCache.get(), this);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceAdded, this, &AuthServerBrowser::onServiceAdded);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceUpdated, this, &AuthServerBrowser::onServiceAdded);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceRemoved, this,
            [this](const QMdnsEngine::Service &svc) { onServiceRemoved(svc.name()); });
    qInfo().noquote() << "Browsing for" << QString::fromUtf8(AuthServiceType);

    const QStringList domains = m_dnsDomains.isEmpty() ? UnicastDnsSdBrowser::systemSearchDomains() : m_dnsDomains;
    if (domains.isEmpty())
        return;
    m_unicast = new UnicastDnsSdBrowser(UnicastAuthServiceType, this);
    m_unicast->setDomains(domains);
    if (!m_dnsNameserver.isNull())
        m_unicast->setNameserver(m_dnsNameserver);
    connect(m_unicast, &UnicastDnsSdBrowser::instanceFound, this, &AuthServerBrowser::onUnicastFound);
    connect(m_unicast, &UnicastDnsSdBrowser::instanceRemoved, this, &AuthServerBrowser::onServiceRemoved);
    qInfo().noquote() << "Browsing for" << QString::fromUtf8(UnicastAuthServiceType) << "in" << domains.join(QLatin1Char(' '));
    m_unicast->start();
}

void AuthServerBrowser::stop()
{
    if (!m_started)
        return;
    m_started = false;
    qDeleteAll(m_resolvers);
    m_resolvers.clear();
    delete m_mdnsBrowser;
    m_mdnsBrowser = nullptr;
    delete m_unicast;
    m_unicast = nullptr;
    m_mdnsCache.reset();
    m_mdnsServer.reset();
    m_candidates.clear();
}

bool AuthServerBrowser::readCandidate(const QMdnsEngine::Service &svc, Candidate *candidate) const
{
    const QString name = QString::fromUtf8(svc.name());
    bool ok = false;
    candidate->priority = QString::fromUtf8(svc.attribute(QByteArrayLiteral("pri"))).toInt(&ok);
    if (!ok || candidate->priority < 0 || (candidate->priority >= DevelopmentPriority && !m_developmentAllowed)) {
        qCDebug(lcRegistry) << "Authorization server" << name << "has no pri we may use:" << svc.attribute("pri");
        return false;
    }
    bool hasScheme = false;
    const QByteArray scheme = svc.attribute(QByteArrayLiteral("api_proto"), &hasScheme);
    candidate->scheme = hasScheme ? QString::fromUtf8(scheme) : QStringLiteral("https");
    // Tokens are asked for and carried over https only.
    if (candidate->scheme != QLatin1String("https")) {
        qCDebug(lcRegistry) << "Authorization server" << name << "is not served over https, not used";
        return false;
    }
    const QByteArray versions = svc.attribute(QByteArrayLiteral("api_ver"));
    if (!versions.isEmpty() && !versions.split(',').contains(QByteArrayLiteral("v1.0"))) {
        qCDebug(lcRegistry) << "Authorization server" << name << "speaks none of our versions:" << versions;
        return false;
    }
    candidate->name = svc.name();
    candidate->port = svc.port();
    candidate->hostName = QString::fromUtf8(svc.hostname()).toLower();
    while (candidate->hostName.endsWith(QLatin1Char('.')))
        candidate->hostName.chop(1);
    candidate->selector = selectorPath(QString::fromUtf8(svc.attribute(QByteArrayLiteral("api_selector"))));
    return !candidate->hostName.isEmpty() && candidate->port != 0;
}

void AuthServerBrowser::onServiceAdded(const QMdnsEngine::Service &svc)
{
    onServiceRemoved(svc.name());
    Candidate candidate;
    if (!readCandidate(svc, &candidate))
        return;
    m_candidates << candidate;
    const QByteArray name = svc.name();
    auto *resolver = new QMdnsEngine::Resolver(m_mdnsServer.get(), svc.hostname(), m_mdnsCache.get(), this);
    m_resolvers.insert(name, resolver);
    connect(resolver, &QMdnsEngine::Resolver::resolved, this,
            [this, name](const QHostAddress &address) { onResolved(name, address); });
}

void AuthServerBrowser::onServiceRemoved(const QByteArray &name)
{
    delete m_resolvers.take(name);
    const int before = m_candidates.size();
    m_candidates.erase(std::remove_if(m_candidates.begin(), m_candidates.end(),
                                      [&name](const Candidate &c) { return c.name == name; }),
                       m_candidates.end());
    if (m_candidates.size() != before)
        chooseBest();
}

void AuthServerBrowser::onResolved(const QByteArray &name, const QHostAddress &address)
{
    auto candidate = std::find_if(m_candidates.begin(), m_candidates.end(),
                                  [&name](const Candidate &c) { return c.name == name; });
    if (candidate == m_candidates.end() || address.isLinkLocal() || !candidate->base.isEmpty())
        return;
    QUrl base;
    base.setScheme(candidate->scheme);
    base.setHost(address.toString());
    base.setPort(candidate->port);
    base.setPath(candidate->selector);
    candidate->base = base;
    chooseBest();
}

void AuthServerBrowser::onUnicastFound(const UnicastDnsSdBrowser::Instance &instance)
{
    Candidate candidate;
    if (!readCandidate(instance.service(), &candidate))
        return;
    candidate.base.setScheme(candidate.scheme);
    candidate.base.setHost(candidate.hostName);
    candidate.base.setPort(candidate.port);
    candidate.base.setPath(candidate.selector);
    candidate.byName = true;
    for (Candidate &known : m_candidates) {
        if (known.name == candidate.name) {
            known = candidate;
            chooseBest();
            return;
        }
    }
    m_candidates << candidate;
    chooseBest();
}

void AuthServerBrowser::chooseBest()
{
    // The lowest pri wins; among equals the one in use stays, then one reached by name.
    const Candidate *best = nullptr;
    for (const Candidate &candidate : qAsConst(m_candidates)) {
        if (candidate.base.isEmpty())
            continue;
        if (!best || candidate.priority < best->priority
            || (candidate.priority == best->priority && best->base != m_current
                && (candidate.base == m_current || (candidate.byName && !best->byName))))
            best = &candidate;
    }
    const QUrl base = best ? best->base : QUrl();
    const QString verifyName = best && !best->byName ? best->hostName : QString();
    if (base == m_current && verifyName == m_currentVerifyName)
        return;
    m_current = base;
    m_currentVerifyName = verifyName;
    qInfo().noquote() << "Authorization server:" << (base.isEmpty() ? QStringLiteral("none") : base.toString());
    emit serverChanged(m_current, m_currentVerifyName);
}
