#include "queryapireader.h"

#include "discovery/logging_p.h"
#include "discovery/queryapigrain.h"
#include "net/authorizationsession.h"
#include "net/replylimits.h"
#include "nmos/nmosresourcestore.h"

#include <QJsonArray>
#include <QFutureWatcher>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslError>
#include <QUrlQuery>
#include <QWebSocket>
#include <QtConcurrent>

#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

Q_LOGGING_CATEGORY(lcRegistry, "ferrolink.registry", QtInfoMsg)

namespace {

const char QueryApiRoot[] = "/x-nmos/query";

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

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const int defaultPort = a.scheme() == QLatin1String("https") ? 443 : 80;
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
           && a.port(defaultPort) == b.port(defaultPort);
}

QJsonDocument parse(const QByteArray &data, QString *errorString)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        *errorString = error.errorString();
    return document;
}

// QString::toUtf8() sets aside three bytes a character and keeps them: for a facility's
// collection of tens of megabytes that is a hundred more. Converted a slice at a time, the
// text takes about its own size.
QByteArray utf8Of(const QString &text)
{
    const int Slice = 1 << 20;
    QByteArray utf8;
    utf8.reserve(text.size());
    for (int at = 0; at < text.size();) {
        int length = qMin(Slice, text.size() - at);
        // A surrogate pair stays whole.
        if (at + length < text.size() && text.at(at + length - 1).isHighSurrogate())
            --length;
        utf8 += text.midRef(at, length).toUtf8();
        at += length;
    }
    return utf8;
}

// A subscription's first grain is a whole collection, tens of megabytes in one block, and
// glibc raises its threshold for giving blocks their own mapping to the size of each such
// block freed: the next ones then stay in the heap once freed, and the heap only grows.
// With the threshold held, and what is free handed back after each large grain, a
// facility's registry leaves the memory its grains took.
void holdMappingThreshold()
{
#ifdef __GLIBC__
    static const bool held = ::mallopt(M_MMAP_THRESHOLD, 1024 * 1024) == 1;
    Q_UNUSED(held)
#endif
}

void releaseFreedMemory()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// The path joined to a base with exactly one slash between them, whichever ends or starts
// with one.
QUrl joined(const QUrl &base, const QString &path)
{
    QUrl url = base;
    QString left = base.path();
    while (left.endsWith(QLatin1Char('/')))
        left.chop(1);
    url.setPath(left + QLatin1Char('/') + path);
    return url;
}

} // namespace

QueryApiReader::QueryApiReader(const QUrl &base, NmosResourceStore *store, QObject *parent)
    : QObject(parent)
    , m_base(base.adjusted(QUrl::StripTrailingSlash))
    , m_store(store)
{
    for (const QString &type : NmosResourceStore::types()) {
        Collection collection;
        collection.type = type;
        m_collections << collection;
    }
    m_decoder.setMaxThreadCount(1);
    holdMappingThreshold();
    m_health.setInterval(RetryFirstMs / 4);
    connect(&m_health, &QTimer::timeout, this, &QueryApiReader::checkHealth);
    m_clock.start();
}

QueryApiReader::~QueryApiReader()
{
    // The sockets' own teardown must not report into a reader that is going away.
    for (const Collection &collection : qAsConst(m_collections)) {
        if (collection.socket)
            collection.socket->disconnect(this);
    }
}

bool QueryApiReader::isSubscribed() const
{
    for (const Collection &collection : m_collections) {
        if (!collection.socket || collection.socket->state() != QAbstractSocket::ConnectedState)
            return false;
    }
    return true;
}

bool QueryApiReader::hasReadAll() const
{
    return std::all_of(m_collections.cbegin(), m_collections.cend(), [](const Collection &c) { return c.read; });
}

bool QueryApiReader::isApplying() const
{
    return std::any_of(m_collections.cbegin(), m_collections.cend(), [](const Collection &c) { return !c.pending.isEmpty(); });
}

QString QueryApiReader::chooseVersion(const QStringList &offered)
{
    static const QRegularExpression pattern(QStringLiteral("^v(\\d+)\\.(\\d+)/?$"));
    const QList<std::pair<int, int>> spoken{{1, 2}, {1, 3}};
    std::pair<int, int> best{-1, -1};
    for (const QString &text : offered) {
        const QRegularExpressionMatch match = pattern.match(text.trimmed());
        if (!match.hasMatch())
            continue;
        const std::pair<int, int> version{match.captured(1).toInt(), match.captured(2).toInt()};
        if (spoken.contains(version) && version > best)
            best = version;
    }
    return best.first < 0 ? QString() : QStringLiteral("v%1.%2").arg(best.first).arg(best.second);
}

