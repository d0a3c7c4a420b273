#ifndef NODEINTAKE_H
#define NODEINTAKE_H

#include "nmos/nmosclient.h"

#include <QList>
#include <QString>

class QUrl;

// The entries a discovered node adds to the lists, named after the node: its video senders
// and its video receivers. The window and the console program list the same.
class NodeIntake
{
public:
    explicit NodeIntake(NmosClient *client);

    // Where the node that answered at url serves its APIs.
    static NmosClient::NodeEndpoint endpointOf(const QUrl &url);
    // Empty when the node lists none or cannot be asked.
    QList<NmosClient::SenderConnection> senders(const NmosClient::NodeEndpoint &node, const QString &nodeName);
    QList<NmosClient::ReceiverConnection> receivers(const NmosClient::NodeEndpoint &node, const QString &nodeName);

private:
    NmosClient *m_client;
};

#endif // NODEINTAKE_H
