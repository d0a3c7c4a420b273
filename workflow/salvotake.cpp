#include "salvotake.h"

#include "nmos/rtplegs.h"

#include <QEventLoop>
#include <QHash>
#include <QNetworkReply>
#include <QPair>

namespace {

// A receiver is read again this often until it shows what it was staged to run.
const int ReadAgainMs = 250;
// The first read waits this long past the time, for the devices' own clocks and timers.
const int FirstReadMs = 200;
// How long a take dropped before its time waits for its cancels to be answered.
const int CancelOnDropMs = 1000;

// Receivers of one device share its Connection API, and one bulk request.
QString deviceKey(const NmosClient::NodeEndpoint &node)
{
    return node.connectionApi.isEmpty() ? node.scheme + QLatin1String("://") + node.address : node.connectionApi;
}

} // namespace

SalvoTake::SalvoTake(NmosClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_workflow(new PatchWorkflow(client, this))
{
    qRegisterMetaType<SalvoTake::ReceiverResult>();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SalvoTake::readBack);
}

SalvoTake::~SalvoTake()
{
    if (m_state != Scheduled || !m_client || QDateTime::currentDateTimeUtc() >= m_time)
        return;
    QEventLoop loop;
    int waiting = 0;
    for (const Change &change : qAsConst(m_changes)) {
        QNetworkReply *reply = change.pending() && !change.concluded ? m_client->requestCancelActivation(change.receiver)
                                                                      : nullptr;
        if (!reply)
            continue;
        ++waiting;
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        connect(reply, &QNetworkReply::finished, &loop, [&loop, &waiting] {
            if (--waiting == 0)
                loop.quit();
        });
    }
    if (waiting == 0)
        return;
    QTimer::singleShot(CancelOnDropMs, &loop, &QEventLoop::quit);
    loop.exec();
}

QString SalvoTake::taiTimestamp(const QDateTime &utc)
{
    if (!utc.isValid())
        return QString();
    const qint64 msecs = utc.toMSecsSinceEpoch();
    return QStringLiteral("%1:%2").arg(msecs / 1000 + TaiMinusUtcSeconds).arg((msecs % 1000) * 1000000);
}

void SalvoTake::takeNow(const QList<Pair> &pairs)
{
    if (m_state != Idle && m_state != Finished && m_state != Cancelled)
        return;
    m_state = Running;
    m_cancelAsked = false;
    m_pairs = pairs;
    m_next = 0;
    QTimer::singleShot(0, this, &SalvoTake::takeNextNow);
}

void SalvoTake::takeNextNow()
{
    if (m_cancelAsked) {
        m_state = Cancelled;
        emit cancelled(QStringList(), QStringList());
        return;
    }
    if (m_next >= m_pairs.size()) {
        m_state = Finished;
        emit finished();
        return;
    }
    const int index = m_next++;
    const Pair &pair = m_pairs.at(index);
    const PatchWorkflow::RunOutcome outcome = pair.off ? m_workflow->disconnectGroup(pair.receiver)
                                                       : m_workflow->connectGroup(pair.sender, pair.receiver);
    if (outcome.ending == PatchWorkflow::RunOutcome::Completed || outcome.ending == PatchWorkflow::RunOutcome::VideoFailed) {
        const bool videoDone = outcome.ending == PatchWorkflow::RunOutcome::Completed;
        emit receiverFinished({index, NmosClient::Video, outcome.receiver.id, pair.off ? QString() : outcome.sender.id,
                               videoDone, videoDone ? QString() : outcome.message});
        for (const PatchWorkflow::PairOutcome &member : outcome.members) {
            if (!member.receiverId.isEmpty())
                emit receiverFinished({index, member.format, member.receiverId, member.senderId,
                                       member.status == PatchWorkflow::PairOutcome::Done, member.reason});
        }
    }
    emit pairFinished(index, outcome);
    // From the top of the loop: a cancel asked during this pair's requests is seen first.
    QTimer::singleShot(0, this, &SalvoTake::takeNextNow);
}

