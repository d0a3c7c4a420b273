#include "routereader.h"

#include <QNetworkReply>

RouteReader::RouteReader(NmosClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
}

void RouteReader::read(const QList<NmosClient::ReceiverConnection> &receivers)
{
    const int round = ++m_round;
    m_waiting = receivers.size();
    if (receivers.isEmpty()) {
        emit finished();
        return;
    }
    for (int i = 0; i < receivers.size(); ++i) {
        const NmosClient::ReceiverConnection &receiver = receivers.at(i);
        NmosClient::ReceiverGroup group;
        group.id = receiver.id;
        group.label = receiver.label;
        group.node = receiver.node;
        QString error;
        QNetworkReply *reply = m_client->requestActiveSender(group, &error);
        if (!reply) {
            // Reported once the round is under way, as an answer would be.
            QMetaObject::invokeMethod(this, [this, round, i, error] { report(round, i, false, false, QString(), error); },
                                      Qt::QueuedConnection);
            continue;
        }
        connect(reply, &QNetworkReply::finished, this, [this, reply, round, i] {
            reply->deleteLater();
            bool enabled = false;
            QString senderId;
            QString failure;
            const bool read = NmosClient::activeSenderOf(reply, &enabled, &senderId, &failure);
            report(round, i, read, enabled, senderId, failure);
        });
    }
}

void RouteReader::report(int round, int index, bool read, bool enabled, const QString &senderId, const QString &error)
{
    if (round != m_round)
        return;
    emit receiverRead(index, read, enabled, senderId, error);
    if (--m_waiting == 0)
        emit finished();
}
