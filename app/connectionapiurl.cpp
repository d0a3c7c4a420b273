#include "connectionapiurl.h"

QUrl connectionApiUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id,
                      const QString &tail)
{
    if (id.isEmpty() || id == QLatin1String(".") || id == QLatin1String(".."))
        return QUrl();
    QString base = node.connectionApi;
    if (base.isEmpty()) {
        const QString scheme = node.scheme == QLatin1String("https") ? node.scheme : QStringLiteral("http");
        base = NmosClient::bracketIpv6Host(QStringLiteral("%1://%2/x-nmos/connection/v1.1").arg(scheme, node.address));
    }
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QUrl url(QStringLiteral("%1/single/%2/%3%4")
                       .arg(base, collection, QString::fromLatin1(QUrl::toPercentEncoding(id)), tail));
    const bool web = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    return web && url.isValid() ? url : QUrl();
}
