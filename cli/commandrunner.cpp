#include "commandrunner.h"

#include "cli/activesenderreader.h"
#include "cli/console.h"
#include "net/authorizationsession.h"
#include "nmos/nmosclient.h"
#include "nmos/receivercapabilities.h"
#include "workflow/securedfacility.h"
#include "workflow/discoveryoptions.h"
#include "workflow/salvotake.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <utility>

namespace {

QString kindName(Entry::Kind kind)
{
    return kind == Entry::Sender ? QStringLiteral("sender") : QStringLiteral("receiver");
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

CommandRunner::CommandRunner(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_client(new NmosClient(this))
    , m_catalog(new EntryCatalog(this))
    , m_workflow(new PatchWorkflow(m_client, this))
    , m_reader(new ActiveSenderReader(m_client, this))
    , m_take(new SalvoTake(m_client, this))
{
    m_deadline.setSingleShot(true);
    m_quiet.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_deadlinePassed = true;
        evaluate();
    });
    connect(&m_quiet, &QTimer::timeout, this, [this] {
        m_quietReached = true;
        evaluate();
    });
    // Each pair as it is done, so that a long run shows its way; why one failed comes at the end.
    connect(m_workflow, &PatchWorkflow::pairFinished, this, [](const PatchWorkflow::PairOutcome &pair, int number, int count) {
        const QString kind = QStringList{QStringLiteral("video"), QStringLiteral("audio"), QStringLiteral("anc")}.value(pair.format);
        const QString what = pair.status != PatchWorkflow::PairOutcome::Done ? tr("failed")
                             : pair.senderId.isEmpty()                       ? tr("taken down")
                                                                             : tr("<- %1 patched").arg(pair.senderId);
        Console::line(Console::out(), tr("%1 %2 of %3: %4 %5").arg(kind).arg(number).arg(count).arg(pair.receiverId, what));
    });
    connect(m_catalog, &EntryCatalog::nodeUnreadable, this, [this] { evaluate(); });
    connect(m_catalog, &EntryCatalog::registryRead, this, [this] { evaluate(); });
    connect(m_catalog, &EntryCatalog::nodeTakenIn, this, [this] {
        m_quietReached = false;
        m_quiet.start(QuietMs);
        evaluate();
    });
}

void CommandRunner::start(const DiscoveryOptions &discovery)
{
    if (m_options.command == QLatin1String("recall")) {
        const QString path = m_options.arguments.value(0);
        if (!SalvoFile::read(path, &m_recalled) || m_recalled.routes.isEmpty()) {
            Console::line(Console::err(), tr("%1: no receivers saved there").arg(path));
            finish(Usage);
            return;
        }
    }
    if (m_options.command == QLatin1String("watch")) {
        connect(m_catalog, &EntryCatalog::entryListed, this, [this](const Entry &entry) {
            if (m_options.json) {
                QJsonObject event = entryJson(entry);
                event.insert(QStringLiteral("event"), QStringLiteral("listed"));
                Console::json(event);
            } else {
                Console::line(Console::out(), tr("listed %1 %2").arg(kindName(entry.kind), entry.record.displayName));
            }
        });
        connect(m_catalog, &EntryCatalog::nodeRemoved, this, [this](const QString &nodeName) {
            if (m_options.json)
                Console::json({{QStringLiteral("event"), QStringLiteral("removed")}, {QStringLiteral("node"), nodeName}});
            else
                Console::line(Console::out(), tr("removed %1").arg(nodeName));
        });
    } else {
        m_deadline.start(m_options.waitMs);
    }
    // What each receiver runs is read while the lists wait to settle, once the intake has
    // nothing left to read: beside the intake, the reads would only slow it.
    if ((m_options.command == QLatin1String("list") && m_options.json && m_options.receivers)
        || m_options.command == QLatin1String("save")) {
        connect(m_catalog, &EntryCatalog::entryListed, this, [this](const Entry &entry) {
            if (entry.kind == Entry::Receiver)
                m_unread.append(entry);
        });
        connect(m_catalog, &EntryCatalog::nodeTakenIn, this, [this] {
            if (m_catalog->isBusy())
                return;
            m_reader->readAhead(std::exchange(m_unread, {}));
        });
    }
    SecuredFacility *facility = m_catalog->facility();
    m_client->setAuthorization(facility->session());
    // A script given its client signs in at once: the facility's APIs want the token before
    // their first request. A sign-in that fails ends the run with its reason.
    AuthorizationSession *session = facility->session();
    connect(session, &AuthorizationSession::stateChanged, this, [this, session] {
        const bool failed = m_signingIn && session->state() == AuthorizationSession::SignInNeeded;
        m_signingIn = session->state() == AuthorizationSession::SigningIn;
        if (!failed)
            return;
        Console::line(Console::err(), QStringLiteral("ferrolink-cli: %1").arg(session->stateText()));
        finish(Failed);
    });
    // Without a client of its own, a person at the terminal signs in in a browser.
    connect(session, &AuthorizationSession::authorizeWithBrowser, this, [](const QUrl &url) {
        Console::line(Console::err(), QStringLiteral("ferrolink-cli: sign in at %1").arg(url.toString(QUrl::FullyEncoded)));
    });
    if (!m_options.clientId.isEmpty()) {
        facility->setClientCredentials(m_options.clientId, m_options.clientSecret);
        facility->signIn();
    }
    m_catalog->start(discovery);
    m_client->setResourceStore(m_catalog->store());
    if (m_options.command == QLatin1String("watch")) {
        connect(m_reader, &ActiveSenderReader::receiverRead, this, &CommandRunner::showReceiving);
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, &CommandRunner::pollReceivers);
        poll->start(1000);
    }
}

