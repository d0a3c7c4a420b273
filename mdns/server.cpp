#include "mdns/server.h"

#include "mdns/logging_p.h"

Q_LOGGING_CATEGORY(lcMdns, "ferrolink.mdns")

namespace QMdnsEngine {

Server::Server(QObject *parent)
    : AbstractServer(parent)
{
}

Server::Server(const QStringList &interfaceNames, QObject *parent)
    : AbstractServer(parent), m_allInterfaces(false), m_wanted(interfaceNames)
{
}

Server::~Server() = default;

void Server::sendMessage(const Message &)
{
}

void Server::sendMessageToAll(const Message &)
{
}

QStringList Server::interfaceNames() const
{
    return m_interfaces.keys();
}

QList<QHostAddress> Server::interfaceAddresses(const QString &) const
{
    return {};
}

bool Server::isListening() const
{
    return m_ipv4Bound || m_ipv6Bound;
}

} // namespace QMdnsEngine
