#include "discoveryoptions.h"

#include "discovery/nmosregistrybrowser.h"
#include "nmos/nmosclient.h"
#include "workflow/securedfacility.h"

#include <QCommandLineParser>

DiscoveryOptions::DiscoveryOptions()
    : m_registry(QStringLiteral("registry"),
                 QStringLiteral("Read the nodes from the IS-04 Query API at this base URL, such as "
                                "http://10.0.0.5/x-nmos/query/v1.3 (a URL without a path: the highest version both speak)."),
                 QStringLiteral("url"))
    , m_development(QStringLiteral("development-registries"),
                    QStringLiteral("Also use registries announced with a pri of 100 or more (kept for development)."))
    , m_caFile(QStringLiteral("ca-file"),
               QStringLiteral("Trust the certificate authorities in this PEM file, besides the system's, for nodes "
                              "that speak https."),
               QStringLiteral("path"))
    , m_dnsDomain(QStringLiteral("dns-domain"),
                  QStringLiteral("Find registries by unicast DNS-SD in this DNS domain instead of the system's "
                                 "search domains; repeatable."),
                  QStringLiteral("name"))
    , m_authServer(QStringLiteral("auth-server"),
                   QStringLiteral("Get the facility's access tokens from the IS-10 authorization server at this https URL "
                                  "instead of the one announced as _nmos-auth._tcp."),
                   QStringLiteral("url"))
{
}

void DiscoveryOptions::addTo(QCommandLineParser *parser) const
{
    parser->addOption(m_registry);
    parser->addOption(m_development);
    parser->addOption(m_caFile);
    parser->addOption(m_dnsDomain);
    parser->addOption(m_authServer);
}

bool DiscoveryOptions::read(const QCommandLineParser &parser, QString *errorString)
{
    if (parser.isSet(m_caFile)) {
        // Refused at start: running on without the facility's authority would only show
        // its secure nodes as unreachable, later and with no hint why.
        QString error;
        if (!NmosClient::addTrustedAuthorities(parser.value(m_caFile), &error)) {
            if (errorString)
                *errorString = QStringLiteral("--ca-file: %1").arg(error);
            return false;
        }
    }
    if (parser.isSet(m_registry)) {
        m_registryBase = NMOSRegistryBrowser::registryBase(parser.value(m_registry));
        if (m_registryBase.isEmpty()) {
            if (errorString)
                *errorString = QStringLiteral("--registry needs an http:// or https:// URL, not \"%1\"")
                                   .arg(parser.value(m_registry));
            return false;
        }
    }
    if (parser.isSet(m_authServer)) {
        m_authServerBase = QUrl(parser.value(m_authServer), QUrl::StrictMode);
        // Tokens are asked for over https only, with the server's certificate checked.
        if (m_authServerBase.scheme() != QLatin1String("https") || m_authServerBase.host().isEmpty()) {
            if (errorString)
                *errorString = QStringLiteral("--auth-server needs an https:// URL, not \"%1\"").arg(parser.value(m_authServer));
            return false;
        }
    }
    m_developmentAllowed = parser.isSet(m_development);
    m_dnsDomains = parser.values(m_dnsDomain);
    return true;
}

void DiscoveryOptions::applyTo(NMOSRegistryBrowser *registry) const
{
    if (!m_registryBase.isEmpty())
        registry->setRegistry(m_registryBase);
    if (m_developmentAllowed)
        registry->setDevelopmentRegistriesAllowed(true);
    if (!m_dnsDomains.isEmpty())
        registry->setDnsDomains(m_dnsDomains);
}

void DiscoveryOptions::applyTo(SecuredFacility *facility) const
{
    if (!m_authServerBase.isEmpty())
        facility->setServer(m_authServerBase);
    if (m_developmentAllowed)
        facility->setDevelopmentServersAllowed(true);
    if (!m_dnsDomains.isEmpty())
        facility->setDnsDomains(m_dnsDomains);
}
