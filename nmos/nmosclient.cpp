#include "nmosclient.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QTimer>
#include <QUrl>

Q_LOGGING_CATEGORY(lcNmos, "ferrolink.nmos", QtInfoMsg)

namespace {

const char NodeApiBase[] = "http://%1/x-nmos/node/v1.3";
const char ConnectionApiBase[] = "http://%1/x-nmos/connection/v1.1";

const char VideoFormat[] = "urn:x-nmos:format:video";
const char AudioFormat[] = "urn:x-nmos:format:audio";
const char DataFormat[] = "urn:x-nmos:format:data";
const char GroupHintTag[] = "urn:x-nmos:tag:grouphint/v1.0";

const char SenderSdpFailure[] = "Failed to fetch Sender SDP.";

QString formatUrn(NmosClient::Format format)
{
    switch (format) {
    case NmosClient::Audio:
        return QLatin1String(AudioFormat);
    case NmosClient::Data:
        return QLatin1String(DataFormat);
    case NmosClient::Video:
        break;
    }
    // The selector may come from an int cast; anything unknown means video.
    return QLatin1String(VideoFormat);
}

QString nodeUrl(const QString &address, const QString &path)
{
    return QString::fromLatin1(NodeApiBase).arg(address) + path;
}

QString connectionUrl(const QString &address, const QString &path)
{
    return QString::fromLatin1(ConnectionApiBase).arg(address) + path;
}

// Ids come from the nodes. Each becomes exactly one path segment, so "/", "?", "#" or "%"
// in an id cannot steer the request to another resource; a UUID passes unchanged. The dot
// segments cannot be escaped at all (the URL layer decodes "%2E" and then resolves them),
// so such an id gives no segment and the caller builds no URL.
bool idSegment(const QString &id, QString *segment)
{
    if (id == QLatin1String(".") || id == QLatin1String(".."))
        return false;
    *segment = QString::fromLatin1(QUrl::toPercentEncoding(id));
    return true;
}

// "<prefix><id><suffix>" with the id as one encoded segment, or an empty string (which no
// request accepts) when the id cannot be a segment.
QString resourcePath(const QString &prefix, const QString &id, const QString &suffix = QString())
{
    QString segment;
    if (!idSegment(id, &segment))
        return QString();
    return prefix + segment + suffix;
}

QString nodeResourceUrl(const QString &address, const QString &collection, const QString &id)
{
    const QString path = resourcePath(collection, id);
    return path.isEmpty() ? QString() : nodeUrl(address, path);
}

QString stagedUrl(const QString &address, const QString &collection, const QString &id)
{
    const QString path = resourcePath(collection, id, QStringLiteral("/staged"));
    return path.isEmpty() ? QString() : connectionUrl(address, path);
}

// A QUrl cannot hold a bare IPv6 literal as its host (parsing drops it), so a PATCH URL is
// bracketed while it is still text, as syncGet does with its own.
QUrl patchUrl(const QString &text)
{
    return QUrl(NmosClient::bracketIpv6Host(text), QUrl::TolerantMode);
}

bool isAccepted(int status)
{
    return status / 100 == 2;
}

// PATCHes a receiver's staged endpoint. A transfer failure (HTTP errors included) hands its
// text back; a completed exchange outside 2xx, such as a redirect, fails and leaves it alone.
bool patchReceiver(QNetworkAccessManager *manager, const NmosClient::ReceiverGroup &receiver,
                   const QJsonObject &body, QString *errorString)
{
    int status = 0;
    QString errorText;
    const QUrl url =
        patchUrl(stagedUrl(receiver.nodeAddress, QStringLiteral("/single/receivers/"), receiver.id));
    if (!NmosClient::syncPatch(manager, url, body, &status, &errorText)) {
        if (errorString)
            *errorString = errorText;
        return false;
    }
    return isAccepted(status);
}

bool isAllDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

bool isIpv6Address(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

// Waits in a nested event loop until the reply has finished. The nodes are not trusted to
// end a reply: one that makes no progress for TransferTimeoutMs, or whose body grows past
// MaxReplySize, is aborted. Returns false with the reason in *failure when the request
// failed for any cause.
bool waitForReply(QNetworkReply *reply, QString *failure)
{
    QEventLoop loop;
    QTimer stall;
    stall.setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    stall.setTimerType(Qt::PreciseTimer);
    stall.setInterval(NmosClient::TransferTimeoutMs);
    QString abortReason;

    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // Another handler's request may hold the thread in its own nested loop after this reply
    // has finished; the timer must not then fail a complete reply.
    QObject::connect(reply, &QNetworkReply::finished, &stall, &QTimer::stop);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&stall] { stall.start(); });
    QObject::connect(reply, &QNetworkReply::uploadProgress, &loop, [&stall] { stall.start(); });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop,
                     [&stall, &abortReason, reply](qint64 received, qint64 total) {
                         if (received > NmosClient::MaxReplySize || total > NmosClient::MaxReplySize) {
                             if (abortReason.isEmpty()) {
                                 abortReason = QStringLiteral("Reply larger than %1 bytes, aborted")
                                                   .arg(NmosClient::MaxReplySize);
                                 reply->abort();
                             }
                             return;
                         }
                         stall.start();
                     });
    QObject::connect(&stall, &QTimer::timeout, &loop, [&abortReason, reply] {
        if (reply->isFinished())
            return;
        abortReason = QStringLiteral("Request timed out: no progress for %1 s")
                          .arg(NmosClient::TransferTimeoutMs / 1000);
        reply->abort();
    });

    // A reply can be finished already (for example a refused URL); quit() before exec()
    // would be lost and the loop would never return.
    if (!reply->isFinished()) {
        stall.start();
        loop.exec();
    }

    if (!abortReason.isEmpty()) {
        *failure = abortReason;
        return false;
    }
    if (reply->error() != QNetworkReply::NoError) {
        *failure = reply->errorString();
        return false;
    }
    return true;
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool isHttpUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
           && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