bool SalvoTake::takeAt(const QList<Pair> &pairs, const QDateTime &time, QString *errorString)
{
    if (m_state != Idle && m_state != Finished && m_state != Cancelled) {
        if (errorString)
            *errorString = tr("A take is under way");
        return false;
    }
    if (pairs.isEmpty()) {
        if (errorString)
            *errorString = tr("The salvo holds no receiver to take");
        return false;
    }
    m_state = Staging;
    m_cancelAsked = false;
    m_pairs = pairs;
    m_changes.clear();
    m_outcomes = QList<PatchWorkflow::RunOutcome>();
    m_pairReported = QList<bool>();
    for (int i = 0; i < pairs.size(); ++i) {
        m_outcomes.append(PatchWorkflow::RunOutcome());
        m_pairReported.append(false);
        if (!m_cancelAsked)
            prepare(i, pairs.at(i));
    }
    // Cancelled while the groups were read: nothing has been scheduled.
    if (m_cancelAsked) {
        m_state = Cancelled;
        emit cancelled(QStringList(), QStringList());
        return true;
    }
    // The lead time counts from when the groups are read and every file is at hand: only
    // the staging requests remain to be sent before the time.
    m_time = time.isValid() ? time.toUTC() : QDateTime::currentDateTimeUtc().addMSecs(m_leadTimeMs);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (m_time <= now || now.msecsTo(m_time) > MaxAheadMs) {
        m_state = Idle;
        if (errorString)
            *errorString = m_time <= now ? tr("%1 has passed").arg(m_time.toString(Qt::ISODate))
                                         : tr("%1 is more than %2 h ahead").arg(m_time.toString(Qt::ISODate)).arg(MaxAheadMs / 3600000);
        return false;
    }
    stage();
    return true;
}

void SalvoTake::prepare(int index, const Pair &pair)
{
    PatchWorkflow::RunOutcome &outcome = m_outcomes[index];
    QString error;
    if (!pair.off && !m_client->findSender(pair.sender.node, NmosClient::Video, &outcome.sender, pair.sender.id)) {
        outcome.ending = PatchWorkflow::RunOutcome::NoSender;
        outcome.message = tr("No video sender found on transmitter node.");
        return;
    }
    if (!m_client->findReceiver(pair.receiver.node, NmosClient::Video, &outcome.receiver, pair.receiver.id)) {
        outcome.ending = PatchWorkflow::RunOutcome::NoReceiver;
        outcome.message = tr("No video receiver found on receiver node.");
        return;
    }
    const QString again = takenAlready(outcome.receiver.id);
    if (!again.isEmpty()) {
        outcome.ending = PatchWorkflow::RunOutcome::VideoFailed;
        outcome.message = again;
        return;
    }
    const NmosClient::SenderGroup &sender = outcome.sender;
    const NmosClient::ReceiverGroup &receiver = outcome.receiver;
    if (pair.off) {
        addChange(index, receiver, QString(), NmosClient::disconnectParams());
        if (!m_client->fillReceiverGroup(&outcome.receiver, &error))
            outcome.unreadGroups = tr("Audio and anc not taken down: the group could not be read:\n%1").arg(error);
        const QList<QPair<NmosClient::Format, QStringList>> kinds{{NmosClient::Audio, receiver.audioIds},
                                                                 {NmosClient::Data, receiver.dataIds}};
        for (const auto &kind : kinds) {
            for (const QString &memberId : kind.second) {
                NmosClient::ReceiverGroup member;
                error = takenAlready(memberId);
                const bool found = error.isEmpty()
                                   && m_client->findReceiver(pair.receiver.node, kind.first, &member, memberId, &error);
                if (found)
                    addChange(index, member, QString(), NmosClient::disconnectParams(), kind.first);
                outcome.members << PatchWorkflow::PairOutcome{kind.first, QString(), memberId,
                                                              found ? PatchWorkflow::PairOutcome::NotAttempted
                                                                    : PatchWorkflow::PairOutcome::Failed,
                                                              found ? QString() : error};
            }
        }
        return;
    }
    if (!m_client->fillSenderGroup(&outcome.sender, &error) || !m_client->fillReceiverGroup(&outcome.receiver, &error))
        outcome.unreadGroups = tr("Audio and anc not patched: the groups could not be read:\n%1").arg(error);
    QJsonObject params;
    NmosClient::LegPatch legs;
    if (!m_client->connectParams(sender, receiver, &params, &error, &legs)) {
        outcome.ending = PatchWorkflow::RunOutcome::VideoFailed;
        outcome.message = tr("Patch failed on video:\n%1").arg(error);
        return;
    }
    addChange(index, receiver, sender.id, params, NmosClient::Video, legs,
              PatchWorkflow::legNote(legs, receiver.label, sender.label));
    // The members are paired as a run pairs them, and asked on the nodes of the video pair.
    const QList<QPair<NmosClient::Format, NmosClient::MemberPairs>> kinds = PatchWorkflow::memberPairs(sender, receiver);
    for (const auto &kind : kinds) {
        const NmosClient::Format format = kind.first;
        for (const auto &member : kind.second.pairs) {
            NmosClient::SenderGroup memberSender;
            NmosClient::ReceiverGroup memberReceiver;
            error = takenAlready(member.second);
            const bool ready = error.isEmpty()
                               && m_client->findSender(sender.node, format, &memberSender, member.first, &error)
                               && m_client->findReceiver(receiver.node, format, &memberReceiver, member.second, &error)
                               && m_client->connectParams(memberSender, memberReceiver, &params, &error, &legs);
            if (ready)
                addChange(index, memberReceiver, member.first, params, format, legs,
                          PatchWorkflow::legNote(legs, memberReceiver.label, memberSender.label));
            outcome.members << PatchWorkflow::PairOutcome{format, member.first, member.second,
                                                          ready ? PatchWorkflow::PairOutcome::NotAttempted
                                                                : PatchWorkflow::PairOutcome::Failed,
                                                          ready ? QString() : error};
        }
        for (const QString &id : kind.second.unpairedSenders)
            outcome.members << PatchWorkflow::PairOutcome{format, id, QString(), PatchWorkflow::PairOutcome::NotAttempted,
                                                          PatchWorkflow::tr("Sender %1 has no counterpart in the receiver's group").arg(id)};
        for (const QString &id : kind.second.unpairedReceivers)
            outcome.members << PatchWorkflow::PairOutcome{format, QString(), id, PatchWorkflow::PairOutcome::NotAttempted,
                                                          PatchWorkflow::tr("Receiver %1 has no counterpart in the sender's group").arg(id)};
    }
}

