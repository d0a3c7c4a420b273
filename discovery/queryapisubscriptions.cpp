#include "queryapireader.h"

#include "discovery/logging_p.h"
#include "discovery/queryapigrain.h"
#include "net/authorizationsession.h"
#include "net/replylimits.h"
#include "nmos/nmosresourcestore.h"

#include <QFutureWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QWebSocket>
#include <QtConcurrent>

#ifdef __GLIBC__
#include <malloc.h>
#endif

// What a registry tells of its changes: the subscriptions, their WebSockets and their grains,
// applied to the store a slice at a time.

namespace {

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

void releaseFreedMemory()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

} // namespace

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
