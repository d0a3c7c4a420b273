#ifndef NMOSRESOURCESTORE_H
#define NMOSRESOURCESTORE_H

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

// The IS-04 resources a registry holds, by type and id, as its Query API last told them.
//
// Types are the Query API's collection names: "nodes", "devices", "senders", "receivers",
// "flows". A resource belongs to a node through its device ("device_id", then the device's
// "node_id"); a resource whose device is not known yet belongs to no node until it is.
//
// For the window (presence, connection state) and tests, every change is a signal:
//   resourceAdded / resourceChanged / resourceRemoved  (type, id, resource as now / as last)
//   receiverSubscriptionChanged                        a receiver's `subscription` differs
//                                                      from before, or the receiver is new
//   nodeChanged                                        any resource of that node changed
// All are emitted synchronously from insert(), remove() and keepOnly(); a slot must not
// change the store.
//
// Each resource is held as its compact JSON text: a facility's 40,000 resources take a
// tenth of the memory they take as parsed objects, and are parsed again when asked for.
class NmosResourceStore : public QObject
{
    Q_OBJECT

public:
    explicit NmosResourceStore(QObject *parent = nullptr);

    // The five collections, in the order their reads make the fewest orphans.
    static QStringList types();

    // Adds or replaces one resource. False, and nothing changes, for an unknown type or a
    // resource without a string id.
    bool insert(const QString &type, const QJsonObject &resource);
    void remove(const QString &type, const QString &id);
    // Removes the resources of a type that are not among ids: what a complete read, made by
    // insert() as it went, did not find.
    void keepOnly(const QString &type, const QSet<QString> &ids);
    void clear();

    bool contains(const QString &type, const QString &id) const;
    QJsonObject resource(const QString &type, const QString &id) const;
    // Every resource of a type, by id, as compact JSON text: what toText() makes of it.
    QHash<QString, QByteArray> texts(const QString &type) const;
    // The one text a resource is held as: equal texts, equal resources.
    static QByteArray toText(const QJsonObject &resource);
    // The resources of one node, in the order the store first saw them (the registry's
    // creation order when it was read that way).
    QJsonArray collection(const QString &type, const QString &nodeId) const;
    // The node a resource belongs to; empty when its device is not known.
    QString nodeOf(const QString &type, const QString &id) const;
    int count(const QString &type) const;

signals:
    void resourceAdded(const QString &type, const QString &id, const QJsonObject &resource);
    void resourceChanged(const QString &type, const QString &id, const QJsonObject &resource);
    void resourceRemoved(const QString &type, const QString &id, const QJsonObject &last);
    void receiverSubscriptionChanged(const QString &receiverId, const QString &senderId, bool active);
    void nodeChanged(const QString &nodeId);

private:
    struct Entry
    {
        quint64 order = 0;
        QString parent; // node_id of a device, device_id of the others
        QByteArray text;
    };
    using Collection = QHash<QString, Entry>;

    static QString parentOf(const QString &type, const QJsonObject &resource);
    void link(const QString &type, const QString &id, const QString &parent);
    void unlink(const QString &type, const QString &id, const QString &parent);
    void notifyNode(const QString &type, const QString &id, const Entry &entry);

    QHash<QString, Collection> m_collections;
    // type -> parent id -> the ids of its children of that type
    QHash<QString, QHash<QString, QSet<QString>>> m_children;
    quint64 m_nextOrder = 0;
};

#endif // NMOSRESOURCESTORE_H
