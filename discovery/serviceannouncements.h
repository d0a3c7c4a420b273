#ifndef SERVICEANNOUNCEMENTS_H
#define SERVICEANNOUNCEMENTS_H

#include "mdns/service.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace QMdnsEngine {
class Browser;
class Cache;
class Resolver;
class Server;
} // namespace QMdnsEngine

class UnicastDnsSdBrowser;


// The instances of one service type a facility announces, by mDNS on the link and by unicast
// DNS-SD in its DNS domains (the system's search domains unless told), each told once it can
// be reached: one found by mDNS with the first address its host resolves to, one found in DNS
// with the addresses of its host, IPv4 first.
class ServiceAnnouncements : public QObject
{
    Q_OBJECT

public:
    struct Announcement
    {
        QMdnsEngine::Service service; // its instance name, port and TXT attributes
        QHostAddress address;
        QString hostName; // the host it announced, in lower case, without the final dot
        bool inDns = false;

        // Where to reach it. Over https, one found in DNS is reached at its host name, which
        // its certificate names; anything else at its address, as the resolver that found it
        // may be the only one that knows the name.
        QString host(bool https) const { return inDns && https ? hostName : address.toString(); }
    };

    // type: "_nmos-query._tcp"
    explicit ServiceAnnouncements(const QByteArray &type, QObject *parent = nullptr);
    ~ServiceAnnouncements() override;

    // Both take effect at the next start.
    void setDnsDomains(const QStringList &domains) { m_dnsDomains = domains; }
    void setDnsNameserver(const QHostAddress &server) { m_dnsNameserver = server; }

    void start();
    void stop();

signals:
    // Again whenever it is announced again, or found again by a refresh of the DNS domains.
    void announced(const ServiceAnnouncements::Announcement &announcement);
    void withdrawn(const QByteArray &name);

private:
    void onMdnsAnnounced(const QMdnsEngine::Service &svc);
    void onMdnsWithdrawn(const QByteArray &name);
    void onResolved(const QByteArray &name, const QHostAddress &address);

    const QByteArray m_type;
    QStringList m_dnsDomains;
    QHostAddress m_dnsNameserver;
    bool m_started = false;
    std::unique_ptr<QMdnsEngine::Server> m_mdnsServer;
    std::unique_ptr<QMdnsEngine::Cache> m_mdnsCache;
    QMdnsEngine::Browser *m_mdnsBrowser = nullptr;
    UnicastDnsSdBrowser *m_unicast = nullptr;
    // By instance name: what mDNS announced, its resolver, and the address it resolved to.
    QHash<QByteArray, QMdnsEngine::Service> m_mdnsServices;
    QHash<QByteArray, QMdnsEngine::Resolver *> m_resolvers;
    QHash<QByteArray, QHostAddress> m_addresses;
};

Q_DECLARE_METATYPE(ServiceAnnouncements::Announcement)

#endif // SERVICEANNOUNCEMENTS_H
