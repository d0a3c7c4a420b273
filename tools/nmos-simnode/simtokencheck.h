#ifndef SIMTOKENCHECK_H
#define SIMTOKENCHECK_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class QJsonValue;
class SimSigningKey;

// Why a request to a secured API is turned away: 401 for a missing or bad token, 403 for
// one whose claims do not cover the request.
struct SimTokenRefusal
{
    int status = 0;
    QString error;       // RFC 6750: invalid_token, insufficient_scope; empty when no token came
    QString description;

    QByteArray challenge(const QString &realm) const; // the WWW-Authenticate value
    QByteArray body() const;                          // the NMOS error object
};

// Checks the bearer tokens one secured API server is given: signed by the authorization
// server's key, issued by it, in date, meant for this server (aud) and carrying an
// x-nmos-<api> claim that allows the path for the method.
class SimTokenCheck
{
public:
    // names: this server's host names and addresses, matched against the token's aud.
    SimTokenCheck(const SimSigningKey *key, const QString &issuer, const QStringList &names);

    // authorization: the Authorization header, or "Bearer <access_token query value>".
    bool allows(const QByteArray &method, const QString &path, const QByteArray &authorization,
                SimTokenRefusal *refusal) const;
    QString realm() const { return m_names.value(0); }

    static bool matches(const QString &pattern, const QString &text);

private:
    bool coversAudience(const QJsonValue &audience) const;

    const SimSigningKey *m_key;
    QString m_issuer;
    QStringList m_names;
};

#endif // SIMTOKENCHECK_H