// The name before the first ":" of the resource's grouphint tag; empty when there is none.
QString groupName(const QJsonObject &resource)
{
    const QJsonValue hint = resource.value(QLatin1String("tags")).toObject().value(QLatin1String(GroupHintTag));
    if (!hint.isArray())
        return QString();
    const QJsonValue first = hint.toArray().at(0);
    if (!first.isString())
        return QString();
    const QString text = first.toString();
    const int colon = text.indexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : text.left(colon);
}

// The ids listed under `key` by the first device that lists `id` there.
QJsonArray deviceMembers(const QJsonArray &devices, const QString &key, const QString &id)
{
    const QJsonValue wanted(id);
    for (const QJsonValue &device : devices) {
        const QJsonArray members = device.toObject().value(key).toArray();
        if (members.contains(wanted))
            return members;
    }
    return QJsonArray();
}

void appendOnce(QStringList *list, const QString &id)
{
    // A node listing one resource twice would otherwise have it patched twice, each time
    // to a different counterpart.
    if (!list->contains(id))
        list->append(id);
}

} // namespace

NmosClient::NmosClient(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
}

QByteArray NmosClient::syncGet(QNetworkAccessManager *manager, const QString &url, int *status,
                               QString *errorString)
{
    const QUrl target = QUrl::fromUserInput(bracketIpv6Host(url));
    if (!target.isValid()) {
        if (errorString)
            *errorString = QStringLiteral("Invalid URL: %1").arg(url);
        return QByteArray();
    }

    QNetworkReply *reply = manager->get(QNetworkRequest(target));
    QByteArray body;
    QString failure;
    if (waitForReply(reply, &failure)) {
        body = reply->readAll();
        if (status)
            *status = statusOf(reply);
    } else if (errorString) {
        *errorString = failure;
    }
    reply->deleteLater();
    return body;
}

bool NmosClient::syncPatch(QNetworkAccessManager *manager, const QUrl &url, const QJsonObject &body,
                           int *status, QString *errorString)
{
    if (!url.isValid()) {
        if (errorString)
            *errorString = QStringLiteral("Invalid URL: %1").arg(url.errorString());
        if (status)
            *status = 0;
        return false;
    }

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    QNetworkReply *reply = manager->sendCustomRequest(request, QByteArrayLiteral("PATCH"), payload);

    QString failure;
    const bool ok = waitForReply(reply, &failure);
    if (!ok && errorString)
        *errorString = failure;
    if (status)
        *status = statusOf(reply);
    reply->deleteLater();
    return ok;
}

