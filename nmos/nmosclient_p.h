#ifndef NMOSCLIENT_P_H
#define NMOSCLIENT_P_H

#include "nmosclient.h"

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcNmos)

// What the files of NmosClient share: the format names and the addresses of the APIs.
namespace NmosPrivate {

constexpr char VideoFormat[] = "urn:x-nmos:format:video";
constexpr char AudioFormat[] = "urn:x-nmos:format:audio";
constexpr char DataFormat[] = "urn:x-nmos:format:data";

// A path of the device's Connection API ("/bulk/receivers"), at its base or the node address.
QString connectionUrl(const NmosClient::NodeEndpoint &node, const QString &path);
QString nodeUrl(const NmosClient::NodeEndpoint &node, const QString &path);
QString nodeResourceUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id);
QString stagedUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id);
QString activeUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id);
bool isAccepted(int status);

} // namespace NmosPrivate

#endif // NMOSCLIENT_P_H
