#include "nmosregistrybrowser.h"

#include "discovery/logging_p.h"
#include "discovery/nmosmdnsbrowser.h"
#include "discovery/queryapireader.h"
#include "net/authorizationsession.h"
#include "net/replylimits.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

const QByteArray QueryServiceType = QByteArrayLiteral("_nmos-query._tcp");
const char QueryApiPath[] = "/x-nmos/query";

QString attribute(const QMdnsEngine::Service &svc, const QByteArray &key)
{
    return QString::fromUtf8(svc.attribute(key));
}

bool isHttpScheme(const QString &scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// The self URL of one api.endpoints entry, or an empty URL (with the reason logged).
QUrl endpointSelfUrl(const QJsonObject &endpoint, const QString &version, const QString &nodeId)
{
    const QString protocol = endpoint.value(QLatin1String("protocol")).toString();
    const QString host = endpoint.value(QLatin1String("host")).toString();
    const int port = endpoint.value(QLatin1String("port")).toInt(-1);
    if (!isHttpScheme(protocol)) {
        qCDebug(lcRegistry) << "Skipped the" << protocol << "endpoint" << host << "of node" << nodeId;
        return QUrl();
    }
    QUrl url;
    url.setScheme(protocol);
    url.setHost(host, QUrl::StrictMode);
    url.setPort(port);
    url.setPath(QStringLiteral("/x-nmos/node/%1/self").arg(version));
    if (!url.isValid() || url.host().isEmpty() || port < 1 || port > 65535) {
        qCWarning(lcRegistry) << "Skipped an endpoint of node" << nodeId << "that names no usable host and port:"
                              << host << endpoint.value(QLatin1String("port"));
        return QUrl();
    }
    // A link-local address names no interface in a registry and means nothing off its link.
    if (QHostAddress(host).isLinkLocal()) {
        qCDebug(lcRegistry) << "Skipped the link-local endpoint" << host << "of node" << nodeId;
        return QUrl();
    }
    return url;
}

} // namespace

NMOSRegistryBrowser::NMOSRegistryBrowser(QObject *parent)
    : QObject(parent)
    , m_pollInterval(QueryApiReader::RetryFirstMs)
    , m_probeNam(new QNetworkAccessManager(this))
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &NMOSRegistryBrowser::retryDue);
    m_clock.start();
    connect(&m_store, &NmosResourceStore::nodeChanged, this, [this](const QString &nodeId) {
        // A registry's burst of grains touches a node many times; its entries are listed once.
        m_changedNodes.insert(nodeId);
        scheduleListing();
    });
}

NMOSRegistryBrowser::~NMOSRegistryBrowser()
{
    stop();
}

void NMOSRegistryBrowser::setRegistry(const QUrl &base)
{
    // Compared with the reader's base, which has none, when it fails.
    m_given = base.adjusted(QUrl::StripTrailingSlash);
    restart();
}

void NMOSRegistryBrowser::setDnsDomains(const QStringList &domains)
{
    m_dnsDomains = domains;
    restart();
}

void NMOSRegistryBrowser::setDevelopmentRegistriesAllowed(bool allowed)
{
    m_developmentAllowed = allowed;
    restart();
}

void NMOSRegistryBrowser::setPollInterval(int ms)
{
    m_pollInterval = qMax(1, ms);
}

void NMOSRegistryBrowser::restart()
{
    if (!m_started)
        return;
    stop();
    start();
}

void NMOSRegistryBrowser::setAuthorization(AuthorizationSession *session)
{
    m_session = session;
}

void NMOSRegistryBrowser::start()
{
    if (m_started)
        return;
    m_started = true;
    if (!m_given.isEmpty()) {
        Candidate given;
        given.base = m_given;
        given.retryMs = m_pollInterval;
        m_candidates << given;
        useNext();
        return;
    }
    m_announcements = new ServiceAnnouncements(QueryServiceType, this);
    m_announcements->setDnsDomains(m_dnsDomains);
    m_announcements->setDnsNameserver(m_dnsNameserver);
    connect(m_announcements, &ServiceAnnouncements::announced, this, &NMOSRegistryBrowser::onAnnounced);
    connect(m_announcements, &ServiceAnnouncements::withdrawn, this, &NMOSRegistryBrowser::onWithdrawn);
    m_announcements->start();
}


