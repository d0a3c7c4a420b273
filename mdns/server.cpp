#include "mdns/server.h"

#include "mdns/dns.h"
#include "mdns/logging_p.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>

namespace QMdnsEngine {

namespace {

// Interfaces are polled: Qt 5 has no portable change notification, and a few seconds'
// delay in noticing a new link is well within what mDNS tolerates.
const int InterfacePollMs = 3000;
const int HopLimit = 255;  // RFC 6762 11

bool usable(const QNetworkInterface &iface, bool named)
{
    const auto flags = iface.flags();
    if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning))
        return false;
    // Asked for by name, loopback is allowed (handy for a single-host setup); otherwise the
    // interface must be able to multicast.
    if (named)
        return true;
    return (flags & QNetworkInterface::CanMulticast) && !(flags & QNetworkInterface::IsLoopBack);
}

} // namespace

Server::Server(QObject *parent)
    : AbstractServer(parent)
{
    start();
}

Server::Server(const QStringList &interfaceNames, QObject *parent)
    : AbstractServer(parent), m_allInterfaces(false), m_wanted(interfaceNames)
{
    start();
}

Server::~Server() = default;

namespace {
const int ReceiveBufferBytes = 4 * 1024 * 1024;
const int DatagramsPerTurn = 16;
}

void Server::start()
{
    qRegisterMetaType<QMdnsEngine::Message>("QMdnsEngine::Message");
    const auto mode = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    // Other responders (and other servers of this process) hold 5353 too: share it.
    m_ipv4Bound = m_ipv4Socket.bind(QHostAddress::AnyIPv4, MdnsPort, mode);
    if (!m_ipv4Bound)
        reportError(QStringLiteral("cannot bind IPv4 port 5353: %1").arg(m_ipv4Socket.errorString()));
    m_ipv6Bound = m_ipv6Socket.bind(QHostAddress::AnyIPv6, MdnsPort, mode);
    if (!m_ipv6Bound)
        reportError(QStringLiteral("cannot bind IPv6 port 5353: %1").arg(m_ipv6Socket.errorString()));
    m_oneShotIpv4Socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    m_oneShotIpv6Socket.bind(QHostAddress(QHostAddress::AnyIPv6), 0);
    for (QUdpSocket *socket : {&m_ipv4Socket, &m_ipv6Socket, &m_oneShotIpv4Socket, &m_oneShotIpv6Socket}) {
        socket->setSocketOption(QAbstractSocket::MulticastTtlOption, HopLimit);
        // Our own packets come back: a browser and a responder in one process see each other.
        socket->setSocketOption(QAbstractSocket::MulticastLoopbackOption, 1);
        // A link of hundreds of nodes answers one browse query with hundreds of packets at
        // once; the default buffer holds a few dozen and the rest, questions included, are
        // lost until the asker's next try seconds later. The kernel caps it at rmem_max.
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, ReceiveBufferBytes);
        connect(socket, &QUdpSocket::readyRead, this, [this, socket] { readPendingDatagrams(socket); });
    }
    connect(&m_interfaceTimer, &QTimer::timeout, this, &Server::refreshInterfaces);
    m_interfaceTimer.start(InterfacePollMs);
    refreshInterfaces();
}

void Server::reportError(const QString &message)
{
    qCWarning(lcMdns) << message;
    // Nobody can be connected while the constructor runs: deliver from the event loop.
    QMetaObject::invokeMethod(this, [this, message] { emit error(message); }, Qt::QueuedConnection);
}

