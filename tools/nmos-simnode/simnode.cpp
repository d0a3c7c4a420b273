#include "simnode.h"

#include <algorithm>

#include "patchvalidator.h"
#include "simformats.h"
#include "simlegs.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QUuid>

namespace {

const QString grouphintKey = QStringLiteral("urn:x-nmos:tag:grouphint/v1.0");
// TAI runs ahead of UTC by the leap seconds since 1972.
const qint64 taiOffsetSeconds = 37;
const int rtpPort = 5004;

QJsonObject rational(int numerator, int denominator = 1)
{
    return QJsonObject{{QStringLiteral("numerator"), numerator}, {QStringLiteral("denominator"), denominator}};
}

QString macFor(const QString &text)
{
    const QByteArray hash = QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1);
    QStringList bytes;
    for (int i = 0; i < 6; ++i) {
        // Locally administered, unicast.
        const quint8 byte = i == 0 ? quint8((quint8(hash.at(0)) | 0x02) & 0xfe) : quint8(hash.at(i));
        bytes << QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return bytes.join(QLatin1Char('-'));
}

void copyMembers(QJsonObject *staged, const QJsonObject &patch, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        const QString name = QLatin1String(key);
        if (patch.contains(name))
            staged->insert(name, patch.value(name));
    }
}

// A PATCH names only the members it changes; the others stay as staged.
void mergeTransportParams(QJsonObject *staged, const QJsonObject &patch)
{
    if (!patch.contains(QStringLiteral("transport_params")))
        return;
    staged->insert(QStringLiteral("transport_params"),
                   SimLegs::merged(staged->value(QStringLiteral("transport_params")).toArray(),
                                   patch.value(QStringLiteral("transport_params")).toArray()));
}

QJsonObject immediateActivation(const QString &activationTime)
{
    return QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")},
                       {QStringLiteral("requested_time"), QJsonValue::Null},
                       {QStringLiteral("activation_time"), activationTime}};
}

} // namespace

QString SimNode::Version::toString() const
{
    return QStringLiteral("%1:%2").arg(seconds).arg(nanoseconds);
}

SimNode::SimNode(const SimNodeConfig &config, int index, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_index(index)
{
    for (const char *key : {"ver_slf", "ver_src", "ver_flw", "ver_dvc", "ver_snd", "ver_rcv"})
        m_counters.insert(QByteArray(key), 0);
    build();
}

void SimNode::setPort(int port)
{
    QMutexLocker locker(&m_mutex);
    m_port = port;
    m_nodeApiReplies.clear();
}

int SimNode::port() const
{
    QMutexLocker locker(&m_mutex);
    return m_port;
}

QString SimNode::makeId(const QString &path) const
{
    static const QUuid space(QStringLiteral("{7d1b4c52-3f0e-4a8b-9c61-2e5f0a9d8b13}"));
    return QUuid::createUuidV5(space, m_config.seed + QLatin1Char('/') + path).toString(QUuid::WithoutBraces);
}

SimNode::Version SimNode::nextVersion(const Version &previous) const
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    Version version{ms / 1000 + taiOffsetSeconds, (ms % 1000) * 1000000};
    // Versions must grow even when two changes fall into the same clock tick.
    if (version.seconds < previous.seconds
        || (version.seconds == previous.seconds && version.nanoseconds <= previous.nanoseconds)) {
        version = previous;
        if (++version.nanoseconds >= 1000000000) {
            version.nanoseconds = 0;
            ++version.seconds;
        }
    }
    return version;
}

QString SimNode::ipv4Address() const
{
    for (const QString &text : m_config.bindAddresses) {
        const QHostAddress address(text);
        if (address.protocol() == QAbstractSocket::IPv4Protocol && address != QHostAddress::AnyIPv4)
            return address.toString();
    }
    return QStringLiteral("127.0.0.1");
}

QString SimNode::scheme() const
{
    return m_config.tlsCert.isEmpty() ? QStringLiteral("http") : QStringLiteral("https");
}

QString SimNode::baseUrl() const
{
    QString host = m_config.hrefHost;
    if (host.isEmpty()) {
        host = m_config.bindAddresses.value(0);
        const QHostAddress address(host);
        if (address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6)
            host = QStringLiteral("127.0.0.1");
    }
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("%1://%2:%3").arg(scheme(), host).arg(m_port);
}

