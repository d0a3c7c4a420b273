#include "authserverbrowser.h"
#include "logging_p.h"

#include <QDebug>

namespace {

const QByteArray AuthServiceType = QByteArrayLiteral("_nmos-auth._tcp");

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

AuthServerBrowser::~AuthServerBrowser() = default;

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
    m_announcements = new ServiceAnnouncements(AuthServiceType, this);
    m_announcements->setDnsDomains(m_dnsDomains);
    m_announcements->setDnsNameserver(m_dnsNameserver);
    connect(m_announcements, &ServiceAnnouncements::announced, this, &AuthServerBrowser::onAnnounced);
    connect(m_announcements, &ServiceAnnouncements::withdrawn, this, &AuthServerBrowser::onWithdrawn);
    m_announcements->start();
}

void AuthServerBrowser::stop()
{
    if (!m_started)
        return;
    m_started = false;
    delete m_announcements;
    m_announcements = nullptr;
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
    // Tokens are asked for and carried over https only.
    if (hasScheme && scheme != "https") {
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
    candidate->selector = selectorPath(QString::fromUtf8(svc.attribute(QByteArrayLiteral("api_selector"))));
    return candidate->port != 0;
}

void AuthServerBrowser::onAnnounced(const ServiceAnnouncements::Announcement &announcement)
{
    Candidate candidate;
    if (!readCandidate(announcement.service, &candidate)) {
        onWithdrawn(announcement.service.name());
        return;
    }
    candidate.hostName = announcement.hostName;
    candidate.byName = announcement.inDns;
    candidate.base.setScheme(QStringLiteral("https"));
    candidate.base.setHost(announcement.host(true));
    candidate.base.setPort(candidate.port);
    candidate.base.setPath(candidate.selector);
    if (candidate.base.host().isEmpty() || candidate.hostName.isEmpty()) {
        onWithdrawn(candidate.name);
        return;
    }
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

void AuthServerBrowser::onWithdrawn(const QByteArray &name)
{
    const int before = m_candidates.size();
    m_candidates.erase(std::remove_if(m_candidates.begin(), m_candidates.end(),
                                      [&name](const Candidate &c) { return c.name == name; }),
                       m_candidates.end());
    if (m_candidates.size() != before)
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
