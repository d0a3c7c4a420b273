#include "app/mainwindow.h"
#include "discovery/nmosregistrybrowser.h"
#include "nmos/nmosclient.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral("8.0.124"));
    QApplication::setStyle(QStringLiteral("Fusion"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Patches NMOS receivers to senders over IS-05. Nodes are found by mDNS on this link and in\n"
        "an NMOS registry: the one given with --registry, else the best one announced by mDNS."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption registry(
        QStringLiteral("registry"),
        QStringLiteral("Read the nodes from the IS-04 Query API at this base URL, such as "
                       "http://10.0.0.5/x-nmos/query/v1.3 (a URL without a path gets that one)."),
        QStringLiteral("url"));
    const QCommandLineOption development(
        QStringLiteral("development-registries"),
        QStringLiteral("Also use registries announced with a pri of 100 or more (kept for development)."));
    const QCommandLineOption caFile(QStringLiteral("ca-file"),
                                    QStringLiteral("Trust the certificate authorities in this PEM file, besides the "
                                                   "system's, for nodes that speak https."),
                                    QStringLiteral("path"));
    parser.addOption(registry);
    parser.addOption(development);
    parser.addOption(caFile);
    parser.process(app);

    if (parser.isSet(caFile)) {
        // Refused at start: running on without the facility's authority would only show
        // its secure nodes as unreachable, later and with no hint why.
        QString error;
        if (!NmosClient::addTrustedAuthorities(parser.value(caFile), &error)) {
            QTextStream(stderr) << "ferrolink: --ca-file: " << error << "\n";
            return 2;
        }
    }

    QUrl registryBase;
    if (parser.isSet(registry)) {
        registryBase = NMOSRegistryBrowser::registryBase(parser.value(registry));
        if (registryBase.isEmpty()) {
            QTextStream(stderr) << "ferrolink: --registry needs an http:// or https:// URL, not \""
                                << parser.value(registry) << "\"\n";
            return 2;
        }
    }

    MainWindow window;
    if (!registryBase.isEmpty())
        window.registryBrowser()->setRegistry(registryBase);
    if (parser.isSet(development))
        window.registryBrowser()->setDevelopmentRegistriesAllowed(true);
    window.show();
    return app.exec();
}