void SimNode::build()
{
    m_nodeId = makeId(QStringLiteral("node"));
    m_nodeVersion = nextVersion(Version());
    const QString ip = ipv4Address();

    int deviceNumber = 0;
    for (const SimDeviceConfig &deviceConfig : m_config.devices) {
        Device device;
        device.id = makeId(QStringLiteral("device/%1").arg(deviceNumber));
        device.label = deviceConfig.label;
        device.version = m_nodeVersion;
        int groupNumber = 0;
        for (const SimGroupConfig &group : deviceConfig.groups) {
            const QString prefix = QStringLiteral("device/%1/group/%2").arg(deviceNumber).arg(groupNumber);
            const QString labelBase = group.name.isEmpty()
                                          ? QStringLiteral("%1 %2").arg(deviceConfig.label).arg(groupNumber + 1)
                                          : group.name;
            auto roleName = [](const QString &word, int count, int n) {
                return count == 1 && word != QLatin1String("Audio") ? word : QStringLiteral("%1 %2").arg(word).arg(n);
            };
            auto addSenders = [&](Format format, int count, const QString &word) {
                for (int n = 1; n <= count; ++n) {
                    Sender sender;
                    const QString path = QStringLiteral("%1/sender/%2/%3").arg(prefix, word).arg(n);
                    sender.id = makeId(path);
                    sender.flowId = makeId(path + QStringLiteral("/flow"));
                    sender.sourceId = makeId(path + QStringLiteral("/source"));
                    sender.deviceId = device.id;
                    sender.format = format;
                    sender.video = group.videoFormat;
                    sender.legs = group.legs;
                    sender.group = group.name;
                    sender.role = roleName(word, count, n);
                    sender.label = group.label.isEmpty() ? labelBase + QLatin1Char(' ') + sender.role : group.label;
                    sender.version = m_nodeVersion;
                    const int serial = m_senders.size();
                    sender.multicastIp = QStringLiteral("239.%1.%2.%3")
                                             .arg(100 + (m_index / 256) % 100)
                                             .arg(m_index % 256)
                                             .arg(serial % 254 + 1);
                    // A unicast sender sends to one host until a receiver is patched to it.
                    if (format == Video && sender.video.transport.endsWith(QLatin1String(".ucast")))
                        sender.multicastIp = ip;
                    const QJsonObject params{
                        {QStringLiteral("source_ip"), ip},
                        {QStringLiteral("destination_ip"), sender.multicastIp},
                        {QStringLiteral("source_port"), rtpPort},
                        {QStringLiteral("destination_port"), rtpPort},
                        {QStringLiteral("rtp_enabled"), true},
                    };
                    // Staged is ready to go; it only needs an activation.
                    sender.staged = QJsonObject{{QStringLiteral("receiver_id"), QJsonValue::Null},
                                                {QStringLiteral("master_enable"), true},
                                                {QStringLiteral("activation"), nullActivation()},
                                                {QStringLiteral("transport_params"), SimLegs::senderParams(params, sender.legs)}};
                    sender.active = sender.staged;
                    sender.active.insert(QStringLiteral("master_enable"), false);
                    device.senderIds << sender.id;
                    m_senderIndex.insert(sender.id, m_senders.size());
                    m_senders << sender;
                }
            };
            auto addReceivers = [&](Format format, int count, const QString &word) {
                for (int n = 1; n <= count; ++n) {
                    Receiver receiver;
                    receiver.id = makeId(QStringLiteral("%1/receiver/%2/%3").arg(prefix, word).arg(n));
                    receiver.deviceId = device.id;
                    receiver.format = format;
                    const QString mediaType = format == Audio  ? QStringLiteral("audio/L24")
                                              : format == Data ? QStringLiteral("video/smpte291")
                                                               : QStringLiteral("video/raw");
                    receiver.caps = format == Video && !group.videoCaps.isEmpty()
                                        ? group.videoCaps
                                        : QJsonObject{{QStringLiteral("media_types"), QJsonArray{mediaType}}};
                    receiver.legs = group.legs;
                    receiver.group = group.name;
                    receiver.role = roleName(word, count, n);
                    receiver.label = group.label.isEmpty() ? labelBase + QLatin1Char(' ') + receiver.role : group.label;
                    receiver.version = m_nodeVersion;
                    const QJsonObject params{
                        {QStringLiteral("source_ip"), QJsonValue::Null},
                        {QStringLiteral("multicast_ip"), QJsonValue::Null},
                        {QStringLiteral("interface_ip"), ip},
                        {QStringLiteral("destination_port"), rtpPort},
                        {QStringLiteral("rtp_enabled"), true},
                    };
                    receiver.staged = QJsonObject{
                        {QStringLiteral("sender_id"), QJsonValue::Null},
                        {QStringLiteral("master_enable"), false},
                        {QStringLiteral("activation"), nullActivation()},
                        {QStringLiteral("transport_file"),
                         QJsonObject{{QStringLiteral("data"), QJsonValue::Null}, {QStringLiteral("type"), QJsonValue::Null}}},
                        {QStringLiteral("transport_params"), group.legs > 1 ? QJsonArray{params, params} : QJsonArray{params}}};
                    receiver.active = receiver.staged;
                    device.receiverIds << receiver.id;
                    m_receiverIndex.insert(receiver.id, m_receivers.size());
                    m_receivers << receiver;
                }
            };
            m_legs = qMax(m_legs, group.legs);
            addSenders(Video, group.videoSenders, QStringLiteral("Video"));
            addSenders(Audio, group.audioSenders, QStringLiteral("Audio"));
            addSenders(Data, group.dataSenders, QStringLiteral("Anc"));
            addReceivers(Video, group.videoReceivers, QStringLiteral("Video"));
            addReceivers(Audio, group.audioReceivers, QStringLiteral("Audio"));
            addReceivers(Data, group.dataReceivers, QStringLiteral("Anc"));
            ++groupNumber;
        }
        m_devices << device;
        ++deviceNumber;
    }
    if (m_config.reverseOrder) {
        std::reverse(m_senders.begin(), m_senders.end());
        std::reverse(m_receivers.begin(), m_receivers.end());
        for (Device &device : m_devices) {
            std::reverse(device.senderIds.begin(), device.senderIds.end());
            std::reverse(device.receiverIds.begin(), device.receiverIds.end());
        }
        for (int i = 0; i < m_senders.size(); ++i)
            m_senderIndex.insert(m_senders.at(i).id, i);
        for (int i = 0; i < m_receivers.size(); ++i)
            m_receiverIndex.insert(m_receivers.at(i).id, i);
    }
}

QString SimNode::formatUrn(Format format)
{
    switch (format) {
    case Audio:
        return QStringLiteral("urn:x-nmos:format:audio");
    case Data:
        return QStringLiteral("urn:x-nmos:format:data");
    case Video:
        break;
    }
    return QStringLiteral("urn:x-nmos:format:video");
}

