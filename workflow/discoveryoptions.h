#ifndef DISCOVERYOPTIONS_H
#define DISCOVERYOPTIONS_H

#include <QCommandLineOption>
#include <QString>
#include <QStringList>
#include <QUrl>

class NMOSRegistryBrowser;
class SecuredFacility;
class QCommandLineParser;

// The options with which both programs are told where to find nodes, with one wording.
class DiscoveryOptions
{
public:
    DiscoveryOptions();

    void addTo(QCommandLineParser *parser) const;
    // Takes the options in; false, with the line to print after the program's name, when a
    // value cannot be used. An authority file is trusted from here on.
    bool read(const QCommandLineParser &parser, QString *errorString);
    void applyTo(NMOSRegistryBrowser *registry) const;
    void applyTo(SecuredFacility *facility) const;

private:
    QCommandLineOption m_registry;
    QCommandLineOption m_development;
    QCommandLineOption m_caFile;
    QCommandLineOption m_dnsDomain;
    QCommandLineOption m_authServer;
    QUrl m_registryBase;
    QUrl m_authServerBase;
    QStringList m_dnsDomains;
    bool m_developmentAllowed = false;
};

#endif // DISCOVERYOPTIONS_H
