#ifndef NODELISTING_H
#define NODELISTING_H

#include "nmos/nmosclient.h"

#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Reads the entries of one node, its video senders and receivers with the IS-05 base of
// their devices' controls, without waiting for them: one request after the other, each
// sent when the one before has answered, and finished() once at the end. The entries follow
// NmosClient::videoSendersOf and videoReceiversOf; a list that cannot be read counts as
// empty, with the warning line the client writes for it.
class NodeListing : public QObject
{
    Q_OBJECT

public:
    NodeListing(QNetworkAccessManager *manager, const NmosClient::NodeEndpoint &node, const QString &nodeName,
                QObject *parent = nullptr);
    // Abandons a request under way; finished() does not come then.
    ~NodeListing() override;

    void start();

    QString nodeName() const { return m_nodeName; }
    QList<NmosClient::SenderConnection> senders() const { return m_senders; }
    QList<NmosClient::ReceiverConnection> receivers() const { return m_receivers; }

signals:
    void finished();

private:
    using Step = void (NodeListing::*)(const QJsonArray &);
    // A listing's requests share one connection; its last asks the node to close it, so
    // that thousands of nodes listed leave no idle connections behind on either side.
    void get(const QString &path, Step next,
             NmosClient::ConnectionAfter after = NmosClient::KeepConnection);
    void sendersRead(const QJsonArray &senders);
    void flowsRead(const QJsonArray &flows);
    void receiversRead(const QJsonArray &receivers);
    void devicesRead(const QJsonArray &devices);

    QNetworkAccessManager *m_manager;
    const NmosClient::NodeEndpoint m_node;
    const QString m_nodeName;
    QJsonArray m_senderList;
    QJsonArray m_receiverList;
    QList<NmosClient::SenderConnection> m_senders;
    QList<NmosClient::ReceiverConnection> m_receivers;
    QPointer<QNetworkReply> m_reply;
};

#endif // NODELISTING_H
