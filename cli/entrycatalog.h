#ifndef ENTRYCATALOG_H
#define ENTRYCATALOG_H

#include "nmos/nmosclient.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class DiscoveryOptions;
class SecuredFacility;
class IntakeQueue;
class NMOSMdnsBrowser;
class NMOSRegistryBrowser;
class NmosResourceStore;

// One entry of the lists: a video sender or receiver, with the text the window lists it by.
struct Entry
{
    enum Kind { Sender, Receiver };

    Kind kind = Sender;
    QString nodeName;
    // A receiver's record leaves manifestHref empty.
    NmosClient::SenderConnection record;
    // The node's own id, when its self resource or a registry told it.
    QString nodeId;
    // A receiver's, what it is judged by (NmosClient::ReceiverConnection::capabilities).
    QJsonObject capabilities;

    NmosClient::ReceiverConnection receiver() const
    {
        return {record.id, record.label, record.node, record.displayName, capabilities};
    }
};

// The entries the window would list, found the same ways and taken in by the same intake:
// nodes announced by mDNS and those a registry holds. Entries are added, never removed.
class EntryCatalog : public QObject
{
    Q_OBJECT

public:
    explicit EntryCatalog(QObject *parent = nullptr);
    ~EntryCatalog() override;

    void start(const DiscoveryOptions &options);
    // Ferrolink's place in a secured facility: its token goes with the intake's, discovery's
    // and the registry's requests.
    SecuredFacility *facility() const { return m_facility; }
    // Stops finding and taking in nodes; what is listed stays.
    void stop();

    // In the window's order: by text.
    QList<Entry> entries(Entry::Kind kind) const;
    // The entries a name stands for: the one with that whole text, else those with that
    // resource id, else those with that label. *exact tells whether it was text or id,
    // which no node found later can make ambiguous.
    QList<Entry> find(Entry::Kind kind, const QString &name, bool *exact = nullptr) const;
    // Whether a node is waiting to be taken in or is being taken in.
    bool isBusy() const;
    // Every source has been read: the nodes found by mDNS so far, and the registry in use,
    // if any, whole at least once. What has not, in the operator's words, is unreadSources().
    bool hasReadEverySource() const { return unreadSources().isEmpty(); }
    QStringList unreadSources() const;
    int nodeCount() const { return m_nodeNames.size(); }
    // What the registry holds, where the runs read the resources of its entries; null
    // before start().
    NmosResourceStore *store() const;

signals:
    void entryListed(const Entry &entry);
    void nodeTakenIn();
    // A node found could not be read.
    void nodeUnreadable();
    void nodeRemoved(const QString &nodeName);
    // The registry in use has been read whole.
    void registryRead();

private:
    void takeIn(const QString &nodeName, const QList<NmosClient::SenderConnection> &senders,
                const QList<NmosClient::ReceiverConnection> &receivers);
    void add(Entry entry);

    IntakeQueue *m_intake;
    SecuredFacility *m_facility;
    NMOSMdnsBrowser *m_mdns = nullptr;
    NMOSRegistryBrowser *m_registry = nullptr;
    QSet<QString> m_nodeNames;
    // Node name and address -> the id a node found by mDNS gives itself.
    QHash<QString, QString> m_nodeIds;
    // The last registry tried, and whether one has been read whole.
    QUrl m_registryBase;
    bool m_registryRead = false;
    QList<Entry> m_entries;
    // Kind and text -> position in m_entries.
    QHash<QString, int> m_byText;
};

#endif // ENTRYCATALOG_H
