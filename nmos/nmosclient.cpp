#include "nmosclient.h"
#include "nmosclient_p.h"

#include "nmos/nmosresourcestore.h"
#include "net/authorizationsession.h"
#include "net/authorizingnetworkaccessmanager.h"
#include "net/replylimits.h"

#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

Q_LOGGING_CATEGORY(lcNmos, "ferrolink.nmos", QtInfoMsg)

namespace {

const char NodeApiBase[] = "%1://%2/x-nmos/node/%3";
// The requests of a registry endpoint go to the client's store, never to the network: the
// node's Node API address, as many registries hold it, does not answer a controller.
const char StoreScheme[] = "registry:";
const char ConnectionControlV11[] = "urn:x-nmos:control:sr-ctrl/v1.1";
const char ConnectionControlV10[] = "urn:x-nmos:control:sr-ctrl/v1.0";
const char ConnectionApiBase[] = "%1://%2/x-nmos/connection/v1.1";

// A record made anywhere but from discovery may carry no scheme, or a wrong one: only a
// node that asked for https gets it, everything else is asked over http as it always was.
QString schemeOf(const NmosClient::NodeEndpoint &node)
{
    return node.scheme == QLatin1String("https") ? node.scheme : QStringLiteral("http");
}

} // namespace

QString NmosPrivate::connectionUrl(const NmosClient::NodeEndpoint &node, const QString &path)
{
    if (!node.connectionApi.isEmpty()) {
        QString base = node.connectionApi;
        while (base.endsWith(QLatin1Char('/')))
            base.chop(1);
        return base + path;
    }
    return QString::fromLatin1(ConnectionApiBase).arg(schemeOf(node), node.address) + path;
}

namespace {

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

} // namespace

namespace NmosPrivate {

QString nodeUrl(const NmosClient::NodeEndpoint &node, const QString &path)
{
    if (!node.registryNodeId.isEmpty()) {
        QString segment;
        return idSegment(node.registryNodeId, &segment) ? QLatin1String(StoreScheme) + segment + path : QString();
    }
    // The version comes from a node's announcement: only a well-formed one goes into a path.
    static const QRegularExpression versionPattern(QStringLiteral("^v\\d{1,4}\\.\\d{1,4}$"));
    const QString version = versionPattern.match(node.nodeApiVersion).hasMatch() ? node.nodeApiVersion
                                                                               : QStringLiteral("v1.3");
    return QString::fromLatin1(NodeApiBase).arg(schemeOf(node), node.address, version) + path;
}

QString nodeResourceUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id)
{
    const QString path = resourcePath(collection, id);
    return path.isEmpty() ? QString() : nodeUrl(node, path);
}

QString stagedUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id)
{
    const QString path = resourcePath(collection, id, QStringLiteral("/staged"));
    return path.isEmpty() ? QString() : connectionUrl(node, path);
}

QString activeUrl(const NmosClient::NodeEndpoint &node, const QString &collection, const QString &id)
{
    const QString path = resourcePath(collection, id, QStringLiteral("/active"));
    return path.isEmpty() ? QString() : connectionUrl(node, path);
}

bool isAccepted(int status)
{
    return status / 100 == 2;
}

} // namespace NmosPrivate

using namespace NmosPrivate;

