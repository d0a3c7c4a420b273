#include "queryapireader.h"

#include "discovery/logging_p.h"
#include "net/replylimits.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcRegistry, "ferrolink.registry", QtInfoMsg)

namespace {

// The target of the rel="next" entry of an RFC 8288 Link header, resolved against the
// page it came with; empty when there is none.
QUrl nextLink(const QByteArray &header, const QUrl &page)
{
    static const QRegularExpression entry(QStringLiteral("<([^>]*)>\\s*;[^,]*rel=\"?next\"?"));
    const QRegularExpressionMatch match = entry.match(QString::fromLatin1(header));
    return match.hasMatch() ? page.resolved(QUrl(match.captured(1))) : QUrl();
}

bool isHttp(const QUrl &url)
{
    return url.isValid() && !url.host().isEmpty()
           && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

QJsonDocument parse(const QByteArray &data, QString *errorString)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        *errorString = error.errorString();
    return document;
}

} // namespace

QueryApiReader::QueryApiReader(const QUrl &base, QObject *parent)
    : QObject(parent)
    , m_base(base.adjusted(QUrl::StripTrailingSlash))
{
    m_poll.setInterval(DefaultPollIntervalMs);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        // A slow registry must not have reads of its own pile up.
        if (!m_reading)
            readPage(firstPage(), 1);
    });
}

QueryApiReader::~QueryApiReader()
{
    // The socket's own teardown must not report into a reader that is going away.
    if (m_socket)
        m_socket->disconnect(this);
}

void QueryApiReader::start()
{
    readPage(firstPage(), 1);
}

QUrl QueryApiReader::firstPage() const
{
    // Creation order from the start of the collection is the one order in which following
    // "next" is sure to visit every node once.
    QUrl url = m_base;
    url.setPath(m_base.path() + QStringLiteral("/nodes/"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("paging.order"), QStringLiteral("create"));
    query.addQueryItem(QStringLiteral("paging.since"), QStringLiteral("0:0"));
    query.addQueryItem(QStringLiteral("paging.limit"), QString::number(PageLimit));
    url.setQuery(query);
    return url;
}

QNetworkReply *QueryApiReader::send(QNetworkReply *reply)
{
    // A registry is held to the limits a node is held to.
    ReplyLimits::watch(reply);
    return reply;
}

void QueryApiReader::readPage(const QUrl &url, int page)
{
    if (m_failed)
        return;
    m_reading = true;
    QNetworkRequest request(url);
    QNetworkReply *reply = send(m_nam.get(request));
    connect(reply, &QNetworkReply::finished, this, [this, reply, page] { finishPage(reply, page); });
}

void QueryApiReader::finishPage(QNetworkReply *reply, int page)
{
    reply->deleteLater();
    if (m_failed)
        return;
    QString reason;
    if (ReplyLimits::failed(reply, &reason)) {
        fail(QStringLiteral("GET %1 failed: %2").arg(reply->url().toString(), reason));
        return;
    }
    QString parseError;
    const QJsonDocument document = parse(reply->readAll(), &parseError);
    if (!document.isArray()) {
        fail(QStringLiteral("GET %1 did not answer with a list of nodes %2")
                 .arg(reply->url().toString(), parseError));
        return;
    }
    const QJsonArray nodes = document.array();
    for (const QJsonValue &node : nodes)
        takeNode(node);
    m_reading = false;

    // Without X-Paging-Limit the registry does not page: this was the whole collection.
    bool paged = false;
    const int limit = reply->rawHeader("X-Paging-Limit").toInt(&paged);
    const QUrl next = nextLink(reply->rawHeader("Link"), reply->url());
    if (paged && limit > 0 && nodes.size() >= limit && isHttp(next) && next != reply->url()) {
        if (page < MaxPages) {
            readPage(next, page + 1);
            return;
        }
        qCWarning(lcRegistry) << "Stopped reading" << m_base.toString() << "after" << MaxPages << "pages";
    }
    if (!m_subscribed && !m_poll.isActive())
        subscribe();
}

void QueryApiReader::subscribe()
{
    QUrl url = m_base;
    url.setPath(m_base.path() + QStringLiteral("/subscriptions"));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("max_update_rate_ms"), 100},
                           {QStringLiteral("persist"), false},
                           {QStringLiteral("secure"), m_base.scheme() == QLatin1String("https")},
                           {QStringLiteral("resource_path"), QStringLiteral("/nodes")},
                           {QStringLiteral("params"), QJsonObject()},
                           {QStringLiteral("authorization"), false}};
    QNetworkReply *reply = send(m_nam.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)));
    m_subscribed = true;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishSubscription(reply); });
}

