#ifndef ENTRYCATALOG_H
#define ENTRYCATALOG_H

#include "nmos/nmosclient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class DiscoveryOptions;
class NMOSMdnsBrowser;
class NMOSRegistryBrowser;

// One entry of the lists: a video sender or receiver, with the text the window lists it by.
struct Entry
{
    enum Kind { Sender, Receiver };

    Kind kind = Sender;
    QString nodeName;
    // A receiver's record leaves manifestHref empty.
    NmosClient::SenderConnection record;

    NmosClient::ReceiverConnection receiver() const
    {
        return {record.id, record.label, record.node, record.displayName};
    }
};

// The entries the window would list, found the same ways: nodes announced by mDNS and those
// a registry holds, each taken in one at a time. Entries are added, never removed.
class EntryCatalog : public QObject
{
    Q_OBJECT

public:
    explicit EntryCatalog(NmosClient *client, QObject *parent = nullptr);
    ~EntryCatalog() override;

    void start(const DiscoveryOptions &options);
    // Stops finding nodes; what is listed stays.
    void stop();

    // In the window's order: by text.
    QList<Entry> entries(Entry::Kind kind) const;
    // The entries a name stands for: the one with that whole text, else those with that
    // resource id, else those with that label. *exact tells whether it was text or id,
    // which no node found later can make ambiguous.
    QList<Entry> find(Entry::Kind kind, const QString &name, bool *exact = nullptr) const;
    // Whether a node is waiting to be taken in or is being taken in.
    bool isBusy() const { return m_takingIn || !m_queue.isEmpty(); }
    int nodeCount() const { return m_nodeCount; }

signals:
    void entryListed(const Entry &entry);
    void nodeTakenIn();
    void nodeRemoved(const QString &nodeName);

private:
    void enqueue(const QString &serviceName, const QUrl &url);
    void takeInNext();
    void add(const Entry &entry);

    NmosClient *m_client;
    NMOSMdnsBrowser *m_mdns = nullptr;
    NMOSRegistryBrowser *m_registry = nullptr;
    struct Node
    {
        QString serviceName;
        QUrl url;
    };
    QList<Node> m_queue;
    bool m_takingIn = false;
    bool m_scheduled = false;
    int m_nodeCount = 0;
    QList<Entry> m_entries;
    // Kind and text -> position in m_entries.
    QHash<QString, int> m_byText;
};

#endif // ENTRYCATALOG_H
