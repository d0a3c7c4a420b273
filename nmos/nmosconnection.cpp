#include "nmosclient.h"
#include "nmosclient_p.h"

#include <QJsonValue>
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

bool isHttpUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
           && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

} // namespace

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
