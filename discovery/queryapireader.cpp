#include "queryapireader.h"

#include "discovery/logging_p.h"
#include "discovery/queryapigrain.h"
#include "net/authorizationsession.h"
#include "net/replylimits.h"
#include "nmos/nmosresourcestore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QWebSocket>

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

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

QJsonDocument QueryApiReader::parse(const QByteArray &data, QString *errorString)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        *errorString = error.errorString();
    return document;
}

// The path joined to a base with exactly one slash between them, whichever ends or starts
// with one.
QUrl QueryApiReader::joined(const QUrl &base, const QString &path)
{
    QUrl url = base;
    QString left = base.path();
    while (left.endsWith(QLatin1Char('/')))
        left.chop(1);
    url.setPath(left + QLatin1Char('/') + path);
    return url;
}

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
