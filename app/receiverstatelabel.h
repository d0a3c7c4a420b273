#ifndef RECEIVERSTATELABEL_H
#define RECEIVERSTATELABEL_H

#include <QHash>
#include <QLabel>
#include <QMap>
#include "net/authorizationsession.h"
#include "net/authorizingnetworkaccessmanager.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>

class QComboBox;
class QNetworkReply;

// What the receiver chosen in the receiver row is receiving now, as plain text under the
// row: the sender's entry when it is listed, its id otherwise, or that it receives nothing.
// It follows every change it is told of or can read: a registry's report of a receiver's
// subscription, a node's announcement that its receivers changed, and the end of each run.
class ReceiverStateLabel : public QLabel
{
    Q_OBJECT

public:
    ReceiverStateLabel(QComboBox *senders, QComboBox *receivers, QWidget *parent = nullptr);

    static QString notReceivingText();
    // A secured facility's session, whose token goes with the reads of receivers' state.
    void setAuthorization(AuthorizationSession *session) { m_nam.setSession(session); }

    // The subscription a registry reports for a receiver: which sender, if active.
    void setSubscription(const QString &receiverId, const QString &senderId, bool active);
    // Reads the chosen receiver's active parameters from its Connection API again.
    void refresh();
    // What a run is doing, shown in place of the state until it is given back empty: the
    // operator looks here for what the run changes.
    void setProgress(const QString &text);
    // A node's TXT attributes as discovery hears them; a new "ver_rcv" means its receivers
    // changed, perhaps the chosen one.
    void takeAnnouncement(const QString &serviceName, const QMap<QString, QString> &txt);

private:
    void show();
    void finishRead(QNetworkReply *reply, const QString &receiverId);
    QString senderEntry(const QString &senderId) const;

    QComboBox *m_senders;
    QComboBox *m_receivers;
    AuthorizingNetworkAccessManager m_nam;
    struct State
    {
        bool active = false;
        QString senderId; // may be empty while active: a stream from no NMOS sender
        bool reported = false; // by a registry, which a failed read of the device does not undo
    };
    // By receiver id: what was read or reported last.
    QHash<QString, State> m_states;
    QHash<QString, QString> m_receiverVersions; // service name -> "ver_rcv"
    // One read at a time; a change meanwhile asks for one more after it.
    QPointer<QNetworkReply> m_reading;
    bool m_readAgain = false;
    QString m_failure;
    QString m_progress;
};

#endif // RECEIVERSTATELABEL_H