void QueryApiReader::start()
{
    m_health.start();
    if (m_base.path().endsWith(QLatin1String(QueryApiRoot))) {
        readVersions();
        return;
    }
    for (int i = 0; i < m_collections.size(); ++i)
        readCollection(i);
}

QNetworkReply *QueryApiReader::get(const QUrl &url)
{
    // A registry is held to the limits and the redirect rule a node is held to.
    return ReplyLimits::get(&m_nam, request(url));
}

QNetworkRequest QueryApiReader::request(const QUrl &url) const
{
    QNetworkRequest request(url);
    // Only where the registry is reached at the address its announcement resolved to: an
    // address given by the registry itself is checked against its own name.
    if (!m_verifyName.isEmpty() && url.host() == m_base.host())
        request.setPeerVerifyName(m_verifyName);
    if (m_session)
        m_session->authorize(&request);
    return request;
}

void QueryApiReader::readVersions()
{
    QNetworkReply *reply = get(joined(m_base, QString()));
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishVersions(reply); });
}

void QueryApiReader::finishVersions(QNetworkReply *reply)
{
    reply->deleteLater();
    QString reason;
    if (ReplyLimits::failed(reply, &reason)) {
        fail(QStringLiteral("GET %1 failed: %2").arg(reply->url().toString(), reason));
        return;
    }
    QStringList offered;
    for (const QJsonValue &value : QJsonDocument::fromJson(reply->readAll()).array())
        offered << value.toString();
    const QString version = chooseVersion(offered);
    if (version.isEmpty()) {
        fail(QStringLiteral("The Query API at %1 offers none of v1.2 and v1.3: %2")
                 .arg(m_base.toString(), offered.join(QLatin1Char(','))));
        return;
    }
    m_base = joined(m_base, version);
    qCDebug(lcRegistry) << "Speaking" << version << "to" << m_base.toString();
    for (int i = 0; i < m_collections.size(); ++i)
        readCollection(i);
}

QUrl QueryApiReader::firstPage(const Collection &collection) const
{
    QUrl url = joined(m_base, collection.type + QLatin1Char('/'));
    if (collection.paging) {
        // From the start of the collection: without a cursor a registry answers the newest
        // page, and "next" leads only to newer ones.
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("paging.since"), QStringLiteral("0:0"));
        query.addQueryItem(QStringLiteral("paging.limit"), QString::number(PageLimit));
        url.setQuery(query);
    }
    return url;
}

void QueryApiReader::readCollection(int index)
{
    Collection &collection = m_collections[index];
    collection.readIds.clear();
    // The read tells what the registry holds now, and what the store holds that it does not.
    collection.pending.clear();
    readPage(index, firstPage(collection), 1);
}

void QueryApiReader::readPage(int index, const QUrl &url, int page)
{
    if (m_failed)
        return;
    QNetworkReply *reply = get(url);
    connect(reply, &QNetworkReply::finished, this, [this, index, reply, page] { finishPage(index, reply, page); });
}

