#include "simregistry.h"

#include "simhttpserver.h"
#include "simtokencheck.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QTimer>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QUrlQuery>
#include <QUuid>
#include <QWebSocket>
#include <QWebSocketServer>

#include <httplib.h>

#include <algorithm>

namespace {

const char QueryBase[] = "/x-nmos/query/v1.3";
const QStringList Collections{QStringLiteral("nodes"), QStringLiteral("devices"), QStringLiteral("sources"),
                              QStringLiteral("flows"), QStringLiteral("senders"), QStringLiteral("receivers")};

QString newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// The number before the ":" of a "<seconds>:<nanoseconds>" cursor; fallback when absent.
int cursor(const httplib::Request &request, const char *name, int fallback)
{
    if (!request.has_param(name))
        return fallback;
    return QString::fromStdString(request.get_param_value(name)).section(QLatin1Char(':'), 0, 0).toInt();
}

void answer(httplib::Response &response, int status, const QJsonValue &body)
{
    response.status = status;
    const QJsonDocument document = body.isArray() ? QJsonDocument(body.toArray()) : QJsonDocument(body.toObject());
    response.set_content(document.toJson(QJsonDocument::Compact).toStdString(), "application/json");
}

} // namespace

// Hands out the connections of the subscriptions' WebSocket, over TLS when secure, before
// anything is read from them.
class HandshakeListener : public QTcpServer
{
    Q_OBJECT

public:
    HandshakeListener(bool secure, const QSslConfiguration &configuration, QObject *parent)
        : QTcpServer(parent)
        , m_secure(secure)
        , m_configuration(configuration)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!m_secure) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSslConfiguration(m_configuration);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    const bool m_secure;
    const QSslConfiguration m_configuration;
};

SimRegistry::SimRegistry(const QString &bindAddress, int port, bool webSocket, QObject *parent)
    : QObject(parent)
    , m_bindAddress(bindAddress)
    , m_port(port)
    , m_webSocket(webSocket)
    , m_flush(new QTimer(this))
{
    // The max_update_rate_ms every subscription is answered with.
    m_flush->setInterval(100);
    m_flush->setSingleShot(true);
    connect(m_flush, &QTimer::timeout, this, &SimRegistry::flushEvents);
}

