#include "replylimits.h"

#include "net/authorizationsession.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslError>

namespace {

int s_transferTimeoutMs = ReplyLimits::DefaultTransferTimeoutMs;

// The "error" text of an NMOS error body, cut short: it ends up in a message box.
QString errorBodyText(const QByteArray &body)
{
    const int MaxLength = 300;
    const QString text = QJsonDocument::fromJson(body).object().value(QLatin1String("error")).toString().trimmed();
    return text.size() > MaxLength ? text.left(MaxLength) + QChar(0x2026) : text;
}

// A request checked against the name its node announced (QNetworkRequest::peerVerifyName)
// reaches the node at an address; a trusted certificate that names that address instead of
// the announced name passes too, as it would have without the name. Nothing else is let through.
bool isAddressNamedOnly(const QNetworkReply *reply, const QUrl &url, const QList<QSslError> &errors)
{
    if (reply->request().peerVerifyName().isEmpty() || errors.isEmpty())
        return false;
    const QHostAddress address(url.host());
    for (const QSslError &error : errors) {
        if (error.error() != QSslError::HostNameMismatch)
            return false;
        const QSslCertificate certificate = error.certificate();
        bool named = ReplyLimits::certificateNames(certificate, url.host());
        const QList<QString> addresses = certificate.subjectAlternativeNames().values(QSsl::IpAddressEntry);
        for (const QString &entry : addresses)
            named = named || (!address.isNull() && QHostAddress(entry).isEqual(address));
        if (!named)
            return false;
    }
    return true;
}

} // namespace

bool ReplyLimits::certificateNames(const QSslCertificate &certificate, const QString &host)
{
    QStringList names = certificate.subjectAlternativeNames().values(QSsl::DnsEntry);
    if (names.isEmpty())
        names = certificate.subjectInfo(QSslCertificate::CommonName);
    const QString wanted = host.toLower();
    for (QString name : qAsConst(names)) {
        name = name.toLower();
        if (name == wanted)
            return true;
        // "*.example.com" stands for one label: a.example.com, not example.com or a.b.example.com.
        const int dot = wanted.indexOf(QLatin1Char('.'));
        if (name.startsWith(QLatin1String("*.")) && dot > 0 && name.mid(1) == wanted.mid(dot) && name.count(QLatin1Char('.')) >= 2)
            return true;
    }
    return false;
}

ReplyLimits::ReplyLimits(QNetworkReply *reply)
    : QObject(reply)
    , m_reply(reply)
    , m_url(reply->url())
{
    m_stall.setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    m_stall.setTimerType(Qt::PreciseTimer);
    m_stall.setInterval(s_transferTimeoutMs);
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    m_deadline.setInterval(TotalTimeFactor * s_transferTimeoutMs);

    // A synchronous caller may hold the thread in another request's nested loop after this
    // reply has finished; the timer must not then fail a complete reply.
    connect(reply, &QNetworkReply::finished, &m_stall, &QTimer::stop);
    connect(reply, &QNetworkReply::finished, &m_deadline, &QTimer::stop);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] { m_stall.start(); });
    connect(reply, &QNetworkReply::uploadProgress, this, [this] { m_stall.start(); });
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (received > MaxReplySize || total > MaxReplySize) {
            abortReply(QStringLiteral("Reply larger than %1 bytes, aborted").arg(MaxReplySize));
            return;
        }
        m_stall.start();
    });
    // Nothing here ignores a failed certificate check, so the network layer drops the
    // connection before the request is sent. Its own text would say only that the handshake
    // failed; the first reason is what the operator has to fix.
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        if (isAddressNamedOnly(m_reply, m_url, errors)) {
            m_reply->ignoreSslErrors(errors);
            return;
        }
        if (m_tlsReason.isEmpty() && !errors.isEmpty())
            m_tlsReason = errors.first().errorString();
    });
    connect(reply, &QNetworkReply::redirected, this, &ReplyLimits::checkRedirect);
    connect(&m_stall, &QTimer::timeout, this, [this] {
        if (m_reply->isFinished())
            return;
        abortReply(QStringLiteral("Request timed out: no progress for %1 s")
                       .arg(QString::number(s_transferTimeoutMs / 1000.0)));
    });
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (m_reply->isFinished())
            return;
        abortReply(QStringLiteral("Request timed out: not complete after %1 s")
                       .arg(QString::number(TotalTimeFactor * s_transferTimeoutMs / 1000.0)));
    });
    if (!reply->isFinished()) {
        m_stall.start();
        m_deadline.start();
    }
}

void ReplyLimits::watch(QNetworkReply *reply)
{
    new ReplyLimits(reply);
}

QNetworkReply *ReplyLimits::get(QNetworkAccessManager *manager, QNetworkRequest request)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    QNetworkReply *reply = manager->get(request);
    watch(reply);
    return reply;
}

void ReplyLimits::checkRedirect(const QUrl &target)
{
    // The reply's own URL is the target already.
    const QUrl from = m_url;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Only a move of the same resource on the same server: another host or scheme would take
    // the request, and what the answer is trusted with, somewhere the node never named.
    if ((status == 301 || status == 308) && target.scheme() == from.scheme() && target.host() == from.host()
        && target.port(from.scheme() == QLatin1String("https") ? 443 : 80)
               == from.port(from.scheme() == QLatin1String("https") ? 443 : 80)) {
        m_url = target;
        emit m_reply->redirectAllowed();
        return;
    }
    const QString reason = QStringLiteral("Refused the redirect (HTTP %1) from %2 to %3")
                               .arg(status)
                               .arg(from.toString(), target.toString());
    qWarning().noquote() << reason;
    abortReply(reason);
}

bool ReplyLimits::failed(QNetworkReply *reply, QString *reason)
{
    const auto *limits = reply->findChild<ReplyLimits *>(QString(), Qt::FindDirectChildrenOnly);
    if (limits && !limits->m_reason.isEmpty()) {
        *reason = limits->m_reason;
        return true;
    }
    if (reply->error() == QNetworkReply::NoError)
        return false;
    const QString tlsReason = limits && !limits->m_tlsReason.isEmpty() ? limits->m_tlsReason
                              : reply->error() == QNetworkReply::SslHandshakeFailedError ? reply->errorString()
                                                                                       : QString();
    *reason = tlsReason.isEmpty() ? reply->errorString()
                                  : QStringLiteral("TLS: %1 for %2").arg(tlsReason, reply->url().host());
    const QString nodeText = errorBodyText(reply->peek(MaxReplySize));
    if (!nodeText.isEmpty())
        *reason += QLatin1String(": ") + nodeText;
    // A refused token: the API's own word for why, from its challenge.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const AuthorizationSession::Challenge challenge = AuthorizationSession::challengeError(reply->rawHeader("WWW-Authenticate"));
    if ((status == 401 || status == 403) && !challenge.error.isEmpty())
        *reason += QStringLiteral(" (%1%2)").arg(challenge.error,
                                                 challenge.description.isEmpty() ? QString() : QLatin1String(": ") + challenge.description);
    return true;
}

int ReplyLimits::transferTimeoutMs()
{
    return s_transferTimeoutMs;
}

void ReplyLimits::setTransferTimeoutMs(int milliseconds)
{
    s_transferTimeoutMs = milliseconds;
}

void ReplyLimits::abortReply(const QString &reason)
{
    // Only the first reason counts: aborting may report progress once more.
    if (!m_reason.isEmpty())
        return;
    m_reason = reason;
    m_reply->abort();
}