void QueryApiReader::finishPage(int index, QNetworkReply *reply, int page)
{
    reply->deleteLater();
    if (m_failed)
        return;
    Collection &collection = m_collections[index];
    if (statusOf(reply) == 501 && collection.paging) {
        qCInfo(lcRegistry) << "The registry at" << m_base.toString() << "does not page; reading"
                           << collection.type << "whole";
        collection.paging = false;
        readCollection(index);
        return;
    }
    QString reason;
    if (ReplyLimits::failed(reply, &reason)) {
        fail(QStringLiteral("GET %1 failed: %2").arg(reply->url().toString(), reason));
        return;
    }
    QString parseError;
    const QJsonDocument document = parse(reply->readAll(), &parseError);
    if (!document.isArray()) {
        fail(QStringLiteral("GET %1 did not answer with a list of %2 %3")
                 .arg(reply->url().toString(), collection.type, parseError));
        return;
    }
    const QJsonArray resources = document.array();
    // Into the store page by page: a facility's collections held whole until read would take
    // far more memory than the store holds them in.
    for (const QJsonValue &value : resources) {
        if (m_store->insert(collection.type, value.toObject()))
            collection.readIds.insert(value.toObject().value(QLatin1String("id")).toString());
        else
            qCWarning(lcRegistry) << "Ignored one of the" << collection.type << "from" << m_base.toString()
                                  << "that has no id";
    }

    // Without X-Paging-Limit the registry does not page: this was the whole collection.
    bool paged = false;
    const int limit = reply->rawHeader("X-Paging-Limit").toInt(&paged);
    const QUrl next = nextLink(reply->rawHeader("Link"), reply->url());
    if (paged && limit > 0 && resources.size() >= limit && isHttp(next) && next != reply->url()) {
        // The pages are the registry's own: a next page elsewhere, or over plain http, would
        // hand the reading to whoever wrote the header.
        if (!sameOrigin(next, reply->url())) {
            fail(QStringLiteral("Refused the next page %1 of %2: not on the same server and scheme")
                     .arg(next.toString(), reply->url().toString()));
            return;
        }
        if (page < MaxPages) {
            readPage(index, next, page + 1);
            return;
        }
        qCWarning(lcRegistry) << "Stopped reading the" << collection.type << "of" << m_base.toString() << "after"
                              << MaxPages << "pages";
    }
    // What the read did not find went away; the removals take their turns like a grain's.
    const QSet<QString> readIds = std::exchange(collection.readIds, {});
    const QHash<QString, QByteArray> held = m_store->texts(collection.type);
    for (auto it = held.constBegin(); it != held.constEnd(); ++it) {
        if (!readIds.contains(it.key()))
            collection.pending << QueryApiGrain::Change{QJsonObject(), it.key()};
    }
    scheduleApply();
    const bool wasRead = hasReadAll();
    collection.read = true;
    subscribe(index);
    if (!wasRead && hasReadAll())
        emit readAll();
}

void QueryApiReader::subscribe(int index)
{
    const QString path = QLatin1Char('/') + m_collections.at(index).type;
    QNetworkRequest request = this->request(joined(m_base, QStringLiteral("subscriptions")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QJsonObject body{{QStringLiteral("max_update_rate_ms"), 100},
                           {QStringLiteral("persist"), false},
                           {QStringLiteral("secure"), m_base.scheme() == QLatin1String("https")},
                           {QStringLiteral("resource_path"), path},
                           {QStringLiteral("params"), QJsonObject()},
                           {QStringLiteral("authorization"), m_session && m_session->hasToken()}};
    QNetworkReply *reply = m_nam.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    ReplyLimits::watch(reply);
    connect(reply, &QNetworkReply::finished, this, [this, index, reply] { finishSubscription(index, reply); });
}

void QueryApiReader::finishSubscription(int index, QNetworkReply *reply)
{
    reply->deleteLater();
    if (m_failed)
        return;
    QString reason;
    if (ReplyLimits::failed(reply, &reason)) {
        dropWebSocket(index, QStringLiteral("POST %1 failed: %2").arg(reply->url().toString(), reason));
        return;
    }
    QString parseError;
    const QUrl href(parse(reply->readAll(), &parseError).object().value(QLatin1String("ws_href")).toString());
    const QString scheme = href.scheme();
    if (!href.isValid() || href.host().isEmpty()
        || (scheme != QLatin1String("ws") && scheme != QLatin1String("wss"))) {
        dropWebSocket(index, QStringLiteral("the subscription has no WebSocket address %1").arg(parseError));
        return;
    }
    // Asked for a secure subscription, a registry that names a plain WebSocket would have
    // the grains cross the network unchecked.
    if (m_base.scheme() == QLatin1String("https") && scheme != QLatin1String("wss")) {
        dropWebSocket(index, QStringLiteral("refused the WebSocket %1 of an https registry").arg(href.toString()));
        return;
    }
    // The registry names its WebSocket: the token may go there as to the registry itself.
    if (m_session && scheme == QLatin1String("wss"))
        m_session->addApiOrigin(href);
    openWebSocket(index, href);
}

void QueryApiReader::openWebSocket(int index, const QUrl &href)
{
    Collection &collection = m_collections[index];
    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(MaxGrainSize);
    socket->setMaxAllowedIncomingFrameSize(MaxGrainSize);
    collection.socket = socket;
    collection.heard = false;
    collection.messages.clear();
    collection.decoding = false;
    ++collection.socketNumber;
    collection.lastHeardMs = now();
    collection.lastPingMs = now();
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, index](const QString &message) { readMessage(index, message); });
    connect(socket, &QWebSocket::pong, this, [this, index] { m_collections[index].lastHeardMs = now(); });
    // A socket that never opens reports an error and then a disconnection; either one ends it.
    connect(socket, &QWebSocket::disconnected, this, [this, index, socket] {
        // Closed by either side, the close frame tells why; a socket that failed says it.
        const QString why = socket->closeCode() != QWebSocketProtocol::CloseCodeNormal || !socket->closeReason().isEmpty()
                                ? QStringLiteral("closed with %1 %2").arg(socket->closeCode()).arg(socket->closeReason())
                                : socket->errorString();
        dropWebSocket(index, why);
    });
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this, index, socket] { dropWebSocket(index, socket->errorString()); });
    const QNetworkRequest request = this->request(href);
    // Qt 5's WebSocket checks the certificate against the address, whatever name its request
    // carries: a certificate that names that host, and fails on nothing else, passes.
    connect(socket, &QWebSocket::sslErrors, this, [socket, request](const QList<QSslError> &errors) {
        const QString name = request.peerVerifyName();
        const bool nameOnly = !name.isEmpty() && std::all_of(errors.cbegin(), errors.cend(), [&name](const QSslError &e) {
            return e.error() == QSslError::HostNameMismatch && ReplyLimits::certificateNames(e.certificate(), name);
        });
        if (nameOnly)
            socket->ignoreSslErrors(errors);
    });
    qCDebug(lcRegistry) << "Subscribing to the" << collection.type << "of" << m_base.toString() << "at"
                        << href.toString();
    socket->open(request);
}