QString SalvoTake::takenAlready(const QString &receiverId) const
{
    for (const Change &change : m_changes) {
        if (change.result.receiverId == receiverId)
            return tr("Left out: receiver %1 is changed by an earlier entry of this salvo, which is the one taken")
                .arg(receiverId);
    }
    return QString();
}

void SalvoTake::addChange(int pair, const NmosClient::ReceiverGroup &receiver, const QString &senderId,
                          const QJsonObject &params, NmosClient::Format format, const NmosClient::LegPatch &legs,
                          const QString &note)
{
    Change change;
    change.result = {pair, format, receiver.id, senderId, false, QString()};
    change.receiver = receiver;
    change.params = params;
    change.legs = legs;
    change.note = note;
    // The member's outcome is appended by the caller right after.
    change.member = format == NmosClient::Video ? -1 : m_outcomes.at(pair).members.size();
    m_changes.append(change);
}

void SalvoTake::stage()
{
    const QJsonObject activation{{QStringLiteral("mode"), QStringLiteral("activate_scheduled_absolute")},
                                 {QStringLiteral("requested_time"), requestedTime()}};
    QList<QString> devices;
    QHash<QString, QList<int>> changesByDevice;
    for (int i = 0; i < m_changes.size(); ++i) {
        m_changes[i].params.insert(QStringLiteral("activation"), activation);
        const QString device = deviceKey(m_changes.at(i).receiver.node);
        if (!changesByDevice.contains(device))
            devices.append(device);
        changesByDevice[device].append(i);
    }
    for (const QString &device : qAsConst(devices)) {
        if (m_cancelAsked)
            break;
        const QList<int> indexes = changesByDevice.value(device);
        // Asked after the time, a device switches as it takes the request, apart from the others.
        if (QDateTime::currentDateTimeUtc() >= m_time) {
            for (int i : indexes) {
                m_changes[i].staging.outcome = NmosClient::StageAnswer::Refused;
                m_changes[i].staging.reason = tr("Not staged: the time had passed before its device could be asked; "
                                                 "take again with a longer lead time");
            }
            continue;
        }
        QList<NmosClient::StagedParams> staged;
        for (int i : indexes)
            staged.append({m_changes.at(i).receiver, m_changes.at(i).params});
        QList<NmosClient::StageAnswer> answers;
        m_client->stageReceivers(staged, &answers);
        // Answered after the time, the request may have reached the device after it too.
        const bool late = QDateTime::currentDateTimeUtc() >= m_time;
        for (int k = 0; k < indexes.size(); ++k) {
            m_changes[indexes.at(k)].sent = true;
            m_changes[indexes.at(k)].staging = answers.value(k);
            m_changes[indexes.at(k)].late = late;
        }
    }
    // A cancel asked while the requests waited is answered once all are sent.
    if (m_cancelAsked) {
        cancelStaged();
        return;
    }
    int pending = 0;
    int inTime = 0;
    for (const Change &change : qAsConst(m_changes)) {
        pending += change.pending() ? 1 : 0;
        inTime += change.pending() && !change.late ? 1 : 0;
    }
    m_state = Scheduled;
    if (inTime > 0)
        emit scheduled(m_time, inTime);
    if (pending > 0)
        m_timer.start(int(qBound<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(m_time), MaxAheadMs)) + FirstReadMs);
    QList<int> refusedPairs;
    for (int i = 0; i < m_changes.size(); ++i) {
        if (m_changes.at(i).staging.outcome != NmosClient::StageAnswer::Refused)
            continue;
        if (m_changes.at(i).member < 0)
            refusedPairs.append(m_changes.at(i).result.pair);
        conclude(i, false, m_changes.at(i).staging.reason);
    }
    // A pair is switched as a run switches it: none of its members without its video.
    for (int i = 0; i < m_changes.size(); ++i) {
        if (refusedPairs.contains(m_changes.at(i).result.pair) && m_changes.at(i).pending())
            cancelChange(i, VideoRefused);
    }
    for (int pair = 0; pair < m_pairs.size(); ++pair)
        finishPair(pair);
}

