#include "simconfig.h"

#include <QCommandLineParser>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSet>

namespace {

bool fail(QString *errorString, const QString &text)
{
    if (errorString)
        *errorString = text;
    return false;
}

bool readCount(const QCommandLineParser &parser, const QString &name, int *out, QString *errorString)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < 0)
        return fail(errorString, QStringLiteral("--%1 needs a whole number of 0 or more").arg(name));
    *out = value;
    return true;
}

// Unknown keys are refused so that a misspelt option does not silently fall back to a default.
bool checkKeys(const QJsonObject &object, const QStringList &known, const QString &where,
               QString *errorString)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key()))
            return fail(errorString, QStringLiteral("unknown key \"%1\" in %2").arg(it.key(), where));
    }
    return true;
}

bool readInt(const QJsonObject &object, const QString &key, int minimum, int *out, QString *errorString)
{
    if (!object.contains(key))
        return true;
    const QJsonValue value = object.value(key);
    if (!value.isDouble() || value.toDouble() != double(value.toInt()) || value.toInt() < minimum)
        return fail(errorString, QStringLiteral("\"%1\" must be a whole number of %2 or more").arg(key).arg(minimum));
    *out = value.toInt();
    return true;
}

bool readBool(const QJsonObject &object, const QString &key, bool *out, QString *errorString)
{
    if (!object.contains(key))
        return true;
    if (!object.value(key).isBool())
        return fail(errorString, QStringLiteral("\"%1\" must be true or false").arg(key));
    *out = object.value(key).toBool();
    return true;
}

bool readString(const QJsonObject &object, const QString &key, QString *out, QString *errorString)
{
    if (!object.contains(key))
        return true;
    if (!object.value(key).isString())
        return fail(errorString, QStringLiteral("\"%1\" must be a string").arg(key));
    *out = object.value(key).toString();
    return true;
}

bool readStringList(const QJsonObject &object, const QString &key, QStringList *out, QString *errorString)
{
    if (!object.contains(key))
        return true;
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        return fail(errorString, QStringLiteral("\"%1\" must be an array of strings").arg(key));
    QStringList list;
    for (const QJsonValue &item : value.toArray()) {
        if (!item.isString())
            return fail(errorString, QStringLiteral("\"%1\" must be an array of strings").arg(key));
        list << item.toString();
    }
    *out = list;
    return true;
}

QString groupName(const QString &pattern, int device, int groupInDevice, int running)
{
    QString name = pattern;
    name.replace(QLatin1String("%d"), QString::number(device));
    name.replace(QLatin1String("%g"), QString::number(groupInDevice));
    name.replace(QLatin1String("%n"), QString::number(running));
    return name;
}

} // namespace

