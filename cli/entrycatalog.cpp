#include "entrycatalog.h"

#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"
#include "workflow/discoveryoptions.h"
#include "workflow/nodeintake.h"

#include <QSet>
#include <QTimer>

#include <algorithm>

namespace {

QString textKey(Entry::Kind kind, const QString &text)
{
    return (kind == Entry::Sender ? QLatin1Char('s') : QLatin1Char('r')) + text;
}

} // namespace

EntryCatalog::EntryCatalog(NmosClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
}

EntryCatalog::~EntryCatalog()
{
    stop();
}

void EntryCatalog::start(const DiscoveryOptions &options)
{
    m_mdns = new NMOSMdnsBrowser(this);
    connect(m_mdns, &NMOSMdnsBrowser::nodeSelfReady, this,
            [this](const QString &serviceName, const QUrl &url) { enqueue(serviceName, url); });
    connect(m_mdns, &NMOSMdnsBrowser::nodeRemoved, this, &EntryCatalog::nodeRemoved);
    m_mdns->start();
    m_registry = new NMOSRegistryBrowser(this);
    options.applyTo(m_registry);
    connect(m_registry, &NMOSRegistryBrowser::nodeSelfReady, this,
            [this](const QString &serviceName, const QUrl &url) { enqueue(serviceName, url); });
    m_registry->start();
}

void EntryCatalog::stop()
{
    if (m_mdns)
        m_mdns->stop();
    if (m_registry)
        m_registry->stop();
    m_queue.clear();
}

void EntryCatalog::enqueue(const QString &serviceName, const QUrl &url)
{
    for (const Node &node : qAsConst(m_queue)) {
        if (node.serviceName == serviceName && node.url == url)
            return;
    }
    m_queue.append({serviceName, url});
    // From the top of the event loop: an intake waits on requests in nested event loops,
    // and one started inside another's wait would nest as deep as a burst of nodes.
    if (!m_scheduled && !m_takingIn) {
        m_scheduled = true;
        QTimer::singleShot(0, this, &EntryCatalog::takeInNext);
    }
}

void EntryCatalog::takeInNext()
{
    m_scheduled = false;
    if (m_takingIn || m_queue.isEmpty())
        return;
    m_takingIn = true;
    const Node node = m_queue.takeFirst();
    const NmosClient::NodeEndpoint endpoint = NodeIntake::endpointOf(node.url);
    NodeIntake intake(m_client);
    for (const NmosClient::SenderConnection &sender : intake.senders(endpoint, node.serviceName))
        add({Entry::Sender, node.serviceName, sender});
    for (const NmosClient::ReceiverConnection &receiver : intake.receivers(endpoint, node.serviceName))
        add({Entry::Receiver, node.serviceName, {receiver.id, receiver.label, QString(), receiver.node, receiver.displayName}});
    ++m_nodeCount;
    m_takingIn = false;
    if (!m_queue.isEmpty()) {
        m_scheduled = true;
        QTimer::singleShot(0, this, &EntryCatalog::takeInNext);
    }
    emit nodeTakenIn();
}

void EntryCatalog::add(const Entry &entry)
{
    const QString key = textKey(entry.kind, entry.record.displayName);
    const auto listed = m_byText.constFind(key);
    if (listed != m_byText.constEnd()) {
        // A node that restarts comes back with new ids under the same texts; the entry
        // follows it, as the window's does.
        Entry &known = m_entries[listed.value()];
        if (known.record.node.address == entry.record.node.address)
            known = entry;
        return;
    }
    m_byText.insert(key, m_entries.size());
    m_entries.append(entry);
    emit entryListed(entry);
}

QList<Entry> EntryCatalog::entries(Entry::Kind kind) const
{
    QList<Entry> list;
    for (const Entry &entry : m_entries) {
        if (entry.kind == kind)
            list.append(entry);
    }
    std::sort(list.begin(), list.end(),
              [](const Entry &a, const Entry &b) { return a.record.displayName < b.record.displayName; });
    return list;
}

QList<Entry> EntryCatalog::find(Entry::Kind kind, const QString &name, bool *exact) const
{
    if (exact)
        *exact = true;
    const auto byText = m_byText.constFind(textKey(kind, name));
    if (byText != m_byText.constEnd())
        return {m_entries.at(byText.value())};
    const QList<Entry> all = entries(kind);
    QList<Entry> byId;
    QList<Entry> byLabel;
    for (const Entry &entry : all) {
        if (entry.record.id == name)
            byId.append(entry);
        else if (entry.record.label == name)
            byLabel.append(entry);
    }
    if (!byId.isEmpty())
        return byId;
    if (exact)
        *exact = false;
    return byLabel;
}