QStringList SimNode::nodeApiVersions() const
{
    QStringList versions;
    for (const QString &version : m_config.apiVer.split(QLatin1Char(','), Qt::SkipEmptyParts))
        versions << version.trimmed();
    return versions;
}

QJsonObject SimNode::nullActivation()
{
    return QJsonObject{{QStringLiteral("mode"), QJsonValue::Null},
                       {QStringLiteral("requested_time"), QJsonValue::Null},
                       {QStringLiteral("activation_time"), QJsonValue::Null}};
}

SimReply SimNode::json(const QJsonValue &value, int status)
{
    SimReply reply;
    reply.status = status;
    reply.contentType = "application/json";
    if (value.isArray()) {
        reply.body = QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    } else if (value.isObject()) {
        reply.body = QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    } else {
        // A document holds only arrays and objects: wrap the value and strip the brackets.
        const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        reply.body = wrapped.mid(1, wrapped.size() - 2);
    }
    return reply;
}

SimReply SimNode::error(int status, const QString &text, const QString &debug)
{
    return json(QJsonObject{{QStringLiteral("code"), status},
                            {QStringLiteral("error"), text},
                            {QStringLiteral("debug"), debug.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(debug)}},
                status);
}

SimReply SimNode::list(const QStringList &entries)
{
    return json(QJsonArray::fromStringList(entries));
}

SimReply SimNode::handle(const QByteArray &method, const QString &path, const QByteArray &body)
{
    QMutexLocker locker(&m_mutex);
    ++m_requests;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const bool get = method == "GET" || method == "HEAD";
    if (!get)
        m_nodeApiReplies.clear();

    if (parts.isEmpty())
        return get ? list({QStringLiteral("x-nmos/")}) : error(405, QStringLiteral("Method not allowed"));
    if (parts.at(0) == QLatin1String("x-simnode") && parts.size() == 2 && parts.at(1) == QLatin1String("state")) {
        locker.unlock();
        return get ? json(state()) : error(405, QStringLiteral("Method not allowed"));
    }
    if (parts.at(0) != QLatin1String("x-nmos"))
        return error(404, QStringLiteral("Not found"), path);
    if (parts.size() == 1)
        return get ? list({QStringLiteral("node/"), QStringLiteral("connection/")}) : error(405, QStringLiteral("Method not allowed"));
    if (parts.at(1) == QLatin1String("node")) {
        const auto kept = m_nodeApiReplies.constFind(path);
        if (kept != m_nodeApiReplies.cend())
            return *kept;
        const SimReply reply = handleNodeApi(method, parts.mid(2));
        if (get && reply.status == 200)
            m_nodeApiReplies.insert(path, reply);
        return reply;
    }
    if (parts.at(1) == QLatin1String("connection"))
        return handleConnectionApi(method, parts.mid(2), body);
    return error(404, QStringLiteral("Not found"), path);
}

SimReply SimNode::handleNodeApi(const QByteArray &method, const QStringList &parts)
{
    if (method != "GET" && method != "HEAD")
        return error(405, QStringLiteral("Method not allowed"));
    if (parts.isEmpty()) {
        QStringList versions;
        for (const QString &version : nodeApiVersions())
            versions << version + QLatin1Char('/');
        return list(versions);
    }
    // Only the versions the node announces are served, as a node of an older version would.
    if (!nodeApiVersions().contains(parts.at(0)))
        return error(404, QStringLiteral("API version not served"), parts.at(0));
    if (parts.size() == 1)
        return list({QStringLiteral("self/"), QStringLiteral("sources/"), QStringLiteral("flows/"),
                     QStringLiteral("devices/"), QStringLiteral("senders/"), QStringLiteral("receivers/")});
    const QString collection = parts.at(1);
    if (collection == QLatin1String("self"))
        return parts.size() == 2 ? json(selfJson()) : error(404, QStringLiteral("Not found"));
    if (parts.size() > 3)
        return error(404, QStringLiteral("Not found"));
    const QString id = parts.value(2);

    if (collection == QLatin1String("devices")) {
        QJsonArray array;
        for (const Device &device : m_devices) {
            if (id.isEmpty())
                array << deviceJson(device);
            else if (device.id == id)
                return json(deviceJson(device));
        }
        return id.isEmpty() ? json(array) : error(404, QStringLiteral("No such device"), id);
    }
    if (collection == QLatin1String("sources") || collection == QLatin1String("flows")
        || collection == QLatin1String("senders")) {
        QJsonArray array;
        for (const Sender &sender : m_senders) {
            QString resourceId = sender.id;
            QJsonObject object;
            if (collection == QLatin1String("sources")) {
                resourceId = sender.sourceId;
                if (id.isEmpty() || id == resourceId)
                    object = sourceJson(sender);
            } else if (collection == QLatin1String("flows")) {
                resourceId = sender.flowId;
                if (id.isEmpty() || id == resourceId)
                    object = flowJson(sender);
            } else if (id.isEmpty() || id == resourceId) {
                object = senderJson(sender);
            }
            if (!id.isEmpty() && id == resourceId)
                return json(object);
            if (id.isEmpty())
                array << object;
        }
        return id.isEmpty() ? json(array) : error(404, QStringLiteral("No such resource"), id);
    }
    if (collection == QLatin1String("receivers")) {
        if (id.isEmpty()) {
            QJsonArray array;
            for (const Receiver &receiver : m_receivers)
                array << receiverJson(receiver);
            return json(array);
        }
        const auto it = m_receiverIndex.constFind(id);
        if (it == m_receiverIndex.constEnd())
            return error(404, QStringLiteral("No such receiver"), id);
        return json(receiverJson(m_receivers.at(it.value())));
    }
    return error(404, QStringLiteral("Not found"), collection);
}

