// nmos-simnode: plays NMOS nodes on this machine for tests, demos and benchmarks.

#include "simconfig.h"
#include "simnode.h"
#include "simnodeset.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    // Only async-signal-safe calls here; the event loop picks the byte up.
    const char byte = char(number);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nmos-simnode"));

    SimConfig config;
    QString error;
    if (!SimConfigParser::parse(QCoreApplication::arguments(), &config, &error)) {
        QTextStream(stderr) << "nmos-simnode: " << error << "\n";
        return 2;
    }
    // mDNS reaches every machine on the link; outside the private namespace it stays off
    // unless asked for explicitly.
    if (config.announce && !config.allowRealNetwork && qgetenv("FERROLINK_NETNS") != "1") {
        QTextStream(stderr) << "nmos-simnode: refusing to announce outside a private network namespace "
                               "(run it under tools/netns-run, or add --allow-real-network)\n";
        return 2;
    }

    if (::pipe(signalPipe) != 0) {
        QTextStream(stderr) << "nmos-simnode: cannot create the signal pipe\n";
        return 1;
    }
    SimNodeSet nodes(config);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&nodes] {
        char byte = 0;
        const ssize_t got = ::read(signalPipe[0], &byte, 1);
        (void)got;
        if (byte == SIGUSR1)
            nodes.restartRegistry();
        else if (byte == SIGUSR2)
            nodes.registerAgain();
        else
            QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
    // A client that hangs up early must not end the node when the answer is written.
    signal(SIGPIPE, SIG_IGN);

    if (!nodes.start(&error)) {
        QTextStream(stderr) << "nmos-simnode: " << error << "\n";
        return 1;
    }

    // One line per node on stdout, so that a script or test learns the ports chosen.
    QTextStream out(stdout);
    for (SimNode *node : nodes.nodes()) {
        const QJsonObject line{{QStringLiteral("label"), node->config().label},
                               {QStringLiteral("id"), node->id()},
                               {QStringLiteral("port"), node->port()},
                               {QStringLiteral("hostname"), node->config().hostname}};
        out << QJsonDocument(line).toJson(QJsonDocument::Compact) << "\n";
    }
    if (nodes.registryPort() > 0)
        out << QJsonDocument(QJsonObject{{QStringLiteral("registry"), nodes.registryPort()}}).toJson(QJsonDocument::Compact) << "\n";
    if (nodes.authPort() > 0)
        out << QJsonDocument(QJsonObject{{QStringLiteral("auth"), nodes.authPort()}}).toJson(QJsonDocument::Compact) << "\n";
    out << "ready\n";
    out.flush();

    const int status = app.exec();
    nodes.stop();
    return status;
}