void Server::refreshInterfaces()
{
    QMap<QString, QNetworkInterface> present;
    const auto all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all) {
        const bool named = m_wanted.contains(iface.name());
        if ((m_allInterfaces || named) && usable(iface, named))
            present.insert(iface.name(), iface);
    }

    for (auto i = m_interfaces.begin(); i != m_interfaces.end();) {
        if (!present.contains(i.key()) || present.value(i.key()).index() != i->index) {
            qCDebug(lcMdns) << "interface gone:" << i.key();
            i = m_interfaces.erase(i);
        } else {
            ++i;
        }
    }

    QStringList appeared;
    for (const QNetworkInterface &iface : qAsConst(present)) {
        Interface &state = m_interfaces[iface.name()];
        const bool wasActive = state.joinedIpv4 || state.joinedIpv6;
        state.index = iface.index();
        state.iface = iface;
        state.entries = iface.addressEntries();
        bool hasIpv4 = false;
        bool hasIpv6 = false;
        for (const QNetworkAddressEntry &entry : qAsConst(state.entries)) {
            hasIpv4 |= entry.ip().protocol() == QAbstractSocket::IPv4Protocol;
            hasIpv6 |= entry.ip().protocol() == QAbstractSocket::IPv6Protocol;
        }
        // Joining is retried on every poll: an address (IPv6 especially) may come later
        // than the link.
        if (m_ipv4Bound && hasIpv4 && !state.joinedIpv4) {
            // A stale membership of a link that went and came back would make the join fail.
            m_ipv4Socket.leaveMulticastGroup(mdnsIpv4Address(), iface);
            state.joinedIpv4 = m_ipv4Socket.joinMulticastGroup(mdnsIpv4Address(), iface);
            if (!state.joinedIpv4)
                qCWarning(lcMdns) << "cannot join 224.0.0.251 on" << iface.name() << m_ipv4Socket.errorString();
        }
        if (m_ipv6Bound && hasIpv6 && !state.joinedIpv6) {
            m_ipv6Socket.leaveMulticastGroup(mdnsIpv6Address(), iface);
            state.joinedIpv6 = m_ipv6Socket.joinMulticastGroup(mdnsIpv6Address(), iface);
            if (!state.joinedIpv6)
                qCWarning(lcMdns) << "cannot join ff02::fb on" << iface.name() << m_ipv6Socket.errorString();
        }
        if (!wasActive && (state.joinedIpv4 || state.joinedIpv6)) {
            qCDebug(lcMdns) << "interface up:" << iface.name();
            appeared.append(iface.name());
        }
    }
    for (const QString &name : qAsConst(appeared))
        emit interfaceAppeared(name);
}

bool Server::isOnLink(const QHostAddress &source, const Interface &iface) const
{
    if (source.protocol() == QAbstractSocket::IPv6Protocol && source.isLinkLocal())
        return true;
    QHostAddress plain = source;
    plain.setScopeId(QString());
    bool isV4 = false;
    const quint32 v4 = plain.toIPv4Address(&isV4);
    if (isV4)
        plain = QHostAddress(v4);
    // An IPv4 link-local source is on the link whatever the interface's own subnet: a node
    // that got no DHCP lease talks from 169.254/16 (RFC 6762 11, RFC 3927).
    if (isV4 && plain.isInSubnet(QHostAddress(QStringLiteral("169.254.0.0")), 16))
        return true;
    for (const QNetworkAddressEntry &entry : iface.entries) {
        if (entry.ip().protocol() != plain.protocol())
            continue;
        if (entry.prefixLength() >= 0 && plain.isInSubnet(entry.ip(), entry.prefixLength()))
            return true;
        if (entry.ip() == plain)
            return true;
    }
    return false;
}

void Server::readPendingDatagrams(QUdpSocket *socket)
{
    // A few at a time: a facility of thousands answering at once fills the buffer faster
    // than its packets are handled, and reading until it was empty held the event loop,
    // and the operator's input with it, for seconds. What is left is read on the loop's
    // next turn, as the socket still reports it.
    for (int read = 0; read < DatagramsPerTurn && socket->hasPendingDatagrams(); ++read) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        if (!datagram.isValid())
            continue;
        QHostAddress sender = datagram.senderAddress();
        QString name;
        if (datagram.interfaceIndex() != 0) {
            // Looked up among our own only: a packet from any other interface is dropped
            // below, and asking the system its name costs a socket and an ioctl per packet,
            // on a busy link thousands a second.
            for (auto i = m_interfaces.cbegin(); i != m_interfaces.cend() && name.isEmpty(); ++i) {
                if (uint(i->index) == datagram.interfaceIndex())
                    name = i.key();
            }
        } else {
            // No packet information from the platform: take the first of our links the
            // sender lives on.
            for (auto i = m_interfaces.cbegin(); i != m_interfaces.cend() && name.isEmpty(); ++i) {
                if (isOnLink(sender, *i) && !sender.isLinkLocal())
                    name = i.key();
            }
        }
        const auto iface = m_interfaces.constFind(name);
        // Sockets bound to the wildcard also see groups joined elsewhere in the system;
        // only our interfaces count.
        if (iface == m_interfaces.cend())
            continue;
        if (!isOnLink(sender, *iface)) {
            qCDebug(lcMdns) << "dropped packet from off-link" << sender.toString() << "on" << name;
            continue;
        }
        Message message;
        QString why;
        if (!parsePacket(datagram.data(), &message, &why)) {
            qCDebug(lcMdns) << "dropped malformed packet from" << sender.toString() << why;
            continue;
        }
        if (sender.protocol() == QAbstractSocket::IPv6Protocol && sender.isLinkLocal())
            sender.setScopeId(name);
        message.setAddress(sender);
        message.setPort(quint16(datagram.senderPort()));
        message.setInterfaceName(name);
        emit messageReceived(message);
    }
}

