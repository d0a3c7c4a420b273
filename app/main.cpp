#include "app/mainwindow.h"
#include "workflow/discoveryoptions.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

#include <memory>

namespace {

// Help and the version are text: they must work where no display is, as on a server that
// only has the package installed, and a QApplication aborts there.
bool wantsTextOnly(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "--help" || argument == "-h" || argument == "--help-all" || argument == "--version"
            || argument == "-v" || argument == "-?")
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    std::unique_ptr<QCoreApplication> app;
    if (wantsTextOnly(argc, argv))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("8.0.124"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Patches NMOS receivers to senders over IS-05. Nodes are found by mDNS on this link and in\n"
        "an NMOS registry: the one given with --registry, else the best one announced by mDNS."));
    parser.addHelpOption();
    parser.addVersionOption();
    DiscoveryOptions discovery;
    discovery.addTo(&parser);
    // Ends the process after help or the version.
    parser.process(*app);

    QString error;
    if (!discovery.read(parser, &error)) {
        QTextStream(stderr) << "ferrolink: " << error << "\n";
        return 2;
    }

    QApplication::setStyle(QStringLiteral("Fusion"));
    MainWindow window;
    discovery.applyTo(window.registryBrowser());
    discovery.applyTo(window.facility());
    window.show();
    return app->exec();
}