QString NmosClient::bracketIpv6Host(const QString &url)
{
    const int schemeEnd = url.indexOf(QLatin1String("://"));
    if (schemeEnd < 0)
        return url;
    const int authorityStart = schemeEnd + 3;
    int authorityEnd = url.size();
    for (const QChar c : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
        const int at = url.indexOf(c, authorityStart);
        if (at >= 0 && at < authorityEnd)
            authorityEnd = at;
    }
    const QString authority = url.mid(authorityStart, authorityEnd - authorityStart);
    if (authority.startsWith(QLatin1Char('[')))
        return url;

    // A zone ("%" and an interface name) ends the address; a port may follow it.
    const int percent = authority.indexOf(QLatin1Char('%'));
    QString host = percent < 0 ? authority : authority.left(percent);
    QString zone = percent < 0 ? QString() : authority.mid(percent + 1);
    QString port;
    if (percent >= 0) {
        const int colon = zone.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0 && isAllDigits(zone.mid(colon + 1))) {
            port = zone.mid(colon + 1);
            zone.truncate(colon);
        }
    } else {
        // A last group of digits is the port when what stays before it is still an address:
        // fe80::1:8080 has one, fe80::12 has none ("fe80:" is no address).
        const int colon = host.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0 && isAllDigits(host.mid(colon + 1)) && isIpv6Address(host.left(colon))) {
            port = host.mid(colon + 1);
            host.truncate(colon);
        }
    }
    // "::" marks IPv6 even where the literal is malformed; a full eight-group literal has none.
    if (!host.contains(QLatin1String("::")) && !isIpv6Address(host))
        return url;

    QString rewritten = QLatin1Char('[') + host;
    if (!zone.isEmpty())
        rewritten += QLatin1String("%25") + QString::fromLatin1(QUrl::toPercentEncoding(zone));
    rewritten += QLatin1Char(']');
    if (!port.isEmpty())
        rewritten += QLatin1Char(':') + port;
    return url.left(authorityStart) + rewritten + url.mid(authorityEnd);
}

QJsonArray NmosClient::getJsonArray(const QString &url)
{
    int status = 0;
    QString errorText;
    const QByteArray body = syncGet(manager, url, &status, &errorText);
    if (!isAccepted(status)) {
        qWarning() << "Unable to connect:" << errorText;
        return QJsonArray();
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray())
        return QJsonArray();
    return document.array();
}

QJsonObject NmosClient::getJsonObject(const QString &url)
{
    int status = 0;
    QString errorText;
    const QByteArray body = syncGet(manager, url, &status, &errorText);
    if (!isAccepted(status)) {
        qWarning() << "Unable to connect:" << errorText;
        return QJsonObject();
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

bool NmosClient::getManifest(const SenderGroup &sender, QString *sdp)
{
    // The address comes from the node: only the web is asked, never a local file, a
    // resource or a share that a file: or UNC-like address would open.
    const QUrl href(bracketIpv6Host(sender.manifestHref.trimmed()), QUrl::TolerantMode);
    if (!isHttpUrl(href)) {
        if (!sender.manifestHref.isEmpty())
                qCWarning(lcNmos) << "Transport file address is not an http or https URL, not read:"
                              << sender.manifestHref;
        return false;
    }

    int status = 0;
    const QByteArray body = syncGet(manager, href.toString(QUrl::FullyEncoded), &status);
    if (!isAccepted(status) || body.isEmpty())
        return false;
    *sdp = QString::fromUtf8(body);
    return true;
}

bool NmosClient::hasSenders(const QString &address)
{
    return !getJsonArray(nodeUrl(address, QStringLiteral("/senders/"))).isEmpty();
}

bool NmosClient::hasReceivers(const QString &address)
{
    return !getJsonArray(nodeUrl(address, QStringLiteral("/receivers/"))).isEmpty();
}

QList<NmosClient::SenderConnection> NmosClient::videoSenders(const QString &address,
                                                           const QString &nodeName)
{
    QStringList videoFlows;
    const QJsonArray flows = getJsonArray(nodeUrl(address, QStringLiteral("/flows/")));
    for (const QJsonValue &value : flows) {
        const QJsonObject flow = value.toObject();
        if (flow.value(QLatin1String("format")).toString() == QLatin1String(VideoFormat))
            videoFlows.append(flow.value(QLatin1String("id")).toString());
    }

    QList<SenderConnection> result;
    QSet<QString> labelsSeen;
    const QJsonArray senders = getJsonArray(nodeUrl(address, QStringLiteral("/senders/")));
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        if (!videoFlows.contains(sender.value(QLatin1String("flow_id")).toString()))
            continue;
        SenderConnection connection;
        connection.id = sender.value(QLatin1String("id")).toString();
        connection.label = sender.value(QLatin1String("label")).toString();
        connection.manifestHref = sender.value(QLatin1String("manifest_href")).toString();
        if (connection.label.isEmpty() || labelsSeen.contains(connection.label))
            continue;
        labelsSeen.insert(connection.label);
        connection.nodeAddress = address;
        connection.displayName = QStringLiteral("%1 (%2-%3)").arg(nodeName, address, connection.label);
        result.append(connection);
    }
    return result;
}

QList<NmosClient::ReceiverConnection> NmosClient::videoReceivers(const QString &address,
                                                               const QString &nodeName)
{
    QList<ReceiverConnection> result;
    QSet<QString> labelsSeen;
    const QJsonArray receivers = getJsonArray(nodeUrl(address, QStringLiteral("/receivers/")));
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        ReceiverConnection connection;
        connection.id = receiver.value(QLatin1String("id")).toString();
        connection.label = receiver.value(QLatin1String("label")).toString();
        if (connection.label.isEmpty() || labelsSeen.contains(connection.label))
            continue;
        labelsSeen.insert(connection.label);
        if (receiver.value(QLatin1String("format")).toString() != QLatin1String(VideoFormat))
            continue;
        connection.nodeAddress = address;
        connection.displayName = QStringLiteral("%1 (%2-%3)").arg(nodeName, address, connection.label);
        result.append(connection);
    }
    return result;
}

