#ifndef FITLINES_H
#define FITLINES_H

#include "net/authorizationsession.h"
#include "net/authorizingnetworkaccessmanager.h"
#include "nmos/nmosclient.h"
#include "nmos/receivercapabilities.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class QComboBox;
class QLabel;
class QNetworkReply;

// What the chosen entries carry and whether they fit, as plain text under the rows: the
// sender's format, what the receiver takes and, with both chosen, whether that receiver can
// take that sender. Where IS-04 does not say what a sender carries, or at what rate its
// video runs, its SDP is read, in the background, once per sender version. Each pair is judged once per sender version and
// receiver caps version.
class FitLines : public QObject
{
    Q_OBJECT

public:
    FitLines(QComboBox *senders, QComboBox *receivers, QObject *parent = nullptr);

    // For the window's layout, which takes them over.
    QLabel *senderLine() const { return m_senderLine; }
    QLabel *receiverLine() const { return m_receiverLine; }
    QLabel *fitLine() const { return m_fitLine; }

    // A secured facility's session, whose token goes with the reads of transport files.
    void setAuthorization(AuthorizationSession *session) { m_nam.setSession(session); }

    // The verdict on the chosen pair; false when a sender and a receiver are not both chosen.
    bool judgeChosen(ReceiverCapabilities::Verdict *verdict);
    static QString canTakeText();
    static QString cannotTakeText(const QString &reason);

private:
    void show();
    // What the sender carries, from its SDP too once read; starts that read when IS-04 does
    // not name the media type or a video rate. *fromSdp tells which.
    StreamFormat formatOf(const NmosClient::SenderConnection &sender, bool *fromSdp);
    void finishRead(QNetworkReply *reply, const QString &senderKey, StreamFormat format);

    QComboBox *m_senders;
    QComboBox *m_receivers;
    QLabel *m_senderLine;
    QLabel *m_receiverLine;
    QLabel *m_fitLine;
    AuthorizingNetworkAccessManager m_nam;
    // By sender id and version: its format completed from its SDP, or as IS-04 gave it
    // when the SDP could not be read; and whether that was tried.
    QHash<QString, StreamFormat> m_completed;
    QPointer<QNetworkReply> m_reading; // one at a time: the chosen sender's
    QString m_readingKey;
    // By sender id and version, receiver id and caps version.
    QHash<QString, ReceiverCapabilities::Verdict> m_verdicts;
};

#endif // FITLINES_H
