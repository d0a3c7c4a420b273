#include "mdns/abstractserver.h"

namespace QMdnsEngine {

AbstractServer::AbstractServer(QObject *parent)
    : QObject(parent)
{
}

void AbstractServer::sendOneShotQuery(const Message &)
{
}

QStringList AbstractServer::interfaceNames() const
{
    return {};
}

QList<QHostAddress> AbstractServer::interfaceAddresses(const QString &) const
{
    return {};
}

} // namespace QMdnsEngine
