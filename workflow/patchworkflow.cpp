#include "patchworkflow.h"

#include <QPair>

namespace {

QString failureEntry(const PatchWorkflow::PairOutcome &member)
{
    return member.format == NmosClient::Audio ? PatchWorkflow::tr("Patch failed on audio:\n%1").arg(member.reason)
                                              : PatchWorkflow::tr("Patch failed on anc:\n%1").arg(member.reason);
}

// What is shown for a sender whose transport file cannot be read. Viewing never changes a
// node, so such a sender is not activated to make it publish one.
QString unreadSdpNote(const NmosClient::SenderGroup &sender, const QString &why)
{
    return PatchWorkflow::tr("No transport file could be read from sender \"%1\" (%2).\n"
                             "A sender publishes none while it is inactive; it was not activated.")
        .arg(sender.label, why);
}

// The files of a group's audio members, then its data members, in list order. Each lookup
// writes the member into the group; a member that is not found is left out, and read()
// gives the file of one that is (empty: nothing to show).
template<typename Group, typename Find, typename Read>
QStringList memberFiles(Group *group, Find find, Read read)
{
    QStringList files;
    const QList<QPair<NmosClient::Format, QStringList>> members{
        {NmosClient::Audio, group->audioIds}, {NmosClient::Data, group->dataIds}};
    for (const auto &member : members) {
        for (const QString &memberId : member.second) {
            if (!find(member.first, group, memberId))
                continue;
            const QString file = read(*group);
            if (!file.isEmpty())
                files << file;
        }
    }
    return files;
}

} // namespace

QStringList PatchWorkflow::RunOutcome::failures() const
{
    QStringList texts;
    if (!unreadGroups.isEmpty())
        texts << unreadGroups;
    for (const PairOutcome &member : members) {
        if (member.status != PairOutcome::Done)
            texts << failureEntry(member);
    }
    return texts;
}

PatchWorkflow::PatchWorkflow(NmosClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
}

PatchWorkflow::RunOutcome PatchWorkflow::connectGroup(const NmosClient::SenderConnection &sender,
                                                      const NmosClient::ReceiverConnection &receiver)
{
    RunOutcome outcome;
    if (!m_client->findSender(sender.node, NmosClient::Video, &outcome.sender, sender.id)) {
        outcome.ending = RunOutcome::NoSender;
        outcome.message = tr("No video sender found on transmitter node.");
        return outcome;
    }
    if (!m_client->findReceiver(receiver.node, NmosClient::Video, &outcome.receiver, receiver.id)) {
        outcome.ending = RunOutcome::NoReceiver;
        outcome.message = tr("No video receiver found on receiver node.");
        return outcome;
    }
    // Read before the video patch, as a failure to read either group is told at the end
    // rather than ending the run.
    QString error;
    if (!m_client->fillSenderGroup(&outcome.sender, &error) || !m_client->fillReceiverGroup(&outcome.receiver, &error))
        outcome.unreadGroups = tr("Audio and anc not patched: the groups could not be read:\n%1").arg(error);

    // One text for the whole run: a call that fails without a text of its own leaves the
    // last one standing.
    const PairOutcome video{NmosClient::Video, outcome.sender.id, outcome.receiver.id};
    emit pairStarted(video, 1, 1);
    if (!connectPair(outcome.sender, outcome.receiver, &outcome, &error)) {
        outcome.ending = RunOutcome::VideoFailed;
        outcome.message = tr("Patch failed on video:\n%1").arg(error);
        emit pairFinished(PairOutcome{NmosClient::Video, video.senderId, video.receiverId, PairOutcome::Failed, error}, 1, 1);
        return outcome;
    }
    emit pairFinished(video, 1, 1);
    connectMembers(&outcome, &error);
    return outcome;
}