void QueryApiReader::dropWebSocket(int index, const QString &why)
{
    Collection &collection = m_collections[index];
    collection.messages.clear();
    collection.decoding = false;
    ++collection.socketNumber;
    if (collection.socket) {
        collection.socket->disconnect(this);
        collection.socket->abort();
        collection.socket->deleteLater();
        collection.socket = nullptr;
    }
    if (m_failed || collection.retryAtMs >= 0)
        return;
    collection.retryAtMs = now() + collection.retryMs;
    QTimer::singleShot(collection.retryMs, this, &QueryApiReader::checkHealth);
    qCWarning(lcRegistry).noquote() << "The subscription to the" << collection.type << "of" << m_base.toString()
                                    << "ended (" + why + "); reading them again in"
                                    << collection.retryMs / 1000.0 << "s";
    collection.retryMs = qMin(2 * collection.retryMs, int(RetryMaxMs));
}

void QueryApiReader::readMessage(int index, const QString &message)
{
    Collection &collection = m_collections[index];
    collection.lastHeardMs = now();
    // A registry that sends faster than its grains are worked out would have them pile up
    // without end: read the collection again instead, which tells the same.
    if (collection.messages.size() >= MaxQueuedMessages) {
        dropWebSocket(index, QStringLiteral("%1 messages waiting to be worked out").arg(collection.messages.size() + 1));
        return;
    }
    collection.messages << message;
    decodeMessages(index);
}

// One message at a time per collection, in the order they came: a large one is worked out
// on another thread. The first on a socket is worked out against the collection as what came
// before it left it, so it waits until that is in the store.
void QueryApiReader::decodeMessages(int index)
{
    Collection &collection = m_collections[index];
    while (!collection.decoding && !collection.messages.isEmpty()
           && (collection.heard || collection.pending.isEmpty())) {
        QString message = collection.messages.takeFirst();
        // The first grain on a socket holds the whole collection.
        const bool first = !collection.heard;
        const QHash<QString, QByteArray> current = first ? m_store->texts(collection.type)
                                                         : QHash<QString, QByteArray>();
        if (message.size() < OffThreadSize) {
            applyGrain(index, QueryApiGrain::decode(message.toUtf8(), first, current));
            continue;
        }
        collection.decoding = true;
        auto *watcher = new QFutureWatcher<QueryApiGrain>(this);
        const int socketNumber = collection.socketNumber;
        connect(watcher, &QFutureWatcherBase::finished, this, [this, index, watcher, socketNumber] {
            watcher->deleteLater();
            Collection &c = m_collections[index];
            // What came on a socket since dropped is read again over HTTP instead.
            if (m_failed || c.socketNumber != socketNumber)
                return;
            c.decoding = false;
            applyGrain(index, watcher->result());
            releaseFreedMemory();
            decodeMessages(index);
        });
        // The message is moved into the work, which lets it go as soon as it is parsed. One
        // that waits behind another collection's is held in UTF-8, half its size: a
        // facility's collections come all at once, each tens of megabytes.
        QByteArray text;
        if (m_decoder.activeThreadCount() > 0) {
            text = utf8Of(message);
            message = QString();
        }
        watcher->setFuture(QtConcurrent::run(&m_decoder, [message = std::move(message), text = std::move(text), first,
                                                          current]() mutable {
            if (!message.isEmpty()) {
                text = utf8Of(message);
                message = QString();
            }
            return QueryApiGrain::decode(std::move(text), first, current);
        }));
    }
}

