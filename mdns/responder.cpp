#include "mdns/responder.h"

#include "mdns/abstractserver.h"

namespace QMdnsEngine {

Responder::Responder(AbstractServer *server, const Service &service, QObject *parent)
    : QObject(parent), m_server(server), m_service(service)
{
}

Responder::~Responder() = default;

void Responder::setService(const Service &service)
{
    m_service = service;
}

void Responder::setAddresses(const QList<QHostAddress> &addresses)
{
    m_addresses = addresses;
}

void Responder::withdraw()
{
    m_withdrawn = true;
}

} // namespace QMdnsEngine
