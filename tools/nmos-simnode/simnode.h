#ifndef SIMNODE_H
#define SIMNODE_H

#include "patchvalidator.h"
#include "simconfig.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

// What the HTTP layer sends back for one request.
struct SimReply
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
};

// One simulated NMOS node: its IS-04 resources, its IS-05 staged and active parameters and
// the answers to requests. handle() is called from the HTTP threads, so all state sits
// behind one mutex.
class SimNode : public QObject
{
    Q_OBJECT

public:
    enum Format {
        Video,
        Audio,
        Data
    };

    explicit SimNode(const SimNodeConfig &config, int index = 0, QObject *parent = nullptr);

    const SimNodeConfig &config() const { return m_config; }
    QString id() const { return m_nodeId; }
    // Sets the HTTP port once the socket is bound; hrefs are built from it.
    void setPort(int port);
    int port() const;

    SimReply handle(const QByteArray &method, const QString &path, const QByteArray &body);

    // What each receiver is patched to and how often things were activated.
    QJsonObject state() const;
    // The TXT attributes to announce, with the current peer-to-peer counters.
    QMap<QByteArray, QByteArray> txtAttributes() const;
    // Counts a change of the node's own resource, as a node does when its name or clocks change.
    void bumpSelfCounter();

signals:
    // Emitted after an activation (from an HTTP thread) or a bump changed resources.
    void resourcesChanged();

private:
    struct Version
    {
        qint64 seconds = 0;
        qint64 nanoseconds = 0;
        QString toString() const;
    };

    struct Sender
    {
        QString id;
        QString label;
        QString group;
        QString role;
        Format format = Video;
        int legs = 1;
        QString deviceId;
        QString flowId;
        QString sourceId;
        QString multicastIp;
        SimVideoFormat video; // what a video sender sends
        Version version;
        QJsonObject staged;
        QJsonObject active;
        int activations = 0;
        int patches = 0;
    };

    struct Receiver
    {
        QString id;
        QString label;
        QString group;
        QString role;
        Format format = Video;
        int legs = 1;
        QString deviceId;
        QJsonObject caps; // as IS-04 shows them, less their version
        Version version;
        QJsonObject staged;
        QJsonObject active;
        int activations = 0;
        int patches = 0;
    };

    struct Device
    {
        QString id;
        QString label;
        Version version;
        QStringList senderIds;
        QStringList receiverIds;
    };

    void build();
    QString makeId(const QString &path) const;
    Version nextVersion(const Version &previous) const;
    QString scheme() const;
    // Its APIs want a token, as its announcement says.
    bool secured() const { return m_config.apiAuth == QLatin1String("true"); }
    QString baseUrl() const;
    QString ipv4Address() const;

    SimReply handleNodeApi(const QByteArray &method, const QStringList &parts);
    SimReply handleConnectionApi(const QByteArray &method, const QStringList &parts, const QByteArray &body);
    bool readPatch(const QByteArray &body, PatchValidator::Kind kind, int legs, QJsonObject *patch, bool *activate,
                   SimReply *refusal);
    SimReply patchSender(Sender *sender, const QByteArray &body);
    SimReply patchReceiver(Receiver *receiver, const QByteArray &body);
    SimReply transportFile(const Sender &sender) const;
    // Scheduled activations and the bulk endpoint: simactivation.cpp.
    SimReply handleBulk(const QByteArray &method, const QStringList &parts, const QByteArray &body);
    static bool isScheduled(const QJsonObject &patch);
    static bool cancelsActivation(const QJsonObject &patch);
    static bool isPending(const Receiver &receiver);
    // Stages changed, the receiver as the patch leaves it, to be activated as asked.
    SimReply scheduleActivation(Receiver *receiver, const Receiver &changed, const QJsonObject &activation);
    void activateScheduled(const QString &receiverId, const QString &activationTime);
    // Makes what is staged on the receiver active, and tells it.
    void activateReceiver(Receiver *receiver, const QJsonObject &activation);

    QJsonObject selfJson() const;
    QJsonObject deviceJson(const Device &device) const;
    QJsonObject sourceJson(const Sender &sender) const;
    QJsonObject flowJson(const Sender &sender) const;
    QJsonObject senderJson(const Sender &sender) const;
    QJsonObject receiverJson(const Receiver &receiver) const;
    QJsonObject resourceCore(const QString &id, const Version &version, const QString &label,
                             const QString &group, const QString &role) const;
    QByteArray senderSdp(const Sender &sender) const;
    // Reads one leg's part of a transport file (SimLegs::legFiles) into that leg, switched on.
    bool applySdp(Receiver *receiver, const QString &sdp, int leg, QString *errorString) const;
    QJsonObject resolveAuto(const QJsonObject &params, bool sender, const QString &multicastIp) const;
    QJsonArray resolveLegs(const QJsonArray &legs, bool sender, const QString &multicastIp) const;

    static SimReply json(const QJsonValue &value, int status = 200);
    static SimReply error(int status, const QString &text, const QString &debug = QString());
    static SimReply list(const QStringList &entries);
    static QJsonObject nullActivation();
    // The Node API versions announced in api_ver, each served.
    QStringList nodeApiVersions() const;
    static QString formatUrn(Format format);

    const SimNodeConfig m_config;
    const int m_index;
    QString m_nodeId;
    Version m_nodeVersion;
    int m_legs = 1; // the most any of its senders and receivers has

    mutable QMutex m_mutex;
    int m_port = 0;
    QVector<Device> m_devices;
    QVector<Sender> m_senders;
    QVector<Receiver> m_receivers;
    QHash<QString, int> m_senderIndex;
    QHash<QString, int> m_receiverIndex;
    QMap<QByteArray, quint8> m_counters;
    int m_requests = 0;
    int m_bulkRequests = 0; // taken by the bulk endpoint
    // Node API answers by path, kept until anything changes: one process plays thousands
    // of nodes on the controller's own cores, and a listing asks each the same few.
    QHash<QString, SimReply> m_nodeApiReplies;
};

#endif // SIMNODE_H
