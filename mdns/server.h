#ifndef QMDNSENGINE_SERVER_H
#define QMDNSENGINE_SERVER_H

#include "mdns/abstractserver.h"

#include <QMap>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>

namespace QMdnsEngine {

// The mDNS sockets: UDP 5353 shared with other listeners, IPv4 and IPv6, joined per
// interface, sending per interface with TTL/hop limit 255.
class Server : public AbstractServer
{
    Q_OBJECT

public:
    // Every interface that is up and can multicast (loopback excluded).
    explicit Server(QObject *parent = nullptr);
    // Only the named interfaces, as they come and go.
    explicit Server(const QStringList &interfaceNames, QObject *parent = nullptr);
    ~Server() override;

    void sendMessage(const Message &message) override;
    void sendMessageToAll(const Message &message) override;
    void sendOneShotQuery(const Message &message) override;
    QStringList interfaceNames() const override;
    QList<QHostAddress> interfaceAddresses(const QString &interfaceName) const override;

    bool isListening() const;
    // Looks for interfaces that came or went now, rather than at the next poll.
    void refreshInterfaces();

private:
    struct Interface {
        int index = 0;
        // Kept for sending: looking it up by index asks the system for every interface,
        // which at a thousand packets a second was a good part of the program's time.
        QNetworkInterface iface;
        QList<QNetworkAddressEntry> entries;
        bool joinedIpv4 = false;
        bool joinedIpv6 = false;
    };

    void start();
    void readPendingDatagrams(QUdpSocket *socket);
    void sendPacket(const QByteArray &packet, const QString &interfaceName,
                    const QHostAddress &address, quint16 port, bool oneShot = false);
    void sendToAll(const Message &message, bool oneShot);
    bool isOnLink(const QHostAddress &source, const Interface &iface) const;
    void reportError(const QString &message);

    bool m_allInterfaces = true;
    QStringList m_wanted;
    QUdpSocket m_ipv4Socket;
    QUdpSocket m_ipv6Socket;
    // One-shot queries go from these, on ports of their own, so that the unicast answers
    // reach us and not whichever other process shares 5353.
    QUdpSocket m_oneShotIpv4Socket;
    QUdpSocket m_oneShotIpv6Socket;
    bool m_ipv4Bound = false;
    bool m_ipv6Bound = false;
    QMap<QString, Interface> m_interfaces;
    QTimer m_interfaceTimer;
};

} // namespace QMdnsEngine

#endif // QMDNSENGINE_SERVER_H