bool CommandRunner::isSettled() const
{
    return m_deadlinePassed
           || (m_quietReached && m_catalog->hasReadEverySource() && m_catalog->nodeCount() > 0);
}

QList<CommandRunner::Named> CommandRunner::namedEntries() const
{
    const QString &command = m_options.command;
    const QStringList &arguments = m_options.arguments;
    if (command == QLatin1String("connect"))
        return {{{Entry::Sender}, arguments.value(0)}, {{Entry::Receiver}, arguments.value(1)}};
    if (command == QLatin1String("disconnect"))
        return {{{Entry::Receiver}, arguments.value(0)}};
    if (command == QLatin1String("sdp"))
        return {{{Entry::Sender, Entry::Receiver}, arguments.value(0)}};
    QList<Named> named;
    for (const SalvoFile::Route &route : m_recalled.routes) {
        named.append({{Entry::Receiver}, route.receiver.id});
        if (route.hasSender)
            named.append({{Entry::Sender}, route.sender.id});
    }
    return named;
}

bool CommandRunner::isResolvable(const Named &named) const
{
    QSet<QString> ids;
    bool exact = false;
    for (Entry::Kind kind : named.kinds) {
        bool kindExact = false;
        for (const Entry &entry : m_catalog->find(kind, named.name, &kindExact)) {
            ids.insert(entry.record.id);
            exact = exact || kindExact;
        }
    }
    return (exact && !ids.isEmpty()) || ids.size() > 1 || (isSettled() && !ids.isEmpty());
}

void CommandRunner::evaluate()
{
    if (m_running || m_options.command == QLatin1String("watch"))
        return;
    bool ready = isSettled();
    const QString &command = m_options.command;
    if (command != QLatin1String("list") && command != QLatin1String("save")) {
        // Whatever it names is found: no need to wait for the rest of the facility.
        ready = m_deadlinePassed;
        const QList<Named> named = namedEntries();
        if (!ready)
            ready = std::all_of(named.begin(), named.end(), [this](const Named &n) { return isResolvable(n); });
    }
    if (!ready)
        return;
    m_running = true;
    // From the top of the event loop, not inside the intake that made it ready.
    QTimer::singleShot(0, this, &CommandRunner::run);
}

void CommandRunner::run()
{
    m_deadline.stop();
    m_quiet.stop();
    m_unreadSources = m_catalog->unreadSources();
    // Nothing more is listed while the run's requests wait in nested event loops.
    m_catalog->stop();
    const QString &command = m_options.command;
    if (command == QLatin1String("list"))
        list();
    else if (command == QLatin1String("connect"))
        finish(connectEntries());
    else if (command == QLatin1String("disconnect"))
        finish(disconnectEntry());
    else if (command == QLatin1String("sdp"))
        finish(showFiles());
    else if (command == QLatin1String("save"))
        save();
    else
        recall();
}

void CommandRunner::interrupt()
{
    if (m_interrupted)
        return;
    m_interrupted = true;
    // A take being staged answers once its requests are sent, with what it cancelled.
    if (m_take->cancel())
        return;
    const bool afterTime = m_take->state() == SalvoTake::Verifying
                           || (m_take->state() == SalvoTake::Scheduled && QDateTime::currentDateTimeUtc() >= m_take->time());
    Console::line(Console::err(), afterTime ? tr("Interrupted after the time: the receivers were switching; not read back")
                                            : tr("Interrupted"));
    finish(Interrupted);
}

void CommandRunner::finish(int exitCode)
{
    // Once the caller's loop runs: a failure found before it started must still end it.
    QTimer::singleShot(0, this, [this, exitCode] { emit finished(exitCode); });
}

