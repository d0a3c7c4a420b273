#include "nmosclient.h"
#include "nmosclient_p.h"
#include "rtplegs.h"

#include "net/replylimits.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

using namespace NmosPrivate;

namespace {

const char SenderSdpFailure[] = "Failed to fetch Sender SDP.";

// A QUrl cannot hold a bare IPv6 literal as its host (parsing drops it), so a PATCH URL is
// bracketed while it is still text, as syncGet does with its own.
QUrl patchUrl(const QString &text)
{
    return QUrl(NmosClient::bracketIpv6Host(text), QUrl::TolerantMode);
}

// The text of a PATCH answered outside 2xx: "HTTP <status>", then the reason from the node's
// IS-05 error body when it gives one. The reason is cut short: it ends up in a message box.
QString refusalText(int status, const QByteArray &response)
{
    const int MaxReasonLength = 300;
    QString text = QStringLiteral("HTTP %1").arg(status);
    const QJsonValue reason = QJsonDocument::fromJson(response).object().value(QLatin1String("error"));
    const QString reasonText = reason.toString().trimmed();
    if (!reasonText.isEmpty()) {
        text += QLatin1String(": ") + reasonText.left(MaxReasonLength);
        if (reasonText.size() > MaxReasonLength)
            text += QChar(0x2026);
    }
    return text;
}

// PATCHes a receiver's staged endpoint. Every failure writes its own text, so that a run
// never shows an earlier pair's text for this one: the transfer's failure, or the refusal
// when the node answered outside 2xx (an HTTP error, or a redirect, which is not followed).
bool patchReceiver(QNetworkAccessManager *manager, const NmosClient::ReceiverGroup &receiver,
                   const QJsonObject &body, QString *errorString, int *statusOut = nullptr)
{
    int status = 0;
    QString errorText;
    QByteArray response;
    const QString target = stagedUrl(receiver.node, QStringLiteral("/single/receivers/"), receiver.id);
    if (target.isEmpty()) {
        if (errorString)
            *errorString = QStringLiteral("Receiver id \"%1\" cannot be used in a URL").arg(receiver.id);
        return false;
    }
    const QUrl url = patchUrl(target);
    const bool completed = NmosClient::syncPatch(manager, url, body, &status, &errorText, &response, receiver.node);
    if (statusOut)
        *statusOut = status;
    if (completed && isAccepted(status))
        return true;
    if (errorString)
        *errorString = status == 0 || isAccepted(status) ? errorText : refusalText(status, response);
    return false;
}

// What a receiver's active parameters say: whether it is on, and the sender whose stream
// it runs, empty when it is off or the stream is of no NMOS sender. False when they hold no
// state at all.
bool activeState(const QJsonObject &active, bool *enabled, QString *senderId)
{
    const QJsonValue masterEnable = active.value(QLatin1String("master_enable"));
    if (!masterEnable.isBool())
        return false;
    *enabled = masterEnable.toBool();
    *senderId = *enabled ? active.value(QLatin1String("sender_id")).toString() : QString();
    return true;
}

// The answer from url to a read of a receiver's active parameters, however it was waited
// for; *failure comes in holding the transfer's own failure, if any. False, with the reason,
// when there are none to read.
bool activeAnswer(const QString &url, int status, const QByteArray &body, QJsonObject *active, QString *failure)
{
    *active = QJsonDocument::fromJson(body).object();
    if (!failure->isEmpty())
        return false; // the transfer's own text, which names the endpoint
    bool enabled = false;
    QString senderId;
    if (!isAccepted(status))
        *failure = QStringLiteral("HTTP %1 from %2").arg(status).arg(url);
    else if (!activeState(*active, &enabled, &senderId))
        *failure = QStringLiteral("No active parameters in the answer from %1").arg(url);
    return failure->isEmpty();
}

// Reads a receiver's active parameters; false, with the reason, when there are none to read.
bool readActive(QNetworkAccessManager *manager, const NmosClient::ReceiverGroup &receiver, QJsonObject *active,
                QString *failure)
{
    const QString url = activeUrl(receiver.node, QStringLiteral("/single/receivers/"), receiver.id);
    int status = 0;
    const QByteArray body = NmosClient::syncGet(manager, url, &status, failure, receiver.node);
    return activeAnswer(url, status, body, active, failure);
}

// Compares a receiver's active parameters with what its patch asked for: on and fed by
// senderId with legs as asked, or off when enabled is false (the sender is then of no interest).
bool checkActive(QNetworkAccessManager *manager, const NmosClient::ReceiverGroup &receiver, bool enabled,
                 const QString &senderId, const QJsonArray &legs, QString *errorString)
{
    QJsonObject active;
    QString failure;
    if (readActive(manager, receiver, &active, &failure)) {
        const bool masterEnable = active.value(QLatin1String("master_enable")).toBool();
        const QString activeSender = active.value(QLatin1String("sender_id")).toString();
        if (masterEnable == enabled && (!enabled || activeSender == senderId)) {
            if (RtpLegs::holds(active.value(QLatin1String("transport_params")).toArray(), legs, &failure))
                return true;
        } else {
            failure = QStringLiteral("Not active: the receiver reports sender %1 with master_enable %2")
                          .arg(activeSender.isEmpty() ? QStringLiteral("none") : activeSender,
                               masterEnable ? QStringLiteral("true") : QStringLiteral("false"));
        }
    }
    if (errorString)
        *errorString = failure;
    return false;
}

QJsonObject immediately()
{
    return QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")},
                       {QStringLiteral("requested_time"), QJsonValue::Null}};
}