bool NmosClient::findSender(const QString &address, Format format, SenderGroup *group,
                            const QString &preferredId)
{
    group->id.clear();
    group->manifestHref.clear();

    QString flowId;
    if (preferredId.isEmpty()) {
        const QJsonArray flows = getJsonArray(nodeUrl(address, QStringLiteral("/flows/")));
        if (flows.isEmpty())
            return false;
        const QJsonValue urn(formatUrn(format));
        for (const QJsonValue &value : flows) {
            const QJsonObject flow = value.toObject();
            if (flow.value(QLatin1String("format")) == urn) {
                flowId = flow.value(QLatin1String("id")).toString();
                break;
            }
        }
    }

    const QJsonArray senders = getJsonArray(nodeUrl(address, QStringLiteral("/senders/")));
    if (senders.isEmpty())
        return false;
    const QJsonValue wantedId(preferredId);
    const QJsonValue wantedFlow(flowId);
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        const bool matches = preferredId.isEmpty()
                                 ? sender.value(QLatin1String("flow_id")) == wantedFlow
                                 : sender.value(QLatin1String("id")) == wantedId;
        if (!matches)
            continue;
        group->id = sender.value(QLatin1String("id")).toString();
        group->label = sender.value(QLatin1String("label")).toString();
        group->manifestHref = sender.value(QLatin1String("manifest_href")).toString();
        group->nodeAddress = address;
        break;
    }
    return !group->id.isEmpty() && !group->manifestHref.isEmpty();
}

bool NmosClient::findReceiver(const QString &address, Format format, ReceiverGroup *group,
                              const QString &preferredId)
{
    const QJsonValue urn(formatUrn(format));
    group->id.clear();

    const QJsonArray receivers = getJsonArray(nodeUrl(address, QStringLiteral("/receivers/")));
    if (receivers.isEmpty())
        return false;
    const QJsonValue wantedId(preferredId);
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        if (receiver.value(QLatin1String("format")) != urn)
            continue;
        if (!preferredId.isEmpty() && receiver.value(QLatin1String("id")) != wantedId)
            continue;
        group->id = receiver.value(QLatin1String("id")).toString();
        group->label = receiver.value(QLatin1String("label")).toString();
        group->nodeAddress = address;
        break;
    }
    return !group->id.isEmpty();
}

void NmosClient::fillSenderGroup(SenderGroup *group)
{
    const QJsonArray devices = getJsonArray(nodeUrl(group->nodeAddress, QStringLiteral("/devices/")));
    if (devices.isEmpty())
        return;
    const QJsonArray members = deviceMembers(devices, QStringLiteral("senders"), group->id);
    const QString chosenGroup =
        groupName(getJsonObject(nodeResourceUrl(group->nodeAddress, QStringLiteral("/senders/"), group->id)));

    const QJsonArray senders = getJsonArray(nodeUrl(group->nodeAddress, QStringLiteral("/senders/")));
    if (senders.isEmpty())
        return;
    QMap<QString, QString> senderOfFlow;
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        const QJsonValue id = sender.value(QLatin1String("id"));
        const QString flowId = sender.value(QLatin1String("flow_id")).toString();
        if (!id.isString() || flowId.isEmpty() || !members.contains(id))
            continue;
        if (groupName(sender) == chosenGroup)
            senderOfFlow.insert(flowId, id.toString());
    }

    QStringList audio;
    QStringList data;
    const QJsonArray flows = getJsonArray(nodeUrl(group->nodeAddress, QStringLiteral("/flows/")));
    for (const QJsonValue &value : flows) {
        const QJsonObject flow = value.toObject();
        const auto entry = senderOfFlow.constFind(flow.value(QLatin1String("id")).toString());
        if (entry == senderOfFlow.constEnd())
            continue;
        const QString format = flow.value(QLatin1String("format")).toString();
        if (format == QLatin1String(AudioFormat))
            appendOnce(&audio, entry.value());
        else if (format == QLatin1String(DataFormat))
            appendOnce(&data, entry.value());
    }
    group->audioIds = audio;
    group->dataIds = data;
}

