#include "intakequeue.h"

#include "nmos/nodelisting.h"

#include <QDebug>
#include <QJsonObject>
#include "net/authorizationsession.h"
#include "net/authorizingnetworkaccessmanager.h"

#include <QNetworkAccessManager>

#include <algorithm>

IntakeQueue::IntakeQueue(QObject *parent)
    : QObject(parent)
    , m_manager(new AuthorizingNetworkAccessManager(nullptr, this))
{
}

IntakeQueue::~IntakeQueue()
{
    // The readings send through the manager: they go before it, whatever the order of the
    // children.
    for (const auto &reading : qAsConst(m_reading))
        delete reading.first;
}

NmosClient::NodeEndpoint IntakeQueue::endpointOf(const QUrl &url, const QString &hostName)
{
    // Fully decoded, a link-local host keeps its zone ("fe80::1%fl0"), which the client
    // needs to reach the node on the interface it was found on. The scheme goes with the
    // address to every later request: a node that asked for https is never asked over http.
    // The version is the one discovery asked the self resource in: "/x-nmos/node/v1.2/self".
    NmosClient::NodeEndpoint node{url.host(QUrl::FullyDecoded) + QLatin1Char(':') + QString::number(url.port()), url.scheme()};
    node.nodeApiVersion = url.path().section(QLatin1Char('/'), 3, 3);
    node.tlsName = hostName;
    return node;
}

QString IntakeQueue::nodeIdOf(const QJsonDocument &selfDoc)
{
    return selfDoc.object().value(QLatin1String("id")).toString();
}

namespace {

// A registry's entries of a node, "<its name> (<address>-<label>)", under another name: the
// text after the name stays.
template<typename Record>
QList<Record> renamed(QList<Record> records, const QString &from, const QString &to)
{
    if (from == to)
        return records;
    const int nameLength = NmosClient::entryText(from, QString(), QString()).size() - int(qstrlen(" (-)"));
    for (Record &record : records) {
        const QString tail = QStringLiteral(" (") + record.node.address + QLatin1Char('-');
        if (record.displayName.midRef(nameLength).startsWith(tail))
            record.displayName = NmosClient::entryText(to, record.node.address,
                                                       record.displayName.mid(nameLength + tail.size()).chopped(1));
    }
    return records;
}

} // namespace

void IntakeQueue::scheduleHandOut()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    // A queued call runs once the event loop is back, after the reports that came with this
    // one, so that a node reported twice in a burst is read once. Not a zero timer: while
    // sockets keep the loop busy, as a thousand nodes answering do, Qt runs timers only when
    // it is idle, and the intake waited seconds.
    QMetaObject::invokeMethod(this, &IntakeQueue::handOut, Qt::QueuedConnection);
}

void IntakeQueue::enqueue(const QString &serviceName, const QUrl &url, const QJsonDocument &selfDoc,
                          const QString &hostName)
{
    const QString nodeId = nodeIdOf(selfDoc);
    if (m_registryNodes.contains(nodeId))
        return;
    if (!nodeId.isEmpty())
        m_answeredNames.insert(nodeId, serviceName);
    for (Node &node : m_waiting) {
        if (node.serviceName == serviceName && node.url == url) {
            node.selfDoc = selfDoc;
            node.hostName = hostName;
            return;
        }
    }
    m_waiting.append({serviceName, url, selfDoc, hostName});
    scheduleHandOut();
}

void IntakeQueue::takeListed(const QString &nodeId, const QString &nodeName,
                             const QList<NmosClient::SenderConnection> &senders,
                             const QList<NmosClient::ReceiverConnection> &receivers)
{
    // One node, one name: a node found by its announcement first keeps the name it was found
    // under. Its entries come from the registry from now on: the registry may hold what the
    // node's own API did not give, and keeps it after the node withdraws its announcement.
    const auto answered = m_answeredNames.constFind(nodeId);
    if (answered != m_answeredNames.constEnd() && !m_registryNodes.contains(nodeId))
        dropAnswersOf(nodeId);
    m_registryNodes.insert(nodeId);
    const QString name = answered != m_answeredNames.constEnd() ? answered.value() : nodeName;
    const PendingListings::Listing listing{nodeId, QUrl(), name, renamed(senders, nodeName, name),
                                           renamed(receivers, nodeName, name)};
    // Nothing to read: listed at once, unless held. A registry lists a node again at every
    // change of it: while held, only its newest listing waits.
    if (m_holds > 0) {
        m_pending.put(listing);
        return;
    }
    // An older listing of it, still waiting for the hand-out after a release, would undo this one.
    m_pending.removeIf([&nodeId](const PendingListings::Listing &waiting) {
        return waiting.isFromRegistry() && waiting.nodeId == nodeId;
    });
    list(listing);
}

