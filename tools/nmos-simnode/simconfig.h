#ifndef SIMCONFIG_H
#define SIMCONFIG_H

#include "simformats.h"

#include <QList>
#include <QString>
#include <QStringList>

// One group of essences on a device: senders and receivers that share a grouphint name.
struct SimGroupConfig
{
    QString name; // empty: the resources carry no grouphint tag
    QString label; // every resource of the group bears it, whatever its format; empty: name and role
    int videoSenders = 0;
    int audioSenders = 0;
    int dataSenders = 0;
    int videoReceivers = 0;
    int audioReceivers = 0;
    int dataReceivers = 0;
    SimVideoFormat videoFormat; // of its video senders
    QJsonObject videoCaps;      // of its video receivers; empty: they take video/raw, unconstrained
    int legs = 1; // of each sender and receiver: 2 for ST 2022-7
};

struct SimDeviceConfig
{
    QString label;
    QList<SimGroupConfig> groups;
};

// Misbehaviour a test can ask a node for.
struct SimFaults
{
    bool manifestMissingUntilActive = false; // manifest answers 404 until the sender was activated
    bool refuseActivation = false;           // sender activations answer 500
    bool refuseReceiverPatch = false;        // every receiver PATCH answers 423
    bool refuseMemberPatch = false;          // audio and data receivers refuse a sender with 423
    bool ignoreActivation = false;           // receiver activations are answered as done and never made
    bool activateOtherSender = false;        // receiver activations take a sender other than the one asked for
    bool failActive = false;                 // a receiver's active parameters answer 500
    bool refuseUnfitSdp = false;             // receivers refuse with 400 an SDP file their constraint sets do not allow
    bool noBulk = false;                     // the bulk endpoints answer 501
    bool bulkAnswerEmpty = false;            // bulk requests are made, and answered with no result
    int delayMs = 0;                         // every answer waits this long
    bool hang = false;                       // requests are accepted and never answered
};

struct SimNodeConfig
{
    QString label;
    QString seed;                // ids are derived from it; the label when empty
    int port = 0;                // 0: any free port
    QStringList bindAddresses;   // loopback when empty
    QString hrefHost;            // host put into hrefs; the first bind address when empty
    QString hostname;            // mDNS host name ("x.local."); derived from the label when empty
    QString apiProto = QStringLiteral("http");
    QString apiVer = QStringLiteral("v1.3");
    QString apiAuth = QStringLiteral("false");
    QString tlsCert;             // with tlsKey: serve https and announce it
    QString tlsKey;
    QList<SimDeviceConfig> devices;
    // Ways real products list their resources, each within IS-04.
    bool reverseOrder = false;      // every collection and device list in reverse order
    bool emptyDeviceLists = false;  // devices leave their deprecated senders/receivers lists empty
    QString controlsHref;           // the IS-05 control devices name; empty: this node's own
    SimFaults faults;
};

struct SimConfig
{
    QList<SimNodeConfig> nodes;
    QString stateFile;
    bool announce = false;
    QStringList mdnsInterfaces;
    bool allowRealNetwork = false;
    int bumpIntervalMs = 0;      // 0: the TXT counters change only with activations
    int registryPort = -1;          // -1: no registry double; 0: any free port
    int registryPriority = 0;       // TXT pri of its announcement
    int registryPageLimit = 2;      // the most resources one Query API page holds
    bool registryOnly = false;      // the nodes are in the registry only, not announced
    bool registryWebSocket = true;  // false: subscriptions name a WebSocket that cannot be opened
    // A secured facility: an authorization server, and every node and the registry
    // asking for its tokens.
    int authPort = -1;              // -1: no authorization server, the APIs are open; 0: any free port
    int authPriority = 0;           // TXT pri of its announcement
    int tokenLifetime = 3600;       // seconds
    QString authKeyFile;            // the PEM RSA key tokens are signed with; empty: a new one
    QStringList authReadOnly;       // APIs whose token claims allow reading only
};

// Reads the command line and the optional JSON file into a SimConfig.
class SimConfigParser
{
public:
    static bool parse(const QStringList &arguments, SimConfig *config, QString *errorString = nullptr);
    static bool parseJson(const QByteArray &json, SimConfig *config, QString *errorString = nullptr);

    // Fills the values left open (seed, bind addresses, host names) and expands copies.
    static bool finish(SimConfig *config, QString *errorString = nullptr);
    static QString hostnameFor(const QString &label);

private:
    static bool parseNode(const QJsonObject &object, SimNodeConfig *node, int *copies, QString *errorString);
};

#endif // SIMCONFIG_H
