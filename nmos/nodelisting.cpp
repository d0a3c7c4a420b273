#include "nodelisting.h"
#include "nmosclient_p.h"

#include "net/replylimits.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

using namespace NmosPrivate;

NodeListing::NodeListing(QNetworkAccessManager *manager, const NmosClient::NodeEndpoint &node,
                         const QString &nodeName, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_node(node)
    , m_nodeName(nodeName)
{
}

NodeListing::~NodeListing()
{
    if (m_reply) {
        // Aborting finishes the reply at once: its handler must not run on a listing half gone.
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void NodeListing::start()
{
    get(QStringLiteral("/senders/"), &NodeListing::sendersRead);
}

// The senders list asked first tells whether the node has any; it is the list the entries
// are made of once the flows have told which of them carry video.
void NodeListing::sendersRead(const QJsonArray &senders)
{
    if (senders.isEmpty()) {
        get(QStringLiteral("/receivers/"), &NodeListing::receiversRead);
        return;
    }
    m_senderList = senders;
    get(QStringLiteral("/flows/"), &NodeListing::flowsRead);
}

void NodeListing::flowsRead(const QJsonArray &flows)
{
    m_senders = NmosClient::videoSendersOf(flows, m_senderList, m_node, m_nodeName);
    get(QStringLiteral("/receivers/"), &NodeListing::receiversRead);
}

void NodeListing::receiversRead(const QJsonArray &receivers)
{
    m_receivers = NmosClient::videoReceiversOf(receivers, m_node, m_nodeName);
    if (m_senders.isEmpty() && m_receivers.isEmpty()) {
        emit finished();
        return;
    }
    m_receiverList = receivers;
    get(QStringLiteral("/devices/"), &NodeListing::devicesRead, NmosClient::CloseConnection);
}

void NodeListing::devicesRead(const QJsonArray &deviceList)
{
    QStringList refusals;
    m_senders = NmosClient::withDeviceControls(m_senders, m_senderList, deviceList, &refusals);
    m_receivers = NmosClient::withDeviceControls(m_receivers, m_receiverList, deviceList, &refusals);
    for (const QString &reason : qAsConst(refusals))
        qCWarning(lcNmos).noquote() << "Not listed:" << reason;
    m_senderList = QJsonArray();
    m_receiverList = QJsonArray();
    emit finished();
}

void NodeListing::get(const QString &path, Step next, NmosClient::ConnectionAfter after)
{
    const QString url = nodeUrl(m_node, path);
    const QUrl target = QUrl::fromUserInput(NmosClient::bracketIpv6Host(url));
    if (!target.isValid()) {
        qWarning() << "Unable to connect:" << QStringLiteral("Invalid URL: %1").arg(url);
        // From the event loop, as an answer would come: finished() never comes inside start().
        QMetaObject::invokeMethod(this, [this, next] { (this->*next)(QJsonArray()); }, Qt::QueuedConnection);
        return;
    }
    QNetworkReply *reply = ReplyLimits::get(m_manager, NmosClient::nodeRequest(target, after, m_node));
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply, next] {
        m_reply = nullptr;
        reply->deleteLater();
        QString failure;
        const bool failed = ReplyLimits::failed(reply, &failure);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QJsonArray list;
        if (failed || !isAccepted(status)) {
            qWarning() << "Unable to connect:"
                       << (failed ? failure : QStringLiteral("HTTP %1 from %2").arg(status).arg(reply->url().toString()));
        } else {
            QJsonParseError parseError;
            const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &parseError);
            if (parseError.error == QJsonParseError::NoError)
                list = document.array();
        }
        (this->*next)(list);
    });
}