void SalvoTake::readBack()
{
    m_state = Verifying;
    for (int i = 0; i < m_changes.size(); ++i) {
        if (m_changes.at(i).pending() && !m_changes.at(i).concluded && m_changes.at(i).cancelling == NotCancelling)
            readOne(i);
    }
}

bool SalvoTake::runsStaged(int change, bool enabled, const QString &senderId, const QJsonArray &legs,
                           QString *failure) const
{
    const Change &staged = m_changes.at(change);
    const bool off = staged.result.senderId.isEmpty();
    if (enabled != !off || (!off && senderId != staged.result.senderId)) {
        *failure = tr("Not switched %1 s after the time: the receiver reports sender %2 with master_enable %3")
                       .arg(SwitchGraceMs / 1000)
                       .arg(senderId.isEmpty() ? QStringLiteral("none") : senderId,
                            enabled ? QStringLiteral("true") : QStringLiteral("false"));
        return false;
    }
    return off || RtpLegs::holds(legs, staged.legs.params, failure);
}

void SalvoTake::readOne(int change)
{
    const Change &staged = m_changes.at(change);
    QString error;
    QNetworkReply *reply = m_client->requestActiveSender(staged.receiver, &error);
    if (!reply) {
        conclude(change, false, error);
        return;
    }
    connect(reply, &QNetworkReply::finished, this, [this, reply, change] {
        reply->deleteLater();
        if (m_state != Verifying)
            return;
        bool enabled = false;
        QString senderId;
        QString failure;
        QJsonArray legs;
        if (NmosClient::activeSenderOf(reply, &enabled, &senderId, &failure, &legs)
            && runsStaged(change, enabled, senderId, legs, &failure)) {
            if (m_changes.at(change).late)
                conclude(change, false, tr("Switched, but perhaps not at the time: its device answered the staging only after it"));
            else
                conclude(change, true, QString());
            return;
        }
        if (QDateTime::currentDateTimeUtc() < m_time.addMSecs(SwitchGraceMs)) {
            QTimer::singleShot(ReadAgainMs, this, [this, change] {
                if (m_state == Verifying)
                    readOne(change);
            });
            return;
        }
        const NmosClient::StageAnswer &staging = m_changes.at(change).staging;
        if (staging.outcome == NmosClient::StageAnswer::Unknown)
            failure = tr("%1 (its staging was not answered: %2)").arg(failure, staging.reason);
        conclude(change, false, failure);
    });
}

void SalvoTake::conclude(int change, bool done, const QString &reason)
{
    Change &concluded = m_changes[change];
    concluded.concluded = true;
    concluded.result.done = done;
    concluded.result.reason = reason;
    PatchWorkflow::RunOutcome &outcome = m_outcomes[concluded.result.pair];
    if (done && !concluded.note.isEmpty())
        outcome.notes << concluded.note;
    if (concluded.member >= 0) {
        PatchWorkflow::PairOutcome &member = outcome.members[concluded.member];
        member.status = done ? PatchWorkflow::PairOutcome::Done : PatchWorkflow::PairOutcome::Failed;
        member.reason = reason;
    } else if (!done) {
        outcome.ending = PatchWorkflow::RunOutcome::VideoFailed;
        outcome.message = tr("Patch failed on video:\n%1").arg(reason);
    }
    emit receiverFinished(concluded.result);
    if (m_state == Scheduled || m_state == Verifying)
        finishPair(concluded.result.pair);
}

