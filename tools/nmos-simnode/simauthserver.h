#ifndef SIMAUTHSERVER_H
#define SIMAUTHSERVER_H

#include "simconfig.h"
#include "simsigningkey.h"

#include <QHash>
#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <memory>
#include <thread>

namespace httplib {
class Request;
class Response;
class Server;
}

// A test authorization server for a secured facility (OAuth 2 as NMOS profiles it):
// metadata, dynamic client registration, an authorization endpoint that approves every
// request at once, a token endpoint for the authorization-code (with PKCE), refresh-token
// and client-credentials grants, and the key set the tokens are checked with.
// DELETE /x-simauth/clients/<client_id> forgets a client, as an administrator revoking it.
class SimAuthServer
{
public:
    explicit SimAuthServer(const SimConfig &config);
    ~SimAuthServer();

    SimAuthServer(const SimAuthServer &) = delete;
    SimAuthServer &operator=(const SimAuthServer &) = delete;

    bool start(QString *errorString = nullptr);
    int port() const { return m_port; }
    QString issuer() const { return m_issuer; }
    QString scheme() const { return m_config.nodes.first().tlsCert.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"); }
    const SimSigningKey *key() const { return &m_key; }

private:
    struct Client
    {
        QString name;
        QString secret; // empty for a public client
        QStringList redirectUris;
        QStringList grantTypes;
        QStringList scopes;
    };
    // What an authorization code or a refresh token stands for.
    struct Grant
    {
        QString clientId;
        QStringList scopes;
        QString redirectUri;
        QString challenge;
        qint64 expires = 0;
    };
    struct Reply
    {
        int status = 200;
        QJsonObject body;
    };

    void serve(const httplib::Request &request, httplib::Response &response);
    QJsonObject metadata() const;
    Reply registerClient(const QByteArray &body);
    void authorize(const httplib::Request &request, httplib::Response &response);
    Reply token(const httplib::Request &request, QString *clientId);
    Reply grantToken(const QString &clientId, const Client &client, const QString &grantType,
                     const httplib::Request &request);
    Reply tokenReply(const QString &clientId, const QString &subject, const Grant &grant, bool refresh);
    bool allowedScopes(const QString &requested, const QStringList &granted, QStringList *scopes) const;
    bool redirectMatches(const QString &registered, const QString &given) const;

    const SimConfig m_config;
    SimSigningKey m_key;
    QString m_issuer;
    QStringList m_audience;
    int m_port = 0;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;

    QMutex m_mutex;
    QHash<QString, Client> m_clients;
    QHash<QString, Grant> m_codes;
    QHash<QString, Grant> m_refreshTokens;
};

#endif // SIMAUTHSERVER_H
