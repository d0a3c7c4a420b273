#include "securedfacility.h"

#include "discovery/authserverbrowser.h"
#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"
#include "net/authorizationsession.h"
#include "nmos/nmosclient.h"
#include "workflow/intakequeue.h"

SecuredFacility::SecuredFacility(QObject *parent)
    : QObject(parent)
    , m_session(new AuthorizationSession(this))
    , m_browser(new AuthServerBrowser(this))
{
    connect(m_browser, &AuthServerBrowser::serverChanged, this, &SecuredFacility::useServer);
    connect(m_session, &AuthorizationSession::clientRegistered, this, [this](const QUrl &server, const QString &clientId) {
        m_clients.insert(server.toString(), clientId);
        emit clientsChanged();
    });
}

void SecuredFacility::attach(NmosClient *client, IntakeQueue *intake, NMOSMdnsBrowser *mdns, NMOSRegistryBrowser *registry)
{
    client->setAuthorization(m_session);
    intake->setAuthorization(m_session);
    mdns->setAuthorization(m_session);
    registry->setAuthorization(m_session);
    connect(registry, &NMOSRegistryBrowser::authorizationNeeded, this, &SecuredFacility::signIn);
    connect(mdns, &NMOSMdnsBrowser::authorizationNeeded, this, &SecuredFacility::signIn);
}

void SecuredFacility::setServer(const QUrl &base)
{
    m_browser->setServer(base);
}

void SecuredFacility::setDnsDomains(const QStringList &domains)
{
    m_browser->setDnsDomains(domains);
}

void SecuredFacility::setDnsNameserver(const QHostAddress &server)
{
    m_browser->setDnsNameserver(server);
}

void SecuredFacility::setDevelopmentServersAllowed(bool allowed)
{
    m_browser->setDevelopmentServersAllowed(allowed);
}

void SecuredFacility::setClientCredentials(const QString &clientId, const QString &secret)
{
    m_confidential = true;
    m_session->setClientCredentials(clientId, secret);
}

void SecuredFacility::start()
{
    m_browser->start();
}

void SecuredFacility::signIn()
{
    const AuthorizationSession::State state = m_session->state();
    if (state == AuthorizationSession::SigningIn || state == AuthorizationSession::SignedIn)
        return;
    if (m_session->server().isEmpty()) {
        m_signInWanted = true;
        return;
    }
    m_session->signIn();
}

void SecuredFacility::useServer(const QUrl &base, const QString &verifyName)
{
    if (base.isEmpty() || base == m_session->server())
        return;
    m_session->setServer(base, verifyName);
    if (!m_confidential)
        m_session->setClientId(m_clients.value(base.toString()).toString());
    if (m_signInWanted) {
        m_signInWanted = false;
        m_session->signIn();
    }
}