void SalvoTake::finishPair(int pair)
{
    if (m_pairReported.at(pair))
        return;
    for (const Change &change : qAsConst(m_changes)) {
        if (change.result.pair == pair && !change.concluded)
            return;
    }
    m_pairReported[pair] = true;
    emit pairFinished(pair, m_outcomes.at(pair));
    if (!m_pairReported.contains(false)) {
        m_timer.stop();
        m_state = Finished;
        emit finished();
    }
}

bool SalvoTake::cancel()
{
    if (m_state == Running || m_state == Staging) {
        m_cancelAsked = true;
        return true;
    }
    if (m_state != Scheduled || QDateTime::currentDateTimeUtc() >= m_time)
        return false;
    cancelStaged();
    return true;
}

void SalvoTake::cancelStaged()
{
    m_timer.stop();
    m_state = Cancelling;
    m_cancelFailures.clear();
    m_switchedFirst.clear();
    QList<int> toCancel;
    for (int i = 0; i < m_changes.size(); ++i) {
        if (m_changes.at(i).pending() && !m_changes.at(i).concluded && m_changes.at(i).cancelling == NotCancelling)
            toCancel.append(i);
        else
            m_changes[i].concluded = true;
    }
    // Counted before any is sent: one that cannot be sent ends at once.
    m_cancelsWaiting = toCancel.size();
    for (int i : qAsConst(toCancel))
        cancelChange(i, TakeCancelled);
    if (toCancel.isEmpty()) {
        m_state = Cancelled;
        emit cancelled(m_cancelFailures, m_switchedFirst);
    }
}

void SalvoTake::cancelChange(int change, CancelReason why)
{
    m_changes[change].cancelling = why;
    QString error;
    QNetworkReply *reply = m_client->requestCancelActivation(m_changes.at(change).receiver, &error);
    if (!reply) {
        checkCancelled(change, error);
        return;
    }
    // Sent together, not each after the last one's answer: a cancel that waited its turn
    // would reach its receiver after the time.
    connect(reply, &QNetworkReply::finished, this, [this, reply, change] {
        reply->deleteLater();
        QString failure;
        const bool accepted = NmosClient::patchAccepted(reply, &failure);
        if (accepted && QDateTime::currentDateTimeUtc() < m_time)
            cancelEnded(change, CancelTook, QString());
        else
            checkCancelled(change, accepted ? tr("it was answered after the time") : failure);
    });
}

void SalvoTake::checkCancelled(int change, const QString &failure)
{
    // A device answers a cancel of an activation it has made as it answers any other: what
    // the receiver runs tells whether it switched.
    QString error;
    QNetworkReply *reply = m_client->requestActiveSender(m_changes.at(change).receiver, &error);
    if (!reply) {
        cancelEnded(change, CancelUnknown, tr("%1; the receiver could not be read: %2").arg(failure, error));
        return;
    }
    connect(reply, &QNetworkReply::finished, this, [this, reply, change, failure] {
        reply->deleteLater();
        bool enabled = false;
        QString senderId;
        QString error;
        QJsonArray legs;
        if (!NmosClient::activeSenderOf(reply, &enabled, &senderId, &error, &legs))
            cancelEnded(change, CancelUnknown, tr("%1; the receiver could not be read: %2").arg(failure, error));
        else
            cancelEnded(change, runsStaged(change, enabled, senderId, legs, &error) ? SwitchedFirst : CancelTook, failure);
    });
}

void SalvoTake::cancelEnded(int change, CancelEnd end, const QString &reason)
{
    Change &ended = m_changes[change];
    const QString &label = ended.receiver.label;
    if (ended.cancelling == VideoRefused) {
        if (end == SwitchedFirst)
            conclude(change, true, QString());
        else
            conclude(change, false, end == CancelTook ? tr("its video receiver refused the take, and its activation was "
                                                           "cancelled")
                                                      : tr("its video receiver refused the take, and its activation "
                                                           "could not be cancelled: %1").arg(reason));
        return;
    }
    ended.concluded = true;
    if (end == SwitchedFirst) {
        m_switchedFirst << ended.result.receiverId;
        m_cancelFailures << tr("%1: switched before the cancel reached it").arg(label);
    } else if (end == CancelUnknown) {
        m_cancelFailures << tr("%1: the activation could not be cancelled: %2").arg(label, reason);
    }
    if (--m_cancelsWaiting == 0) {
        m_state = Cancelled;
        emit cancelled(m_cancelFailures, m_switchedFirst);
    }
}
