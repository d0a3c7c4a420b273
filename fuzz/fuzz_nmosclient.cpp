// libFuzzer entry point for the NMOS client: a node may answer any query with any body.
// The input is up to eight bodies, split at NUL bytes, that answer the senders, receivers,
// flows and devices collections, a single sender, a single receiver, a receiver's Connection
// API endpoints (staged, active, constraints) and every other request (the transport file, a
// sender's PATCH); a missing body answers 404. It looks for crashes and undefined behaviour;
// where requests go is the unit tests' to check.
#include "nmos/nmosclient.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QUrl>

#include <cstdint>

namespace {

const char NodeHost[] = "node.test";

enum Part { Senders, Receivers, Flows, Devices, Sender, Receiver, Staged, Other };

// A reply that is finished as soon as it is made, so the client never waits.
class CannedReply : public QNetworkReply
{
    Q_OBJECT

public:
    CannedReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                const QByteArray *body, QObject *parent)
        : QNetworkReply(parent)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(operation);
        if (body) {
            m_body.setData(*body);
            setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        } else {
            setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 404);
            setError(ContentNotFoundError, QStringLiteral("Not found"));
        }
        m_body.open(QIODevice::ReadOnly);
        open(QIODevice::ReadOnly);
        setFinished(true);
    }

    void abort() override {}
    qint64 bytesAvailable() const override { return m_body.bytesAvailable() + QNetworkReply::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override { return m_body.read(data, maxSize); }

private:
    QBuffer m_body;
};

class CannedNetwork : public QNetworkAccessManager
{
    Q_OBJECT

public:
    QList<QByteArray> bodies;

protected:
    // A PATCH is answered like a GET of its URL: with its part's body, or 404.
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *) override
    {
        const int part = partOf(request.url());
        return new CannedReply(operation, request, part < bodies.size() ? &bodies.at(part) : nullptr, this);
    }

private:
    static int partOf(const QUrl &url)
    {
        // A collection, or one of its members when anything follows its slash.
        static const QRegularExpression node(
            QStringLiteral("^/x-nmos/node/v1\\.3/(senders|receivers|flows|devices)(/|$)(.*)"));
        const QString path = url.path();
        if (url.host() != QLatin1String(NodeHost))
            return Other;
        if (path.startsWith(QLatin1String("/x-nmos/connection/v1.1/single/receivers/")))
            return Staged;
        const QRegularExpressionMatch match = node.match(path);
        if (!match.hasMatch())
            return Other;
        const int collection = QStringList{"senders", "receivers", "flows", "devices"}.indexOf(match.captured(1));
        return collection < Flows && match.capturedLength(3) > 0 ? Sender + collection : collection;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static CannedNetwork network;
    network.bodies = QByteArray(reinterpret_cast<const char *>(data), int(size)).split('\0');
    NmosClient client(&network);
    const NmosClient::NodeEndpoint address{QStringLiteral("%1:8080").arg(QLatin1String(NodeHost))};

    client.videoSenders(address, QStringLiteral("node"));
    client.videoReceivers(address, QStringLiteral("node"));

    NmosClient::SenderGroup sender;
    NmosClient::ReceiverGroup receiver;
    const bool haveSender = client.findSender(address, NmosClient::Video, &sender);
    const bool haveReceiver = client.findReceiver(address, NmosClient::Video, &receiver);
    client.fillSenderGroup(&sender);
    client.fillReceiverGroup(&receiver);
    for (const QString &id : sender.audioIds + sender.dataIds) {
        NmosClient::SenderGroup member;
        client.findSender(address, NmosClient::Audio, &member, id);
    }
    // As the workflows do: patches only once both ends were found.
    if (haveReceiver) {
        QString sdp;
        client.getReceiverSdp(receiver, &sdp);
        QString error;
        NmosClient::LegPatch legs;
        if (haveSender && client.connectReceiver(sender, receiver, &error, &legs))
            client.verifyConnected(sender, receiver, &error, legs.params);
        client.disconnectReceiver(receiver, &error);
    }

    // The client hands its replies to deleteLater; no event loop runs here to free them.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}

#include "fuzz_nmosclient.moc"