void IntakeQueue::setAuthorization(AuthorizationSession *session)
{
    m_manager->setSession(session);
}

void IntakeQueue::list(const PendingListings::Listing &listing)
{
    if (AuthorizationSession *session = m_manager->session()) {
        const auto add = [session](const QString &url) {
            const QUrl api(url);
            if (api.scheme() == QLatin1String("https"))
                session->addApiOrigin(api);
        };
        for (const NmosClient::SenderConnection &sender : listing.senders) {
            add(sender.node.connectionApi);
            add(sender.manifestHref);
        }
        for (const NmosClient::ReceiverConnection &receiver : listing.receivers)
            add(receiver.node.connectionApi);
    }
    emit nodeListed(listing.nodeName, listing.senders, listing.receivers);
}

void IntakeQueue::dropAnswersOf(const QString &nodeId)
{
    const auto isOfNode = [&nodeId](const Node &node) { return nodeIdOf(node.selfDoc) == nodeId; };
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(), isOfNode), m_waiting.end());
    abortReadings(isOfNode);
    m_pending.removeIf([&nodeId](const PendingListings::Listing &listing) {
        return !listing.isFromRegistry() && listing.nodeId == nodeId;
    });
}

void IntakeQueue::takeNodeRemoved(const QString &serviceName)
{
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [&serviceName](const Node &node) { return node.serviceName == serviceName; }),
                    m_waiting.end());
    abortReadings([&serviceName](const Node &node) { return node.serviceName == serviceName; });
    // A registry's listing of a node by that name stays as long as the registry holds it.
    m_pending.removeIf([&serviceName](const PendingListings::Listing &listing) {
        return !listing.isFromRegistry() && listing.nodeName == serviceName;
    });
}

void IntakeQueue::takeResourceRemoved(const QString &type, const QString &id)
{
    m_pending.removeResource(type, id);
}

void IntakeQueue::hold()
{
    ++m_holds;
}

void IntakeQueue::release()
{
    if (m_holds > 0 && --m_holds == 0 && size() > 0)
        scheduleHandOut();
}

void IntakeQueue::setParallel(int nodes)
{
    m_parallel = std::max(1, nodes);
    scheduleHandOut();
}

bool IntakeQueue::isReading(const Node &node) const
{
    return std::any_of(m_reading.cbegin(), m_reading.cend(), [&](const QPair<NodeListing *, Node> &reading) {
        return reading.second.serviceName == node.serviceName && reading.second.url == node.url;
    });
}

void IntakeQueue::handOut()
{
    m_scheduled = false;
    if (m_holds > 0)
        return;
    while (!m_pending.isEmpty()) {
        const PendingListings::Listing listing = m_pending.takeFirst();
        list(listing);
        if (m_holds > 0)
            return;
    }
    // A node reported again while it is being read waits for that reading to end, so that
    // its later state is what stays.
    for (int i = 0; i < m_waiting.size() && m_reading.size() < m_parallel;) {
        if (isReading(m_waiting.at(i))) {
            ++i;
            continue;
        }
        startReading(m_waiting.takeAt(i));
    }
}

void IntakeQueue::startReading(const Node &node)
{
    qDebug() << "mDNS found NMOS Node:" << node.serviceName << node.url.toString();
    auto *listing = new NodeListing(m_manager, endpointOf(node.url, node.hostName), node.serviceName, this);
    m_reading.append({listing, node});
    connect(listing, &NodeListing::finished, this, [this, listing] { readingFinished(listing); });
    listing->start();
}

void IntakeQueue::readingFinished(NodeListing *listing)
{
    const auto reading = std::find_if(m_reading.begin(), m_reading.end(),
                                      [listing](const QPair<NodeListing *, Node> &r) { return r.first == listing; });
    if (reading == m_reading.end())
        return;
    const Node node = reading->second;
    m_reading.erase(reading);
    listing->deleteLater();
    m_pending.put({nodeIdOf(node.selfDoc), node.url, listing->nodeName(), listing->senders(), listing->receivers()});
    // From the top of the event loop, in the order the readings ended, and with the next
    // node started in the free place.
    scheduleHandOut();
}

void IntakeQueue::abortReadings(const std::function<bool(const Node &)> &match)
{
    const int before = m_reading.size();
    for (auto reading = m_reading.begin(); reading != m_reading.end();) {
        if (!match(reading->second)) {
            ++reading;
            continue;
        }
        // Deleted, the listing drops its request and never finishes.
        delete reading->first;
        reading = m_reading.erase(reading);
    }
    if (m_reading.size() < before)
        scheduleHandOut();
}