void QueryApiReader::finishSubscription(QNetworkReply *reply)
{
    reply->deleteLater();
    if (m_failed)
        return;
    QString reason;
    if (ReplyLimits::failed(reply, &reason)) {
        startPolling(QStringLiteral("POST %1 failed: %2").arg(reply->url().toString(), reason));
        return;
    }
    QString parseError;
    const QUrl href(parse(reply->readAll(), &parseError).object().value(QLatin1String("ws_href")).toString());
    const QString scheme = href.scheme();
    if (!href.isValid() || href.host().isEmpty()
        || (scheme != QLatin1String("ws") && scheme != QLatin1String("wss"))) {
        startPolling(QStringLiteral("the subscription has no WebSocket address %1").arg(parseError));
        return;
    }
    openWebSocket(href);
}

void QueryApiReader::openWebSocket(const QUrl &href)
{
    m_socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    m_socket->setMaxAllowedIncomingMessageSize(ReplyLimits::MaxReplySize);
    m_socket->setMaxAllowedIncomingFrameSize(ReplyLimits::MaxReplySize);
    connect(m_socket, &QWebSocket::textMessageReceived, this, &QueryApiReader::readMessage);
    // A socket that never opens reports an error and then a disconnection; either one ends it.
    connect(m_socket, &QWebSocket::disconnected, this, &QueryApiReader::dropWebSocket);
    connect(m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &QueryApiReader::dropWebSocket);
    qCDebug(lcRegistry) << "Subscribing to the nodes of" << m_base.toString() << "at" << href.toString();
    m_socket->open(href);
}

void QueryApiReader::dropWebSocket()
{
    if (!m_socket)
        return;
    const QString reason = m_socket->errorString();
    m_socket->disconnect(this);
    m_socket->deleteLater();
    m_socket = nullptr;
    startPolling(QStringLiteral("the WebSocket closed: %1").arg(reason));
}

void QueryApiReader::readMessage(const QString &message)
{
    QString parseError;
    const QJsonValue data = parse(message.toUtf8(), &parseError)
                                .object()
                                .value(QLatin1String("grain"))
                                .toObject()
                                .value(QLatin1String("data"));
    if (!data.isArray()) {
        qCWarning(lcRegistry) << "Ignored a WebSocket message from" << m_base.toString()
                              << "that is no grain of events" << parseError;
        return;
    }
    // An event without "post" is a node that left; the lists keep what they have shown.
    for (const QJsonValue &event : data.toArray()) {
        const QJsonValue post = event.toObject().value(QLatin1String("post"));
        if (post.isObject())
            takeNode(post);
    }
}

void QueryApiReader::startPolling(const QString &why)
{
    if (m_failed || m_poll.isActive())
        return;
    qCWarning(lcRegistry).noquote() << "No WebSocket subscription at" << m_base.toString() << "(" + why + "),"
                                    << "reading the nodes every" << m_poll.interval() / 1000.0 << "s instead";
    m_poll.start();
}

void QueryApiReader::takeNode(const QJsonValue &value)
{
    const QJsonObject node = value.toObject();
    const QJsonValue id = node.value(QLatin1String("id"));
    const QJsonValue version = node.value(QLatin1String("version"));
    if (!id.isString() || !version.isString()) {
        qCWarning(lcRegistry) << "Ignored a node without id or version from" << m_base.toString();
        return;
    }
    emit nodeRead(node);
}

void QueryApiReader::fail(const QString &errorString)
{
    if (m_failed)
        return;
    m_failed = true;
    m_poll.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    qCWarning(lcRegistry).noquote() << errorString;
    emit failed(errorString);
}