QList<QPair<NmosClient::Format, NmosClient::MemberPairs>> PatchWorkflow::memberPairs(const NmosClient::SenderGroup &sender,
                                                                                   const NmosClient::ReceiverGroup &receiver)
{
    return {{NmosClient::Audio, NmosClient::pairMembers(sender.audioIds, sender.audioRoles, receiver.audioIds, receiver.audioRoles)},
            {NmosClient::Data, NmosClient::pairMembers(sender.dataIds, sender.dataRoles, receiver.dataIds, receiver.dataRoles)}};
}

void PatchWorkflow::connectMembers(RunOutcome *outcome, QString *error)
{
    const NmosClient::SenderGroup &sender = outcome->sender;
    const NmosClient::ReceiverGroup &receiver = outcome->receiver;
    const QList<QPair<NmosClient::Format, NmosClient::MemberPairs>> kinds = memberPairs(sender, receiver);
    for (const auto &kind : kinds) {
        const NmosClient::Format format = kind.first;
        const int count = kind.second.pairs.size();
        int number = 0;
        for (const auto &pair : kind.second.pairs) {
            PairOutcome member{format, pair.first, pair.second};
            emit pairStarted(member, ++number, count);
            NmosClient::SenderGroup memberSender;
            NmosClient::ReceiverGroup memberReceiver;
            // The members are asked on the nodes of the video pair, never on others.
            const bool done = m_client->findSender(sender.node, format, &memberSender, pair.first, error)
                              && m_client->findReceiver(receiver.node, format, &memberReceiver, pair.second, error)
                              && connectPair(memberSender, memberReceiver, outcome, error);
            if (!done) {
                member.status = PairOutcome::Failed;
                member.reason = *error;
            }
            outcome->members << member;
            emit pairFinished(member, number, count);
        }
        for (const QString &id : kind.second.unpairedSenders)
            outcome->members << PairOutcome{format, id, QString(), PairOutcome::NotAttempted,
                                            tr("Sender %1 has no counterpart in the receiver's group").arg(id)};
        for (const QString &id : kind.second.unpairedReceivers)
            outcome->members << PairOutcome{format, QString(), id, PairOutcome::NotAttempted,
                                            tr("Receiver %1 has no counterpart in the sender's group").arg(id)};
    }
}

bool PatchWorkflow::connectPair(const NmosClient::SenderGroup &sender, const NmosClient::ReceiverGroup &receiver,
                                RunOutcome *outcome, QString *error)
{
    NmosClient::LegPatch legs;
    if (!m_client->connectReceiver(sender, receiver, error, &legs)
        || !m_client->verifyConnected(sender, receiver, error, legs.params))
        return false;
    const QString note = legNote(legs, receiver.label, sender.label);
    if (!note.isEmpty())
        outcome->notes << note;
    return true;
}

QString PatchWorkflow::legNote(const NmosClient::LegPatch &legs, const QString &receiverLabel, const QString &senderLabel)
{
    // A redundant stream runs unprotected on such a receiver, which the operator must know.
    if (legs.params.size() != 1 || legs.senderLegs < 2)
        return QString();
    return tr("Receiver \"%1\" has one leg: it takes the first leg (of %2) of sender \"%3\".")
        .arg(receiverLabel)
        .arg(legs.senderLegs)
        .arg(senderLabel);
}