void NMOSRegistryBrowser::stop()
{
    if (!m_started)
        return;
    m_started = false;
    m_retry.stop();
    if (m_reader) {
        // stop() may run inside one of the reader's own signals.
        m_reader->disconnect(this);
        m_reader->deleteLater();
        m_reader = nullptr;
    }
    m_readBase = QUrl();
    m_candidates.clear();
    setSettled(false);
    delete m_announcements;
    m_announcements = nullptr;
}

QUrl NMOSRegistryBrowser::currentRegistry() const
{
    return m_reader ? m_reader->base() : QUrl();
}

QUrl NMOSRegistryBrowser::registryBase(const QString &text)
{
    QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !isHttpScheme(url.scheme()))
        return QUrl();
    url = url.adjusted(QUrl::StripTrailingSlash | QUrl::RemoveQuery | QUrl::RemoveFragment);
    if (url.path().isEmpty())
        url.setPath(QLatin1String(QueryApiPath));
    return url;
}

QList<QUrl> NMOSRegistryBrowser::selfUrls(const QJsonObject &node)
{
    const QString id = node.value(QLatin1String("id")).toString();
    const QJsonObject api = node.value(QLatin1String("api")).toObject();
    QStringList versions;
    for (const QJsonValue &version : api.value(QLatin1String("versions")).toArray())
        versions << version.toString();
    // Only the address is used: the entries' requests go to the store and the devices' controls.
    const QString version = NMOSMdnsBrowser::chooseApiVersion(versions.join(QLatin1Char(',')));

    QList<QUrl> urls;
    QList<QUrl> secureUrls;
    const QJsonValue endpoints = api.value(QLatin1String("endpoints"));
    if (!endpoints.isArray())
        qCWarning(lcRegistry) << "Node" << id << "from the registry lists no endpoints";
    for (const QJsonValue &endpoint : endpoints.toArray()) {
        const QUrl url = endpointSelfUrl(endpoint.toObject(), version, id);
        QList<QUrl> &list = url.scheme() == QLatin1String("https") ? secureUrls : urls;
        if (!url.isEmpty() && !list.contains(url))
            list << url;
    }
    // A node that offers both is listed once per address, over plain http as mDNS finds it;
    // a node that speaks only https is reached that way, its certificate checked.
    if (urls.isEmpty())
        return secureUrls;
    if (!secureUrls.isEmpty())
        qCDebug(lcRegistry) << "Node" << id << "is used over http; its https endpoints are not listed twice";
    return urls;
}

bool NMOSRegistryBrowser::readCandidate(const QMdnsEngine::Service &svc, Candidate *candidate) const
{
    const QString name = QString::fromUtf8(svc.name());
    bool ok = false;
    candidate->priority = attribute(svc, QByteArrayLiteral("pri")).toInt(&ok);
    bool hasScheme = false;
    const QByteArray scheme = svc.attribute(QByteArrayLiteral("api_proto"), &hasScheme);
    candidate->scheme = hasScheme ? QString::fromUtf8(scheme) : QStringLiteral("http");
    if (!ok || candidate->priority < 0) {
        qCDebug(lcRegistry) << "Registry" << name << "announces no valid pri, not used";
        return false;
    }
    if (candidate->priority >= DevelopmentPriority && !m_developmentAllowed) {
        qCDebug(lcRegistry) << "Registry" << name << "has the development pri" << candidate->priority << ", not used";
        return false;
    }
    candidate->authorization = attribute(svc, QByteArrayLiteral("api_auth")) == QLatin1String("true");
    if (!isHttpScheme(candidate->scheme) || (candidate->authorization && !m_session)) {
        qCDebug(lcRegistry) << "Registry" << name << "needs" << candidate->scheme << "or authorization, not used";
        return false;
    }
    bool hasVersions = false;
    const QByteArray versions = svc.attribute(QByteArrayLiteral("api_ver"), &hasVersions);
    candidate->name = svc.name();
    candidate->port = svc.port();
    candidate->verifyName = QString::fromUtf8(svc.hostname());
    if (candidate->verifyName.endsWith(QLatin1Char('.')))
        candidate->verifyName.chop(1);
    candidate->version = QueryApiReader::chooseVersion(
        (hasVersions ? QString::fromUtf8(versions) : QStringLiteral("v1.3")).split(QLatin1Char(',')));
    if (candidate->version.isEmpty()) {
        qCDebug(lcRegistry) << "Registry" << name << "speaks none of our Query API versions:" << versions;
        return false;
    }
    candidate->tieBreak = QRandomGenerator::global()->generate();
    candidate->retryMs = m_pollInterval;
    return true;
}

