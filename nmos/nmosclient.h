#ifndef NMOSCLIENT_H
#define NMOSCLIENT_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QUrl;

// The tool's one client of the NMOS Node (IS-04) and Connection (IS-05) APIs.
// Every request is synchronous for the caller: it waits in a nested event loop.
class NmosClient : public QObject
{
    Q_OBJECT

public:
    enum Format {
        Video = 0,
        Audio = 1,
        Data = 2
    };

    // Where a node serves its APIs: the node address (host or IP address, ":" and port, the
    // text the operator sees) and the scheme the node announced, "http" or "https".
    struct NodeEndpoint
    {
        QString address;
        QString scheme = QStringLiteral("http");
        // The device's IS-05 base as its controls give it, with the version
        // ("http://10.0.0.5:5201/x-nmos/connection/v1.0"); empty when the device lists no
        // controls, and the Connection API v1.1 is then asked at the node address.
        QString connectionApi;
    };

    struct SenderConnection
    {
        QString id;
        QString label;
        QString manifestHref;
        NodeEndpoint node;
        QString displayName;
    };

    struct ReceiverConnection
    {
        QString id;
        QString label;
        NodeEndpoint node;
        QString displayName;
    };

    struct SenderGroup
    {
        QString id;
        QString label;
        QString manifestHref;
        NodeEndpoint node;
        QStringList audioIds;
        QStringList dataIds;
    };

    struct ReceiverGroup
    {
        QString id;
        QString label;
        NodeEndpoint node;
        QStringList audioIds;
        QStringList dataIds;
    };

    explicit NmosClient(QObject *parent = nullptr);
    // Sends every request through manager, which must outlive the client: a test or a
    // fuzzer answers through it without sockets.
    explicit NmosClient(QNetworkAccessManager *manager, QObject *parent = nullptr);

    static QByteArray syncGet(QNetworkAccessManager *manager, const QString &url,
                              int *status = nullptr, QString *errorString = nullptr);
    // The node's answer goes to *response whether or not it was an HTTP error.
    static bool syncPatch(QNetworkAccessManager *manager, const QUrl &url, const QJsonObject &body,
                          int *status = nullptr, QString *errorString = nullptr,
                          QByteArray *response = nullptr);
    static QString bracketIpv6Host(const QString &url);
    // Trusts the authorities of a PEM file besides the system's, for every later request of
    // the process (discovery's too). False, with the reason, when it holds none.
    static bool addTrustedAuthorities(const QString &pemFile, QString *errorString = nullptr);

    QJsonArray getJsonArray(const QString &url);
    QJsonObject getJsonObject(const QString &url);
    bool getManifest(const SenderGroup &sender, QString *sdp);

    // Node API queries
    bool hasSenders(const NodeEndpoint &node);
    bool hasReceivers(const NodeEndpoint &node);
    QList<SenderConnection> videoSenders(const NodeEndpoint &node, const QString &nodeName);
    QList<ReceiverConnection> videoReceivers(const NodeEndpoint &node, const QString &nodeName);
    bool findSender(const NodeEndpoint &node, Format format, SenderGroup *group,
                    const QString &preferredId = QString());
    bool findReceiver(const NodeEndpoint &node, Format format, ReceiverGroup *group,
                      const QString &preferredId = QString());

    // Device group matching
    void fillSenderGroup(SenderGroup *group);
    void fillReceiverGroup(ReceiverGroup *group);

    // Connection API operations
    bool activateSender(const SenderGroup &sender, QString *errorString = nullptr);
    bool connectReceiver(const SenderGroup &sender, const ReceiverGroup &receiver,
                         QString *errorString = nullptr);
    bool disconnectReceiver(const ReceiverGroup &receiver, QString *errorString = nullptr);
    bool getReceiverSdp(const ReceiverGroup &receiver, QString *sdp);
    // A node may accept a patch and still not run it; only the receiver's active parameters
    // tell. On a mismatch or an unreadable answer the failure text goes to errorString.
    bool verifyConnected(const SenderGroup &sender, const ReceiverGroup &receiver,
                         QString *errorString = nullptr);
    bool verifyDisconnected(const ReceiverGroup &receiver, QString *errorString = nullptr);

private:
    QNetworkAccessManager *manager = nullptr;
};

Q_DECLARE_METATYPE(NmosClient::SenderConnection)
Q_DECLARE_METATYPE(NmosClient::ReceiverConnection)

#endif // NMOSCLIENT_H