void NmosClient::fillReceiverGroup(ReceiverGroup *group)
{
    const QJsonArray devices = getJsonArray(nodeUrl(group->nodeAddress, QStringLiteral("/devices/")));
    if (devices.isEmpty())
        return;
    const QJsonArray members = deviceMembers(devices, QStringLiteral("receivers"), group->id);
    const QString chosenGroup = groupName(
        getJsonObject(nodeResourceUrl(group->nodeAddress, QStringLiteral("/receivers/"), group->id)));

    const QJsonArray receivers = getJsonArray(nodeUrl(group->nodeAddress, QStringLiteral("/receivers/")));
    if (receivers.isEmpty())
        return;
    QStringList audio;
    QStringList data;
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        const QJsonValue id = receiver.value(QLatin1String("id"));
        if (!id.isString() || !members.contains(id) || groupName(receiver) != chosenGroup)
            continue;
        const QString format = receiver.value(QLatin1String("format")).toString();
        if (format == QLatin1String(AudioFormat))
            appendOnce(&audio, id.toString());
        else if (format == QLatin1String(DataFormat))
            appendOnce(&data, id.toString());
    }
    group->audioIds = audio;
    group->dataIds = data;
}

bool NmosClient::activateSender(const SenderGroup &sender, QString *errorString)
{
    const QJsonObject body{
        {QStringLiteral("activation"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")}}},
    };
    int status = 0;
    QString errorText;
    const QUrl url = patchUrl(stagedUrl(sender.nodeAddress, QStringLiteral("/single/senders/"), sender.id));
    if (syncPatch(manager, url, body, &status, &errorText) && isAccepted(status))
        return true;
    // The callers only activate after the transport file could not be read, so the
    // operator is told about the file, not about the activation.
    if (errorString)
        *errorString = QLatin1String(SenderSdpFailure);
    return false;
}

bool NmosClient::connectReceiver(const SenderGroup &sender, const ReceiverGroup &receiver,
                                 QString *errorString)
{
    QString sdp;
    if (!getManifest(sender, &sdp) && activateSender(sender, errorString)
        && !getManifest(sender, &sdp)) {
        if (errorString)
            *errorString = QLatin1String(SenderSdpFailure);
        return false;
    }

    const QJsonObject body{
        {QStringLiteral("sender_id"), sender.id},
        {QStringLiteral("master_enable"), true},
        {QStringLiteral("transport_file"),
         QJsonObject{{QStringLiteral("data"), sdp}, {QStringLiteral("type"), QStringLiteral("application/sdp")}}},
        {QStringLiteral("activation"),
         QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")},
                     {QStringLiteral("requested_time"), QJsonValue::Null}}},
    };
    return patchReceiver(manager, receiver, body, errorString);
}

bool NmosClient::disconnectReceiver(const ReceiverGroup &receiver, QString *errorString)
{
    const QJsonObject body{
        {QStringLiteral("master_enable"), false},
        {QStringLiteral("transport_file"),
         QJsonObject{{QStringLiteral("data"), QJsonValue::Null}, {QStringLiteral("type"), QJsonValue::Null}}},
        {QStringLiteral("activation"),
         QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")},
                     {QStringLiteral("requested_time"), QJsonValue::Null}}},
    };
    return patchReceiver(manager, receiver, body, errorString);
}

bool NmosClient::getReceiverSdp(const ReceiverGroup &receiver, QString *sdp)
{
    const QJsonObject staged =
        getJsonObject(stagedUrl(receiver.nodeAddress, QStringLiteral("/single/receivers/"), receiver.id));
    if (staged.isEmpty())
        return false;
    const QJsonValue data =
        staged.value(QLatin1String("transport_file")).toObject().value(QLatin1String("data"));
    if (data.isNull())
        return false;
    *sdp = data.toString();
    return true;
}