bool SimConfigParser::parse(const QStringList &arguments, SimConfig *config, QString *errorString)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays one or more NMOS nodes (Node API v1.3, Connection API v1.1) for tests and demos.\n"
        "Without --config one node is built from the options below; --nodes repeats it.\n"
        "With --config the nodes come from the file; --bind, --port and the options from --state\n"
        "down still apply, over what the file says.\n"
        "Prints one JSON line per node (label, id, port, hostname), then \"ready\"; logs each\n"
        "request it serves on stderr; GET /x-simnode/state on a node shows its state.\n"
        "\n"
        "A --config file describes the nodes (every key but \"label\" is optional):\n"
        "  {\"state\": \"state.json\", \"mdns_interfaces\": [\"fl1\"],\n"
        "   \"nodes\": [{\"label\": \"camera\", \"port\": 8010, \"bind\": [\"10.77.0.2\"], \"count\": 1,\n"
        "              \"seed\": \"camera\", \"hostname\": \"camera.local.\", \"href_host\": \"10.77.0.2\",\n"
        "              \"api_proto\": \"http\", \"api_ver\": \"v1.3\", \"api_auth\": \"false\",\n"
        "              \"tls_cert\": \"node.pem\", \"tls_key\": \"node.key\",\n"
        "              \"devices\": [{\"label\": \"Camera 1\", \"groups\": [{\"name\": \"Cam 1\",\n"
        "                  \"video_senders\": 1, \"audio_senders\": 2, \"data_senders\": 1,\n"
        "                  \"video_receivers\": 0, \"audio_receivers\": 0, \"data_receivers\": 0,\n"
        "                  \"video_format\": {\"media_type\": \"video/jxsv\", \"frame_width\": 1920, \"frame_height\": 1080,\n"
        "                      \"grain_rate\": {\"numerator\": 60000, \"denominator\": 1001}, \"grain_rate_on_source_only\": false,\n"
        "                      \"interlace_mode\": \"progressive\", \"colorspace\": \"BT709\", \"transfer_characteristic\": \"SDR\",\n"
        "                      \"sampling\": \"YCbCr-4:2:2\", \"depth\": 10, \"profile\": \"High444.12\", \"level\": \"2k-1\",\n"
        "                      \"sublevel\": \"Sublev3bpp\", \"bit_rate\": 200000, \"transport_bit_rate\": 210000,\n"
        "                      \"packet_transmission_mode\": \"codestream\", \"st2110_21_sender_type\": \"2110TPN\",\n"
        "                      \"transport\": \"urn:x-nmos:transport:rtp.mcast\"},\n"
        "                  \"video_caps\": {\"media_types\": [\"video/raw\"], \"constraint_sets\": [...]},\n"
        "                  \"legs\": 1}]}],\n"
        "              \"faults\": {\"manifest_404_until_active\": false, \"refuse_activation\": false,\n"
        "                         \"refuse_receiver_patch\": false, \"refuse_member_patch\": false,\n"
        "                         \"ignore_activation\": false,\n"
        "                         \"activate_other_sender\": false, \"active_500\": false,\n"
        "                         \"delay_ms\": 0, \"hang\": false, \"refuse_unfit_sdp\": false,\n"
        "                         \"no_bulk\": false, \"bulk_answer_empty\": false}}]}\n"
        "\"count\" plays copies labelled \"<label> 1\", \"<label> 2\", ... on consecutive ports.\n"
        "\"video_format\" is what the group's video senders send (uncompressed 1080p50 4:2:2 10-bit unless said);\n"
        "\"video_caps\" the caps of its video receivers, constraint sets as BCP-004-01 writes them\n"
        "(without it they take any video/raw); with \"refuse_unfit_sdp\" a receiver answers 400 to\n"
        "an SDP file that none of its enabled constraint sets allows.\n"
        "tools/nmos-simnode/formats-demo.json plays senders and receivers that fit and do not.\n"
        "\"legs\": 2 gives each sender and receiver of the group two ST 2022-7 legs."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("config"), QStringLiteral("Read the nodes from a JSON file."), QStringLiteral("file")},
        {QStringLiteral("label"), QStringLiteral("Node label (default: simnode)."), QStringLiteral("text")},
        {QStringLiteral("seed"), QStringLiteral("Text the resource ids are derived from (default: the label)."), QStringLiteral("text")},
        {QStringLiteral("port"), QStringLiteral("HTTP port; 0 picks a free one (default: 0). Further nodes take the next ports."), QStringLiteral("port")},
        {QStringLiteral("bind"), QStringLiteral("Address every node serves HTTP on; repeatable (default: 127.0.0.1 and ::1)."), QStringLiteral("address")},
        {QStringLiteral("href-host"), QStringLiteral("Host written into hrefs (default: the first bind address)."), QStringLiteral("host")},
        {QStringLiteral("hostname"), QStringLiteral("mDNS host name, such as cam.local. (default: from the label)."), QStringLiteral("name")},
        {QStringLiteral("nodes"), QStringLiteral("Play this many copies of the node on consecutive ports."), QStringLiteral("count")},
        {QStringLiteral("devices"), QStringLiteral("Devices per node (default: 1)."), QStringLiteral("count")},
        {QStringLiteral("groups"), QStringLiteral("Groups per device (default: 1)."), QStringLiteral("count")},
        {QStringLiteral("group-name"), QStringLiteral("Group name; %n counts groups across the node, %d is the device, %g the group in it (default: Group %n). Empty: no grouphint tags."), QStringLiteral("pattern")},
        {QStringLiteral("video-senders"), QStringLiteral("Video senders per group."), QStringLiteral("count")},
        {QStringLiteral("audio-senders"), QStringLiteral("Audio senders per group."), QStringLiteral("count")},
        {QStringLiteral("data-senders"), QStringLiteral("Data senders per group."), QStringLiteral("count")},
        {QStringLiteral("video-receivers"), QStringLiteral("Video receivers per group."), QStringLiteral("count")},
        {QStringLiteral("audio-receivers"), QStringLiteral("Audio receivers per group."), QStringLiteral("count")},
        {QStringLiteral("data-receivers"), QStringLiteral("Data receivers per group."), QStringLiteral("count")},
        {QStringLiteral("api-proto"), QStringLiteral("TXT api_proto (default: http)."), QStringLiteral("text")},
        {QStringLiteral("api-ver"), QStringLiteral("TXT api_ver (default: v1.3)."), QStringLiteral("text")},
        {QStringLiteral("tls-cert"), QStringLiteral("Serve https with this PEM certificate (chain) and announce api_proto=https."), QStringLiteral("file")},
        {QStringLiteral("tls-key"), QStringLiteral("The PEM private key of --tls-cert."), QStringLiteral("file")},
        {QStringLiteral("api-auth"), QStringLiteral("TXT api_auth (default: false)."), QStringLiteral("text")},
        {QStringLiteral("fault-manifest-404"), QStringLiteral("Manifests answer 404 until their sender was activated.")},
        {QStringLiteral("fault-refuse-activation"), QStringLiteral("Sender activations answer 500.")},
        {QStringLiteral("fault-refuse-receiver-patch"), QStringLiteral("Receiver PATCHes answer 423.")},
        {QStringLiteral("fault-ignore-activation"), QStringLiteral("Receiver activations, scheduled ones too, are answered as done and never made.")},
        {QStringLiteral("fault-no-bulk"), QStringLiteral("Offer no bulk endpoints: they answer 501.")},
        {QStringLiteral("fault-activate-other-sender"), QStringLiteral("Receiver activations take a sender other than the one asked for.")},
        {QStringLiteral("fault-active-500"), QStringLiteral("A receiver's active parameters answer 500.")},
        {QStringLiteral("fault-delay"), QStringLiteral("Wait this long before every answer."), QStringLiteral("ms")},
        {QStringLiteral("fault-hang"), QStringLiteral("Accept requests and never answer them.")},
        {QStringLiteral("state"), QStringLiteral("Keep this file up to date with the nodes' state as JSON."), QStringLiteral("file")},
        {QStringLiteral("announce"), QStringLiteral("Announce by mDNS on the interfaces that carry the bind addresses.")},
        {QStringLiteral("mdns-interface"), QStringLiteral("Announce by mDNS on this interface; repeatable."), QStringLiteral("name")},
        {QStringLiteral("allow-real-network"), QStringLiteral("Announce even outside a private network namespace.")},
        {QStringLiteral("bump-counters"), QStringLiteral("Bump every node's ver_slf TXT counter this often, as a busy node would (for soak runs)."), QStringLiteral("ms")},
        {QStringLiteral("registry"), QStringLiteral("Also serve a test double of an IS-04 Query API (not a registry: no "
                                                    "heartbeats, no expiry) holding the nodes played, on the first bind "
                                                    "address; 0 picks a free port. Announced as _nmos-query._tcp. SIGUSR1 "
                                                    "restarts it empty, its WebSockets closed; SIGUSR2 has the "
                                                    "nodes register again."),
         QStringLiteral("port")},
        {QStringLiteral("registry-pri"), QStringLiteral("TXT pri of the registry's announcement (default: 0)."), QStringLiteral("pri")},
        {QStringLiteral("registry-only"), QStringLiteral("Announce the registry but not the nodes, as nodes on another subnet.")},
        {QStringLiteral("registry-page-limit"), QStringLiteral("The most resources one page of the registry holds (default: 2, so that every client pages)."), QStringLiteral("count")},
        {QStringLiteral("fault-registry-no-websocket"), QStringLiteral("Subscriptions name a WebSocket that cannot be opened.")},
        {QStringLiteral("auth"), QStringLiteral("Secure the facility: serve a test authorization server (approves every sign-in at "
                                                "once; DELETE /x-simauth/clients/<id> revokes a client) on the first bind address, "
                                                "over https with --tls-cert, announced as _nmos-auth._tcp; every node and the registry "
                                                "then want its tokens and announce api_auth=true. 0 picks a free port."),
         QStringLiteral("port")},
        {QStringLiteral("auth-pri"), QStringLiteral("TXT pri of the authorization server's announcement (default: 0)."), QStringLiteral("pri")},
        {QStringLiteral("token-lifetime"), QStringLiteral("Seconds an access token is valid (default: 3600)."), QStringLiteral("seconds")},
        {QStringLiteral("auth-key"), QStringLiteral("Sign tokens with the RSA key in this PEM file (default: a new key each start)."), QStringLiteral("file")},
        {QStringLiteral("auth-read-only"), QStringLiteral("Tokens allow only reading this API (query, registration, node, connection); repeatable."), QStringLiteral("api")},
    });
    if (!parser.parse(arguments))
        return fail(errorString, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        parser.showHelp(0);
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(errorString, QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    SimConfig result;
    if (parser.isSet(QStringLiteral("config"))) {
        QFile file(parser.value(QStringLiteral("config")));
        if (!file.open(QIODevice::ReadOnly))
            return fail(errorString, QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        if (!parseJson(file.readAll(), &result, errorString))
            return false;
        // Where the nodes listen belongs to the machine, not to the file: the same file
        // plays on loopback in the tests and on the demo's namespace address.
        int port = 0;
        if (!readCount(parser, QStringLiteral("port"), &port, errorString))
            return false;
        for (int i = 0; i < result.nodes.size(); ++i) {
            if (parser.isSet(QStringLiteral("bind")))
                result.nodes[i].bindAddresses = parser.values(QStringLiteral("bind"));
            if (parser.isSet(QStringLiteral("port")))
                result.nodes[i].port = port == 0 ? 0 : port + i;
        }
    } else {
        SimNodeConfig node;
        node.label = parser.value(QStringLiteral("label"));
        if (node.label.isEmpty())
            node.label = QStringLiteral("simnode");
        node.seed = parser.value(QStringLiteral("seed"));
        node.bindAddresses = parser.values(QStringLiteral("bind"));
        node.hrefHost = parser.value(QStringLiteral("href-host"));
        node.hostname = parser.value(QStringLiteral("hostname"));
        if (parser.isSet(QStringLiteral("api-proto")))
            node.apiProto = parser.value(QStringLiteral("api-proto"));
        if (parser.isSet(QStringLiteral("api-ver")))
            node.apiVer = parser.value(QStringLiteral("api-ver"));
        if (parser.isSet(QStringLiteral("api-auth")))
            node.apiAuth = parser.value(QStringLiteral("api-auth"));
        node.tlsCert = parser.value(QStringLiteral("tls-cert"));
        node.tlsKey = parser.value(QStringLiteral("tls-key"));
        if (!readCount(parser, QStringLiteral("port"), &node.port, errorString))
            return false;
        if (node.port > 65535)
            return fail(errorString, QStringLiteral("--port must be below 65536"));

        int devices = 1;
        int groups = 1;
        int nodes = 1;
        SimGroupConfig group;
        if (!readCount(parser, QStringLiteral("devices"), &devices, errorString)
            || !readCount(parser, QStringLiteral("groups"), &groups, errorString)
            || !readCount(parser, QStringLiteral("nodes"), &nodes, errorString)
            || !readCount(parser, QStringLiteral("video-senders"), &group.videoSenders, errorString)
            || !readCount(parser, QStringLiteral("audio-senders"), &group.audioSenders, errorString)
            || !readCount(parser, QStringLiteral("data-senders"), &group.dataSenders, errorString)
            || !readCount(parser, QStringLiteral("video-receivers"), &group.videoReceivers, errorString)
            || !readCount(parser, QStringLiteral("audio-receivers"), &group.audioReceivers, errorString)
            || !readCount(parser, QStringLiteral("data-receivers"), &group.dataReceivers, errorString)
            || !readCount(parser, QStringLiteral("fault-delay"), &node.faults.delayMs, errorString))
            return false;
        if (nodes < 1)
            return fail(errorString, QStringLiteral("--nodes needs at least 1"));
        const QString pattern = parser.isSet(QStringLiteral("group-name"))
                                    ? parser.value(QStringLiteral("group-name"))
                                    : QStringLiteral("Group %n");
        int running = 0;
        for (int d = 1; d <= devices; ++d) {
            SimDeviceConfig device;
            device.label = QStringLiteral("%1 device %2").arg(node.label).arg(d);
            for (int g = 1; g <= groups; ++g) {
                SimGroupConfig copy = group;
                copy.name = groupName(pattern, d, g, ++running);
                device.groups << copy;
            }
            node.devices << device;
        }
        node.faults.manifestMissingUntilActive = parser.isSet(QStringLiteral("fault-manifest-404"));
        node.faults.refuseActivation = parser.isSet(QStringLiteral("fault-refuse-activation"));
        node.faults.refuseReceiverPatch = parser.isSet(QStringLiteral("fault-refuse-receiver-patch"));
        node.faults.ignoreActivation = parser.isSet(QStringLiteral("fault-ignore-activation"));
        node.faults.noBulk = parser.isSet(QStringLiteral("fault-no-bulk"));
        node.faults.activateOtherSender = parser.isSet(QStringLiteral("fault-activate-other-sender"));
        node.faults.failActive = parser.isSet(QStringLiteral("fault-active-500"));
        node.faults.hang = parser.isSet(QStringLiteral("fault-hang"));

        for (int i = 1; i <= nodes; ++i) {
            SimNodeConfig copy = node;
            if (nodes > 1) {
                copy.label = QStringLiteral("%1 %2").arg(node.label).arg(i);
                copy.seed = QStringLiteral("%1/%2").arg(node.seed.isEmpty() ? node.label : node.seed).arg(i);
                if (node.port != 0)
                    copy.port = node.port + i - 1;
                if (!node.hostname.isEmpty())
                    copy.hostname = QStringLiteral("%1-%2").arg(node.hostname.section(QLatin1Char('.'), 0, 0)).arg(i)
                                    + QStringLiteral(".local.");
            }
            result.nodes << copy;
        }
    }

    if (parser.isSet(QStringLiteral("state")))
        result.stateFile = parser.value(QStringLiteral("state"));
    if (parser.isSet(QStringLiteral("announce")))
        result.announce = true;
    if (parser.isSet(QStringLiteral("mdns-interface"))) {
        result.mdnsInterfaces = parser.values(QStringLiteral("mdns-interface"));
        result.announce = true;
    }
    if (parser.isSet(QStringLiteral("allow-real-network")))
        result.allowRealNetwork = true;
    if (!readCount(parser, QStringLiteral("bump-counters"), &result.bumpIntervalMs, errorString))
        return false;
    if (parser.isSet(QStringLiteral("registry"))
        && (!readCount(parser, QStringLiteral("registry"), &result.registryPort, errorString)
            || !readCount(parser, QStringLiteral("registry-pri"), &result.registryPriority, errorString)
            || !readCount(parser, QStringLiteral("registry-page-limit"), &result.registryPageLimit, errorString)))
        return false;
    result.registryOnly = parser.isSet(QStringLiteral("registry-only"));
    if (parser.isSet(QStringLiteral("auth"))
        && (!readCount(parser, QStringLiteral("auth"), &result.authPort, errorString)
            || !readCount(parser, QStringLiteral("auth-pri"), &result.authPriority, errorString)
            || !readCount(parser, QStringLiteral("token-lifetime"), &result.tokenLifetime, errorString)))
        return false;
    result.authKeyFile = parser.value(QStringLiteral("auth-key"));
    result.authReadOnly = parser.values(QStringLiteral("auth-read-only"));
    result.registryWebSocket = !parser.isSet(QStringLiteral("fault-registry-no-websocket"));
    if (!finish(&result, errorString))
        return false;
    *config = result;
    return true;
}

bool SimConfigParser::parseNode(const QJsonObject &object, SimNodeConfig *node, int *copies,
                                QString *errorString)
{
    static const QStringList nodeKeys = {
        QStringLiteral("label"), QStringLiteral("seed"), QStringLiteral("port"), QStringLiteral("bind"),
        QStringLiteral("href_host"), QStringLiteral("hostname"), QStringLiteral("api_proto"),
        QStringLiteral("api_ver"), QStringLiteral("api_auth"), QStringLiteral("tls_cert"),
        QStringLiteral("tls_key"), QStringLiteral("devices"),
        QStringLiteral("faults"), QStringLiteral("count"), QStringLiteral("reverse_order"),
        QStringLiteral("empty_device_lists"), QStringLiteral("controls_href")};
    static const QStringList deviceKeys = {QStringLiteral("label"), QStringLiteral("groups")};
    static const QStringList groupKeys = {
        QStringLiteral("name"), QStringLiteral("label"), QStringLiteral("video_senders"), QStringLiteral("audio_senders"),
        QStringLiteral("data_senders"), QStringLiteral("video_receivers"),
        QStringLiteral("audio_receivers"), QStringLiteral("data_receivers"), QStringLiteral("video_format"),
        QStringLiteral("video_caps"), QStringLiteral("legs")};
    static const QStringList faultKeys = {
        QStringLiteral("manifest_404_until_active"), QStringLiteral("refuse_activation"),
        QStringLiteral("refuse_receiver_patch"), QStringLiteral("refuse_member_patch"), QStringLiteral("ignore_activation"),
        QStringLiteral("activate_other_sender"), QStringLiteral("active_500"), QStringLiteral("delay_ms"),
        QStringLiteral("hang"), QStringLiteral("refuse_unfit_sdp"), QStringLiteral("no_bulk"),
        QStringLiteral("bulk_answer_empty")};

    if (!checkKeys(object, nodeKeys, QStringLiteral("a node"), errorString))
        return false;
    if (!readString(object, QStringLiteral("label"), &node->label, errorString)
        || !readString(object, QStringLiteral("seed"), &node->seed, errorString)
        || !readInt(object, QStringLiteral("port"), 0, &node->port, errorString)
        || !readStringList(object, QStringLiteral("bind"), &node->bindAddresses, errorString)
        || !readString(object, QStringLiteral("href_host"), &node->hrefHost, errorString)
        || !readString(object, QStringLiteral("hostname"), &node->hostname, errorString)
        || !readString(object, QStringLiteral("api_proto"), &node->apiProto, errorString)
        || !readString(object, QStringLiteral("api_ver"), &node->apiVer, errorString)
        || !readString(object, QStringLiteral("api_auth"), &node->apiAuth, errorString)
        || !readString(object, QStringLiteral("tls_cert"), &node->tlsCert, errorString)
        || !readString(object, QStringLiteral("tls_key"), &node->tlsKey, errorString)
        || !readInt(object, QStringLiteral("count"), 1, copies, errorString)
        || !readBool(object, QStringLiteral("reverse_order"), &node->reverseOrder, errorString)
        || !readBool(object, QStringLiteral("empty_device_lists"), &node->emptyDeviceLists, errorString)
        || !readString(object, QStringLiteral("controls_href"), &node->controlsHref, errorString))
        return false;
    if (node->label.isEmpty())
        return fail(errorString, QStringLiteral("every node needs a \"label\""));
    if (node->port > 65535)
        return fail(errorString, QStringLiteral("\"port\" must be below 65536"));

    const QJsonValue devices = object.value(QStringLiteral("devices"));
    if (!devices.isUndefined() && !devices.isArray())
        return fail(errorString, QStringLiteral("\"devices\" must be an array"));
    int deviceNumber = 0;
    for (const QJsonValue &deviceValue : devices.toArray()) {
        ++deviceNumber;
        if (!deviceValue.isObject())
            return fail(errorString, QStringLiteral("each device must be an object"));
        const QJsonObject deviceObject = deviceValue.toObject();
        if (!checkKeys(deviceObject, deviceKeys, QStringLiteral("a device"), errorString))
            return false;
        SimDeviceConfig device;
        device.label = QStringLiteral("%1 device %2").arg(node->label).arg(deviceNumber);
        if (!readString(deviceObject, QStringLiteral("label"), &device.label, errorString))
            return false;
        const QJsonValue groups = deviceObject.value(QStringLiteral("groups"));
        if (!groups.isUndefined() && !groups.isArray())
            return fail(errorString, QStringLiteral("\"groups\" must be an array"));
        for (const QJsonValue &groupValue : groups.toArray()) {
            if (!groupValue.isObject())
                return fail(errorString, QStringLiteral("each group must be an object"));
            const QJsonObject groupObject = groupValue.toObject();
            if (!checkKeys(groupObject, groupKeys, QStringLiteral("a group"), errorString))
                return false;
            SimGroupConfig group;
            if (!readString(groupObject, QStringLiteral("name"), &group.name, errorString)
                || !readString(groupObject, QStringLiteral("label"), &group.label, errorString)
                || !readInt(groupObject, QStringLiteral("video_senders"), 0, &group.videoSenders, errorString)
                || !readInt(groupObject, QStringLiteral("audio_senders"), 0, &group.audioSenders, errorString)
                || !readInt(groupObject, QStringLiteral("data_senders"), 0, &group.dataSenders, errorString)
                || !readInt(groupObject, QStringLiteral("video_receivers"), 0, &group.videoReceivers, errorString)
                || !readInt(groupObject, QStringLiteral("audio_receivers"), 0, &group.audioReceivers, errorString)
                || !readInt(groupObject, QStringLiteral("data_receivers"), 0, &group.dataReceivers, errorString)
                || !readInt(groupObject, QStringLiteral("legs"), 1, &group.legs, errorString))
                return false;
            for (const QString &key : {QStringLiteral("video_format"), QStringLiteral("video_caps")}) {
                if (groupObject.contains(key) && !groupObject.value(key).isObject())
                    return fail(errorString, QStringLiteral("\"%1\" must be an object").arg(key));
            }
            if (!SimFormats::readVideoFormat(groupObject.value(QStringLiteral("video_format")).toObject(), &group.videoFormat, errorString)
                || (groupObject.contains(QStringLiteral("video_caps"))
                    && !SimFormats::readCaps(groupObject.value(QStringLiteral("video_caps")).toObject(), &group.videoCaps, errorString)))
                return false;
            if (group.legs > 2)
                return fail(errorString, QStringLiteral("\"legs\" must be 1 or 2"));
            device.groups << group;
        }
        node->devices << device;
    }

    const QJsonValue faults = object.value(QStringLiteral("faults"));
    if (!faults.isUndefined()) {
        if (!faults.isObject())
            return fail(errorString, QStringLiteral("\"faults\" must be an object"));
        const QJsonObject f = faults.toObject();
        if (!checkKeys(f, faultKeys, QStringLiteral("the faults"), errorString))
            return false;
        if (!readBool(f, QStringLiteral("manifest_404_until_active"), &node->faults.manifestMissingUntilActive, errorString)
            || !readBool(f, QStringLiteral("refuse_activation"), &node->faults.refuseActivation, errorString)
            || !readBool(f, QStringLiteral("refuse_receiver_patch"), &node->faults.refuseReceiverPatch, errorString)
            || !readBool(f, QStringLiteral("refuse_member_patch"), &node->faults.refuseMemberPatch, errorString)
            || !readBool(f, QStringLiteral("ignore_activation"), &node->faults.ignoreActivation, errorString)
            || !readBool(f, QStringLiteral("activate_other_sender"), &node->faults.activateOtherSender, errorString)
            || !readBool(f, QStringLiteral("active_500"), &node->faults.failActive, errorString)
            || !readInt(f, QStringLiteral("delay_ms"), 0, &node->faults.delayMs, errorString)
            || !readBool(f, QStringLiteral("hang"), &node->faults.hang, errorString)
            || !readBool(f, QStringLiteral("refuse_unfit_sdp"), &node->faults.refuseUnfitSdp, errorString)
            || !readBool(f, QStringLiteral("no_bulk"), &node->faults.noBulk, errorString)
            || !readBool(f, QStringLiteral("bulk_answer_empty"), &node->faults.bulkAnswerEmpty, errorString))
            return false;
    }
    return true;
}

bool SimConfigParser::parseJson(const QByteArray &json, SimConfig *config, QString *errorString)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(errorString, QStringLiteral("config is not JSON: %1 at offset %2")
                                     .arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return fail(errorString, QStringLiteral("config must be a JSON object"));
    const QJsonObject root = document.object();
    if (!checkKeys(root, {QStringLiteral("nodes"), QStringLiteral("state"), QStringLiteral("announce"),
                          QStringLiteral("mdns_interfaces")},
                   QStringLiteral("the config"), errorString))
        return false;

    SimConfig result;
    if (!readString(root, QStringLiteral("state"), &result.stateFile, errorString)
        || !readBool(root, QStringLiteral("announce"), &result.announce, errorString)
        || !readStringList(root, QStringLiteral("mdns_interfaces"), &result.mdnsInterfaces, errorString))
        return false;
    if (!result.mdnsInterfaces.isEmpty())
        result.announce = true;
    const QJsonValue nodes = root.value(QStringLiteral("nodes"));
    if (!nodes.isArray() || nodes.toArray().isEmpty())
        return fail(errorString, QStringLiteral("\"nodes\" must be a non-empty array"));
    for (const QJsonValue &value : nodes.toArray()) {
        if (!value.isObject())
            return fail(errorString, QStringLiteral("each node must be an object"));
        SimNodeConfig node;
        int copies = 1;
        if (!parseNode(value.toObject(), &node, &copies, errorString))
            return false;
        for (int i = 1; i <= copies; ++i) {
            SimNodeConfig copy = node;
            if (copies > 1) {
                copy.label = QStringLiteral("%1 %2").arg(node.label).arg(i);
                copy.seed = QStringLiteral("%1/%2").arg(node.seed.isEmpty() ? node.label : node.seed).arg(i);
                if (node.port != 0)
                    copy.port = node.port + i - 1;
                copy.hostname.clear();
            }
            result.nodes << copy;
        }
    }
    *config = result;
    return true;
}

QString SimConfigParser::hostnameFor(const QString &label)
{
    QString name = label.toLower();
    name.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
    name.remove(QRegularExpression(QStringLiteral("^-+|-+$")));
    if (name.isEmpty())
        name = QStringLiteral("simnode");
    return name.left(63) + QStringLiteral(".local.");
}

bool SimConfigParser::finish(SimConfig *config, QString *errorString)
{
    QSet<int> ports;
    QSet<QString> labels;
    for (SimNodeConfig &node : config->nodes) {
        if (node.seed.isEmpty())
            node.seed = node.label;
        if (node.bindAddresses.isEmpty()) {
            node.bindAddresses = QStringList{QStringLiteral("127.0.0.1")};
            // Containers often run without IPv6; a default must not stop the node from starting.
            if (QNetworkInterface::allAddresses().contains(QHostAddress(QHostAddress::LocalHostIPv6)))
                node.bindAddresses << QStringLiteral("::1");
        }
        if (node.tlsCert.isEmpty() != node.tlsKey.isEmpty())
            return fail(errorString, QStringLiteral("\"%1\" needs both a TLS certificate and its key").arg(node.label));
        // A node serving https says so, or discovery would ask it over http.
        if (!node.tlsCert.isEmpty() && node.apiProto == QLatin1String("http"))
            node.apiProto = QStringLiteral("https");
        if (config->authPort >= 0)
            node.apiAuth = QStringLiteral("true");
        if (node.hostname.isEmpty())
            node.hostname = hostnameFor(node.label);
        if (!node.hostname.endsWith(QLatin1Char('.')))
            node.hostname += QLatin1Char('.');
        if (node.port > 65535)
            return fail(errorString, QStringLiteral("port %1 of \"%2\" is above 65535").arg(node.port).arg(node.label));
        if (node.port != 0) {
            if (ports.contains(node.port))
                return fail(errorString, QStringLiteral("port %1 is given to two nodes").arg(node.port));
            ports.insert(node.port);
        }
        // The label names the mDNS service instance, which must be unique on the link.
        if (labels.contains(node.label))
            return fail(errorString, QStringLiteral("two nodes are labelled \"%1\"").arg(node.label));
        labels.insert(node.label);
    }
    return true;
}
