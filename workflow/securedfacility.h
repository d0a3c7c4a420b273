#ifndef SECUREDFACILITY_H
#define SECUREDFACILITY_H

#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

class AuthServerBrowser;
class AuthorizationSession;
class IntakeQueue;
class NMOSMdnsBrowser;
class NMOSRegistryBrowser;
class NmosClient;

// Ferrolink's place in a secured facility (IS-10, BCP-003-02): the authorization server,
// found by DNS-SD or named, the session that holds the facility's token, and the parts of the
// program whose requests carry it. A sign-in starts by itself when a registry that wants a
// token is met, and once the server is known when it is met before.
class SecuredFacility : public QObject
{
    Q_OBJECT

public:
    explicit SecuredFacility(QObject *parent = nullptr);

    AuthorizationSession *session() const { return m_session; }

    // Gives the session to every part that sends requests to the facility's APIs.
    void attach(NmosClient *client, IntakeQueue *intake, NMOSMdnsBrowser *mdns, NMOSRegistryBrowser *registry);

    // The authorization server's base URL, instead of finding one.
    void setServer(const QUrl &base);
    void setDnsDomains(const QStringList &domains);
    void setDnsNameserver(const QHostAddress &server);
    void setDevelopmentServersAllowed(bool allowed);
    // The window's client ids, one per authorization server URL, as clientsChanged() gave them.
    void setKnownClients(const QVariantMap &clients) { m_clients = clients; }
    QVariantMap knownClients() const { return m_clients; }
    // ferrolink-cli's confidential client.
    void setClientCredentials(const QString &clientId, const QString &secret);

    void start();
    // Signs in now, or as soon as the authorization server is known.
    void signIn();

signals:
    // A client was registered at a server: the application keeps knownClients().
    void clientsChanged();

private:
    void useServer(const QUrl &base, const QString &verifyName);

    AuthorizationSession *m_session;
    AuthServerBrowser *m_browser;
    QVariantMap m_clients;
    bool m_signInWanted = false;
    bool m_confidential = false;
};

#endif // SECUREDFACILITY_H
