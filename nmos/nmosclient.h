#ifndef NMOSCLIENT_H
#define NMOSCLIENT_H

#include "nmos/streamformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

class AuthorizationSession;
class AuthorizingNetworkAccessManager;
class NmosResourceStore;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
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
        QString scheme; // anything but "https" is asked over http
        // The device's IS-05 base as its controls give it, with the version
        // ("http://10.0.0.5:5201/x-nmos/connection/v1.0"); empty when the device lists no
        // controls, and the Connection API v1.1 is then asked at the node address.
        QString connectionApi;
        // The node's id when it was read from a registry: its Node API is then never asked,
        // and its collections and resources come from the client's resource store.
        QString registryNodeId;
        // The Node API version both sides speak, as discovery chose it ("v1.2"); empty: v1.3.
        QString nodeApiVersion;
        // The host name the node announced (its SRV target), which its certificate names while
        // it is reached at an address; empty when it announced none.
        QString tlsName;
    };

    struct SenderConnection
    {
        QString id;
        QString label;
        QString manifestHref;
        NodeEndpoint node;
        QString displayName;
        // What it sends, as its IS-04 sender and flow describe it; the version names the
        // description, so that what was judged of it can be kept until it changes.
        StreamFormat format;
        QString version;
    };

    struct ReceiverConnection
    {
        QString id;
        QString label;
        NodeEndpoint node;
        QString displayName;
        // What ReceiverCapabilities judges it by: its IS-04 transport, format, caps and
        // interface bindings; and the version of its description.
        QJsonObject capabilities;
        QString version;
    };

    // The member lists hold ids; the role lists beside them hold, at the same positions, each
    // member's grouphint role ("Audio 2" of "Cam 1:Audio 2"), empty where it has none.
    struct SenderGroup
    {
        QString id;
        QString label;
        QString manifestHref;
        NodeEndpoint node;
        QStringList audioIds;
        QStringList dataIds;
        QStringList audioRoles;
        QStringList dataRoles;
    };

    struct ReceiverGroup
    {
        QString id;
        QString label;
        NodeEndpoint node;
        QStringList audioIds;
        QStringList dataIds;
        QStringList audioRoles;
        QStringList dataRoles;
        int legs = 1; // one per IS-04 interface binding, two under ST 2022-7
    };

    // What a connect set on a receiver's legs: how many legs the sender's transport file
    // describes, and the transport_params sent, one per leg of the receiver. They are left
    // out, and params empty, when one leg feeds one and the transport file says it all.
    struct LegPatch
    {
        int senderLegs = 1;
        QJsonArray params;
    };

    // Which sender member feeds which receiver member: equal roles pair up, the members left
    // over pair by their order; those still left over have no counterpart.
    struct MemberPairs
    {
        QList<QPair<QString, QString>> pairs; // sender id, receiver id
        QStringList unpairedSenders;
        QStringList unpairedReceivers;
    };

    explicit NmosClient(QObject *parent = nullptr);
    // Sends every request through manager, which must outlive the client: a test or a
    // fuzzer answers through it without sockets.
    explicit NmosClient(QNetworkAccessManager *manager, QObject *parent = nullptr);

    // Whether a request leaves its connection open for the next one to the node. A reader
    // with more to ask keeps it; the last closes it, so that reading a facility leaves no
    // idle connection on each node. Every request of a run or check closes its own: Qt
    // writes a request's header and body apart, and on a connection kept from an earlier
    // request the body waits for the node's delayed acknowledgement of the header, 40 ms
    // for every PATCH, ten times what a run takes; a fresh connection is acknowledged at once.
    enum ConnectionAfter { CloseConnection, KeepConnection };
    // A request to url, for node when url is one of its APIs: a certificate is then checked
    // against the name the node announced at the address url reaches.
    static QNetworkRequest nodeRequest(const QUrl &url, ConnectionAfter after, const NodeEndpoint &node = NodeEndpoint());

    static QByteArray syncGet(QNetworkAccessManager *manager, const QString &url,
                              int *status = nullptr, QString *errorString = nullptr,
                              const NodeEndpoint &node = NodeEndpoint());
    // The node's answer goes to *response whether or not it was an HTTP error.
    static bool syncPatch(QNetworkAccessManager *manager, const QUrl &url, const QJsonObject &body,
                          int *status = nullptr, QString *errorString = nullptr,
                          QByteArray *response = nullptr, const NodeEndpoint &node = NodeEndpoint());
    static bool syncPost(QNetworkAccessManager *manager, const QUrl &url, const QJsonArray &body,
                         int *status = nullptr, QString *errorString = nullptr,
                         QByteArray *response = nullptr, const NodeEndpoint &node = NodeEndpoint());
    static QString bracketIpv6Host(const QString &url);
    // The address of a sender's transport file, for callers that read it themselves; empty
    // unless it is on the web: never a local file, a resource or a share.
    static QUrl transportFileUrl(const QString &manifestHref);
    // The Connection API URL of one sender or receiver ("senders", "receivers") with a tail
    // ("/active"), at its device's IS-05 base or else the node address: for callers that
    // send their own requests. Empty when the id cannot be one path segment.
    static QUrl connectionApiUrl(const NodeEndpoint &node, const QString &collection, const QString &id,
                                 const QString &tail = QString());
    // A device's IS-05 base from its controls: the sr-ctrl v1.1 entry, else v1.0, as an
    // http(s) URL without a trailing slash. True with *base empty when the device lists no
    // controls (the node address is then asked); false, with the reason, when it lists
    // controls but no usable IS-05 one, and its senders and receivers cannot be patched.
    static bool connectionApiOf(const QJsonObject &device, QString *base, QString *errorString = nullptr);
    // The records whose device offers IS-05 (or lists no controls), each with its device's
    // base from connectionApiOf; resources are the node's senders or receivers the records
    // came from, devices its devices. A record whose device is not among them keeps the node
    // address. Why each other record is left out goes to *refusals.
    static QList<SenderConnection> withDeviceControls(const QList<SenderConnection> &records, const QJsonArray &resources,
                                                      const QJsonArray &devices, QStringList *refusals = nullptr);
    static QList<ReceiverConnection> withDeviceControls(const QList<ReceiverConnection> &records,
                                                        const QJsonArray &resources, const QJsonArray &devices,
                                                        QStringList *refusals = nullptr);
    // Trusts the authorities of a PEM file besides the system's, for every later request of
    // the process (discovery's too). False, with the reason, when it holds none.
    static bool addTrustedAuthorities(const QString &pemFile, QString *errorString = nullptr);

    // A secured facility's session, whose token goes with every request of the client's own
    // manager to the facility's APIs.
    void setAuthorization(AuthorizationSession *session);
    // Where the resources of registry endpoints are read; without one they are found nowhere.
    void setResourceStore(const NmosResourceStore *store) { m_store = store; }

    // Empty on any failure; the reason, when one is wanted, goes to *errorString.
    // node: the one whose API url is, for its certificate's name.
    QJsonArray getJsonArray(const QString &url, QString *errorString = nullptr, const NodeEndpoint &node = NodeEndpoint());
    QJsonObject getJsonObject(const QString &url, QString *errorString = nullptr, const NodeEndpoint &node = NodeEndpoint());
    bool getManifest(const SenderGroup &sender, QString *sdp, QString *errorString = nullptr);

    // Node API queries
    // Why not, when they do not answer, goes to *errorString.
    bool hasSenders(const NodeEndpoint &node, QString *errorString = nullptr);
    bool hasReceivers(const NodeEndpoint &node, QString *errorString = nullptr);
    QList<SenderConnection> videoSenders(const NodeEndpoint &node, const QString &nodeName);
    QList<ReceiverConnection> videoReceivers(const NodeEndpoint &node, const QString &nodeName);
    // The entries of one node's resources already read: every video sender or receiver with a
    // label, in the node's order; a label met again gets " #2", " #3"... in its entry text.
    static QList<SenderConnection> videoSendersOf(const QJsonArray &flows, const QJsonArray &senders,
                                                  const NodeEndpoint &node, const QString &nodeName);
    static QList<ReceiverConnection> videoReceiversOf(const QJsonArray &receivers, const NodeEndpoint &node,
                                                      const QString &nodeName);
    // An entry's text, "<node name> (<address>-<label>)", on one line and read as written.
    static QString entryText(const QString &nodeName, const QString &address, const QString &label);
    bool findSender(const NodeEndpoint &node, Format format, SenderGroup *group,
                    const QString &preferredId = QString(), QString *errorString = nullptr);
    bool findReceiver(const NodeEndpoint &node, Format format, ReceiverGroup *group,
                      const QString &preferredId = QString(), QString *errorString = nullptr);

    // Device group matching. False, with the reason, when what the grouping needs could not
    // be read; the member lists are then left as they were.
    bool fillSenderGroup(SenderGroup *group, QString *errorString = nullptr);
    bool fillReceiverGroup(ReceiverGroup *group, QString *errorString = nullptr);
    static MemberPairs pairMembers(const QStringList &senderIds, const QStringList &senderRoles,
                                   const QStringList &receiverIds, const QStringList &receiverRoles);

    // Connection API operations
    bool activateSender(const SenderGroup &sender, QString *errorString = nullptr);
    // A sender of two legs feeds both of a receiver's, or the first alone of a receiver of
    // one; a receiver of two fed by one leg has its second switched off. What was set goes
    // to *legs, for verifyConnected.
    bool connectReceiver(const SenderGroup &sender, const ReceiverGroup &receiver,
                         QString *errorString = nullptr, LegPatch *legs = nullptr);
    bool disconnectReceiver(const ReceiverGroup &receiver, QString *errorString = nullptr);
    bool getReceiverSdp(const ReceiverGroup &receiver, QString *sdp);
    // What a connect or a disconnect stages on a receiver, without its activation. A connect
    // reads the sender's transport file first, activating a sender that publishes none, and
    // sets the receiver's legs as connectReceiver does.
    bool connectParams(const SenderGroup &sender, const ReceiverGroup &receiver, QJsonObject *params,
                       QString *errorString = nullptr, LegPatch *legs = nullptr);
    static QJsonObject disconnectParams();
    // One receiver's staged parameters, activation included, for stageReceivers.
    struct StagedParams
    {
        ReceiverGroup receiver;
        QJsonObject params;
    };
    // What became of one receiver's staging: taken, refused by the device with an HTTP code,
    // or unknown (no answer, or none for it), when the device may have scheduled it all the same.
    struct StageAnswer
    {
        enum Outcome { Staged, Refused, Unknown };
        Outcome outcome = Unknown;
        QString reason; // why it was refused or is unknown
    };
    // Stages the parameters of receivers of one device: in one POST to the device's bulk
    // endpoint, or, where it offers none (404, 405 or 501), one PATCH each. (*answers)[i]
    // is staged[i]'s. *bulk tells which way was used.
    void stageReceivers(const QList<StagedParams> &staged, QList<StageAnswer> *answers, bool *bulk = nullptr);
    // Cancels an activation scheduled on a receiver, leaving what it runs as it is, without
    // waiting: the request, held to the limits of every request; the caller deletes it.
    // Null, with the reason, when none can be made.
    QNetworkReply *requestCancelActivation(const ReceiverGroup &receiver, QString *errorString = nullptr);
    // Whether a finished PATCH was accepted; else why not.
    static bool patchAccepted(QNetworkReply *reply, QString *errorString = nullptr);
    // A node may accept a patch and still not run it; only the receiver's active parameters
    // tell, and those of each leg the connect set (legs: its LegPatch::params). On a mismatch
    // or an unreadable answer the failure text goes to errorString.
    bool verifyConnected(const SenderGroup &sender, const ReceiverGroup &receiver,
                         QString *errorString = nullptr, const QJsonArray &legs = QJsonArray());
    bool verifyDisconnected(const ReceiverGroup &receiver, QString *errorString = nullptr);
    // What a receiver runs now, by its active parameters: whether it is on, and the sender
    // whose stream it runs. *senderId is empty when the receiver is off, and also when it is
    // on with a stream no NMOS sender describes: *enabled tells these apart.
    bool activeSender(const ReceiverGroup &receiver, bool *enabled, QString *senderId, QString *errorString = nullptr);
    // The same read without waiting, for callers that read many receivers at once: the
    // request, held to the limits of every request, whose reply activeSenderOf reads once
    // it has finished; the caller deletes it. Null, with the reason, when none can be made.
    QNetworkReply *requestActiveSender(const ReceiverGroup &receiver, QString *errorString = nullptr,
                                       ConnectionAfter after = CloseConnection);
    // *transportParams, when asked for, gets the receiver's active legs.
    static bool activeSenderOf(QNetworkReply *reply, bool *enabled, QString *senderId, QString *errorString = nullptr,
                               QJsonArray *transportParams = nullptr);
    // What a receiver's answer of active parameters says, by the rule activeSender follows:
    // false when it holds no state.
    static bool parseActive(const QByteArray &answer, bool *enabled, QString *senderId);

private:
    QJsonDocument getJson(const QString &url, QString *errorString, const NodeEndpoint &node);
    bool readStore(const QString &url, QJsonValue *value) const;
    // What a connect of receiver to the sender of sdp sets on the receiver's legs.
    LegPatch legPatch(const ReceiverGroup &receiver, const QString &sdp);

    QNetworkAccessManager *manager = nullptr;
    AuthorizingNetworkAccessManager *m_ownManager = nullptr;
    const NmosResourceStore *m_store = nullptr;
};

Q_DECLARE_METATYPE(NmosClient::SenderConnection)
Q_DECLARE_METATYPE(NmosClient::ReceiverConnection)

#endif // NMOSCLIENT_H