SimRegistry::~SimRegistry()
{
    if (m_server)
        m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool SimRegistry::start(QString *errorString)
{
    m_server = SimHttpServer::makeServer(m_tlsCertificate, m_tlsKey, errorString);
    if (!m_server)
        return false;
    m_server->set_keep_alive_max_count(1);
    auto handler = [this](const httplib::Request &request, httplib::Response &response) { serve(request, response); };
    m_server->Get(".*", handler);
    m_server->Post(".*", handler);
    if (!SimHttpServer::bindServer(m_server.get(), m_bindAddress, &m_port) || !startWebSocketServer()) {
        if (errorString)
            *errorString = QStringLiteral("cannot serve the registry on %1 port %2").arg(m_bindAddress).arg(m_port);
        return false;
    }
    connect(m_sockets, &QWebSocketServer::newConnection, this, &SimRegistry::acceptSubscriber);
    httplib::Server *raw = m_server.get();
    m_thread = std::thread([raw] { raw->listen_after_bind(); });
    return true;
}

bool SimRegistry::startWebSocketServer()
{
    const bool secure = !m_tlsCertificate.isEmpty();
    m_sockets = new QWebSocketServer(QStringLiteral("nmos-simnode"),
                                     secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (secure) {
        QFile keyFile(m_tlsKey);
        const QByteArray pem = keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray();
        QSslKey key(pem, QSsl::Rsa);
        if (key.isNull())
            key = QSslKey(pem, QSsl::Ec);
        configuration.setLocalCertificateChain(QSslCertificate::fromPath(m_tlsCertificate));
        configuration.setPrivateKey(key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (key.isNull() || configuration.localCertificateChain().isEmpty())
            return false;
    }
    // The handshake is read here first, so that one without a token that allows it is
    // answered 401 or 403 and never upgraded.
    m_listener = new HandshakeListener(secure, configuration, this);
    connect(m_listener, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { screenHandshake(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return m_listener->listen(QHostAddress(m_bindAddress));
}

void SimRegistry::screenHandshake(QTcpSocket *socket)
{
    const int limit = 16384;
    const QByteArray head = socket->peek(limit);
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() >= limit)
            socket->abort();
        return;
    }
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    const QList<QByteArray> lines = head.left(end).split('\n');
    const QUrl url = QUrl::fromEncoded(lines.first().split(' ').value(1));
    QByteArray authorization;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("authorization:"))
            authorization = line.mid(int(qstrlen("authorization:"))).trimmed();
    }
    // Where a browser cannot set the header, the token comes in the query.
    const QUrlQuery query(url);
    if (authorization.isEmpty() && query.hasQueryItem(QStringLiteral("access_token")))
        authorization = "Bearer " + query.queryItemValue(QStringLiteral("access_token"), QUrl::FullyDecoded).toLatin1();
    QMutexLocker lock(&m_mutex);
    const QString type = m_subscriptions.value(url.path().section(QLatin1Char('/'), -2, -2));
    lock.unlock();
    // The token must allow reading the collection subscribed to, whatever the address.
    SimTokenRefusal refusal;
    if (!m_tokenCheck || type.isEmpty()
        || m_tokenCheck->allows("GET", QStringLiteral("%1/%2/").arg(QLatin1String(QueryBase), type), authorization, &refusal)) {
        // From here on the WebSocket owns the connection.
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        m_sockets->handleConnection(socket);
        return;
    }
    const QByteArray body = refusal.body();
    socket->write("HTTP/1.1 " + QByteArray::number(refusal.status) + (refusal.status == 401 ? " Unauthorized" : " Forbidden")
                  + "\r\nWWW-Authenticate: " + refusal.challenge(m_tokenCheck->realm())
                  + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
                  + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
    qInfo().noquote() << QStringLiteral("registry WebSocket %1 %2").arg(url.path()).arg(refusal.status);
}

void SimRegistry::putResource(const QString &type, const QJsonObject &resource)
{
    const QString id = resource.value(QLatin1String("id")).toString();
    QJsonObject event{{QStringLiteral("path"), id}, {QStringLiteral("post"), resource}};
    {
        QMutexLocker lock(&m_mutex);
        QList<Entry> &entries = m_collections[type];
        QHash<QString, int> &positions = m_positions[type];
        const auto position = positions.constFind(id);
        Entry *entry = position == positions.constEnd() ? nullptr : &entries[*position];
        if (!entry) {
            positions.insert(id, entries.size());
            entries << Entry{++m_lastCreated, resource};
        } else if (entry->resource == resource) {
            return;
        } else {
            event.insert(QStringLiteral("pre"), entry->resource);
            entry->resource = resource;
        }
    }
    // The subscribers live on the thread that owns the WebSocket server.
    QMetaObject::invokeMethod(this, [this, type, event] {
        m_events[type] << event;
        if (!m_flush->isActive())
            m_flush->start();
    }, Qt::QueuedConnection);
}

void SimRegistry::flushEvents()
{
    for (auto events = m_events.constBegin(); events != m_events.constEnd(); ++events) {
        for (auto it = m_subscribers.constBegin(); it != m_subscribers.constEnd(); ++it) {
            if (it.value() == events.key())
                sendGrain(it.key(), events.key(), events.value());
        }
    }
    m_events.clear();
}

void SimRegistry::forget()
{
    {
        QMutexLocker lock(&m_mutex);
        m_collections.clear();
        m_positions.clear();
        m_subscriptions.clear();
    }
    const QList<QWebSocket *> sockets = m_subscribers.keys();
    m_subscribers.clear();
    m_events.clear();
    for (QWebSocket *socket : sockets) {
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("restarting"));
        socket->deleteLater();
    }
    qInfo().noquote() << "registry restarted: it holds nothing";
}

void SimRegistry::serve(const httplib::Request &request, httplib::Response &response)
{
    const QString path = QString::fromStdString(request.path);
    const QString query = QLatin1String(QueryBase);
    const QString collection = path.mid(query.size() + 1).section(QLatin1Char('/'), 0, 0);
    SimTokenRefusal refusal;
    if (m_tokenCheck
        && !m_tokenCheck->allows(QByteArray::fromStdString(request.method), path,
                                 QByteArray::fromStdString(request.get_header_value("Authorization")), &refusal)) {
        response.set_header("WWW-Authenticate", refusal.challenge(m_tokenCheck->realm()).toStdString());
        response.status = refusal.status;
        response.set_content(refusal.body().toStdString(), "application/json");
        qInfo().noquote() << QStringLiteral("registry %1 %2 %3").arg(QString::fromStdString(request.method), path).arg(response.status);
        return;
    }
    const bool collectionPath = path.startsWith(query + QLatin1Char('/'))
                                && (path == query + QLatin1Char('/') + collection
                                    || path == query + QLatin1Char('/') + collection + QLatin1Char('/'));
    if (request.method == "GET" && (path == QLatin1String("/x-nmos/query") || path == QLatin1String("/x-nmos/query/"))) {
        answer(response, 200, QJsonArray{QStringLiteral("v1.3/")});
    } else if (request.method == "GET" && collectionPath && Collections.contains(collection)) {
        serveCollection(collection, request, response);
    } else if (request.method == "POST" && collectionPath && collection == QLatin1String("subscriptions")) {
        const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
        const QJsonObject subscription = subscribe(body);
        if (subscription.isEmpty())
            answer(response, 400, QJsonObject{{QStringLiteral("code"), 400},
                                              {QStringLiteral("error"), QStringLiteral("no such resource_path")}});
        else
            answer(response, 201, subscription);
    } else if (request.method == "POST" && path == QLatin1String("/x-nmos/registration/v1.3/resource")) {
        const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
        const QString type = body.value(QLatin1String("type")).toString() + QLatin1Char('s');
        const QJsonObject resource = body.value(QLatin1String("data")).toObject();
        if (!Collections.contains(type) || !resource.value(QLatin1String("id")).isString()) {
            answer(response, 400, QJsonObject{{QStringLiteral("code"), 400},
                                              {QStringLiteral("error"), QStringLiteral("no resource of a known type")}});
        } else {
            putResource(type, resource);
            answer(response, 201, resource);
        }
    } else {
        answer(response, 404, QJsonObject{{QStringLiteral("code"), 404}, {QStringLiteral("error"), QStringLiteral("Not found")}});
    }
    qInfo().noquote() << QStringLiteral("registry %1 %2 %3").arg(QString::fromStdString(request.method), path).arg(response.status);
}

// IS-04 paging on the creation cursor only: "since" wins over "until", no cursors at all
// means the newest resources.
void SimRegistry::serveCollection(const QString &type, const httplib::Request &request, httplib::Response &response)
{
    QMutexLocker lock(&m_mutex);
    int limit = m_pageLimit;
    if (request.has_param("paging.limit"))
        limit = qBound(1, QString::fromStdString(request.get_param_value("paging.limit")).toInt(), m_pageLimit);
    const bool hasSince = request.has_param("paging.since");
    int since = cursor(request, "paging.since", 0);
    int until = cursor(request, "paging.until", m_lastCreated);
    const QList<Entry> &entries = m_collections[type];
    const auto createdBefore = [](const Entry &entry, int created) { return entry.created < created; };
    const auto first = std::lower_bound(entries.begin(), entries.end(), since + 1, createdBefore);
    const auto last = std::lower_bound(first, entries.end(), until + 1, createdBefore);
    QList<Entry> inRange;
    inRange.reserve(qMin(int(last - first), limit + 1));
    if (hasSince) {
        for (auto it = first; it != last && inRange.size() <= limit; ++it)
            inRange << *it;
    } else {
        for (auto it = last - qMin(int(last - first), limit + 1); it != last; ++it)
            inRange << *it;
    }
    if (inRange.size() > limit) {
        inRange = hasSince ? inRange.mid(0, limit) : inRange.mid(inRange.size() - limit);
        if (hasSince)
            until = inRange.last().created;
        else
            since = inRange.first().created - 1;
    }
    QJsonArray resources;
    for (const Entry &entry : qAsConst(inRange))
        resources << entry.resource;
    const std::string base = scheme().toStdString() + "://" + request.get_header_value("Host") + QueryBase + "/" + type.toStdString()
                             + "/?paging.order=create&";
    const std::string tail = ":0&paging.limit=" + std::to_string(limit);
    response.set_header("Link", "<" + base + "paging.since=" + std::to_string(until) + tail + ">; rel=\"next\", <"
                                    + base + "paging.until=" + std::to_string(since) + tail + ">; rel=\"prev\"");
    response.set_header("X-Paging-Limit", std::to_string(limit));
    response.set_header("X-Paging-Since", std::to_string(since) + ":0");
    response.set_header("X-Paging-Until", std::to_string(until) + ":0");
    answer(response, 200, resources);
}

QJsonObject SimRegistry::subscribe(const QJsonObject &request)
{
    const QString path = request.value(QLatin1String("resource_path")).toString();
    const QString type = path.mid(1);
    if (!path.startsWith(QLatin1Char('/')) || !Collections.contains(type))
        return QJsonObject();
    const QString id = newId();
    {
        QMutexLocker lock(&m_mutex);
        m_subscriptions.insert(id, type);
    }
    // Without a WebSocket the address names the HTTP port, which turns the handshake away.
    const int port = m_webSocket ? m_listener->serverPort() : m_port;
    QString host = m_bindAddress;
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("ws_href"), QStringLiteral("%1://%2:%3/x-nmos/query/v1.3/subscriptions/%4/ws")
                                                       .arg(m_tlsCertificate.isEmpty() ? QStringLiteral("ws") : QStringLiteral("wss"), host)
                                                       .arg(port).arg(id)},
                       {QStringLiteral("max_update_rate_ms"), 100},
                       {QStringLiteral("persist"), false},
                       {QStringLiteral("secure"), !m_tlsCertificate.isEmpty()},
                       {QStringLiteral("authorization"), m_tokenCheck != nullptr},
                       {QStringLiteral("resource_path"), path},
                       {QStringLiteral("params"), QJsonObject()}};
}