// Announced again, or found again at a refresh, a registry keeps its state, and one that
// failed keeps its pause: announcements say nothing about whether it answers.
void NMOSRegistryBrowser::onAnnounced(const ServiceAnnouncements::Announcement &announcement)
{
    Candidate candidate;
    if (!readCandidate(announcement.service, &candidate)) {
        onWithdrawn(announcement.service.name());
        return;
    }
    QUrl base;
    base.setScheme(candidate.scheme);
    base.setHost(announcement.host(candidate.scheme == QLatin1String("https")));
    base.setPort(candidate.port);
    base.setPath(QStringLiteral("%1/%2").arg(QLatin1String(QueryApiPath), candidate.version));
    if (!base.isValid() || base.host().isEmpty())
        return;
    candidate.base = base;
    const auto known = std::find_if(m_candidates.begin(), m_candidates.end(),
                                    [&candidate](const Candidate &c) { return c.name == candidate.name; });
    if (known != m_candidates.end()) {
        if (known->base == base && known->priority == candidate.priority)
            return;
        if (known->failed) {
            candidate.failed = true;
            candidate.retryAtMs = known->retryAtMs;
            candidate.retryMs = known->retryMs;
        }
        m_candidates.erase(known);
    }
    m_candidates << candidate;
    useBest();
}

// The reader of a withdrawn registry goes on until that registry stops answering.
void NMOSRegistryBrowser::onWithdrawn(const QByteArray &name)
{
    m_candidates.erase(std::remove_if(m_candidates.begin(), m_candidates.end(),
                                      [&name](const Candidate &c) { return c.name == name; }),
                       m_candidates.end());
}

// Registries hold the same nodes, so moving to a better one loses nothing; the first
// answers on the link need not come from the best one.
void NMOSRegistryBrowser::useBest()
{
    if (m_reader) {
        const int current = priorityOf(m_readBase);
        const auto better = std::find_if(m_candidates.begin(), m_candidates.end(), [current](const Candidate &c) {
            return !c.failed && !c.base.isEmpty() && c.priority < current;
        });
        if (better == m_candidates.end())
            return;
        m_reader->disconnect(this);
        m_reader->deleteLater();
        m_reader = nullptr;
        m_readBase = QUrl();
    }
    useNext();
}

int NMOSRegistryBrowser::priorityOf(const QUrl &base) const
{
    for (const Candidate &candidate : m_candidates) {
        if (candidate.base == base)
            return candidate.priority;
    }
    return std::numeric_limits<int>::max();
}

void NMOSRegistryBrowser::useNext()
{
    if (m_reader || !m_started)
        return;
    const qint64 now = m_clock.elapsed();
    const Candidate *best = nullptr;
    for (const Candidate &candidate : qAsConst(m_candidates)) {
        if (candidate.base.isEmpty() || (candidate.failed && candidate.retryAtMs > now))
            continue;
        if (!best || std::make_pair(candidate.priority, candidate.tieBreak) < std::make_pair(best->priority, best->tieBreak))
            best = &candidate;
    }
    if (!best) {
        scheduleRetry();
        if (m_retry.isActive())
            qCWarning(lcRegistry) << "No NMOS registry answers; trying again in"
                                  << qRound(m_retry.remainingTime() / 100.0) / 10.0 << "s";
        return;
    }
    // A registry that wants a token is read once the session holds one; the sign-in that
    // gets it is the application's to start.
    disconnect(m_waitForToken);
    // A registry named on the command line does not say: while a sign-in is under way, it waits too.
    const bool wantsToken = best->authorization || (m_session && m_session->state() == AuthorizationSession::SigningIn);
    if (wantsToken && !m_session->hasToken()) {
        m_waitForToken = connect(m_session, &AuthorizationSession::tokenChanged, this, &NMOSRegistryBrowser::useNext);
        qCInfo(lcRegistry).noquote() << "The registry" << best->base.toString() << "wants a token; waiting for the sign-in";
        emit authorizationNeeded(best->base);
        return;
    }
    if (m_session && best->base.scheme() == QLatin1String("https"))
        m_session->addApiOrigin(best->base);
    m_readBase = best->base;
    m_reader = new QueryApiReader(best->base, &m_store, this);
    m_reader->setAuthorization(m_session);
    m_reader->setPingInterval(m_pingInterval);
    m_reader->setPeerVerifyName(best->verifyName);
    connect(m_reader, &QueryApiReader::failed, this, &NMOSRegistryBrowser::onReaderFailed);
    connect(m_reader, &QueryApiReader::readAll, this, &NMOSRegistryBrowser::onReaderReadAll);
    connect(m_reader, &QueryApiReader::changesApplied, this, [this] {
        scheduleListing();
        settleIfListed();
    });
    setSettled(false);
    qInfo().noquote() << "Reading nodes from the registry" << best->base.toString();
    emit registryChanged(best->base);
    m_reader->start();
    scheduleRetry();
}

