#ifndef COMMANDRUNNER_H
#define COMMANDRUNNER_H

#include "cli/entrycatalog.h"
#include "workflow/patchworkflow.h"
#include "workflow/salvofile.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class ActiveSenderReader;
class SalvoTake;
class DiscoveryOptions;
class NmosClient;

// Runs one command of the console program: finds the nodes, waits until what the command
// names is found or the wait is over, does what it asks and reports by lines and an exit
// code.
class CommandRunner : public QObject
{
    Q_OBJECT

public:
    // Interrupted: as a shell tells a program ended by SIGINT.
    enum ExitCode { Done = 0, Failed = 1, Usage = 2, NothingFound = 3, Interrupted = 130 };

    struct Options
    {
        QString command;
        QStringList arguments;
        bool senders = true;
        bool receivers = true;
        bool json = false;
        bool dryRun = false;
        // list: the sender whose stream the receivers are judged by; connect: patch a pair
        // that does not fit all the same.
        QString forSender;
        bool force = false;
        int waitMs = 3000;
        // recall: switch every receiver together, this long after the salvo's groups are
        // read (leadMs), or at a time (UTC); neither (-1, null): one pair after another, now.
        int leadMs = -1;
        QDateTime at;
        // A confidential client of the facility's authorization server, for a secured facility.
        QString clientId;
        QString clientSecret;
    };

    // Settled once every source has been read and no node has arrived for this long.
    static const int QuietMs = 500;

    CommandRunner(const Options &options, QObject *parent = nullptr);

    void start(const DiscoveryOptions &discovery);
    // Ends the run: what a scheduled recall has scheduled is cancelled first.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    struct Named
    {
        QList<Entry::Kind> kinds;
        QString name;
    };
    // The entry a name stands for; false, after reporting why, when it stands for none or
    // for several resources.
    bool resolve(const Named &named, Entry *entry, int *exitCode) const;
    // Whether the name can be resolved now: found by text or id, found at all once the
    // lists have settled, or standing for several resources already.
    bool isResolvable(const Named &named) const;
    QList<Named> namedEntries() const;
    bool isSettled() const;
    void evaluate();
    void run();
    void finish(int exitCode);

    // list and save end the run themselves, once every receiver they show has been read.
    void list();
    int connectEntries();
    int disconnectEntry();
    int showFiles();
    // save, recall and watch: routingcommands.cpp.
    void save();
    void saveReceiver(const Entry &receiver, bool read, bool enabled, const QString &senderId, const QString &error);
    void writeSaved();
    void recall();
    // recall --dry-run: what the receiver runs now, in the words of an entry.
    QString runningNow(const Entry &receiver);
    void reportTake();
    void pollReceivers();
    void showReceiving(const Entry &receiver, bool read, bool enabled, const QString &senderId, const QString &error);
    // The entry a saved receiver or sender stands for now.
    bool findSaved(Entry::Kind kind, const SalvoFile::Resource &saved, Entry *entry) const;
    // list and save: the sources not read in full before the wait ran out, on stderr.
    void reportUnreadSources();

    QJsonObject entryJson(const Entry &entry) const;
    // What the sender sends: what IS-04 says, and what its SDP adds where IS-04 is silent.
    StreamFormat streamOf(const Entry &sender);
    // The run's report: what was patched on stdout, each failure on stderr, and its exit code.
    int reportRun(const QString &done, const PatchWorkflow::RunOutcome &outcome, const QString &prefix = QString());

    Options m_options;
    NmosClient *m_client;
    EntryCatalog *m_catalog;
    PatchWorkflow *m_workflow;
    ActiveSenderReader *m_reader;
    QTimer m_deadline;
    QTimer m_quiet;
    bool m_deadlinePassed = false;
    bool m_quietReached = false;
    bool m_running = false;
    // list and save: how the run ends so far.
    int m_exitCode = Done;
    bool m_signingIn = false;
    // Recall: the file's receivers and senders, read before the nodes are found.
    SalvoFile m_recalled;
    // Recall: the take, and what is printed of each of its pairs once done.
    SalvoTake *m_take;
    QStringList m_doneTexts;
    QStringList m_receiverTexts;
    bool m_interrupted = false;
    // list --json and save: the receivers listed since the intake was last idle.
    QList<Entry> m_unread;
    // Save: what each receiver runs, as it is read.
    SalvoFile m_saved;
    // Save: what the file held before, by the id of the receiver listed now, and what it
    // held of receivers not found now.
    QHash<QString, SalvoFile::Route> m_savedBefore;
    QList<SalvoFile::Route> m_notFound;
    // list --for: the stream the receivers are judged by.
    StreamFormat m_judgedStream;
    bool m_judging = false;
    // list and save: the sources not read when the run began.
    QStringList m_unreadSources;
    // Save and watch: the senders listed when the round began, to name the one a receiver runs.
    QHash<QString, Entry> m_sendersById;
    // Watch: what each receiver (by id) was receiving when last read.
    QHash<QString, QString> m_receiving;
};

#endif // COMMANDRUNNER_H