SimReply SimNode::handleConnectionApi(const QByteArray &method, const QStringList &parts, const QByteArray &body)
{
    const bool get = method == "GET" || method == "HEAD";
    if (parts.isEmpty())
        return get ? list({QStringLiteral("v1.1/")}) : error(405, QStringLiteral("Method not allowed"));
    if (parts.at(0) != QLatin1String("v1.1"))
        return error(404, QStringLiteral("API version not served"), parts.at(0));
    if (parts.size() == 1)
        return get ? list({QStringLiteral("bulk/"), QStringLiteral("single/")}) : error(405, QStringLiteral("Method not allowed"));
    if (parts.at(1) == QLatin1String("bulk"))
        return handleBulk(method, parts.mid(2), body);
    if (parts.at(1) != QLatin1String("single"))
        return error(404, QStringLiteral("Not found"), parts.at(1));
    if (parts.size() == 2)
        return get ? list({QStringLiteral("senders/"), QStringLiteral("receivers/")}) : error(405, QStringLiteral("Method not allowed"));

    const bool senders = parts.at(2) == QLatin1String("senders");
    if (!senders && parts.at(2) != QLatin1String("receivers"))
        return error(404, QStringLiteral("Not found"), parts.at(2));
    if (parts.size() == 3) {
        if (!get)
            return error(405, QStringLiteral("Method not allowed"));
        QStringList ids;
        if (senders) {
            for (const Sender &sender : m_senders)
                ids << sender.id + QLatin1Char('/');
        } else {
            for (const Receiver &receiver : m_receivers)
                ids << receiver.id + QLatin1Char('/');
        }
        return list(ids);
    }

    const QString id = parts.at(3);
    Sender *sender = nullptr;
    Receiver *receiver = nullptr;
    if (senders) {
        const auto it = m_senderIndex.constFind(id);
        if (it != m_senderIndex.constEnd())
            sender = &m_senders[it.value()];
    } else {
        const auto it = m_receiverIndex.constFind(id);
        if (it != m_receiverIndex.constEnd())
            receiver = &m_receivers[it.value()];
    }
    if (!sender && !receiver)
        return error(404, senders ? QStringLiteral("No such sender") : QStringLiteral("No such receiver"), id);

    if (parts.size() == 4) {
        if (!get)
            return error(405, QStringLiteral("Method not allowed"));
        QStringList entries{QStringLiteral("constraints/"), QStringLiteral("staged/"), QStringLiteral("active/")};
        if (sender)
            entries << QStringLiteral("transportfile/");
        entries << QStringLiteral("transporttype/");
        return list(entries);
    }
    if (parts.size() > 5)
        return error(404, QStringLiteral("Not found"));

    const QString endpoint = parts.at(4);
    const QJsonObject &staged = sender ? sender->staged : receiver->staged;
    const QJsonObject &active = sender ? sender->active : receiver->active;
    if (endpoint == QLatin1String("staged")) {
        if (method == "PATCH")
            return sender ? patchSender(sender, body) : patchReceiver(receiver, body);
        return get ? json(staged) : error(405, QStringLiteral("Method not allowed"));
    }
    if (!get)
        return error(405, QStringLiteral("Method not allowed"));
    if (endpoint == QLatin1String("active")) {
        if (receiver && m_config.faults.failActive)
            return error(500, QStringLiteral("The receiver cannot report its active parameters"), receiver->id);
        return json(active);
    }
    if (endpoint == QLatin1String("transporttype"))
        return json(QJsonValue(QStringLiteral("urn:x-nmos:transport:rtp")));
    if (endpoint == QLatin1String("constraints")) {
        // Every parameter the node knows gets an entry on each leg; empty means unconstrained.
        QJsonArray legs;
        for (const QJsonValue &params : staged.value(QStringLiteral("transport_params")).toArray()) {
            QJsonObject leg;
            for (const QString &key : params.toObject().keys())
                leg.insert(key, QJsonObject());
            legs << leg;
        }
        return json(legs);
    }
    if (endpoint == QLatin1String("transportfile") && sender)
        return transportFile(*sender);
    return error(404, QStringLiteral("Not found"), endpoint);
}

SimReply SimNode::transportFile(const Sender &sender) const
{
    if (m_config.faults.manifestMissingUntilActive && sender.activations == 0)
        return error(404, QStringLiteral("The sender has not been activated yet"), sender.id);
    SimReply reply;
    reply.contentType = "application/sdp";
    reply.body = senderSdp(sender);
    return reply;
}

QJsonArray SimNode::resolveLegs(const QJsonArray &legs, bool sender, const QString &multicastIp) const
{
    QJsonArray resolved;
    for (int i = 0; i < legs.size(); ++i)
        resolved << resolveAuto(legs.at(i).toObject(), sender, i == 0 ? multicastIp : SimLegs::secondGroup(multicastIp));
    return resolved;
}