void Server::sendPacket(const QByteArray &packet, const QString &interfaceName,
                        const QHostAddress &address, quint16 port, bool oneShot)
{
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    QUdpSocket &socket = oneShot ? (ipv6 ? m_oneShotIpv6Socket : m_oneShotIpv4Socket)
                                 : (ipv6 ? m_ipv6Socket : m_ipv4Socket);
    if (!(ipv6 ? m_ipv6Bound : m_ipv4Bound) || socket.state() != QAbstractSocket::BoundState)
        return;
    QNetworkDatagram datagram(packet, address, port);
    datagram.setHopLimit(HopLimit);
    const auto iface = m_interfaces.constFind(interfaceName);
    if (iface != m_interfaces.cend()) {
        if (address.isMulticast())
            socket.setMulticastInterface(iface->iface);
        datagram.setInterfaceIndex(uint(iface->index));
        if (ipv6 && address.isLinkLocal() && address.scopeId().isEmpty()) {
            QHostAddress scoped = address;
            scoped.setScopeId(interfaceName);
            datagram.setDestination(scoped, port);
        }
    }
    if (socket.writeDatagram(datagram) < 0)
        qCDebug(lcMdns) << "send to" << address.toString() << "on" << interfaceName << "failed:" << socket.errorString();
}

void Server::sendMessage(const Message &message)
{
    QByteArray packet;
    QString why;
    if (!toPacket(message, &packet, &why)) {
        qCWarning(lcMdns) << "cannot encode message:" << why;
        return;
    }
    const QHostAddress address = message.address();
    const quint16 port = message.port() ? message.port() : MdnsPort;
    if (address.isMulticast() && message.interfaceName().isEmpty()) {
        for (auto i = m_interfaces.cbegin(); i != m_interfaces.cend(); ++i) {
            if (address.protocol() == QAbstractSocket::IPv6Protocol ? i->joinedIpv6 : i->joinedIpv4)
                sendPacket(packet, i.key(), address, port);
        }
        return;
    }
    if (!message.interfaceName().isEmpty() && !m_interfaces.contains(message.interfaceName()))
        return;
    sendPacket(packet, message.interfaceName(), address, port);
}

void Server::sendMessageToAll(const Message &message)
{
    sendToAll(message, false);
}

void Server::sendOneShotQuery(const Message &message)
{
    sendToAll(message, true);
}

void Server::sendToAll(const Message &message, bool oneShot)
{
    QByteArray packet;
    QString why;
    if (!toPacket(message, &packet, &why)) {
        qCWarning(lcMdns) << "cannot encode message:" << why;
        return;
    }
    for (auto i = m_interfaces.cbegin(); i != m_interfaces.cend(); ++i) {
        if (i->joinedIpv4)
            sendPacket(packet, i.key(), mdnsIpv4Address(), MdnsPort, oneShot);
        if (i->joinedIpv6)
            sendPacket(packet, i.key(), mdnsIpv6Address(), MdnsPort, oneShot);
    }
}

QStringList Server::interfaceNames() const
{
    QStringList names;
    for (auto i = m_interfaces.cbegin(); i != m_interfaces.cend(); ++i) {
        if (i->joinedIpv4 || i->joinedIpv6)
            names.append(i.key());
    }
    return names;
}

QList<QHostAddress> Server::interfaceAddresses(const QString &interfaceName) const
{
    QList<QHostAddress> addresses;
    const auto iface = m_interfaces.constFind(interfaceName);
    if (iface == m_interfaces.cend())
        return addresses;
    for (const QNetworkAddressEntry &entry : iface->entries) {
        QHostAddress address = entry.ip();
        if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal())
            address.setScopeId(interfaceName);
        addresses.append(address);
    }
    return addresses;
}

bool Server::isListening() const
{
    return m_ipv4Bound || m_ipv6Bound;
}

} // namespace QMdnsEngine
