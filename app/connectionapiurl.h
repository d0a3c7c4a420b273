#ifndef CONNECTIONAPIURL_H
#define CONNECTIONAPIURL_H

#include "nmos/nmosclient.h"

#include <QString>
#include <QUrl>

// The Connection API URL of one sender or receiver ("senders", "receivers") with an
// optional tail ("/active"): at its device's IS-05 base when the record carries one, else
// at the node address. Empty when the id cannot be one path segment or the base is not
// http(s): ids and bases come from the network.
QUrl connectionApiUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id,
                      const QString &tail = QString());

#endif // CONNECTIONAPIURL_H