PatchWorkflow::RunOutcome PatchWorkflow::disconnectGroup(const NmosClient::ReceiverConnection &receiver)
{
    RunOutcome outcome;
    // The receiver chosen; only a record without an id falls back to the node's first
    // video receiver.
    if (!m_client->findReceiver(receiver.node, NmosClient::Video, &outcome.receiver, receiver.id)) {
        outcome.ending = RunOutcome::NoReceiver;
        outcome.message = tr("No video receiver found on receiver node.");
        return outcome;
    }
    QString error;
    const PairOutcome video{NmosClient::Video, QString(), outcome.receiver.id};
    emit pairStarted(video, 1, 1);
    if (!m_client->disconnectReceiver(outcome.receiver, &error) || !m_client->verifyDisconnected(outcome.receiver, &error)) {
        outcome.ending = RunOutcome::VideoFailed;
        outcome.message = tr("Patch failed on video:\n%1").arg(error);
        emit pairFinished(PairOutcome{NmosClient::Video, QString(), video.receiverId, PairOutcome::Failed, error}, 1, 1);
        return outcome;
    }
    emit pairFinished(video, 1, 1);

    if (!m_client->fillReceiverGroup(&outcome.receiver, &error))
        outcome.unreadGroups = tr("Audio and anc not taken down: the group could not be read:\n%1").arg(error);
    const QList<QPair<NmosClient::Format, QStringList>> kinds{
        {NmosClient::Audio, outcome.receiver.audioIds}, {NmosClient::Data, outcome.receiver.dataIds}};
    for (const auto &kind : kinds) {
        int number = 0;
        for (const QString &memberId : kind.second) {
            PairOutcome pair{kind.first, QString(), memberId};
            emit pairStarted(pair, ++number, kind.second.size());
            NmosClient::ReceiverGroup member;
            const bool done = m_client->findReceiver(receiver.node, kind.first, &member, memberId, &error)
                              && m_client->disconnectReceiver(member, &error)
                              && m_client->verifyDisconnected(member, &error);
            if (!done) {
                pair.status = PairOutcome::Failed;
                pair.reason = error;
            }
            outcome.members << pair;
            emit pairFinished(pair, number, kind.second.size());
        }
    }
    return outcome;
}

PatchWorkflow::SdpOutcome PatchWorkflow::senderFiles(const NmosClient::SenderConnection &sender)
{
    SdpOutcome outcome;
    NmosClient::SenderGroup group;
    if (!m_client->findSender(sender.node, NmosClient::Video, &group, sender.id)) {
        outcome.ending = SdpOutcome::NotFound;
        outcome.message = tr("No sender found on transmitter node.");
        return outcome;
    }
    const auto read = [this](const NmosClient::SenderGroup &member) {
        QString sdp;
        QString why;
        return m_client->getManifest(member, &sdp, &why) ? sdp : unreadSdpNote(member, why);
    };
    // Taken now: the member lookups below overwrite the group's label.
    outcome.label = group.label;
    outcome.files << read(group);

    m_client->fillSenderGroup(&group);
    outcome.files += memberFiles(
        &group,
        [this, &sender](NmosClient::Format format, NmosClient::SenderGroup *member, const QString &memberId) {
            return m_client->findSender(sender.node, format, member, memberId);
        },
        read);
    return outcome;
}

PatchWorkflow::SdpOutcome PatchWorkflow::receiverFiles(const NmosClient::ReceiverConnection &receiver)
{
    SdpOutcome outcome;
    NmosClient::ReceiverGroup group;
    if (!m_client->findReceiver(receiver.node, NmosClient::Video, &group, receiver.id)) {
        outcome.ending = SdpOutcome::NotFound;
        outcome.message = tr("No senders on the receiver node to display SDP from.");
        return outcome;
    }
    QString sdp;
    if (!m_client->getReceiverSdp(group, &sdp)) {
        outcome.ending = SdpOutcome::NothingStaged;
        outcome.message = tr("Nothing is connected/Failed to fetch SDP.");
        return outcome;
    }
    outcome.label = group.label;
    outcome.files << sdp;

    m_client->fillReceiverGroup(&group);
    outcome.files += memberFiles(
        &group,
        [this, &receiver](NmosClient::Format format, NmosClient::ReceiverGroup *member, const QString &memberId) {
            return m_client->findReceiver(receiver.node, format, member, memberId);
        },
        [this](const NmosClient::ReceiverGroup &member) {
            QString file;
            return m_client->getReceiverSdp(member, &file) ? file : QString();
        });
    return outcome;
}
