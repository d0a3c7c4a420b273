#ifndef UNICASTDNSSDBROWSER_H
#define UNICASTDNSSDBROWSER_H

#include "mdns/service.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QDnsLookup;

// Finds the instances of one service type in unicast DNS domains (DNS-SD, RFC 6763): a PTR
// query for the type in each domain, then SRV and TXT for every instance and the addresses
// of its target, all through the system's resolver or the name server given. Facilities
// publish their registries this way, where mDNS does not reach across subnets.
class UnicastDnsSdBrowser : public QObject
{
    Q_OBJECT

public:
    struct Instance
    {
        QByteArray name;    // "reg1._nmos-query._tcp.example.com"
        QString hostName;   // the SRV target, without the final dot
        quint16 port = 0;
        QMap<QByteArray, QByteArray> attributes; // TXT keys in lower case
        QList<QHostAddress> addresses;

        // As mDNS would report it, so that one reading of a service serves both.
        QMdnsEngine::Service service() const;
    };

    static constexpr int DefaultRefreshMs = 30000;

    // type: "_nmos-query._tcp"
    explicit UnicastDnsSdBrowser(const QByteArray &type, QObject *parent = nullptr);

    // The domains browsed; the system's search domains when none are set.
    void setDomains(const QStringList &domains) { m_domains = domains; }
    QStringList domains() const { return m_domains; }
    // Asks this server instead of the system's (port 53).
    void setNameserver(const QHostAddress &server) { m_nameserver = server; }
    void setRefreshInterval(int ms) { m_refresh.setInterval(ms); }

    void start();
    void stop();

    // The "search" and "domain" entries of a resolv.conf text, in its order.
    static QStringList searchDomains(const QByteArray &resolvConf);
    static QStringList systemSearchDomains();

signals:
    // Every instance found with an address, again at each refresh while it is published.
    void instanceFound(const UnicastDnsSdBrowser::Instance &instance);
    // An instance found before that a refresh no longer lists.
    void instanceRemoved(const QByteArray &name);

private:
    void browse();
    void lookUpInstance(const QByteArray &name);
    void lookUpAddresses(const QByteArray &name);
    void report(const QByteArray &name);
    void finishRound();
    QDnsLookup *makeLookup(int type, const QString &name);

    const QByteArray m_type;
    QStringList m_domains;
    QHostAddress m_nameserver;
    QTimer m_refresh;
    bool m_started = false;
    // What this round has learnt of each instance, and how many lookups it still waits on.
    QHash<QByteArray, Instance> m_instances;
    QHash<QByteArray, int> m_waiting;
    QList<QByteArray> m_lastRound;
    QList<QByteArray> m_thisRound;
    int m_roundLookups = 0;
};

Q_DECLARE_METATYPE(UnicastDnsSdBrowser::Instance)

#endif // UNICASTDNSSDBROWSER_H