QJsonObject SimNode::resolveAuto(const QJsonObject &params, bool sender, const QString &multicastIp) const
{
    QJsonObject resolved = params;
    for (auto it = resolved.begin(); it != resolved.end(); ++it) {
        if (it.value() != QJsonValue(QStringLiteral("auto")))
            continue;
        const QString key = it.key();
        if (key.endsWith(QLatin1String("_port"))) {
            int port = rtpPort;
            if (key.startsWith(QLatin1String("rtcp")))
                port = rtpPort + 1;
            else if (key.startsWith(QLatin1String("fec1D")))
                port = rtpPort + 2;
            else if (key.startsWith(QLatin1String("fec2D")))
                port = rtpPort + 4;
            it.value() = port;
        } else if (key == QLatin1String("source_ip") || key == QLatin1String("interface_ip")) {
            it.value() = ipv4Address();
        } else if (key.endsWith(QLatin1String("_ip"))) {
            it.value() = sender ? multicastIp : ipv4Address();
        } else if (key == QLatin1String("fec_mode")) {
            it.value() = QStringLiteral("1D");
        }
    }
    return resolved;
}

// Parses and checks a PATCH body as the staged schema does; on refusal *refusal holds the
// IS-05 error to answer with.
bool SimNode::readPatch(const QByteArray &body, PatchValidator::Kind kind, int legs, QJsonObject *patch, bool *activate,
                        SimReply *refusal)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *refusal = error(400, QStringLiteral("The body must be a JSON object"), parseError.errorString());
        return false;
    }
    *patch = document.object();
    QString why;
    if (!PatchValidator::validate(*patch, kind, legs, &why)) {
        const QString resource = kind == PatchValidator::Sender ? QStringLiteral("sender") : QStringLiteral("receiver");
        *refusal = error(400, QStringLiteral("The request does not match the %1's staged schema").arg(resource), why);
        return false;
    }
    const QJsonValue mode = patch->value(QStringLiteral("activation")).toObject().value(QStringLiteral("mode"));
    if (mode.isString() && mode.toString() != QLatin1String("activate_immediate")
        && (kind == PatchValidator::Sender || !isScheduled(*patch))) {
        *refusal = error(400, QStringLiteral("Activation mode %1 is not supported by this node").arg(mode.toString()));
        return false;
    }
    *activate = mode.isString();
    return true;
}

SimReply SimNode::patchSender(Sender *sender, const QByteArray &body)
{
    ++sender->patches;
    QJsonObject patch;
    bool activate = false;
    SimReply refusal;
    if (!readPatch(body, PatchValidator::Sender, sender->legs, &patch, &activate, &refusal))
        return refusal;
    if (activate && m_config.faults.refuseActivation)
        return error(500, QStringLiteral("The sender refused the activation"), sender->id);

    QJsonObject staged = sender->staged;
    copyMembers(&staged, patch, {"receiver_id", "master_enable"});
    mergeTransportParams(&staged, patch);
    staged.insert(QStringLiteral("activation"), nullActivation());

    if (!activate) {
        sender->staged = staged;
        return json(staged);
    }

    const QJsonObject activation = immediateActivation(nextVersion(Version()).toString());
    QJsonObject active = staged;
    active.insert(QStringLiteral("activation"), activation);
    active.insert(QStringLiteral("transport_params"),
                  resolveLegs(staged.value(QStringLiteral("transport_params")).toArray(), true, sender->multicastIp));
    sender->active = active;
    sender->staged = staged;
    sender->version = nextVersion(sender->version);
    ++sender->activations;
    ++m_counters["ver_snd"];
    QJsonObject reply = staged;
    reply.insert(QStringLiteral("activation"), activation);
    emit resourcesChanged();
    return json(reply);
}

SimReply SimNode::patchReceiver(Receiver *receiver, const QByteArray &body)
{
    ++receiver->patches;
    const bool connects = QJsonDocument::fromJson(body).object().value(QLatin1String("master_enable")).toBool();
    if (m_config.faults.refuseReceiverPatch || (m_config.faults.refuseMemberPatch && receiver->format != Video && connects))
        return error(423, QStringLiteral("The receiver refuses to be patched"), receiver->id);
    QJsonObject patch;
    bool activate = false;
    SimReply refusal;
    if (!readPatch(body, PatchValidator::Receiver, receiver->legs, &patch, &activate, &refusal))
        return refusal;
    if (isPending(*receiver) && !cancelsActivation(patch))
        return error(423, QStringLiteral("An activation is scheduled on this receiver"), receiver->id);
    QString why;

    Receiver changed = *receiver;
    QJsonObject &staged = changed.staged;
    copyMembers(&staged, patch, {"sender_id", "master_enable"});
    if (patch.contains(QStringLiteral("transport_file"))) {
        const QJsonObject file = patch.value(QStringLiteral("transport_file")).toObject();
        staged.insert(QStringLiteral("transport_file"), file);
        const QString data = file.value(QStringLiteral("data")).toString();
        if (file.value(QStringLiteral("type")).toString() == QLatin1String("application/sdp") && !data.isEmpty()) {
            // A leg the file does not feed is left as staged: not every receiver switches it
            // off by itself, so a controller has to.
            const QStringList legFiles = SimLegs::legFiles(data, receiver->legs);
            for (int i = 0; i < legFiles.size(); ++i) {
                if (!applySdp(&changed, legFiles.at(i), i, &why))
                    return error(400, QStringLiteral("The transport file does not suit this receiver"), why);
            }
        }
    }
    mergeTransportParams(&staged, patch);
    staged.insert(QStringLiteral("activation"), nullActivation());
    if (isScheduled(patch))
        return scheduleActivation(receiver, changed, patch.value(QStringLiteral("activation")).toObject());

    const QJsonObject activation = immediateActivation(nextVersion(Version()).toString());
    if (!activate || m_config.faults.ignoreActivation) {
        // A device whose activation fails inside it still answers the PATCH as done.
        receiver->staged = staged;
        if (!activate)
            return json(staged);
        QJsonObject reply = staged;
        reply.insert(QStringLiteral("activation"), activation);
        return json(reply);
    }

    activateReceiver(&changed, activation);
    *receiver = changed;
    QJsonObject reply = staged;
    reply.insert(QStringLiteral("activation"), activation);
    return json(reply);
}

