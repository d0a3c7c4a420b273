#include "salvotake.h"

#include <QHash>
#include <QNetworkReply>
#include <QPair>

namespace {

// A receiver is read again this often until it shows what it was staged to run.
const int ReadAgainMs = 250;
// The first read waits this long past the time, for the devices' own clocks and timers.
const int FirstReadMs = 200;

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
        emit cancelled(QStringList());
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
        emit cancelled(QStringList());
        return true;
    }
    // The lead time counts from when the groups are read and every file is at hand: only
    // the staging requests remain to be sent before the time.
    m_time = time.isValid() ? time.toUTC() : QDateTime::currentDateTimeUtc().addMSecs(m_leadTimeMs);
    if (m_time <= QDateTime::currentDateTimeUtc()) {
        m_state = Idle;
        if (errorString)
            *errorString = tr("%1 has passed").arg(m_time.toString(Qt::ISODate));
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
                const bool found = m_client->findReceiver(pair.receiver.node, kind.first, &member, memberId, &error);
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
    if (!m_client->connectParams(sender, receiver, &params, &error)) {
        outcome.ending = PatchWorkflow::RunOutcome::VideoFailed;
        outcome.message = tr("Patch failed on video:\n%1").arg(error);
        return;
    }
    addChange(index, receiver, sender.id, params);
    // The members are paired as a run pairs them, and asked on the nodes of the video pair.
    const QList<QPair<NmosClient::Format, NmosClient::MemberPairs>> kinds{
        {NmosClient::Audio,
         NmosClient::pairMembers(sender.audioIds, sender.audioRoles, receiver.audioIds, receiver.audioRoles)},
        {NmosClient::Data, NmosClient::pairMembers(sender.dataIds, sender.dataRoles, receiver.dataIds, receiver.dataRoles)}};
    for (const auto &kind : kinds) {
        const NmosClient::Format format = kind.first;
        for (const auto &member : kind.second.pairs) {
            NmosClient::SenderGroup memberSender;
            NmosClient::ReceiverGroup memberReceiver;
            const bool ready = m_client->findSender(sender.node, format, &memberSender, member.first, &error)
                               && m_client->findReceiver(receiver.node, format, &memberReceiver, member.second, &error)
                               && m_client->connectParams(memberSender, memberReceiver, &params, &error);
            if (ready)
                addChange(index, memberReceiver, member.first, params, format);
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

void SalvoTake::addChange(int pair, const NmosClient::ReceiverGroup &receiver, const QString &senderId,
                          const QJsonObject &params, NmosClient::Format format)
{
    Change change;
    change.result = {pair, format, receiver.id, senderId, false, QString()};
    change.receiver = receiver;
    change.params = params;
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
    QList<int> refused;
    QStringList reasons;
    for (const QString &device : qAsConst(devices)) {
        if (m_cancelAsked)
            break;
        const QList<int> indexes = changesByDevice.value(device);
        // Asked after the time, a device switches as it takes the request, apart from the others.
        if (QDateTime::currentDateTimeUtc() >= m_time) {
            for (int i : indexes) {
                refused.append(i);
                reasons.append(tr("Not staged: the time had passed before its device could be asked; "
                                  "take again with a longer lead time"));
            }
            continue;
        }
        QList<NmosClient::StagedParams> staged;
        for (int i : indexes)
            staged.append({m_changes.at(i).receiver, m_changes.at(i).params});
        QStringList refusals;
        m_client->stageReceivers(staged, &refusals);
        // Answered after the time, the request may have reached the device after it too.
        const bool late = QDateTime::currentDateTimeUtc() >= m_time;
        for (int k = 0; k < indexes.size(); ++k) {
            m_changes[indexes.at(k)].staged = refusals.value(k).isEmpty();
            m_changes[indexes.at(k)].late = late;
            if (!m_changes.at(indexes.at(k)).staged) {
                refused.append(indexes.at(k));
                reasons.append(refusals.value(k));
            }
        }
    }
    // A cancel asked while the requests waited is answered once all are sent.
    if (m_cancelAsked) {
        cancelStaged();
        return;
    }
    int staged = 0;
    int inTime = 0;
    for (const Change &change : qAsConst(m_changes)) {
        staged += change.staged ? 1 : 0;
        inTime += change.staged && !change.late ? 1 : 0;
    }
    m_state = Scheduled;
    if (inTime > 0)
        emit scheduled(m_time, inTime);
    if (staged > 0)
        m_timer.start(int(qMax<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(m_time))) + FirstReadMs);
    for (int k = 0; k < refused.size(); ++k)
        conclude(refused.at(k), false, reasons.at(k));
    for (int pair = 0; pair < m_pairs.size(); ++pair)
        finishPair(pair);
}

void SalvoTake::readBack()
{
    m_state = Verifying;
    for (int i = 0; i < m_changes.size(); ++i) {
        if (m_changes.at(i).staged && !m_changes.at(i).concluded)
            readOne(i);
    }
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
        const ReceiverResult &wanted = m_changes.at(change).result;
        bool enabled = false;
        QString senderId;
        QString failure;
        const bool read = NmosClient::activeSenderOf(reply, &enabled, &senderId, &failure);
        const bool off = wanted.senderId.isEmpty();
        if (read && enabled == !off && (off || senderId == wanted.senderId)) {
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
        if (read)
            failure = tr("Not switched %1 s after the time: the receiver reports sender %2 with master_enable %3")
                          .arg(SwitchGraceMs / 1000)
                          .arg(senderId.isEmpty() ? QStringLiteral("none") : senderId,
                               enabled ? QStringLiteral("true") : QStringLiteral("false"));
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
    m_state = Cancelled;
    QStringList failures;
    for (Change &change : m_changes) {
        QString error;
        if (change.staged && !change.concluded && !m_client->cancelActivation(change.receiver, &error))
            failures << tr("%1: the activation could not be cancelled: %2").arg(change.receiver.label, error);
        change.concluded = true;
    }
    emit cancelled(failures);
}
