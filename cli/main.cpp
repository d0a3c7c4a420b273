#include "cli/commandrunner.h"
#include "cli/console.h"
#include "cli/interruptwatcher.h"
#include "workflow/discoveryoptions.h"
#include "workflow/salvotake.h"

#include <QCommandLineParser>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <memory>

namespace {

struct Command
{
    const char *name;
    int arguments;
    QStringList options; // besides the discovery options and --wait
};

const QList<Command> &commands()
{
    static const QList<Command> list{
        {"list", 0, {"senders", "receivers", "json", "for"}},
        {"connect", 2, {"force"}},
        {"disconnect", 1, {}},
        {"sdp", 1, {}},
        {"save", 1, {}},
        {"recall", 1, {"dry-run", "in", "at"}},
        {"watch", 0, {"json"}},
    };
    return list;
}

// The client id and secret of a confidential client, from a JSON file
// ({"client_id": …, "client_secret": …}) that only its owner should be able to read.
bool readClientFile(const QString &path, CommandRunner::Options *options, QString *errorString)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorString = QStringLiteral("cannot read the client file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QJsonObject client = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    options->clientId = client.value(QLatin1String("client_id")).toString();
    options->clientSecret = client.value(QLatin1String("client_secret")).toString();
    if (options->clientId.isEmpty() || options->clientSecret.isEmpty()) {
        *errorString = QStringLiteral("the client file %1 holds no \"client_id\" and \"client_secret\"").arg(path);
        return false;
    }
    return true;
}

int usageError(const QString &text)
{
    Console::line(Console::err(), QStringLiteral("ferrolink-cli: %1 (see --help)").arg(text));
    return CommandRunner::Usage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ferrolink-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral("8.0.124"));
    // Its output is for scripts: the library's progress lines stay out of it unless
    // QT_LOGGING_RULES asks for them; warnings still go to stderr.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Patches NMOS receivers to senders over IS-05 from scripts, as Ferrolink's window does. Nodes are\n"
        "found by mDNS on this link and in an NMOS registry.\n\n"
        "Commands:\n"
        "  list [--senders|--receivers] [--json]  the entries the window lists, one a line; with --json\n"
        "                                         one object a line: a sender's with its format, a receiver's\n"
        "                                         with its caps and the sender it runs now\n"
        "  list --receivers --for SENDER          the receivers that can take SENDER's stream; each left out\n"
        "                                         is named on stderr with why; with --json every receiver,\n"
        "                                         with \"fits\" and, when false, the \"reason\"\n"
        "  connect SENDER RECEIVER [--force]      patch the receiver's group to the sender's, verified; a\n"
        "                                         receiver whose caps do not take the stream is left as it is\n"
        "                                         (exit 2) unless --force\n"
        "  disconnect RECEIVER                    take the receiver's group down, verified\n"
        "  sdp SENDER|RECEIVER                    print the transport files as the viewers show them\n"
        "  save FILE                              write what every receiver runs now; one that cannot be read\n"
        "                                         keeps what FILE held of it\n"
        "  recall FILE [--dry-run]                patch each saved receiver, found on its own node, to its saved\n"
        "        [--in SECONDS | --at TIME]       sender; one saved running a stream of no sender is left as it is.\n"
        "                                         With --in or --at every receiver switches at one time (IS-05\n"
        "                                         scheduled activation): SECONDS after the groups are read, or at\n"
        "                                         TIME (ISO 8601 UTC, 2026-12-08T14:05:00Z); each is then read\n"
        "                                         back. Interrupted before that time, it cancels what it\n"
        "                                         scheduled. --dry-run shows each receiver's sender now and after\n"
        "  watch [--json]                         one line per change, until interrupted\n\n"
        "SENDER and RECEIVER: an entry's whole text, a resource id, or a label that only one resource has.\n"
        "Exit codes: 0 done; 1 a pair or receiver failed or was not found; 2 usage, no match or several,\n"
        "or a receiver that cannot take the sender; 3 nothing found, or a source not read in full, in time;\n"
        "130 interrupted (recall --in or --at: after cancelling what it had scheduled)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do (see above)."),
                                 QStringLiteral("command [arguments]"));
    const QCommandLineOption senders(QStringLiteral("senders"), QStringLiteral("list: the senders only."));
    const QCommandLineOption receivers(QStringLiteral("receivers"), QStringLiteral("list: the receivers only."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("list, watch: one JSON object a line."));
    const QCommandLineOption forSender(QStringLiteral("for"), QStringLiteral("list: judge the receivers by what SENDER sends."),
                                       QStringLiteral("SENDER"));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("connect: patch even a receiver whose caps do not take the stream."));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"), QStringLiteral("recall: say what would be patched, patch nothing."));
    const QCommandLineOption in(QStringLiteral("in"),
                                QStringLiteral("recall: switch every receiver together, this long after the groups are read."),
                                QStringLiteral("seconds"));
    const QCommandLineOption at(QStringLiteral("at"),
                                QStringLiteral("recall: switch every receiver together at this time (ISO 8601 UTC)."),
                                QStringLiteral("time"));
    const QCommandLineOption wait(QStringLiteral("wait"),
                                  QStringLiteral("How long to look for the nodes named, or for list and save until every "
                                                 "source has been read and no node has come for 500 ms (default 3000)."),
                                  QStringLiteral("ms"), QStringLiteral("3000"));
    const QCommandLineOption clientFile(
        QStringLiteral("client-file"),
        QStringLiteral("In a secured facility, sign in as the client whose \"client_id\" and \"client_secret\" this JSON "
                       "file holds (default: the file named by FERROLINK_CLIENT_FILE)."),
        QStringLiteral("path"));
    parser.addOptions({senders, receivers, json, forSender, force, dryRun, in, at, wait, clientFile});
    DiscoveryOptions discovery;
    discovery.addTo(&parser);
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(CommandRunner::Done);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    CommandRunner::Options options;
    options.arguments = parser.positionalArguments();
    options.command = options.arguments.value(0);
    options.arguments = options.arguments.mid(1);
    const auto command = std::find_if(commands().begin(), commands().end(),
                                      [&](const Command &c) { return options.command == QLatin1String(c.name); });
    if (command == commands().end())
        return usageError(options.command.isEmpty() ? QStringLiteral("no command given")
                                                    : QStringLiteral("no command \"%1\"").arg(options.command));
    if (options.arguments.size() != command->arguments)
        return usageError(QStringLiteral("%1 takes %2 arguments").arg(options.command).arg(command->arguments));
    for (const QString &option : parser.optionNames()) {
        const bool general = option == QLatin1String("wait")
                             || !QStringList{"senders", "receivers", "json", "for", "force", "dry-run", "in", "at"}.contains(option);
        if (!general && !command->options.contains(option))
            return usageError(QStringLiteral("--%1 is not an option of %2").arg(option, options.command));
    }
    bool waitRead = false;
    options.waitMs = parser.value(wait).toInt(&waitRead);
    if (!waitRead || options.waitMs < 0)
        return usageError(QStringLiteral("--wait needs a number of milliseconds, not \"%1\"").arg(parser.value(wait)));
    options.senders = !parser.isSet(receivers) || parser.isSet(senders);
    options.receivers = !parser.isSet(senders) || parser.isSet(receivers);
    options.json = parser.isSet(json);
    options.dryRun = parser.isSet(dryRun);
    options.forSender = parser.value(forSender);
    options.force = parser.isSet(force);
    if (parser.isSet(forSender) && !options.receivers)
        return usageError(QStringLiteral("--for judges receivers: it does not go with --senders alone"));
    if (parser.isSet(in) && parser.isSet(at))
        return usageError(QStringLiteral("--in and --at cannot go together"));
    if (parser.isSet(in)) {
        bool read = false;
        const double seconds = parser.value(in).toDouble(&read);
        if (!read || seconds <= 0 || seconds > 24 * 3600)
            return usageError(QStringLiteral("--in needs a number of seconds, not \"%1\"").arg(parser.value(in)));
        options.leadMs = int(seconds * 1000);
    }
    if (parser.isSet(at)) {
        // A time without its zone would be the host's local time: a salvo is not taken on a guess.
        options.at = QDateTime::fromString(parser.value(at), Qt::ISODateWithMs);
        if (!options.at.isValid() || options.at.timeSpec() == Qt::LocalTime)
            return usageError(QStringLiteral("--at needs an ISO 8601 time in UTC (2026-12-08T14:05:00Z), not \"%1\"")
                                  .arg(parser.value(at)));
        options.at = options.at.toUTC();
        if (options.at <= QDateTime::currentDateTimeUtc() && !options.dryRun)
            return usageError(QStringLiteral("--at %1 has passed").arg(parser.value(at)));
        if (QDateTime::currentDateTimeUtc().msecsTo(options.at) > SalvoTake::MaxAheadMs)
            return usageError(QStringLiteral("--at %1 is more than 24 h ahead").arg(parser.value(at)));
    }

    QString error;
    const QString clientPath = parser.isSet(clientFile) ? parser.value(clientFile) : qEnvironmentVariable("FERROLINK_CLIENT_FILE");
    if (!clientPath.isEmpty() && !readClientFile(clientPath, &options, &error)) {
        Console::line(Console::err(), QStringLiteral("ferrolink-cli: %1").arg(error));
        return CommandRunner::Usage;
    }
    if (!discovery.read(parser, &error)) {
        Console::line(Console::err(), QStringLiteral("ferrolink-cli: %1").arg(error));
        return CommandRunner::Usage;
    }

    CommandRunner runner(options);
    QObject::connect(&runner, &CommandRunner::finished, &app, &QCoreApplication::exit);
    // A scheduled recall has activations to cancel before it ends.
    std::unique_ptr<InterruptWatcher> interrupts;
    if (options.leadMs >= 0 || options.at.isValid()) {
        interrupts.reset(new InterruptWatcher);
        QObject::connect(interrupts.get(), &InterruptWatcher::interrupted, &runner, &CommandRunner::interrupt);
    }
    runner.start(discovery);
    return app.exec();
}