bool SimNode::applySdp(Receiver *receiver, const QString &sdp, int index, QString *errorString) const
{
    QJsonArray legs = receiver->staged.value(QStringLiteral("transport_params")).toArray();
    QJsonObject leg = legs.at(index).toObject();
    QString media;
    QString encoding;
    const QStringList lines = sdp.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("m="))) {
            const QStringList fields = line.mid(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            media = fields.value(0);
            bool ok = false;
            const int port = fields.value(1).toInt(&ok);
            if (ok && port > 0 && port < 65536)
                leg.insert(QStringLiteral("destination_port"), port);
        } else if (line.startsWith(QLatin1String("c="))) {
            const QString address = line.mid(2).section(QLatin1Char(' '), 2, 2).section(QLatin1Char('/'), 0, 0);
            const QHostAddress host(address);
            if (host.isMulticast())
                leg.insert(QStringLiteral("multicast_ip"), host.toString());
        } else if (line.startsWith(QLatin1String("a=source-filter:"))) {
            const QStringList fields = line.mid(16).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (fields.size() >= 5)
                leg.insert(QStringLiteral("source_ip"), fields.at(4));
        } else if (line.startsWith(QLatin1String("a=rtpmap:")) && encoding.isEmpty()) {
            encoding = line.section(QLatin1Char(' '), 1, 1).section(QLatin1Char('/'), 0, 0);
        }
    }
    // A receiver can only take the essence it was made for, as its caps list it.
    const QString described = media + QLatin1Char('/') + encoding;
    const QJsonArray mediaTypes = receiver->caps.value(QStringLiteral("media_types")).toArray();
    if (std::none_of(mediaTypes.begin(), mediaTypes.end(),
                     [&described](const QJsonValue &type) { return type.toString().compare(described, Qt::CaseInsensitive) == 0; })) {
        if (errorString)
            *errorString = QStringLiteral("expected %1, the file describes %2")
                               .arg(receiver->caps.value(QStringLiteral("media_types")).toVariant().toStringList().join(QStringLiteral(" or ")),
                                    media.isEmpty() ? QStringLiteral("no media") : described);
        return false;
    }
    if (m_config.faults.refuseUnfitSdp && !SimFormats::sdpFitsCaps(sdp, receiver->caps, errorString))
        return false;
    leg.insert(QStringLiteral("rtp_enabled"), true);
    legs[index] = leg;
    receiver->staged.insert(QStringLiteral("transport_params"), legs);
    return true;
}

QJsonObject SimNode::resourceCore(const QString &id, const Version &version, const QString &label,
                                  const QString &group, const QString &role) const
{
    QJsonObject tags;
    if (!group.isEmpty() && !role.isEmpty())
        tags.insert(grouphintKey, QJsonArray{group + QLatin1Char(':') + role});
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("version"), version.toString()},
                       {QStringLiteral("label"), label},
                       {QStringLiteral("description"), label},
                       {QStringLiteral("tags"), tags}};
}

QJsonObject SimNode::selfJson() const
{
    QJsonObject self = resourceCore(m_nodeId, m_nodeVersion, m_config.label, QString(), QString());
    QString hostname = m_config.hostname;
    if (hostname.endsWith(QLatin1Char('.')))
        hostname.chop(1);
    self.insert(QStringLiteral("href"), baseUrl() + QLatin1Char('/'));
    self.insert(QStringLiteral("hostname"), hostname);
    self.insert(QStringLiteral("caps"), QJsonObject());
    QJsonArray endpoints;
    for (const QString &address : m_config.bindAddresses) {
        endpoints << QJsonObject{{QStringLiteral("host"), address},
                                 {QStringLiteral("port"), m_port},
                                 {QStringLiteral("protocol"), scheme()},
                                 {QStringLiteral("authorization"), secured()}};
    }
    self.insert(QStringLiteral("api"), QJsonObject{{QStringLiteral("versions"), QJsonArray::fromStringList(nodeApiVersions())},
                                                  {QStringLiteral("endpoints"), endpoints}});
    self.insert(QStringLiteral("services"), QJsonArray());
    self.insert(QStringLiteral("clocks"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("clk0")},
                                                                 {QStringLiteral("ref_type"), QStringLiteral("internal")}}});
    const QString mac = macFor(m_nodeId);
    QJsonArray interfaces;
    for (const QString &name : SimLegs::interfaces(m_legs))
        interfaces << QJsonObject{{QStringLiteral("name"), name},
                                  {QStringLiteral("chassis_id"), mac},
                                  {QStringLiteral("port_id"), name == QLatin1String("eth0") ? mac : macFor(m_nodeId + name)}};
    self.insert(QStringLiteral("interfaces"), interfaces);
    return self;
}

QJsonObject SimNode::deviceJson(const Device &device) const
{
    QJsonObject object = resourceCore(device.id, device.version, device.label, QString(), QString());
    object.insert(QStringLiteral("type"), QStringLiteral("urn:x-nmos:device:generic"));
    object.insert(QStringLiteral("node_id"), m_nodeId);
    object.insert(QStringLiteral("senders"), QJsonArray::fromStringList(m_config.emptyDeviceLists ? QStringList() : device.senderIds));
    object.insert(QStringLiteral("receivers"), QJsonArray::fromStringList(m_config.emptyDeviceLists ? QStringList() : device.receiverIds));
    object.insert(QStringLiteral("controls"),
                  QJsonArray{QJsonObject{{QStringLiteral("href"), m_config.controlsHref.isEmpty()
                                                                      ? baseUrl() + QStringLiteral("/x-nmos/connection/v1.1/")
                                                                      : m_config.controlsHref},
                                         {QStringLiteral("type"), QStringLiteral("urn:x-nmos:control:sr-ctrl/v1.1")},
                                         {QStringLiteral("authorization"), secured()}}});
    return object;
}