bool CommandRunner::resolve(const Named &named, Entry *entry, int *exitCode) const
{
    QList<Entry> found;
    QSet<QString> ids;
    int listed = 0;
    for (Entry::Kind kind : named.kinds) {
        listed += m_catalog->entries(kind).size();
        for (const Entry &candidate : m_catalog->find(kind, named.name)) {
            found.append(candidate);
            ids.insert(candidate.record.id);
        }
    }
    const QString what = named.kinds.size() > 1 ? tr("sender or receiver")
                                                 : kindName(named.kinds.first());
    if (ids.size() == 1) {
        // One resource, perhaps listed once per address of its node.
        *entry = found.first();
        return true;
    }
    if (ids.isEmpty()) {
        Console::line(Console::err(), listed == 0 ? tr("No %1 found in %2 ms").arg(what).arg(m_options.waitMs)
                                               : tr("No %1 matches \"%2\"").arg(what, named.name));
        *exitCode = listed == 0 ? NothingFound : Usage;
        return false;
    }
    Console::line(Console::err(), tr("\"%1\" matches several %2s:").arg(named.name, what));
    for (const Entry &candidate : found)
        Console::line(Console::err(), QStringLiteral("  %1 [%2]").arg(candidate.record.displayName, candidate.record.id));
    *exitCode = Usage;
    return false;
}

QJsonObject CommandRunner::entryJson(const Entry &entry) const
{
    QJsonObject object{{QStringLiteral("kind"), kindName(entry.kind)},
                       {QStringLiteral("text"), entry.record.displayName},
                       {QStringLiteral("node"), entry.nodeName},
                       {QStringLiteral("address"), entry.record.node.address},
                       {QStringLiteral("label"), entry.record.label},
                       {QStringLiteral("id"), entry.record.id}};
    if (entry.kind == Entry::Sender) {
        object.insert(QStringLiteral("format"), orNull(entry.record.format.text()));
        object.insert(QStringLiteral("parameters"), entry.record.format.parameters());
    } else {
        object.insert(QStringLiteral("caps"), orNull(ReceiverCapabilities::summary(entry.capabilities)));
    }
    if (m_judging && entry.kind == Entry::Receiver) {
        const ReceiverCapabilities::Verdict verdict = ReceiverCapabilities::judge(entry.capabilities, m_judgedStream);
        object.insert(QStringLiteral("fits"), verdict.canTake);
        if (!verdict.canTake)
            object.insert(QStringLiteral("reason"), verdict.reason);
        if (!verdict.ignored.isEmpty())
            object.insert(QStringLiteral("unjudged"), QJsonArray::fromStringList(verdict.ignored));
    }
    return object;
}

StreamFormat CommandRunner::streamOf(const Entry &sender)
{
    StreamFormat stream = sender.record.format;
    NmosClient::SenderGroup group;
    group.id = sender.record.id;
    group.manifestHref = sender.record.manifestHref;
    group.node = sender.record.node;
    QString sdp;
    QString error;
    if (m_client->getManifest(group, &sdp, &error))
        stream.completeFromSdp(sdp.toUtf8());
    else if (stream.mediaType().isEmpty())
        Console::line(Console::err(), tr("%1 is judged by what IS-04 says alone, which names no media type: %2")
                                          .arg(sender.record.displayName, error));
    return stream;
}

void CommandRunner::reportUnreadSources()
{
    if (!m_unreadSources.isEmpty())
        Console::line(Console::err(), tr("Not read in full in %1 ms: %2")
                                          .arg(m_options.waitMs)
                                          .arg(m_unreadSources.join(QLatin1String(", "))));
}

void CommandRunner::list()
{
    if (m_catalog->nodeCount() == 0) {
        Console::line(Console::err(), tr("No node found in %1 ms").arg(m_options.waitMs));
        reportUnreadSources();
        finish(NothingFound);
        return;
    }
    // What was found is listed all the same; the exit code tells that it may not be all.
    reportUnreadSources();
    if (!m_unreadSources.isEmpty())
        m_exitCode = NothingFound;
    QList<Entry> receivers = m_options.receivers ? m_catalog->entries(Entry::Receiver) : QList<Entry>();
    if (!m_options.forSender.isEmpty()) {
        Entry sender;
        int exitCode = Done;
        if (!resolve({{Entry::Sender}, m_options.forSender}, &sender, &exitCode)) {
            finish(exitCode);
            return;
        }
        m_judgedStream = streamOf(sender);
        m_judging = true;
        // A script reads the receivers that fit from stdout; a person is told on stderr why
        // the others are not there. --json shows every receiver with its verdict.
        if (!m_options.json) {
            QList<Entry> fitting;
            for (const Entry &receiver : qAsConst(receivers)) {
                const ReceiverCapabilities::Verdict verdict = ReceiverCapabilities::judge(receiver.capabilities, m_judgedStream);
                if (verdict.canTake)
                    fitting.append(receiver);
                else
                    Console::line(Console::err(), tr("%1 cannot take it: %2").arg(receiver.record.displayName, verdict.reason));
            }
            receivers = fitting;
        }
    }
    if (m_options.senders) {
        for (const Entry &sender : m_catalog->entries(Entry::Sender)) {
            if (m_options.json)
                Console::json(entryJson(sender));
            else
                Console::line(Console::out(), sender.record.displayName);
        }
    }
    if (!m_options.json) {
        for (const Entry &receiver : receivers)
            Console::line(Console::out(), receiver.record.displayName);
        finish(m_exitCode);
        return;
    }
    connect(m_reader, &ActiveSenderReader::receiverRead, this,
            [this](const Entry &receiver, bool read, bool enabled, const QString &senderId, const QString &error) {
                QJsonObject object = entryJson(receiver);
                object.insert(QStringLiteral("receiving"), orNull(senderId));
                if (read) {
                    // On with no sender named: a stream no NMOS sender describes.
                    object.insert(QStringLiteral("enabled"), enabled);
                } else {
                    object.insert(QStringLiteral("error"), error);
                    if (m_exitCode == Done)
                        m_exitCode = Failed;
                }
                Console::json(object);
            });
    connect(m_reader, &ActiveSenderReader::finished, this, [this] { finish(m_exitCode); });
    m_reader->start(receivers);
}