bool isHttpUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
           && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

} // namespace

QUrl NmosClient::transportFileUrl(const QString &manifestHref)
{
    const QUrl href(bracketIpv6Host(manifestHref.trimmed()), QUrl::TolerantMode);
    return isHttpUrl(href) ? href : QUrl();
}

bool NmosClient::getManifest(const SenderGroup &sender, QString *sdp, QString *errorString)
{
    // The address comes from the node.
    const QUrl href = transportFileUrl(sender.manifestHref);
    if (href.isEmpty()) {
        if (!sender.manifestHref.isEmpty())
            qCWarning(lcNmos) << "Transport file address is not an http or https URL, not read:"
                              << sender.manifestHref;
        if (errorString)
            *errorString = QStringLiteral("Transport file address is not an http or https URL: %1").arg(sender.manifestHref);
        return false;
    }

    int status = 0;
    QString failure;
    const QString url = href.toString(QUrl::FullyEncoded);
    const QByteArray body = syncGet(manager, url, &status, &failure, sender.node);
    if (isAccepted(status) && !body.isEmpty()) {
        *sdp = QString::fromUtf8(body);
        return true;
    }
    if (errorString) {
        if (!failure.isEmpty())
            *errorString = failure;
        else if (!isAccepted(status))
            *errorString = QStringLiteral("HTTP %1 from %2").arg(status).arg(url);
        else
            *errorString = QStringLiteral("Empty transport file at %1").arg(url);
    }
    return false;
}