void QueryApiReader::applyGrain(int index, const QueryApiGrain &grain)
{
    Collection &collection = m_collections[index];
    if (!grain.error.isEmpty()) {
        qCWarning(lcRegistry) << "Ignored a WebSocket message from" << m_base.toString() << grain.error;
        return;
    }
    collection.heard = true;
    collection.pending += grain.changes;
    scheduleApply();
    if (grain.ignored > 0)
        qCWarning(lcRegistry) << "Ignored" << grain.ignored << "events on the" << collection.type << "of"
                              << m_base.toString() << "that name no resource";
    // A subscription that delivers is healthy again: the next failure starts the pauses afresh.
    collection.retryMs = RetryFirstMs;
}

void QueryApiReader::scheduleApply()
{
    if (m_applyScheduled)
        return;
    m_applyScheduled = true;
    QTimer::singleShot(0, this, &QueryApiReader::applyPending);
}

// A slice at a time, so that the window keeps answering while a facility's resources come
// or go.
void QueryApiReader::applyPending()
{
    m_applyScheduled = false;
    if (m_failed)
        return;
    QElapsedTimer slice;
    slice.start();
    // Senders and receivers first, which the lists show; and a resource removed before its
    // device still names its node.
    for (int i = m_collections.size() - 1; i >= 0; --i) {
        Collection &collection = m_collections[i];
        int applied = 0;
        while (applied < collection.pending.size() && slice.elapsed() < ApplySliceMs) {
            const QueryApiGrain::Change &change = collection.pending.at(applied++);
            if (change.removedId.isEmpty())
                m_store->insert(collection.type, change.post);
            else
                m_store->remove(collection.type, change.removedId);
        }
        collection.pending.erase(collection.pending.begin(), collection.pending.begin() + applied);
        if (!collection.pending.isEmpty()) {
            scheduleApply();
            return;
        }
        decodeMessages(i);
    }
    if (!isApplying())
        emit changesApplied();
}

void QueryApiReader::checkHealth()
{
    if (m_failed)
        return;
    const qint64 at = now();
    for (int i = 0; i < m_collections.size(); ++i) {
        Collection &collection = m_collections[i];
        if (!collection.socket) {
            if (collection.retryAtMs >= 0 && at >= collection.retryAtMs) {
                collection.retryAtMs = -1;
                readCollection(i);
            }
            continue;
        }
        // Qt 5's WebSocket gives a handshake no time limit of its own.
        if (collection.socket->state() != QAbstractSocket::ConnectedState) {
            if (at - collection.lastHeardMs > SilentPings * m_pingIntervalMs)
                dropWebSocket(i, QStringLiteral("no handshake within %1 s").arg((at - collection.lastHeardMs) / 1000.0));
            continue;
        }
        if (at - collection.lastHeardMs > SilentPings * m_pingIntervalMs) {
            dropWebSocket(i, QStringLiteral("silent for %1 s").arg((at - collection.lastHeardMs) / 1000.0));
        } else if (at - collection.lastHeardMs >= m_pingIntervalMs && at - collection.lastPingMs >= m_pingIntervalMs) {
            collection.lastPingMs = at;
            collection.socket->ping();
        }
    }
}

void QueryApiReader::fail(const QString &errorString)
{
    if (m_failed)
        return;
    m_failed = true;
    m_health.stop();
    for (Collection &collection : m_collections) {
        if (!collection.socket)
            continue;
        collection.socket->disconnect(this);
        collection.socket->abort();
        collection.socket->deleteLater();
        collection.socket = nullptr;
    }
    qCWarning(lcRegistry).noquote() << errorString;
    emit failed(errorString);
}
