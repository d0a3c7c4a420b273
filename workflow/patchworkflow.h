#ifndef PATCHWORKFLOW_H
#define PATCHWORKFLOW_H

#include "nmos/nmosclient.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// The patch runs and the SDP viewers on a chosen sender and receiver: a connect patches the
// receiving device's group to the sending device's, verified on each receiver; a disconnect
// takes the receiving group down. Each run waits on its requests, one at a time, and
// answers with what became of every pair; the texts are the ones the operator is shown.
class PatchWorkflow : public QObject
{
    Q_OBJECT

public:
    // One audio or ancillary pair, or a member of either group left without a counterpart.
    struct PairOutcome
    {
        enum Status { Done, Failed, NotAttempted };

        NmosClient::Format format = NmosClient::Audio;
        QString senderId;   // empty for a disconnect, and for a receiver without a counterpart
        QString receiverId; // empty for a sender without a counterpart
        Status status = Done;
        QString reason;     // why it failed or was not attempted
    };

    struct RunOutcome
    {
        enum Ending { Completed, NoSender, NoReceiver, VideoFailed };

        Ending ending = Completed;
        // What ended the run early; empty when it was completed.
        QString message;
        // The video pair as found on the nodes, with the member lists of both groups.
        NmosClient::SenderGroup sender;
        NmosClient::ReceiverGroup receiver;
        // Why no member was tried, when the groups could not be read.
        QString unreadGroups;
        // In the order tried: audio, then ancillary; each kind's pairs, then its members
        // without a counterpart.
        QList<PairOutcome> members;
        // What the operator is told of pairs patched otherwise than sender to receiver in
        // full: a receiver taking one leg of a sender's two.
        QStringList notes;

        // What a completed run did not do, one text each: the unread groups, then every
        // member that failed or was not attempted.
        QStringList failures() const;
    };

    struct SdpOutcome
    {
        enum Ending { Shown, NotFound, NothingStaged };

        Ending ending = Shown;
        QString message; // why nothing can be shown
        QString label;   // the video sender's or receiver's
        // The transport files, the video resource's first, then those of its audio and
        // ancillary members in the group's order; a member that cannot be found, or has
        // nothing staged, has none.
        QStringList files;
    };

    explicit PatchWorkflow(NmosClient *client, QObject *parent = nullptr);

    // The chosen records name a node and an id; an empty record finds nothing.
    RunOutcome connectGroup(const NmosClient::SenderConnection &sender,
                            const NmosClient::ReceiverConnection &receiver);
    RunOutcome disconnectGroup(const NmosClient::ReceiverConnection &receiver);
    // A sender's files as it publishes them, without activating it; a receiver's as staged.
    SdpOutcome senderFiles(const NmosClient::SenderConnection &sender);
    SdpOutcome receiverFiles(const NmosClient::ReceiverConnection &receiver);
    // The audio, then the ancillary members of two groups, paired as a connect pairs them.
    static QList<QPair<NmosClient::Format, NmosClient::MemberPairs>> memberPairs(const NmosClient::SenderGroup &sender,
                                                                                const NmosClient::ReceiverGroup &receiver);
    // What the operator is told of a connect that left one of the sender's legs out; empty
    // when it took them all.
    static QString legNote(const NmosClient::LegPatch &legs, const QString &receiverLabel, const QString &senderLabel);

signals:
    // A run's pairs as it goes, the video pair first: each before it is tried and once it is
    // done or failed, with its number among the pairs of its kind that are tried (the video
    // pair is 1 of 1). Members without a counterpart are never tried.
    void pairStarted(const PatchWorkflow::PairOutcome &pair, int number, int count);
    void pairFinished(const PatchWorkflow::PairOutcome &pair, int number, int count);

private:
    void connectMembers(RunOutcome *outcome, QString *error);
    // Patches and checks one pair, telling *outcome of a leg left out.
    bool connectPair(const NmosClient::SenderGroup &sender, const NmosClient::ReceiverGroup &receiver,
                     RunOutcome *outcome, QString *error);

    NmosClient *m_client;
};

#endif // PATCHWORKFLOW_H
