#include "entrycatalog.h"

#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"
#include "workflow/discoveryoptions.h"
#include "workflow/intakequeue.h"
#include "workflow/securedfacility.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

QString textKey(Entry::Kind kind, const QString &text)
{
    return (kind == Entry::Sender ? QLatin1Char('s') : QLatin1Char('r')) + text;
}

QString nodeKey(const QString &nodeName, const QString &address)
{
    return nodeName + QLatin1Char('\n') + address;
}

} // namespace

EntryCatalog::EntryCatalog(QObject *parent)
    : QObject(parent)
    , m_intake(new IntakeQueue(this))
    , m_facility(new SecuredFacility(this))
{
    connect(m_intake, &IntakeQueue::nodeListed, this, &EntryCatalog::takeIn);
}

EntryCatalog::~EntryCatalog()
{
    stop();
}

void EntryCatalog::start(const DiscoveryOptions &options)
{
    m_mdns = new NMOSMdnsBrowser(this);
    m_mdns->setAuthorization(m_facility->session());
    connect(m_mdns, &NMOSMdnsBrowser::nodeSelfReady, m_intake, &IntakeQueue::enqueue);
    connect(m_mdns, &NMOSMdnsBrowser::nodeSelfReady, this,
            [this](const QString &serviceName, const QUrl &url, const QJsonDocument &self) {
                const QString id = self.object().value(QLatin1String("id")).toString();
                if (!id.isEmpty())
                    m_nodeIds.insert(nodeKey(serviceName, IntakeQueue::endpointOf(url).address), id);
            });
    connect(m_mdns, &NMOSMdnsBrowser::nodeRemoved, this, &EntryCatalog::nodeRemoved);
    connect(m_mdns, &NMOSMdnsBrowser::nodeError, this, &EntryCatalog::nodeUnreadable);
    m_mdns->start();
    m_registry = new NMOSRegistryBrowser(this);
    options.applyTo(m_registry);
    options.applyTo(m_facility);
    m_intake->setAuthorization(m_facility->session());
    m_registry->setAuthorization(m_facility->session());
    connect(m_registry, &NMOSRegistryBrowser::authorizationNeeded, m_facility, &SecuredFacility::signIn);
    connect(m_mdns, &NMOSMdnsBrowser::authorizationNeeded, m_facility, &SecuredFacility::signIn);
    m_facility->start();
    // A registry's entries come with their resources: no node is asked for them.
    connect(m_registry, &NMOSRegistryBrowser::entriesListed, m_intake, &IntakeQueue::takeListed);
    connect(m_registry, &NMOSRegistryBrowser::registryChanged, this, [this](const QUrl &base) {
        if (!base.isEmpty())
            m_registryBase = base;
    });
    // What one registry held is listed for good: one that fails or gives way to a better
    // one afterwards takes nothing from the lists.
    connect(m_registry, &NMOSRegistryBrowser::settledChanged, this, [this] {
        if (m_registryRead || !m_registry->isSettled())
            return;
        m_registryRead = true;
        emit registryRead();
    });
    m_registry->start();
}

void EntryCatalog::stop()
{
    if (m_mdns)
        m_mdns->stop();
    if (m_registry)
        m_registry->stop();
    // Readings under way end by themselves; their entries are not listed any more.
    m_intake->hold();
}

NmosResourceStore *EntryCatalog::store() const
{
    return m_registry ? m_registry->store() : nullptr;
}

bool EntryCatalog::isBusy() const
{
    // A node found and still answering its first request is on its way into the lists.
    return m_intake->size() > 0 || (m_mdns && m_mdns->isFetching());
}

QStringList EntryCatalog::unreadSources() const
{
    QStringList unread;
    if (!m_registryBase.isEmpty() && !m_registryRead)
        unread << tr("the registry %1").arg(m_registryBase.toString());
    if (isBusy())
        unread << tr("the nodes found by mDNS");
    return unread;
}

void EntryCatalog::takeIn(const QString &nodeName, const QList<NmosClient::SenderConnection> &senders,
                          const QList<NmosClient::ReceiverConnection> &receivers)
{
    for (const NmosClient::SenderConnection &sender : senders)
        add({Entry::Sender, nodeName, sender});
    for (const NmosClient::ReceiverConnection &receiver : receivers)
        add({Entry::Receiver, nodeName, {receiver.id, receiver.label, QString(), receiver.node, receiver.displayName},
             QString(), receiver.capabilities});
    // A registry lists its nodes again at every change.
    m_nodeNames.insert(nodeName);
    emit nodeTakenIn();
}

void EntryCatalog::add(Entry entry)
{
    // A registry's entries carry their node's id; a node found by mDNS gave its own.
    const QString &registryNodeId = entry.record.node.registryNodeId;
    entry.nodeId = registryNodeId.isEmpty() ? m_nodeIds.value(nodeKey(entry.nodeName, entry.record.node.address))
                                            : registryNodeId;
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
