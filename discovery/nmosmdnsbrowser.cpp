#include "nmosmdnsbrowser.h"

#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/resolver.h"
#include "mdns/server.h"
#include "net/authorizationsession.h"
#include "net/replylimits.h"
#include "nmos/nmosclient.h"

#include <QHostAddress>
#include <QJsonParseError>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QtDebug>
#include <algorithm>

Q_LOGGING_CATEGORY(lcDiscovery, "ferrolink.discovery", QtInfoMsg)

namespace {

const QByteArray NodeServiceType = QByteArrayLiteral("_nmos-node._tcp.local.");
// The Node and Query API versions this program's requests are written for.
const QStringList SpokenApiVersions{QStringLiteral("v1.3"), QStringLiteral("v1.2")};

QString attribute(const QMdnsEngine::Service &svc, const QByteArray &key, const QString &fallback)
{
    bool found = false;
    const QByteArray value = svc.attribute(key, &found);
    return found ? QString::fromUtf8(value) : fallback;
}

// Whether an update changes what an intake reads. Nodes bump their other counters (flows,
// sources, devices) often, and those change no entry of the window.
bool needsRetake(const QMdnsEngine::Service &taken, const QMdnsEngine::Service &update)
{
    if (taken.hostname() != update.hostname() || taken.port() != update.port())
        return true;
    for (const char *key : {"api_proto", "api_ver", "ver_slf", "ver_snd", "ver_rcv"}) {
        bool wasThere = false, isThere = false;
        if (taken.attribute(key, &wasThere) != update.attribute(key, &isThere) || wasThere != isThere)
            return true;
    }
    return false;
}

} // namespace

NMOSMdnsBrowser::NMOSMdnsBrowser(QObject *parent)
    : QObject(parent)
{
}

NMOSMdnsBrowser::~NMOSMdnsBrowser()
{
    stop();
}

void NMOSMdnsBrowser::start()
{
    if (m_started)
        return;
    m_mdnsServer.reset(new QMdnsEngine::Server);
    m_mdnsCache.reset(new QMdnsEngine::Cache);
    m_mdnsBrowser = new QMdnsEngine::Browser(m_mdnsServer.get(), NodeServiceType, m_mdnsCache.get(), this);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceAdded, this, &NMOSMdnsBrowser::onServiceAdded);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceUpdated, this, &NMOSMdnsBrowser::onServiceUpdated);
    connect(m_mdnsBrowser, &QMdnsEngine::Browser::serviceRemoved, this, &NMOSMdnsBrowser::onServiceRemoved);
    m_started = true;
    qInfo().noquote() << "Browsing for" << QString::fromUtf8(NodeServiceType);
}

void NMOSMdnsBrowser::stop()
{
    if (!m_started)
        return;
    // The resolvers work on the server and cache deleted below: none may outlive them.
    qDeleteAll(m_resolvers);
    m_resolvers.clear();
    m_nodes.clear();
    delete m_mdnsBrowser;
    m_mdnsBrowser = nullptr;
    m_mdnsCache.reset();
    m_mdnsServer.reset();
    m_started = false;
}

void NMOSMdnsBrowser::onServiceAdded(const QMdnsEngine::Service &svc)
{
    QMap<QString, QString> txt;
    const auto attributes = svc.attributes();
    for (auto it = attributes.constBegin(); it != attributes.constEnd(); ++it)
        txt.insert(QString::fromUtf8(it.key()), QString::fromUtf8(it.value()));
    emit nodeDiscovered(QString::fromUtf8(svc.name()), QString::fromUtf8(svc.hostname()), svc.port(), txt);

    const auto known = m_nodes.find(svc.name());
    if (known != m_nodes.end() && !needsRetake(known->service, svc))
        return;
    Node &node = m_nodes[svc.name()];
    if (known == m_nodes.end())
        node.generation = ++m_generation;
    node.service = svc;
    if (node.fetching > 0) {
        node.pending = true;
        return;
    }
    resolveAndFetch(svc);
}

bool NMOSMdnsBrowser::isFetching() const
{
    return std::any_of(m_nodes.cbegin(), m_nodes.cend(), [](const Node &node) { return node.fetching > 0; });
}

void NMOSMdnsBrowser::onServiceUpdated(const QMdnsEngine::Service &svc)
{
    onServiceAdded(svc);
}

void NMOSMdnsBrowser::setAuthorization(AuthorizationSession *session)
{
    if (m_nam.session() == session)
        return;
    m_nam.setSession(session);
    connect(session, &AuthorizationSession::tokenChanged, this, [this, session] {
        if (!session->hasToken())
            return;
        const QList<QMdnsEngine::Service> waiting = m_waitingForToken.values();
        m_waitingForToken.clear();
        for (const QMdnsEngine::Service &svc : waiting)
            resolveAndFetch(svc);
    });
}

void NMOSMdnsBrowser::onServiceRemoved(const QMdnsEngine::Service &svc)
{
    m_waitingForToken.remove(svc.name());
    removeResolver(svc.name());
    m_nodes.remove(svc.name());
    emit nodeRemoved(QString::fromUtf8(svc.name()));
}

void NMOSMdnsBrowser::removeResolver(const QByteArray &serviceName)
{
    delete m_resolvers.take(serviceName);
}

void NMOSMdnsBrowser::fetchFinished(const QByteArray &serviceName, quint64 generation)
{
    const auto node = m_nodes.find(serviceName);
    if (node == m_nodes.end() || node->generation != generation || --node->fetching > 0 || !node->pending)
        return;
    node->pending = false;
    resolveAndFetch(node->service);
}

