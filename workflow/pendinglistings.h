#ifndef PENDINGLISTINGS_H
#define PENDINGLISTINGS_H

#include "nmos/nmosclient.h"

#include <QHash>
#include <QList>
#include <QMultiHash>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

// The node listings that wait for the intake's release: one per node, its newest, in the
// order the nodes first came. What goes away meanwhile is taken out of them, so that the
// release lists nothing that is gone; the greying of listed entries cannot reach entries not
// listed yet.
class PendingListings
{
public:
    struct Listing
    {
        QString nodeId; // empty when the node's own answer named none
        QUrl url;       // where the node answered; empty for a registry's listing
        QString nodeName;
        QList<NmosClient::SenderConnection> senders;
        QList<NmosClient::ReceiverConnection> receivers;

        bool isFromRegistry() const { return url.isEmpty(); }
    };

    bool isEmpty() const { return m_listings.isEmpty(); }
    int size() const { return m_listings.size(); }
    // Replaces the node's listing waiting, in its place, or queues it last.
    void put(const Listing &listing);
    Listing takeFirst();
    void removeIf(const std::function<bool(const Listing &)> &match);
    // A registry's sender or receiver went away: no listing names it any more.
    void removeResource(const QString &type, const QString &id);

private:
    static QString keyOf(const Listing &listing);
    void index(const QString &key, const Listing &listing);
    void unindex(const QString &key, const Listing &listing);

    QHash<QString, Listing> m_listings;
    QStringList m_order;
    // Which listings name a sender or receiver: a registry that restarts removes thousands
    // of them, and each removal must not look through every entry waiting.
    QMultiHash<QString, QString> m_byResource;
};

#endif // PENDINGLISTINGS_H