int CommandRunner::reportRun(const QString &done, const PatchWorkflow::RunOutcome &outcome, const QString &prefix)
{
    if (outcome.ending != PatchWorkflow::RunOutcome::Completed) {
        Console::line(Console::err(), prefix + outcome.message);
        // A take stages the members with their video: each is told, so that none that
        // switched all the same is hidden behind the video's failure.
        for (const PatchWorkflow::PairOutcome &member : outcome.members) {
            const QString kind = member.format == NmosClient::Audio ? tr("audio") : tr("anc");
            if (member.status == PatchWorkflow::PairOutcome::Done)
                Console::line(Console::err(), prefix + tr("%1 %2 switched all the same, %3")
                                                           .arg(kind, member.receiverId,
                                                                member.senderId.isEmpty() ? tr("taken down")
                                                                                          : tr("<- %1").arg(member.senderId)));
            else if (member.status == PatchWorkflow::PairOutcome::Failed)
                Console::line(Console::err(), prefix + tr("%1 %2 not patched: %3").arg(kind, member.receiverId, member.reason));
        }
        return Failed;
    }
    Console::line(Console::out(), done);
    for (const QString &note : outcome.notes)
        Console::line(Console::out(), prefix + note);
    const QStringList failures = outcome.failures();
    for (const QString &failure : failures)
        Console::line(Console::err(), prefix + failure);
    return failures.isEmpty() ? Done : Failed;
}

int CommandRunner::connectEntries()
{
    Entry sender;
    Entry receiver;
    int exitCode = Done;
    const QList<Named> named = namedEntries();
    if (!resolve(named[0], &sender, &exitCode) || !resolve(named[1], &receiver, &exitCode))
        return exitCode;
    if (!m_options.force) {
        const ReceiverCapabilities::Verdict verdict = ReceiverCapabilities::judge(receiver.capabilities, streamOf(sender));
        if (!verdict.canTake) {
            Console::line(Console::err(), tr("%1 cannot take %2: %3 (--force patches it all the same)")
                                              .arg(receiver.record.displayName, sender.record.displayName, verdict.reason));
            return Usage;
        }
    }
    const PatchWorkflow::RunOutcome outcome = m_workflow->connectGroup(sender.record, receiver.receiver());
    return reportRun(tr("Patched %1 to %2").arg(receiver.record.displayName, sender.record.displayName), outcome);
}

int CommandRunner::disconnectEntry()
{
    Entry receiver;
    int exitCode = Done;
    if (!resolve(namedEntries().first(), &receiver, &exitCode))
        return exitCode;
    const PatchWorkflow::RunOutcome outcome = m_workflow->disconnectGroup(receiver.receiver());
    return reportRun(tr("Took down %1").arg(receiver.record.displayName), outcome);
}

int CommandRunner::showFiles()
{
    Entry entry;
    int exitCode = Done;
    if (!resolve(namedEntries().first(), &entry, &exitCode))
        return exitCode;
    const PatchWorkflow::SdpOutcome outcome = entry.kind == Entry::Sender ? m_workflow->senderFiles(entry.record)
                                                                          : m_workflow->receiverFiles(entry.receiver());
    if (outcome.ending != PatchWorkflow::SdpOutcome::Shown) {
        Console::line(Console::err(), outcome.message);
        return Failed;
    }
    // As the viewer shows them, each file followed by three line breaks.
    for (const QString &file : outcome.files)
        Console::out() << file << "\n\n\n";
    Console::out().flush();
    return Done;
}
