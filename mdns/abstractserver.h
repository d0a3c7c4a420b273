#ifndef QMDNSENGINE_ABSTRACTSERVER_H
#define QMDNSENGINE_ABSTRACTSERVER_H

#include "mdns/message.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>

namespace QMdnsEngine {

// The transport under browsers, resolvers and responders; tests put a fake in its place.
class AbstractServer : public QObject
{
    Q_OBJECT

public:
    explicit AbstractServer(QObject *parent = nullptr);

    // To message.address() and port(), on message.interfaceName() (empty: every interface
    // for a multicast group, the routing table for a unicast address).
    virtual void sendMessage(const Message &message) = 0;
    // To both mDNS groups, separately on every interface.
    virtual void sendMessageToAll(const Message &message) = 0;
    // As sendMessageToAll, but from a port other than 5353: a one-shot query (RFC 6762
    // 5.1), which responders answer by unicast at once. The answers are received as
    // usual. A server that cannot send one does nothing.
    virtual void sendOneShotQuery(const Message &message);

    // The interfaces currently in use and their addresses; a server that cannot tell
    // returns empty lists.
    virtual QStringList interfaceNames() const;
    virtual QList<QHostAddress> interfaceAddresses(const QString &interfaceName) const;

signals:
    void messageReceived(const QMdnsEngine::Message &message);
    void error(const QString &message);
    // A new interface has joined the groups: queriers restart their schedule on it.
    void interfaceAppeared(const QString &interfaceName);
};

} // namespace QMdnsEngine

#endif // QMDNSENGINE_ABSTRACTSERVER_H
