#ifndef AUTHSERVERBROWSER_H
#define AUTHSERVERBROWSER_H

#include "discovery/serviceannouncements.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Finds a facility's authorization server: `_nmos-auth._tcp` in the unicast DNS domains (the
// system's search domains unless told) and by mDNS on the link, the lowest `pri` first,
// development ones (100 and above) only when allowed. A server found by unicast DNS-SD is
// reached at its host name, which its certificate names; one found by mDNS at an address,
// with that host as the name its certificate is checked against. A named server is used as
// it is and nothing is browsed.
class AuthServerBrowser : public QObject
{
    Q_OBJECT

public:
    static constexpr int DevelopmentPriority = 100;

    explicit AuthServerBrowser(QObject *parent = nullptr);
    ~AuthServerBrowser() override;

    void setServer(const QUrl &base) { m_given = base; }
    void setDevelopmentServersAllowed(bool allowed) { m_developmentAllowed = allowed; }
    // Both take effect at once when started.
    void setDnsDomains(const QStringList &domains);
    void setDnsNameserver(const QHostAddress &server);

    void start();
    void stop();

    // The server in use: its base ("https://auth.example:443", with the api_selector path
    // where one is announced), and the name its certificate must carry when that differs
    // from the base's host. Empty when none is known.
    QUrl server() const { return m_current; }
    QString verifyName() const { return m_currentVerifyName; }

signals:
    void serverChanged(const QUrl &base, const QString &verifyName);

private:
    struct Candidate
    {
        QByteArray name;
        QString hostName;
        quint16 port = 0;
        QString selector;
        int priority = 0;
        QUrl base;
        bool byName = false;
    };

    bool readCandidate(const QMdnsEngine::Service &svc, Candidate *candidate) const;
    void onAnnounced(const ServiceAnnouncements::Announcement &announcement);
    void onWithdrawn(const QByteArray &name);
    void chooseBest();

    QUrl m_given;
    bool m_developmentAllowed = false;
    QStringList m_dnsDomains;
    QHostAddress m_dnsNameserver;
    bool m_started = false;
    QList<Candidate> m_candidates;
    QUrl m_current;
    QString m_currentVerifyName;
    ServiceAnnouncements *m_announcements = nullptr;
};

#endif // AUTHSERVERBROWSER_H
