#include "simannouncer.h"

#include "simnode.h"

#include "mdns/responder.h"
#include "mdns/server.h"
#include "mdns/service.h"

#include <QHostAddress>

SimAnnouncer::SimAnnouncer(const QStringList &interfaceNames, QObject *parent)
    : QObject(parent)
    , m_server(new QMdnsEngine::Server(interfaceNames, this))
{
}

SimAnnouncer::~SimAnnouncer()
{
    // Goodbyes need the server's sockets: the responders go first.
    qDeleteAll(m_responders);
    m_responders.clear();
}

void SimAnnouncer::addNode(SimNode *node)
{
    const SimNodeConfig &config = node->config();
    QMdnsEngine::Service service;
    service.setType("_nmos-node._tcp.local.");
    service.setName(config.label.toUtf8());
    service.setHostname(config.hostname.toUtf8());
    service.setPort(quint16(node->port()));
    service.setAttributes(node->txtAttributes());
    QMdnsEngine::Responder *responder = announce(service, config.bindAddresses);

    // resourcesChanged comes from an HTTP thread; the queued hop brings it to the thread
    // that owns the sockets.
    connect(node, &SimNode::resourcesChanged, this, [this, node, responder] { refresh(node, responder); },
            Qt::QueuedConnection);
}

void SimAnnouncer::addRegistry(const QString &label, const QString &bindAddress, int port, int priority, const QString &proto,
                                bool secured)
{
    QMdnsEngine::Service service;
    service.setType("_nmos-query._tcp.local.");
    service.setName(label.toUtf8());
    service.setHostname(SimConfigParser::hostnameFor(label).toUtf8());
    service.setPort(quint16(port));
    service.setAttributes({{"api_proto", proto.toUtf8()}, {"api_ver", "v1.3"}, {"api_auth", secured ? "true" : "false"},
                           {"pri", QByteArray::number(priority)}});
    announce(service, {bindAddress});
}

void SimAnnouncer::addAuthServer(const QString &label, const QString &bindAddress, int port, int priority,
                                 const QString &proto)
{
    QMdnsEngine::Service service;
    service.setType("_nmos-auth._tcp.local.");
    service.setName(label.toUtf8());
    service.setHostname(SimConfigParser::hostnameFor(label).toUtf8());
    service.setPort(quint16(port));
    service.setAttributes({{"api_proto", proto.toUtf8()}, {"api_ver", "v1.0"}, {"pri", QByteArray::number(priority)}});
    announce(service, {bindAddress});
}

QMdnsEngine::Responder *SimAnnouncer::announce(const QMdnsEngine::Service &service, const QStringList &bindAddresses)
{
    auto *responder = new QMdnsEngine::Responder(m_server, service, this);
    QList<QHostAddress> addresses;
    for (const QString &text : bindAddresses) {
        const QHostAddress address(text);
        // A wildcard bind serves every address: let the responder use the interface's own.
        if (address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6)
            addresses << address;
    }
    responder->setAddresses(addresses);
    m_responders << responder;
    return responder;
}

void SimAnnouncer::refresh(SimNode *node, QMdnsEngine::Responder *responder)
{
    QMdnsEngine::Service service = responder->service();
    const QMap<QByteArray, QByteArray> attributes = node->txtAttributes();
    if (QMdnsEngine::sameAttributes(service.attributes(), attributes))
        return;
    service.setAttributes(attributes);
    responder->setService(service);
}