bool NmosClient::activateSender(const SenderGroup &sender, QString *errorString)
{
    // The body says what it activates: the sender switched on, now. An activation alone would
    // take whatever else is staged there, perhaps another controller's change in progress.
    const QJsonObject body{
        {QStringLiteral("master_enable"), true},
        {QStringLiteral("activation"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")}}},
    };
    int status = 0;
    QString errorText;
    QByteArray response;
    const QUrl url = patchUrl(stagedUrl(sender.node, QStringLiteral("/single/senders/"), sender.id));
    if (syncPatch(manager, url, body, &status, &errorText, &response, sender.node) && isAccepted(status))
        return true;
    // The callers only activate after the transport file could not be read, so the
    // operator is told about the file first, then why the sender would not start.
    if (errorString) {
        const QString reason = status == 0 || isAccepted(status) ? errorText : refusalText(status, response);
        *errorString = QStringLiteral("%1\nActivating the sender (master_enable true, immediately) failed: %2")
                           .arg(QLatin1String(SenderSdpFailure), reason);
    }
    return false;
}

bool NmosClient::connectParams(const SenderGroup &sender, const ReceiverGroup &receiver, QJsonObject *params,
                               QString *errorString, LegPatch *legs)
{
    // A receiver is never patched without a transport file: an empty one would be accepted
    // by many nodes and leave the receiver running on nothing.
    QString sdp;
    QString failure;
    if (!getManifest(sender, &sdp)) {
        if (!activateSender(sender, errorString))
            return false;
        if (!getManifest(sender, &sdp, &failure)) {
            if (errorString)
                *errorString = QStringLiteral("%1\n%2").arg(QLatin1String(SenderSdpFailure), failure);
            return false;
        }
    }
    *params = QJsonObject{
        {QStringLiteral("sender_id"), sender.id},
        {QStringLiteral("master_enable"), true},
        {QStringLiteral("transport_file"),
         QJsonObject{{QStringLiteral("data"), sdp}, {QStringLiteral("type"), QStringLiteral("application/sdp")}}},
    };
    const LegPatch patch = legPatch(receiver, sdp);
    if (!patch.params.isEmpty())
        params->insert(QStringLiteral("transport_params"), patch.params);
    if (legs)
        *legs = patch;
    return true;
}

QJsonObject NmosClient::disconnectParams()
{
    // A receiver whose transport file is cleared names no sender: one left naming its old
    // sender would tell every other controller that it still takes that stream.
    return QJsonObject{
        {QStringLiteral("sender_id"), QJsonValue::Null},
        {QStringLiteral("master_enable"), false},
        {QStringLiteral("transport_file"),
         QJsonObject{{QStringLiteral("data"), QJsonValue::Null}, {QStringLiteral("type"), QJsonValue::Null}}},
    };
}

bool NmosClient::connectReceiver(const SenderGroup &sender, const ReceiverGroup &receiver,
                                 QString *errorString, LegPatch *legs)
{
    QJsonObject body;
    if (!connectParams(sender, receiver, &body, errorString, legs))
        return false;
    body.insert(QStringLiteral("activation"), immediately());
    return patchReceiver(manager, receiver, body, errorString);
}

NmosClient::LegPatch NmosClient::legPatch(const ReceiverGroup &receiver, const QString &sdp)
{
    const QList<QJsonObject> senderLegs = RtpLegs::ofSdp(sdp);
    LegPatch patch;
    patch.senderLegs = qMax(1, senderLegs.size());
    if (senderLegs.isEmpty() || (senderLegs.size() == 1 && receiver.legs == 1))
        return patch;
    // A receiver takes exactly as many legs as its constraints list, which is what it
    // checks a patch against; its interface bindings should say the same, and are the
    // fallback for a node that does not answer.
    const QString url = connectionApiUrl(receiver.node, QStringLiteral("receivers"), receiver.id,
                                         QStringLiteral("/constraints"))
                            .toString(QUrl::FullyEncoded);
    int status = 0;
    const QJsonArray constraints =
        QJsonDocument::fromJson(syncGet(manager, url, &status, nullptr, receiver.node)).array();
    const int receiverLegs = isAccepted(status) && !constraints.isEmpty() ? constraints.size() : receiver.legs;
    // One leg fed by one needs nothing the transport file does not say.
    if (senderLegs.size() > 1 || receiverLegs > 1)
        patch.params = RtpLegs::receiverParams(senderLegs, receiverLegs, constraints);
    return patch;
}

bool NmosClient::disconnectReceiver(const ReceiverGroup &receiver, QString *errorString)
{
    QJsonObject body = disconnectParams();
    body.insert(QStringLiteral("activation"), immediately());
    return patchReceiver(manager, receiver, body, errorString);
}

void NmosClient::stageReceivers(const QList<StagedParams> &staged, QList<StageAnswer> *answers, bool *bulk)
{
    *answers = QList<StageAnswer>();
    if (bulk)
        *bulk = false;
    if (staged.isEmpty())
        return;
    const NodeEndpoint &device = staged.first().receiver.node;
    QJsonArray items;
    for (const StagedParams &change : staged)
        items.append(QJsonObject{{QStringLiteral("id"), change.receiver.id}, {QStringLiteral("params"), change.params}});
    int status = 0;
    QString failure;
    QByteArray response;
    const QUrl url = patchUrl(connectionUrl(device, QStringLiteral("/bulk/receivers")));
    const bool answered = syncPost(manager, url, items, &status, &failure, &response, device);
    if (status != 404 && status != 405 && status != 501) {
        if (bulk)
            *bulk = true;
        const QJsonArray results = QJsonDocument::fromJson(response).array();
        for (int i = 0; i < staged.size(); ++i) {
            const QString &id = staged.at(i).receiver.id;
            StageAnswer answer;
            if (status != 0 && !isAccepted(status)) {
                answer = {StageAnswer::Refused, refusalText(status, response)};
            } else if (!answered) {
                answer.reason = failure;
            } else {
                // A device answers in the order it was asked, which alone tells apart the
                // results of an id asked twice; by id where it answered otherwise.
                QJsonObject result = results.at(i).toObject();
                for (int k = 0; result.value(QLatin1String("id")).toString() != id && k < results.size(); ++k)
                    result = results.at(k).toObject();
                const QJsonValue code = result.value(QLatin1String("id")).toString() == id
                                            ? result.value(QLatin1String("code"))
                                            : QJsonValue();
                if (!code.isDouble())
                    answer.reason = QStringLiteral("Not in the device's answer to its bulk request");
                else if (isAccepted(code.toInt()))
                    answer.outcome = StageAnswer::Staged;
                else
                    answer = {StageAnswer::Refused, refusalText(code.toInt(), QJsonDocument(result).toJson())};
            }
            answers->append(answer);
        }
        return;
    }
    for (const StagedParams &change : staged) {
        StageAnswer answer;
        int patchStatus = 0;
        if (patchReceiver(manager, change.receiver, change.params, &answer.reason, &patchStatus))
            answer.outcome = StageAnswer::Staged;
        else if (patchStatus != 0 && !isAccepted(patchStatus))
            answer.outcome = StageAnswer::Refused;
        answers->append(answer);
    }
}

QNetworkReply *NmosClient::requestCancelActivation(const ReceiverGroup &receiver, QString *errorString)
{
    const QString target = stagedUrl(receiver.node, QStringLiteral("/single/receivers/"), receiver.id);
    if (target.isEmpty()) {
        if (errorString)
            *errorString = QStringLiteral("Receiver id \"%1\" cannot be used in a URL").arg(receiver.id);
        return nullptr;
    }
    QNetworkRequest request = nodeRequest(patchUrl(target), CloseConnection, receiver.node);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("activation"), QJsonObject{{QStringLiteral("mode"), QJsonValue::Null}}}};
    QNetworkReply *reply =
        manager->sendCustomRequest(request, QByteArrayLiteral("PATCH"), QJsonDocument(body).toJson(QJsonDocument::Compact));
    ReplyLimits::watch(reply);
    return reply;
}

