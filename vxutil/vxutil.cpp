#include "vxutil.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVector>

namespace {

enum Result : int32_t { Newer = 1, NothingNewer = 0, Unreadable = -1, Malformed = -2 };

const int DefaultTimeLimitMs = 3000;
// A feed is a few dozen bytes; a larger reply is not one and is not read to its end.
const qint64 MaxFeedSize = 64 * 1024;

struct State
{
    bool feedOverridden = false;
    QByteArray feedUrl;
    int timeLimitMs = DefaultTimeLimitMs;
    // The texts handed out by the last call; they live here until the next one.
    QByteArray newVersion;
    QByteArray downloadUrl;
};

State &state()
{
    static State s;
    return s;
}

// "8.1.3" -> {8, 1, 3}; anything but dot-separated decimal numbers is refused.
bool parseVersion(const QString &text, QVector<qint64> *numbers)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9}){0,7}$"));
    if (!pattern.match(text).hasMatch())
        return false;
    numbers->clear();
    for (const QString &part : text.split(QLatin1Char('.')))
        numbers->append(part.toLongLong());
    return true;
}

// Missing trailing numbers count as 0, so "8.1" equals "8.1.0".
bool isNewer(QVector<qint64> offered, QVector<qint64> running)
{
    const int size = qMax(offered.size(), running.size());
    offered.resize(size);
    running.resize(size);
    return offered > running;
}

bool fetchFeed(const QUrl &feed, const QByteArray &userAgent, int timeLimitMs, QByteArray *body)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(feed);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = manager.get(request);

    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received) {
        if (received > MaxFeedSize)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    limit.start(timeLimitMs);
    // The caller waits for the answer; input meant for its windows must not run meanwhile.
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool ok = reply->error() == QNetworkReply::NoError && status == 200;
    if (ok)
        *body = reply->readAll();
    delete reply;
    return ok;
}

// Anyone on the path of a plain http feed could offer any download; only the machine's own
// loopback, where a test or a local mirror answers, is trusted without TLS.
bool isTrustedTransport(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    const QHostAddress host(url.host());
    return scheme == QLatin1String("http") && !host.isNull() && host.isLoopback();
}

// The offered version and its download address, or false when the feed is not one.
bool parseFeed(const QByteArray &body, QVector<qint64> *version, QByteArray *versionText,
               QByteArray *downloadUrl)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject feed = document.object();
    const QString text = feed.value(QStringLiteral("version")).toString();
    const QString address = feed.value(QStringLiteral("url")).toString();
    if (!document.isObject() || !parseVersion(text, version))
        return false;
    // The address goes to the desktop's URL handler: only an https address is passed on.
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.scheme().toLower() != QLatin1String("https"))
        return false;
    *versionText = text.toUtf8();
    *downloadUrl = address.toUtf8();
    return true;
}

} // namespace

int32_t vxOSGetAppVersion(const char *appName, int32_t major, int32_t minor, int32_t build,
                          const char **newVersion, const char **downloadUrl, void **reserved)
{
    if (newVersion)
        *newVersion = nullptr;
    if (downloadUrl)
        *downloadUrl = nullptr;
    if (reserved)
        *reserved = nullptr;

    State &s = state();
    const QByteArray feedUrl = s.feedOverridden ? s.feedUrl : QByteArray(FERROLINK_UPDATE_FEED_URL);
    if (feedUrl.isEmpty())
        return NothingNewer;
    const QUrl feed(QString::fromUtf8(feedUrl), QUrl::StrictMode);
    if (!appName || !QCoreApplication::instance() || !feed.isValid())
        return Unreadable;
    if (!isTrustedTransport(feed)) {
        qWarning("Update feed refused: %s is not an https address", feedUrl.constData());
        return Unreadable;
    }

    const QVector<qint64> running{major, minor, build};
    const QByteArray userAgent = QByteArray(appName) + '/' + QByteArray::number(major) + '.'
                                 + QByteArray::number(minor) + '.' + QByteArray::number(build);
    QByteArray body;
    if (!fetchFeed(feed, userAgent, s.timeLimitMs, &body))
        return Unreadable;

    QVector<qint64> offered;
    QByteArray versionText;
    QByteArray address;
    if (!parseFeed(body, &offered, &versionText, &address))
        return Malformed;
    if (!isNewer(offered, running))
        return NothingNewer;

    s.newVersion = versionText;
    s.downloadUrl = address;
    if (newVersion)
        *newVersion = s.newVersion.constData();
    if (downloadUrl)
        *downloadUrl = s.downloadUrl.constData();
    return Newer;
}

void vxSetUpdateFeedForTesting(const char *feedUrl, int32_t timeLimitMs)
{
    State &s = state();
    s.feedOverridden = feedUrl != nullptr;
    s.feedUrl = feedUrl ? QByteArray(feedUrl) : QByteArray();
    s.timeLimitMs = timeLimitMs > 0 ? timeLimitMs : DefaultTimeLimitMs;
}