// The candidate being read, found by the base it was read with: the reader's own base gains
// the version it chose.
NMOSRegistryBrowser::Candidate *NMOSRegistryBrowser::candidateRead()
{
    if (!m_reader)
        return nullptr;
    const auto found = std::find_if(m_candidates.begin(), m_candidates.end(),
                                    [this](const Candidate &c) { return c.base == m_readBase; });
    return found == m_candidates.end() ? nullptr : &*found;
}

// A registry in trouble is asked less and less often: many desks may be reading it.
void NMOSRegistryBrowser::backOff(Candidate *candidate)
{
    candidate->failed = true;
    candidate->retryAtMs = m_clock.elapsed() + candidate->retryMs;
    candidate->retryMs = qMin(2 * candidate->retryMs, int(QueryApiReader::RetryMaxMs));
}

// Arms the retry for the first failed registry whose pause ends: any of them while none is
// read, else only those better than the one read.
void NMOSRegistryBrowser::scheduleRetry()
{
    const int current = m_reader ? priorityOf(m_readBase) : std::numeric_limits<int>::max();
    qint64 next = -1;
    for (const Candidate &candidate : qAsConst(m_candidates)) {
        if (!candidate.failed || candidate.base.isEmpty() || (m_reader && candidate.priority >= current))
            continue;
        if (next < 0 || candidate.retryAtMs < next)
            next = candidate.retryAtMs;
    }
    if (next < 0) {
        m_retry.stop();
        return;
    }
    m_retry.start(int(qBound<qint64>(0, next - m_clock.elapsed(), QueryApiReader::RetryMaxMs)));
}

void NMOSRegistryBrowser::retryDue()
{
    if (m_reader)
        probeBetter();
    else
        useNext();
    scheduleRetry();
}

void NMOSRegistryBrowser::onReaderReadAll()
{
    if (Candidate *candidate = candidateRead()) {
        candidate->failed = false;
        candidate->retryMs = m_pollInterval;
    }
    scheduleListing();
    settleIfListed();
}

// Settled once what the registry holds is all read, in the store and listed.
void NMOSRegistryBrowser::settleIfListed()
{
    if (!m_listingScheduled && m_changedNodes.isEmpty() && m_reader && m_reader->hasReadAll() && !m_reader->isApplying())
        setSettled(true);
}

void NMOSRegistryBrowser::onReaderFailed()
{
    if (Candidate *candidate = candidateRead()) {
        backOff(candidate);
        qCInfo(lcRegistry) << "The registry" << m_readBase.toString() << "is asked again in"
                           << qRound((candidate->retryAtMs - m_clock.elapsed()) / 100.0) / 10.0 << "s at the earliest";
    }
    // It is still delivering this signal.
    m_reader->disconnect(this);
    m_reader->deleteLater();
    m_reader = nullptr;
    m_readBase = QUrl();
    setSettled(false);
    emit registryChanged(QUrl());
    // What it did read is listed, whether or not it read everything.
    scheduleListing();
    useNext();
}