bool NmosClient::patchAccepted(QNetworkReply *reply, QString *errorString)
{
    QString failure;
    const bool failed = ReplyLimits::failed(reply, &failure);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!failed && isAccepted(status))
        return true;
    if (errorString)
        *errorString = status != 0 && !isAccepted(status) ? refusalText(status, reply->readAll()) : failure;
    return false;
}

bool NmosClient::getReceiverSdp(const ReceiverGroup &receiver, QString *sdp)
{
    const QJsonObject staged =
        getJsonObject(stagedUrl(receiver.node, QStringLiteral("/single/receivers/"), receiver.id), nullptr, receiver.node);
    if (staged.isEmpty())
        return false;
    const QJsonValue data =
        staged.value(QLatin1String("transport_file")).toObject().value(QLatin1String("data"));
    if (data.isNull())
        return false;
    *sdp = data.toString();
    return true;
}

bool NmosClient::verifyConnected(const SenderGroup &sender, const ReceiverGroup &receiver, QString *errorString,
                                 const QJsonArray &legs)
{
    return checkActive(manager, receiver, true, sender.id, legs, errorString);
}

bool NmosClient::verifyDisconnected(const ReceiverGroup &receiver, QString *errorString)
{
    return checkActive(manager, receiver, false, QString(), QJsonArray(), errorString);
}

bool NmosClient::activeSender(const ReceiverGroup &receiver, bool *enabled, QString *senderId, QString *errorString)
{
    QJsonObject active;
    QString failure;
    if (!readActive(manager, receiver, &active, &failure)) {
        if (errorString)
            *errorString = failure;
        return false;
    }
    return activeState(active, enabled, senderId);
}

QNetworkReply *NmosClient::requestActiveSender(const ReceiverGroup &receiver, QString *errorString,
                                               ConnectionAfter after)
{
    const QUrl target = connectionApiUrl(receiver.node, QStringLiteral("receivers"), receiver.id, QStringLiteral("/active"));
    if (target.isEmpty()) {
        if (errorString)
            *errorString = QStringLiteral("No usable address for receiver %1").arg(receiver.id);
        return nullptr;
    }
    return ReplyLimits::get(manager, nodeRequest(target, after, receiver.node));
}

bool NmosClient::activeSenderOf(QNetworkReply *reply, bool *enabled, QString *senderId, QString *errorString,
                                QJsonArray *transportParams)
{
    QString failure;
    ReplyLimits::failed(reply, &failure);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QJsonObject active;
    if (!activeAnswer(reply->request().url().toString(), status, reply->readAll(), &active, &failure)) {
        if (errorString)
            *errorString = failure;
        return false;
    }
    if (transportParams)
        *transportParams = active.value(QLatin1String("transport_params")).toArray();
    return activeState(active, enabled, senderId);
}

bool NmosClient::parseActive(const QByteArray &answer, bool *enabled, QString *senderId)
{
    return activeState(QJsonDocument::fromJson(answer).object(), enabled, senderId);
}
