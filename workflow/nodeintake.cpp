#include "nodeintake.h"

#include <QUrl>

NodeIntake::NodeIntake(NmosClient *client)
    : m_client(client)
{
}

NmosClient::NodeEndpoint NodeIntake::endpointOf(const QUrl &url)
{
    // Fully decoded, a link-local host keeps its zone ("fe80::1%fl0"), which the client
    // needs to reach the node on the interface it was found on. The scheme goes with the
    // address to every later request: a node that asked for https is never asked over http.
    return {url.host(QUrl::FullyDecoded) + QLatin1Char(':') + QString::number(url.port()), url.scheme()};
}

QList<NmosClient::SenderConnection> NodeIntake::senders(const NmosClient::NodeEndpoint &node, const QString &nodeName)
{
    if (!m_client->hasSenders(node))
        return {};
    return m_client->videoSenders(node, nodeName);
}

QList<NmosClient::ReceiverConnection> NodeIntake::receivers(const NmosClient::NodeEndpoint &node,
                                                            const QString &nodeName)
{
    if (!m_client->hasReceivers(node))
        return {};
    return m_client->videoReceivers(node, nodeName);
}