void SimRegistry::acceptSubscriber()
{
    while (QWebSocket *socket = m_sockets->nextPendingConnection()) {
        socket->setParent(this);
        const QString id = socket->requestUrl().path().section(QLatin1Char('/'), -2, -2);
        QMutexLocker lock(&m_mutex);
        const QString type = m_subscriptions.value(id);
        if (type.isEmpty()) {
            lock.unlock();
            socket->close(QWebSocketProtocol::CloseCodeBadOperation, QStringLiteral("no such subscription"));
            socket->deleteLater();
            continue;
        }
        m_subscribers.insert(socket, type);
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            m_subscribers.remove(socket);
            socket->deleteLater();
        });
        // A new subscriber first hears of every resource of its collection, as unchanged.
        QJsonArray events;
        for (const Entry &entry : m_collections.value(type)) {
            const QString resourceId = entry.resource.value(QLatin1String("id")).toString();
            events << QJsonObject{{QStringLiteral("path"), resourceId}, {QStringLiteral("pre"), entry.resource},
                                  {QStringLiteral("post"), entry.resource}};
        }
        lock.unlock();
        sendGrain(socket, type, events);
    }
}

void SimRegistry::sendGrain(QWebSocket *socket, const QString &type, const QJsonArray &events)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString stamp = QStringLiteral("%1:%2").arg(now / 1000).arg(now % 1000 * 1000000);
    const QJsonObject unit{{QStringLiteral("numerator"), 0}, {QStringLiteral("denominator"), 1}};
    const QJsonObject grain{
        {QStringLiteral("grain_type"), QStringLiteral("event")},
        {QStringLiteral("source_id"), newId()},
        {QStringLiteral("flow_id"), newId()},
        {QStringLiteral("origin_timestamp"), stamp},
        {QStringLiteral("sync_timestamp"), stamp},
        {QStringLiteral("creation_timestamp"), stamp},
        {QStringLiteral("rate"), unit},
        {QStringLiteral("duration"), unit},
        {QStringLiteral("grain"), QJsonObject{{QStringLiteral("type"), QStringLiteral("urn:x-nmos:format:data.event")},
                                              {QStringLiteral("topic"), QLatin1Char('/') + type + QLatin1Char('/')},
                                              {QStringLiteral("data"), events}}}};
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(grain).toJson(QJsonDocument::Compact)));
}

#include "simregistry.moc"