QJsonObject SimNode::sourceJson(const Sender &sender) const
{
    QJsonObject object = resourceCore(sender.sourceId, m_nodeVersion, sender.label, sender.group, sender.role);
    object.insert(QStringLiteral("caps"), QJsonObject());
    object.insert(QStringLiteral("device_id"), sender.deviceId);
    object.insert(QStringLiteral("parents"), QJsonArray());
    object.insert(QStringLiteral("clock_name"), QStringLiteral("clk0"));
    object.insert(QStringLiteral("format"), formatUrn(sender.format));
    if (sender.format == Audio) {
        object.insert(QStringLiteral("channels"),
                      QJsonArray{QJsonObject{{QStringLiteral("label"), QStringLiteral("Left")}, {QStringLiteral("symbol"), QStringLiteral("L")}},
                                 QJsonObject{{QStringLiteral("label"), QStringLiteral("Right")}, {QStringLiteral("symbol"), QStringLiteral("R")}}});
    } else {
        object.insert(QStringLiteral("grain_rate"), sender.format == Video ? SimFormats::grainRate(sender.video) : rational(50));
    }
    return object;
}

QJsonObject SimNode::flowJson(const Sender &sender) const
{
    QJsonObject object = resourceCore(sender.flowId, m_nodeVersion, sender.label, sender.group, sender.role);
    object.insert(QStringLiteral("format"), formatUrn(sender.format));
    object.insert(QStringLiteral("source_id"), sender.sourceId);
    object.insert(QStringLiteral("device_id"), sender.deviceId);
    object.insert(QStringLiteral("parents"), QJsonArray());
    switch (sender.format) {
    case Video:
        SimFormats::addFlowAttributes(&object, sender.video);
        break;
    case Audio:
        object.insert(QStringLiteral("media_type"), QStringLiteral("audio/L24"));
        object.insert(QStringLiteral("sample_rate"), QJsonObject{{QStringLiteral("numerator"), 48000}});
        object.insert(QStringLiteral("bit_depth"), 24);
        break;
    case Data:
        object.insert(QStringLiteral("grain_rate"), rational(50));
        object.insert(QStringLiteral("media_type"), QStringLiteral("video/smpte291"));
        object.insert(QStringLiteral("DID_SDID"), QJsonArray{QJsonObject{{QStringLiteral("DID"), QStringLiteral("0x41")},
                                                                         {QStringLiteral("SDID"), QStringLiteral("0x07")}}});
        break;
    }
    return object;
}

QJsonObject SimNode::senderJson(const Sender &sender) const
{
    QJsonObject object = resourceCore(sender.id, sender.version, sender.label, sender.group, sender.role);
    object.insert(QStringLiteral("caps"), QJsonObject());
    object.insert(QStringLiteral("flow_id"), sender.flowId);
    object.insert(QStringLiteral("transport"), QStringLiteral("urn:x-nmos:transport:rtp.mcast"));
    object.insert(QStringLiteral("device_id"), sender.deviceId);
    if (sender.format == Video)
        SimFormats::addSenderAttributes(&object, sender.video);
    object.insert(QStringLiteral("manifest_href"),
                  baseUrl() + QStringLiteral("/x-nmos/connection/v1.1/single/senders/%1/transportfile").arg(sender.id));
    object.insert(QStringLiteral("interface_bindings"), QJsonArray::fromStringList(SimLegs::interfaces(sender.legs)));
    object.insert(QStringLiteral("subscription"),
                  QJsonObject{{QStringLiteral("receiver_id"), sender.active.value(QStringLiteral("receiver_id"))},
                              {QStringLiteral("active"), sender.active.value(QStringLiteral("master_enable")).toBool()}});
    return object;
}

QJsonObject SimNode::receiverJson(const Receiver &receiver) const
{
    QJsonObject object = resourceCore(receiver.id, receiver.version, receiver.label, receiver.group, receiver.role);
    object.insert(QStringLiteral("format"), formatUrn(receiver.format));
    QJsonObject caps = receiver.caps;
    if (caps.contains(QStringLiteral("constraint_sets")))
        caps.insert(QStringLiteral("version"), m_nodeVersion.toString());
    object.insert(QStringLiteral("caps"), caps);
    object.insert(QStringLiteral("device_id"), receiver.deviceId);
    object.insert(QStringLiteral("transport"), QStringLiteral("urn:x-nmos:transport:rtp.mcast"));
    object.insert(QStringLiteral("interface_bindings"), QJsonArray::fromStringList(SimLegs::interfaces(receiver.legs)));
    object.insert(QStringLiteral("subscription"),
                  QJsonObject{{QStringLiteral("sender_id"), receiver.active.value(QStringLiteral("sender_id"))},
                              {QStringLiteral("active"), receiver.active.value(QStringLiteral("master_enable")).toBool()}});
    return object;
}

