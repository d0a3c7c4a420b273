#ifndef RTPLEGS_H
#define RTPLEGS_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The legs of an RTP stream, two of them under ST 2022-7: what a sender's transport file
// says of each, what a receiver's patch sets on each of its own, and whether the receiver
// runs them so.
class RtpLegs
{
public:
    // A receiver's transport parameters for each leg the file describes: the media sections
    // its DUP group names, in the file's order, or else its first media section alone, with
    // a leg for each of two sources its ssrc-group DUP names. Each holds what the file gives
    // of destination_port, multicast_ip and source_ip; the list is empty when the file
    // describes no media.
    static QList<QJsonObject> ofSdp(const QString &sdp);

    // The transport_params for a receiver of receiverLegs legs fed by senderLegs: each leg
    // that has one of the sender's is switched on with it, each other one switched off.
    // A leg of the receiver's constraints that lists parameters keeps only those it lists.
    static QJsonArray receiverParams(const QList<QJsonObject> &senderLegs, int receiverLegs,
                                     const QJsonArray &constraints = QJsonArray());

    // Whether a receiver's active transport_params hold every value asked of each leg (true
    // when nothing was); the first that differs goes to *errorString.
    static bool holds(const QJsonArray &active, const QJsonArray &asked, QString *errorString = nullptr);
};

#endif // RTPLEGS_H
