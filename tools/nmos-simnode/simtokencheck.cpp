#include "simtokencheck.h"

#include "simsigningkey.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

bool refuse(SimTokenRefusal *refusal, int status, const QString &error, const QString &description)
{
    refusal->status = status;
    refusal->error = error;
    refusal->description = description;
    return false;
}

// RFC 6750 allows neither quotes nor backslashes in the challenge's values.
QString quotable(QString text)
{
    text.replace(QLatin1Char('"'), QLatin1Char('\''));
    text.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return text;
}

bool isRead(const QByteArray &method)
{
    return method == "GET" || method == "HEAD" || method == "OPTIONS";
}

} // namespace

QByteArray SimTokenRefusal::challenge(const QString &realm) const
{
    QString value = QStringLiteral("Bearer realm=\"%1\"").arg(quotable(realm));
    // A request that came without a token learns only that one is needed (RFC 6750 3.1).
    if (!error.isEmpty())
        value += QStringLiteral(", error=\"%1\", error_description=\"%2\"").arg(error, quotable(description));
    return value.toUtf8();
}

QByteArray SimTokenRefusal::body() const
{
    const QJsonObject object{{QStringLiteral("code"), status},
                             {QStringLiteral("error"), description},
                             {QStringLiteral("debug"), error.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(error)}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

SimTokenCheck::SimTokenCheck(const SimSigningKey *key, const QString &issuer, const QStringList &names)
    : m_key(key)
    , m_issuer(issuer)
    , m_names(names)
{
}

bool SimTokenCheck::matches(const QString &pattern, const QString &text)
{
    QString expression = QRegularExpression::escape(pattern);
    expression.replace(QLatin1String("\\*"), QLatin1String(".*"));
    return QRegularExpression(QRegularExpression::anchoredPattern(expression)).match(text).hasMatch();
}

bool SimTokenCheck::coversAudience(const QJsonValue &audience) const
{
    const QJsonArray entries = audience.isArray() ? audience.toArray() : QJsonArray{audience};
    for (const QJsonValue &entry : entries) {
        // Either a bare host name or a URI with a scheme and nothing after the host.
        QString pattern = entry.toString().toLower();
        const int scheme = pattern.indexOf(QLatin1String("://"));
        if (scheme >= 0)
            pattern = pattern.mid(scheme + 3);
        for (const QString &name : m_names) {
            if (!pattern.isEmpty() && matches(pattern, name.toLower()))
                return true;
        }
    }
    return false;
}

bool SimTokenCheck::allows(const QByteArray &method, const QString &path, const QByteArray &authorization,
                           SimTokenRefusal *refusal) const
{
    // Claims name paths after the API version; ".." must not climb out of the one allowed.
    QStringList parts;
    for (const QString &segment : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment == QLatin1String("..")) {
            if (!parts.isEmpty())
                parts.removeLast();
        } else if (segment != QLatin1String(".")) {
            parts << segment;
        }
    }
    // The roots, and the simulator's own paths, are open to all.
    if (parts.size() < 2 || parts.first() != QLatin1String("x-nmos"))
        return true;

    if (!authorization.startsWith("Bearer ") && !authorization.startsWith("bearer "))
        return refuse(refusal, 401, QString(), QStringLiteral("this API needs a bearer token"));
    QJsonObject claims;
    QString why;
    if (!m_key->verify(authorization.mid(7).trimmed(), &claims, &why))
        return refuse(refusal, 401, QStringLiteral("invalid_token"), why);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (!claims.value(QLatin1String("exp")).isDouble())
        return refuse(refusal, 401, QStringLiteral("invalid_token"), QStringLiteral("the token has no exp"));
    if (now >= qint64(claims.value(QLatin1String("exp")).toDouble()))
        return refuse(refusal, 401, QStringLiteral("invalid_token"), QStringLiteral("the token has expired"));
    if (qint64(claims.value(QLatin1String("iat")).toDouble()) > now || qint64(claims.value(QLatin1String("nbf")).toDouble()) > now)
        return refuse(refusal, 401, QStringLiteral("invalid_token"), QStringLiteral("the token is not valid yet"));
    if (claims.value(QLatin1String("iss")).toString() != m_issuer)
        return refuse(refusal, 401, QStringLiteral("invalid_token"), QStringLiteral("the token was issued by another server"));
    if (!coversAudience(claims.value(QLatin1String("aud"))))
        return refuse(refusal, 401, QStringLiteral("invalid_token"), QStringLiteral("the token is not meant for %1").arg(realm()));

    const QString api = parts.at(1);
    const QJsonValue claim = claims.value(QLatin1String("x-nmos-") + api);
    // The API's base and version paths need only the claim or the scope.
    if (parts.size() <= 3 && isRead(method)
        && (claim.isObject() || claims.value(QLatin1String("scope")).toString().split(QLatin1Char(' ')).contains(api)))
        return true;
    QString rest = parts.mid(3).join(QLatin1Char('/'));
    if (parts.size() > 3 && path.endsWith(QLatin1Char('/')))
        rest += QLatin1Char('/');
    const char *permission = isRead(method) ? "read" : "write";
    for (const QJsonValue &pattern : claim.toObject().value(QLatin1String(permission)).toArray()) {
        if (matches(pattern.toString(), rest))
            return true;
    }
    return refuse(refusal, 403, QStringLiteral("insufficient_scope"),
                  QStringLiteral("the token's x-nmos-%1 claim does not allow %2 of %3")
                      .arg(api, QLatin1String(permission), rest.isEmpty() ? path : rest));
}