QByteArray SimNode::senderSdp(const Sender &sender) const
{
    const QJsonObject params = sender.active.value(QStringLiteral("transport_params")).toArray().at(0).toObject();
    const QString source = params.value(QStringLiteral("source_ip")).toString();
    const QString destination = params.value(QStringLiteral("destination_ip")).toString();
    const int port = params.value(QStringLiteral("destination_port")).toInt(rtpPort);
    const bool ipv6 = QHostAddress(destination).protocol() == QAbstractSocket::IPv6Protocol;
    const QString family = ipv6 ? QStringLiteral("IP6") : QStringLiteral("IP4");
    const quint32 sessionId = QUuid(sender.id).data1;

    QStringList lines;
    lines << QStringLiteral("v=0")
          << QStringLiteral("o=- %1 %2 IN %3 %4").arg(sessionId).arg(sender.version.seconds).arg(family, source)
          << QStringLiteral("s=%1").arg(sender.label)
          << QStringLiteral("t=0 0");
    switch (sender.format) {
    case Video:
        lines << QStringLiteral("m=video %1 RTP/AVP 96").arg(port);
        break;
    case Audio:
        lines << QStringLiteral("m=audio %1 RTP/AVP 97").arg(port);
        break;
    case Data:
        lines << QStringLiteral("m=video %1 RTP/AVP 100").arg(port);
        break;
    }
    lines << QStringLiteral("c=IN %1 %2%3").arg(family, destination, ipv6 || !QHostAddress(destination).isMulticast() ? QString() : QStringLiteral("/64"));
    if (sender.format == Video)
        lines << SimFormats::sdpBandwidthLines(sender.video);
    lines << QStringLiteral("a=source-filter: incl IN %1 %2 %3").arg(family, destination, source);
    switch (sender.format) {
    case Video:
        lines << SimFormats::sdpFormatLines(sender.video, 96);
        break;
    case Audio:
        lines << QStringLiteral("a=rtpmap:97 L24/48000/2")
              << QStringLiteral("a=fmtp:97 channel-order=SMPTE2110.(ST)")
              << QStringLiteral("a=ptime:1");
        break;
    case Data:
        lines << QStringLiteral("a=rtpmap:100 smpte291/90000")
              << QStringLiteral("a=fmtp:100 DID_SDID={0x41,0x07}; exactframerate=50; SSN=ST2110-40:2018");
        break;
    }
    lines << QStringLiteral("a=ts-refclk:ptp=IEEE1588-2008:traceable")
          << QStringLiteral("a=mediaclk:direct=0");
    // RFC 4566 ends every line, the last one too, with CRLF.
    return SimLegs::duplicated((lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8(), sender.legs);
}

QJsonObject SimNode::state() const
{
    QMutexLocker locker(&m_mutex);
    QJsonArray senders;
    for (const Sender &sender : m_senders) {
        senders << QJsonObject{{QStringLiteral("id"), sender.id},
                               {QStringLiteral("label"), sender.label},
                               {QStringLiteral("format"), formatUrn(sender.format)},
                               {QStringLiteral("master_enable"), sender.active.value(QStringLiteral("master_enable"))},
                               {QStringLiteral("transport_params"), sender.active.value(QStringLiteral("transport_params"))},
                               {QStringLiteral("version"), sender.version.toString()},
                               {QStringLiteral("activations"), sender.activations},
                               {QStringLiteral("patches"), sender.patches}};
    }
    QJsonArray receivers;
    for (const Receiver &receiver : m_receivers) {
        receivers << QJsonObject{{QStringLiteral("id"), receiver.id},
                                 {QStringLiteral("label"), receiver.label},
                                 {QStringLiteral("format"), formatUrn(receiver.format)},
                                 {QStringLiteral("sender_id"), receiver.active.value(QStringLiteral("sender_id"))},
                                 {QStringLiteral("master_enable"), receiver.active.value(QStringLiteral("master_enable"))},
                                 {QStringLiteral("transport_file"), receiver.active.value(QStringLiteral("transport_file"))},
                                 {QStringLiteral("transport_params"), receiver.active.value(QStringLiteral("transport_params"))},
                                 {QStringLiteral("activation_time"), receiver.active[QStringLiteral("activation")][QStringLiteral("activation_time")]},
                                 {QStringLiteral("staged_activation"), receiver.staged.value(QStringLiteral("activation"))},
                                 {QStringLiteral("version"), receiver.version.toString()},
                                 {QStringLiteral("activations"), receiver.activations},
                                 {QStringLiteral("patches"), receiver.patches}};
    }
    QJsonObject counters;
    for (auto it = m_counters.begin(); it != m_counters.end(); ++it)
        counters.insert(QString::fromLatin1(it.key()), int(it.value()));
    return QJsonObject{{QStringLiteral("label"), m_config.label},
                       {QStringLiteral("id"), m_nodeId},
                       {QStringLiteral("port"), m_port},
                       {QStringLiteral("requests"), m_requests},
                       {QStringLiteral("bulk_requests"), m_bulkRequests},
                       {QStringLiteral("counters"), counters},
                       {QStringLiteral("senders"), senders},
                       {QStringLiteral("receivers"), receivers}};
}

void SimNode::bumpSelfCounter()
{
    {
        QMutexLocker locker(&m_mutex);
        ++m_counters["ver_slf"];
        m_nodeApiReplies.clear();
    }
    emit resourcesChanged();
}

QMap<QByteArray, QByteArray> SimNode::txtAttributes() const
{
    QMutexLocker locker(&m_mutex);
    QMap<QByteArray, QByteArray> attributes;
    attributes.insert("api_proto", m_config.apiProto.toUtf8());
    attributes.insert("api_ver", m_config.apiVer.toUtf8());
    attributes.insert("api_auth", m_config.apiAuth.toUtf8());
    for (auto it = m_counters.begin(); it != m_counters.end(); ++it)
        attributes.insert(it.key(), QByteArray::number(it.value()));
    return attributes;
}