namespace {

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

// Waits in a nested event loop until the reply, watched by ReplyLimits, has finished or
// broken one of the limits that every request to a node is held to. Returns false with the
// reason in *failure when the request failed for any cause.
bool waitForReply(QNetworkReply *reply, QString *failure)
{
    // A reply can be finished already (for example a refused URL); quit() before exec()
    // would be lost and the loop would never return.
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return !ReplyLimits::failed(reply, failure);
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Whether a failed request provably never reached the node: refused, or its connection
// closed or failed before any byte of an answer (a connection the node was closing as the
// request went out). Only such a request is sent once more; one the node may have acted on,
// or that timed out while it worked, is not.
bool neverReached(const QNetworkReply *reply)
{
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() || reply->bytesAvailable() > 0)
        return false;
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

// The text of a request that failed without an answer names the request and the node, and
// says what happened in words rather than the network layer's "Unknown error".
QString unansweredText(const QByteArray &verb, const QNetworkReply *reply, const QString &reason)
{
    QString happened = reason;
    if (reply->error() == QNetworkReply::RemoteHostClosedError)
        happened = QStringLiteral("the node closed the connection before answering");
    else if (reply->error() == QNetworkReply::UnknownNetworkError)
        happened = QStringLiteral("the connection failed before any answer (%1)").arg(reason);
    return QStringLiteral("%1 %2: %3, tried twice")
        .arg(QString::fromLatin1(verb), reply->url().toString(QUrl::RemoveUserInfo), happened);
}

// Sends a request by send() and waits for it, sending it once more on a fresh connection
// when the first provably never reached the node. The reply returned is the caller's to
// delete; false, with the reason, when the request failed.
// Waits for the session's token to be renewed after an API refused it with 401; false when
// no renewal could be started or none came.
bool renewedToken(QNetworkAccessManager *manager)
{
    const auto *authorizing = qobject_cast<AuthorizingNetworkAccessManager *>(manager);
    AuthorizationSession *session = authorizing ? authorizing->session() : nullptr;
    if (!session || !session->refreshNow())
        return false;
    QEventLoop loop;
    QTimer::singleShot(ReplyLimits::transferTimeoutMs(), &loop, &QEventLoop::quit);
    QObject::connect(session, &AuthorizationSession::tokenChanged, &loop, &QEventLoop::quit);
    loop.exec();
    return session->hasToken();
}

template<typename Send>
bool sendAndWait(QNetworkAccessManager *manager, const QByteArray &verb, Send send, QNetworkReply **reply,
                 QString *failure)
{
    *reply = send();
    bool ok = waitForReply(*reply, failure);
    // A token refused with 401 is renewed once and the request sent once more with the new one.
    if (!ok && statusOf(*reply) == 401 && renewedToken(manager)) {
        (*reply)->deleteLater();
        failure->clear();
        *reply = send();
        ok = waitForReply(*reply, failure);
    }
    if (ok)
        return true;
    if (!neverReached(*reply))
        return false;
    qCDebug(lcNmos).noquote() << QStringLiteral("%1 %2 never reached the node (%3): sent once more")
                                     .arg(QString::fromLatin1(verb), (*reply)->url().toString(QUrl::RemoveUserInfo), *failure);
    (*reply)->deleteLater();
    // The connections kept for this node may be the ones closing under the request.
    manager->clearConnectionCache();
    failure->clear();
    *reply = send();
    if (waitForReply(*reply, failure))
        return true;
    if (neverReached(*reply))
        *failure = unansweredText(verb, *reply, *failure);
    return false;
}

} // namespace

NmosClient::NmosClient(QObject *parent)
    : QObject(parent)
    , manager(new AuthorizingNetworkAccessManager(nullptr, this))
    , m_ownManager(static_cast<AuthorizingNetworkAccessManager *>(manager))
{
}

void NmosClient::setAuthorization(AuthorizationSession *session)
{
    if (m_ownManager)
        m_ownManager->setSession(session);
}

NmosClient::NmosClient(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , manager(manager)
{
}

QNetworkRequest NmosClient::nodeRequest(const QUrl &url, ConnectionAfter after, const NodeEndpoint &node)
{
    QNetworkRequest request(url);
    if (after == CloseConnection)
        request.setRawHeader("Connection", "close");
    // Only a request to the address the name was announced at is checked against it: a
    // device's Connection API or a transport file elsewhere names its own host.
    const QUrl nodeAddress(bracketIpv6Host(QStringLiteral("https://") + node.address), QUrl::TolerantMode);
    if (!node.tlsName.isEmpty() && url.scheme() == QLatin1String("https")
        && url.host().compare(nodeAddress.host(), Qt::CaseInsensitive) == 0)
        request.setPeerVerifyName(node.tlsName);
    return request;
}

QByteArray NmosClient::syncGet(QNetworkAccessManager *manager, const QString &url, int *status,
                               QString *errorString, const NodeEndpoint &node)
{
    const QUrl target = QUrl::fromUserInput(bracketIpv6Host(url));
    if (!target.isValid()) {
        if (errorString)
            *errorString = QStringLiteral("Invalid URL: %1").arg(url);
        return QByteArray();
    }

    QNetworkReply *reply = nullptr;
    QByteArray body;
    QString failure;
    const auto send = [manager, &target, &node] { return ReplyLimits::get(manager, nodeRequest(target, CloseConnection, node)); };
    if (sendAndWait(manager, QByteArrayLiteral("GET"), send, &reply, &failure)) {
        body = reply->readAll();
        if (status)
            *status = statusOf(reply);
    } else if (errorString) {
        *errorString = failure;
    }
    reply->deleteLater();
    return body;
}

namespace {

bool sendJson(QNetworkAccessManager *manager, const QByteArray &verb, const QUrl &url, const QByteArray &payload,
              int *status, QString *errorString, QByteArray *response, const NmosClient::NodeEndpoint &node)
{
    if (!url.isValid()) {
        if (errorString)
            *errorString = QStringLiteral("Invalid URL: %1").arg(url.errorString());
        if (status)
            *status = 0;
        return false;
    }

    QNetworkRequest request = NmosClient::nodeRequest(url, NmosClient::CloseConnection, node);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const auto send = [manager, &request, &verb, &payload] {
        QNetworkReply *reply = manager->sendCustomRequest(request, verb, payload);
        ReplyLimits::watch(reply);
        return reply;
    };
    QNetworkReply *reply = nullptr;
    QString failure;
    const bool ok = sendAndWait(manager, verb, send, &reply, &failure);
    if (!ok && errorString)
        *errorString = failure;
    if (status)
        *status = statusOf(reply);
    if (response)
        *response = reply->readAll();
    reply->deleteLater();
    return ok;
}

} // namespace

bool NmosClient::syncPatch(QNetworkAccessManager *manager, const QUrl &url, const QJsonObject &body,
                           int *status, QString *errorString, QByteArray *response, const NodeEndpoint &node)
{
    return sendJson(manager, QByteArrayLiteral("PATCH"), url, QJsonDocument(body).toJson(QJsonDocument::Compact), status,
                    errorString, response, node);
}

bool NmosClient::syncPost(QNetworkAccessManager *manager, const QUrl &url, const QJsonArray &body, int *status,
                          QString *errorString, QByteArray *response, const NodeEndpoint &node)
{
    return sendJson(manager, QByteArrayLiteral("POST"), url, QJsonDocument(body).toJson(QJsonDocument::Compact), status,
                    errorString, response, node);
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

QUrl NmosClient::connectionApiUrl(const NodeEndpoint &node, const QString &collection, const QString &id,
                                  const QString &tail)
{
    if (id.isEmpty())
        return QUrl();
    const QString path = resourcePath(QStringLiteral("/single/%1/").arg(collection), id, tail);
    if (path.isEmpty())
        return QUrl();
    const QUrl url(bracketIpv6Host(connectionUrl(node, path)), QUrl::TolerantMode);
    const bool web = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    return web && url.isValid() ? url : QUrl();
}

bool NmosClient::addTrustedAuthorities(const QString &pemFile, QString *errorString)
{
    QFile file(pemFile);
    if (!file.open(QIODevice::ReadOnly)) {
        if (errorString)
            *errorString = QStringLiteral("cannot read %1: %2").arg(pemFile, file.errorString());
        return false;
    }
    const QList<QSslCertificate> authorities = QSslCertificate::fromDevice(&file, QSsl::Pem);
    if (authorities.isEmpty()) {
        if (errorString)
            *errorString = QStringLiteral("%1 holds no PEM certificate").arg(pemFile);
        return false;
    }
    // Given as a whole list, so the system's authorities are stated with the file's: adding
    // to the default would stop the network layer from loading the system's on demand.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

QJsonDocument NmosClient::getJson(const QString &url, QString *errorString, const NodeEndpoint &node)
{
    QJsonValue stored;
    if (readStore(url, &stored)) {
        if (stored.isArray())
            return QJsonDocument(stored.toArray());
        if (stored.isObject() && !stored.toObject().isEmpty())
            return QJsonDocument(stored.toObject());
        if (errorString)
            *errorString = QStringLiteral("The registry holds nothing at %1").arg(url);
        return QJsonDocument();
    }
    int status = 0;
    QString errorText;
    const QByteArray body = syncGet(manager, url, &status, &errorText, node);
    if (!isAccepted(status)) {
        if (errorText.isEmpty())
            errorText = QStringLiteral("HTTP %1 from %2").arg(status).arg(url);
        qWarning() << "Unable to connect:" << errorText;
        if (errorString)
            *errorString = errorText;
        return QJsonDocument();
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError && errorString)
        *errorString = QStringLiteral("No JSON in the answer from %1").arg(url);
    return document;
}

QJsonArray NmosClient::getJsonArray(const QString &url, QString *errorString, const NodeEndpoint &node)
{
    const QJsonDocument document = getJson(url, errorString, node);
    if (!document.isArray() && !document.isNull() && errorString)
        *errorString = QStringLiteral("No list in the answer from %1").arg(url);
    return document.array();
}

QJsonObject NmosClient::getJsonObject(const QString &url, QString *errorString, const NodeEndpoint &node)
{
    const QJsonDocument document = getJson(url, errorString, node);
    if (!document.isObject() && !document.isNull() && errorString)
        *errorString = QStringLiteral("No object in the answer from %1").arg(url);
    return document.object();
}

// Serves the URLs nodeUrl and nodeResourceUrl make for a registry endpoint:
// "registry:<node>/<type>/" is that node's collection, "registry:<node>/<type>/<id>" one
// resource of it; a resource of another node is not found. False for any other URL.
bool NmosClient::readStore(const QString &url, QJsonValue *value) const
{
    if (!url.startsWith(QLatin1String(StoreScheme)))
        return false;
    const QStringList parts = url.mid(int(qstrlen(StoreScheme))).split(QLatin1Char('/'));
    if (!m_store || parts.size() != 3) {
        qCWarning(lcNmos) << "No registry data for" << url;
        *value = QJsonValue();
        return true;
    }
    const QString nodeId = QUrl::fromPercentEncoding(parts.at(0).toUtf8());
    const QString type = parts.at(1);
    const QString id = QUrl::fromPercentEncoding(parts.at(2).toUtf8());
    if (id.isEmpty())
        *value = m_store->collection(type, nodeId);
    else if (m_store->nodeOf(type, id) == nodeId)
        *value = m_store->resource(type, id);
    else
        *value = QJsonValue();
    return true;
}

bool NmosClient::connectionApiOf(const QJsonObject &device, QString *base, QString *errorString)
{
    const QJsonArray controls = device.value(QLatin1String("controls")).toArray();
    if (controls.isEmpty()) {
        base->clear();
        return true;
    }
    QString reason = QStringLiteral("device %1 lists no IS-05 control")
                         .arg(device.value(QLatin1String("id")).toString());
    for (const char *type : {ConnectionControlV11, ConnectionControlV10}) {
        for (const QJsonValue &value : controls) {
            const QJsonObject control = value.toObject();
            if (control.value(QLatin1String("type")).toString() != QLatin1String(type))
                continue;
            const QString href = control.value(QLatin1String("href")).toString().trimmed();
            const QUrl url(bracketIpv6Host(href), QUrl::StrictMode);
            if (!url.isValid() || url.host().isEmpty()
                || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
                reason = QStringLiteral("device %1 has the unusable IS-05 control %2")
                             .arg(device.value(QLatin1String("id")).toString(), href);
                continue;
            }
            *base = url.adjusted(QUrl::StripTrailingSlash | QUrl::RemoveQuery | QUrl::RemoveFragment)
                        .toString(QUrl::FullyEncoded);
            return true;
        }
    }
    if (errorString)
        *errorString = reason;
    return false;
}

namespace {

template<typename Record>
QList<Record> keepPatchable(QList<Record> records, const QJsonArray &resources, const QJsonArray &devices,
                            QStringList *refusals)
{
    QHash<QString, QString> deviceOf;
    for (const QJsonValue &value : resources)
        deviceOf.insert(value[QLatin1String("id")].toString(), value[QLatin1String("device_id")].toString());
    QHash<QString, QJsonObject> byId;
    for (const QJsonValue &value : devices)
        byId.insert(value[QLatin1String("id")].toString(), value.toObject());
    for (auto it = records.begin(); it != records.end();) {
        QString reason;
        if (NmosClient::connectionApiOf(byId.value(deviceOf.value(it->id)), &it->node.connectionApi, &reason)) {
            ++it;
            continue;
        }
        if (refusals)
            refusals->append(reason);
        it = records.erase(it);
    }
    return records;
}

} // namespace

QList<NmosClient::SenderConnection> NmosClient::withDeviceControls(const QList<SenderConnection> &records,
                                                                  const QJsonArray &resources,
                                                                  const QJsonArray &devices, QStringList *refusals)
{
    return keepPatchable(records, resources, devices, refusals);
}

QList<NmosClient::ReceiverConnection> NmosClient::withDeviceControls(const QList<ReceiverConnection> &records,
                                                                    const QJsonArray &resources,
                                                                    const QJsonArray &devices, QStringList *refusals)
{
    return keepPatchable(records, resources, devices, refusals);
}
