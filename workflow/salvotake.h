#ifndef SALVOTAKE_H
#define SALVOTAKE_H

#include "nmos/nmosclient.h"
#include "workflow/patchworkflow.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Takes a salvo: each pair patches a receiving group to a sending group, or takes it down,
// as a run does. Taken now, the pairs run one after another; taken at a time, every
// receiver of every group is staged to switch at one shared time, a device's receivers in
// one bulk request where it offers one, and each is read back once the time has passed.
// The wait and the reading back run on the caller's event loop; results come by signal.
class SalvoTake : public QObject
{
    Q_OBJECT

public:
    // TAI runs ahead of UTC by the leap seconds inserted since 1972: 37 s since 2017-01-01,
    // as IERS Bulletin C, published each half year, announces any change.
    static constexpr qint64 TaiMinusUtcSeconds = 37;
    static constexpr int DefaultLeadTimeMs = 2000;
    // How long after the time a receiver may take to show what it was staged to run.
    static constexpr int SwitchGraceMs = 2000;
    // The furthest ahead a take is scheduled.
    static constexpr qint64 MaxAheadMs = 24 * 3600 * 1000;

    struct Pair
    {
        NmosClient::SenderConnection sender; // ignored when off
        NmosClient::ReceiverConnection receiver;
        bool off = false; // take the receiving group down
    };

    // One receiver of a take, as it was patched, or staged and read back.
    struct ReceiverResult
    {
        int pair = -1;
        NmosClient::Format format = NmosClient::Video;
        QString receiverId;
        QString senderId; // empty when it is taken down
        bool done = false;
        QString reason;   // why it failed
    };

    enum State { Idle, Running, Staging, Scheduled, Verifying, Finished, Cancelling, Cancelled };

    explicit SalvoTake(NmosClient *client, QObject *parent = nullptr);
    // A take dropped before its time (its window closed, the program quitting) cancels what
    // it scheduled, waiting briefly for the devices' answers.
    ~SalvoTake() override;

    void setLeadTimeMs(int milliseconds) { m_leadTimeMs = milliseconds; }
    int leadTimeMs() const { return m_leadTimeMs; }
    State state() const { return m_state; }
    // The shared time of a scheduled take, once staged.
    QDateTime time() const { return m_time; }
    QString requestedTime() const { return taiTimestamp(m_time); }

    // A host time (UTC) as an IS-05 TAI timestamp, "<seconds>:<nanoseconds>".
    static QString taiTimestamp(const QDateTime &utc);

    // Patches each pair at once, one after another, as a run does.
    void takeNow(const QList<Pair> &pairs);
    // Schedules every receiver of the pairs at time (UTC), or, when it is null, the lead time
    // from now. Groups are read and senders' files fetched first, with the client's waiting
    // calls; false, with the reason, when there are no pairs, the time has passed or is more
    // than MaxAheadMs ahead, or a take is under way. A receiver named twice is changed as
    // its first entry says; the later one is left out, and says so. Staging that runs past
    // the time is no synchronized take: a device not asked by then is not asked, and its
    // receivers fail, as do those of a device that answered only after it, even when they
    // switched.
    bool takeAt(const QList<Pair> &pairs, const QDateTime &time = QDateTime(), QString *errorString = nullptr);
    // Before the time: cancels every activation the take scheduled, all at once, or the pairs
    // a take now has not reached. False when there is nothing left to cancel.
    bool cancel();

signals:
    // receivers were staged in time, to switch together at time.
    void scheduled(const QDateTime &time, int receivers);
    void receiverFinished(const SalvoTake::ReceiverResult &result);
    // What became of one pair, in the words of a run; pairs come in the order they finish.
    void pairFinished(int pair, const PatchWorkflow::RunOutcome &outcome);
    void finished();
    // The scheduled activations were cancelled but on the receivers of switched (their ids),
    // which switched before their cancel reached them; failures, one text each, of those
    // receivers and of those whose cancel failed.
    void cancelled(const QStringList &failures, const QStringList &switched);

private:
    // Why a change's activation is being cancelled.
    enum CancelReason { NotCancelling, VideoRefused, TakeCancelled };
    // What a cancel left: the activation cancelled, the receiver switched before it, or unknown.
    enum CancelEnd { CancelTook, SwitchedFirst, CancelUnknown };

    struct Change
    {
        ReceiverResult result;
        NmosClient::ReceiverGroup receiver;
        QJsonObject params;
        NmosClient::LegPatch legs;
        QString note; // told of a switched receiver
        int member = -1; // its place among the pair's members; -1 for the video receiver
        bool sent = false;
        bool late = false; // its staging answered only after the time
        NmosClient::StageAnswer staging;
        CancelReason cancelling = NotCancelling;
        bool concluded = false;
        // Whether the device may run its activation: staged, or not known to be refused.
        bool pending() const { return sent && staging.outcome != NmosClient::StageAnswer::Refused; }
    };

    void takeNextNow();
    void prepare(int index, const Pair &pair);
    // Why receiverId cannot be changed again, when an earlier entry changes it; else empty.
    QString takenAlready(const QString &receiverId) const;
    void addChange(int pair, const NmosClient::ReceiverGroup &receiver, const QString &senderId,
                   const QJsonObject &params, NmosClient::Format format = NmosClient::Video,
                   const NmosClient::LegPatch &legs = NmosClient::LegPatch(), const QString &note = QString());
    void stage();
    void readBack();
    void readOne(int change);
    void conclude(int change, bool done, const QString &reason);
    void finishPair(int pair);
    void cancelStaged();
    void cancelChange(int change, CancelReason why);
    void checkCancelled(int change, const QString &failure);
    void cancelEnded(int change, CancelEnd end, const QString &reason);
    // Whether a receiver's active parameters show what change staged.
    bool runsStaged(int change, bool enabled, const QString &senderId, const QJsonArray &legs, QString *failure) const;

    QPointer<NmosClient> m_client;
    PatchWorkflow *m_workflow;
    int m_leadTimeMs = DefaultLeadTimeMs;
    State m_state = Idle;
    bool m_cancelAsked = false;
    QList<Pair> m_pairs;
    int m_next = 0;
    QDateTime m_time;
    QList<PatchWorkflow::RunOutcome> m_outcomes;
    QList<bool> m_pairReported;
    QList<Change> m_changes;
    int m_cancelsWaiting = 0;
    QStringList m_cancelFailures;
    QStringList m_switchedFirst;
    QTimer m_timer;
};

Q_DECLARE_METATYPE(SalvoTake::ReceiverResult)

#endif // SALVOTAKE_H