// A better registry that failed is asked for one node once its pause is over; when it
// answers, it is read again.
void NMOSRegistryBrowser::probeBetter()
{
    if (!m_reader)
        return;
    const int current = priorityOf(m_readBase);
    const qint64 now = m_clock.elapsed();
    for (Candidate &candidate : m_candidates) {
        if (!candidate.failed || candidate.base.isEmpty() || candidate.priority >= current || candidate.retryAtMs > now)
            continue;
        // Until it answers it counts as failed again, so that it is not asked twice at once.
        backOff(&candidate);
        QUrl url = candidate.base;
        url.setPath(url.path() + QStringLiteral("/nodes/"));
        url.setQuery(QStringLiteral("paging.limit=1"));
        QNetworkRequest request(url);
        request.setPeerVerifyName(candidate.verifyName);
        if (m_session)
            m_session->authorize(&request);
        QNetworkReply *reply = ReplyLimits::get(m_probeNam, request);
        const QUrl base = candidate.base;
        connect(reply, &QNetworkReply::finished, this, [this, reply, base] {
            reply->deleteLater();
            QString ignored;
            if (ReplyLimits::failed(reply, &ignored))
                return;
            for (Candidate &c : m_candidates) {
                if (c.base == base) {
                    c.failed = false;
                    c.retryMs = m_pollInterval;
                }
            }
            qInfo().noquote() << "The registry" << base.toString() << "answers again";
            useBest();
        });
    }
}

void NMOSRegistryBrowser::scheduleListing()
{
    // Until every collection has been read, each one read would list every node again; and
    // while changes go into the store, each slice of them would.
    if (m_listingScheduled || m_changedNodes.isEmpty()
        || (m_reader && (!m_reader->hasReadAll() || m_reader->isApplying())))
        return;
    m_listingScheduled = true;
    QTimer::singleShot(0, this, &NMOSRegistryBrowser::listChangedNodes);
}

void NMOSRegistryBrowser::listChangedNodes()
{
    m_listingScheduled = false;
    // A facility's thousands of nodes are listed a slice at a time, so that the window
    // keeps answering while they arrive.
    QElapsedTimer slice;
    slice.start();
    while (!m_changedNodes.isEmpty() && slice.elapsed() < ListingSliceMs) {
        const auto first = m_changedNodes.begin();
        const QString nodeId = *first;
        m_changedNodes.erase(first);
        listNode(nodeId);
    }
    scheduleListing();
    settleIfListed();
}

void NMOSRegistryBrowser::setSettled(bool settled)
{
    if (m_settled == settled)
        return;
    m_settled = settled;
    emit settledChanged();
}

void NMOSRegistryBrowser::listNode(const QString &nodeId)
{
    const QJsonObject node = m_store.resource(QStringLiteral("nodes"), nodeId);
    if (node.isEmpty())
        return;
    // The name a person gave the node's host is what the operator knows it by.
    QString name = node.value(QLatin1String("hostname")).toString();
    if (name.isEmpty())
        name = node.value(QLatin1String("label")).toString();
    QList<NmosClient::SenderConnection> senders;
    QList<NmosClient::ReceiverConnection> receivers;
    // The same rules as for a node's own answers, on what the registry holds of it.
    const QJsonArray devices = m_store.collection(QStringLiteral("devices"), nodeId);
    const QJsonArray flows = m_store.collection(QStringLiteral("flows"), nodeId);
    const QJsonArray senderList = m_store.collection(QStringLiteral("senders"), nodeId);
    const QJsonArray receiverList = m_store.collection(QStringLiteral("receivers"), nodeId);
    QStringList refusals;
    for (const QUrl &url : selfUrls(node)) {
        NmosClient::NodeEndpoint endpoint;
        endpoint.address = url.host(QUrl::FullyDecoded) + QLatin1Char(':') + QString::number(url.port());
        endpoint.scheme = url.scheme();
        endpoint.registryNodeId = nodeId;
        if (m_session && endpoint.scheme == QLatin1String("https"))
            m_session->addApiOrigin(url);
        senders += NmosClient::withDeviceControls(NmosClient::videoSendersOf(flows, senderList, endpoint, name),
                                                  senderList, devices, &refusals);
        receivers += NmosClient::withDeviceControls(NmosClient::videoReceiversOf(receiverList, endpoint, name),
                                                    receiverList, devices, &refusals);
    }
    // A node is listed again at every change of any of its resources: each reason is told once.
    for (const QString &reason : qAsConst(refusals)) {
        if (!m_refusals.contains(reason)) {
            m_refusals.insert(reason);
            qCWarning(lcRegistry).noquote() << "Not listed:" << reason;
        }
    }
    emit entriesListed(nodeId, name, senders, receivers);
}