void NMOSMdnsBrowser::resolveAndFetch(const QMdnsEngine::Service &svc)
{
    const QString scheme = attribute(svc, QByteArrayLiteral("api_proto"), QStringLiteral("http"));
    const QString version = chooseApiVersion(attribute(svc, QByteArrayLiteral("api_ver"), QStringLiteral("v1.3")));

    removeResolver(svc.name());
    if (!m_started)
        return;

    // The scheme comes from the network: anything but HTTP(S) could make the network layer
    // read a local file or open a share, so such a node is reported and never contacted.
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        QUrl url;
        url.setScheme(scheme);
        url.setHost(QString::fromUtf8(svc.hostname()));
        url.setPort(svc.port());
        url.setPath(QStringLiteral("/x-nmos/node/%1/self").arg(version));
        const QString error = QStringLiteral("Protocol \"%1\" is not supported").arg(scheme);
        emit nodeError(QString::fromUtf8(svc.name()), url, error);
        qWarning().noquote() << "GET" << url.toString() << "failed:" << error;
        return;
    }

    // A node that wants a token is not asked without one: some refuse with 400 and no challenge.
    AuthorizationSession *session = m_nam.session();
    if (session && !session->hasToken() && attribute(svc, QByteArrayLiteral("api_auth"), QString()) == QLatin1String("true")) {
        m_waitingForToken.insert(svc.name(), svc);
        emit authorizationNeeded();
        return;
    }
    m_waitingForToken.remove(svc.name());

    auto *resolver = new QMdnsEngine::Resolver(m_mdnsServer.get(), svc.hostname(), m_mdnsCache.get(), this);
    m_resolvers.insert(svc.name(), resolver);
    // Counted over the children, not the table, so that a resolver that escaped the table
    // still shows: a long run watches this number stay flat.
    qCDebug(lcDiscovery) << "Resolving" << svc.hostname() << "for" << svc.name()
                         << "live resolvers:" << findChildren<QMdnsEngine::Resolver *>().size();
    connect(resolver, &QMdnsEngine::Resolver::resolved, this,
            [this, svc, scheme, version](const QHostAddress &address) {
                fetchSelf(svc, scheme, version, address);
            });
}

namespace {

// The SRV target without its closing dot, as a certificate names it.
QString announcedName(const QMdnsEngine::Service &svc)
{
    QString name = QString::fromUtf8(svc.hostname());
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name.toLower();
}

} // namespace

void NMOSMdnsBrowser::fetchSelf(const QMdnsEngine::Service &svc, const QString &scheme,
                                const QString &version, const QHostAddress &address)
{
    QUrl url;
    url.setScheme(scheme);
    url.setHost(address.toString());
    url.setPort(svc.port());
    url.setPath(QStringLiteral("/x-nmos/node/%1/self").arg(version));

    // The node is reached at an address; its certificate names the host it announces.
    NmosClient::NodeEndpoint endpoint;
    endpoint.address = url.authority();
    endpoint.tlsName = announcedName(svc);
    // A node that accepts the connection and never answers would hold the reply open for
    // the life of the program.
    // The node's entries are read later over a connection of their own.
    if (m_nam.session() && url.scheme() == QLatin1String("https"))
        m_nam.session()->addApiOrigin(url);
    QNetworkReply *reply = ReplyLimits::get(&m_nam, NmosClient::nodeRequest(url, NmosClient::CloseConnection, endpoint));
    Node &node = m_nodes[svc.name()];
    ++node.fetching;
    const quint64 generation = node.generation;
    connect(reply, &QNetworkReply::finished, this, [this, reply, url, svc, generation] {
        const QString serviceName = QString::fromUtf8(svc.name());
        QString failure;
        const bool failed = ReplyLimits::failed(reply, &failure);
        const QByteArray body = reply->readAll();
        if (failed) {
            emit nodeError(serviceName, url, failure);
            qWarning().noquote() << "GET" << url.toString() << "failed:" << failure;
        } else {
            QJsonParseError parseError;
            const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
            if (parseError.error == QJsonParseError::NoError && !doc.isNull()) {
                emit nodeSelfReady(serviceName, url, doc, announcedName(svc));
                qInfo().noquote() << "OK" << url.toString();
            } else {
                emit nodeSelfReady(serviceName, url, QJsonDocument(), announcedName(svc));
                qInfo().noquote() << "OK (non-JSON)" << url.toString();
            }
        }
        reply->deleteLater();
        fetchFinished(svc.name(), generation);
    });
}

QString NMOSMdnsBrowser::chooseApiVersion(const QString &apiVer)
{
    // Versions compare by their numbers (v1.10 is after v1.9). The highest one this program
    // speaks wins; where none is offered, the highest well-formed one, as later minor
    // versions keep what earlier ones had.
    static const QRegularExpression versionPattern(QStringLiteral("^v(\\d{1,9})\\.(\\d{1,9})$"));
    const QStringList parts = apiVer.split(QLatin1Char(','), Qt::SkipEmptyParts, Qt::CaseSensitive);
    QString best;
    QPair<int, int> bestNumbers(-1, -1);
    bool bestSpoken = false;
    for (const QString &part : parts) {
        const QString candidate = part.trimmed();
        const QRegularExpressionMatch match = versionPattern.match(candidate);
        if (!match.hasMatch())
            continue;
        const QPair<int, int> numbers(match.captured(1).toInt(), match.captured(2).toInt());
        const bool spoken = SpokenApiVersions.contains(candidate);
        if ((spoken && !bestSpoken) || (spoken == bestSpoken && numbers > bestNumbers)) {
            best = candidate;
            bestNumbers = numbers;
            bestSpoken = spoken;
        }
    }
    return best.isEmpty() ? QStringLiteral("v1.3") : best;
}
