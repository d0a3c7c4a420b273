#include "simauthserver.h"

#include "simhttpserver.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>
#include <QVector>

#include <httplib.h>
#include <openssl/crypto.h>

#include <algorithm>

namespace {

const QStringList Scopes{QStringLiteral("query"), QStringLiteral("registration"), QStringLiteral("node"),
                         QStringLiteral("connection")};
const QStringList GrantTypes{QStringLiteral("authorization_code"), QStringLiteral("refresh_token"),
                             QStringLiteral("client_credentials")};
const qint64 CodeLifetimeSeconds = 60;

QString randomText(int bytes)
{
    QVector<quint32> words((bytes + 3) / 4);
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QString::fromLatin1(SimSigningKey::base64Url(QByteArray(reinterpret_cast<const char *>(words.constData()), bytes)));
}

QString param(const httplib::Request &request, const char *name)
{
    return QString::fromStdString(request.get_param_value(name));
}

QJsonObject oauthError(const QString &error, const QString &description)
{
    return QJsonObject{{QStringLiteral("error"), error}, {QStringLiteral("error_description"), description}};
}

bool sameSecret(const QString &a, const QString &b)
{
    const QByteArray left = a.toUtf8();
    const QByteArray right = b.toUtf8();
    return left.size() == right.size() && CRYPTO_memcmp(left.constData(), right.constData(), size_t(left.size())) == 0;
}

QString hostPart(QString host)
{
    if (QHostAddress(host).protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return host;
}

} // namespace

SimAuthServer::SimAuthServer(const SimConfig &config)
    : m_config(config)
{
}

SimAuthServer::~SimAuthServer()
{
    if (m_server)
        m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool SimAuthServer::start(QString *errorString)
{
    if (!m_key.load(m_config.authKeyFile, errorString))
        return false;
    const SimNodeConfig &first = m_config.nodes.first();
    m_server = SimHttpServer::makeServer(first.tlsCert, first.tlsKey, errorString);
    if (!m_server)
        return false;
    // A client keeps its connection between a registration and a token request; an idle
    // one holds a worker that stopping waits for, so it is let go after a second.
    m_server->set_keep_alive_timeout(1);
    auto handler = [this](const httplib::Request &request, httplib::Response &response) { serve(request, response); };
    m_server->Get(".*", handler);
    m_server->Post(".*", handler);
    m_server->Delete(".*", handler);
    const QString address = first.bindAddresses.first();
    m_port = m_config.authPort;
    if (!SimHttpServer::bindServer(m_server.get(), address, &m_port)) {
        if (errorString)
            *errorString = QStringLiteral("cannot serve the authorization server on %1 port %2").arg(address).arg(m_port);
        return false;
    }
    const QHostAddress bindAddress(address);
    const bool wildcard = bindAddress == QHostAddress::AnyIPv4 || bindAddress == QHostAddress::AnyIPv6;
    const QString issuerHost = !first.hrefHost.isEmpty() ? first.hrefHost : wildcard ? QStringLiteral("127.0.0.1") : address;
    m_issuer = QStringLiteral("%1://%2:%3").arg(scheme(), hostPart(issuerHost)).arg(m_port);
    // Tokens are meant for every API this process plays: their domains and addresses.
    for (const SimNodeConfig &node : m_config.nodes) {
        const QString domain = node.hostname.section(QLatin1Char('.'), 1, -1, QString::SectionSkipEmpty);
        QStringList names{node.hrefHost.isEmpty() ? node.bindAddresses.first() : node.hrefHost};
        if (!domain.isEmpty())
            names << QStringLiteral("*.") + domain;
        for (const QString &name : names) {
            if (!m_audience.contains(name))
                m_audience << name;
        }
    }
    httplib::Server *raw = m_server.get();
    m_thread = std::thread([raw] { raw->listen_after_bind(); });
    return true;
}

QJsonObject SimAuthServer::metadata() const
{
    return QJsonObject{
        {QStringLiteral("issuer"), m_issuer},
        {QStringLiteral("authorization_endpoint"), m_issuer + QStringLiteral("/authorize")},
        {QStringLiteral("token_endpoint"), m_issuer + QStringLiteral("/token")},
        {QStringLiteral("registration_endpoint"), m_issuer + QStringLiteral("/register")},
        {QStringLiteral("jwks_uri"), m_issuer + QStringLiteral("/jwks")},
        {QStringLiteral("scopes_supported"), QJsonArray::fromStringList(Scopes)},
        {QStringLiteral("response_types_supported"), QJsonArray{QStringLiteral("code")}},
        {QStringLiteral("grant_types_supported"), QJsonArray::fromStringList(GrantTypes)},
        {QStringLiteral("token_endpoint_auth_methods_supported"),
         QJsonArray{QStringLiteral("none"), QStringLiteral("client_secret_basic"), QStringLiteral("client_secret_post")}},
        {QStringLiteral("code_challenge_methods_supported"), QJsonArray{QStringLiteral("S256")}}};
}

void SimAuthServer::serve(const httplib::Request &request, httplib::Response &response)
{
    const QString path = QString::fromStdString(request.path);
    Reply reply;
    QString clientId;
    bool answered = false; // by the authorization endpoint itself
    if (request.method == "GET" && path == QLatin1String("/.well-known/oauth-authorization-server")) {
        reply.body = metadata();
    } else if (request.method == "GET" && path == QLatin1String("/jwks")) {
        reply.body = m_key.keySet();
    } else if (request.method == "POST" && path == QLatin1String("/register")) {
        reply = registerClient(QByteArray::fromStdString(request.body));
        clientId = reply.body.value(QLatin1String("client_id")).toString();
    } else if (request.method == "GET" && path == QLatin1String("/authorize")) {
        authorize(request, response);
        clientId = param(request, "client_id");
        answered = true;
    } else if (request.method == "POST" && path == QLatin1String("/token")) {
        reply = token(request, &clientId);
        response.set_header("Cache-Control", "no-store");
        if (reply.status == 401)
            response.set_header("WWW-Authenticate", "Basic realm=\"" + m_issuer.toStdString() + "\"");
    } else if (request.method == "DELETE" && path.startsWith(QLatin1String("/x-simauth/clients/"))) {
        clientId = path.section(QLatin1Char('/'), 3);
        QMutexLocker lock(&m_mutex);
        reply.status = m_clients.remove(clientId) > 0 ? 204 : 404;
        // What the client was given dies with it; tokens already out live until they expire.
        for (auto *grants : {&m_codes, &m_refreshTokens}) {
            for (auto it = grants->begin(); it != grants->end();) {
                if (it->clientId == clientId)
                    it = grants->erase(it);
                else
                    ++it;
            }
        }
    } else {
        reply.status = 404;
        reply.body = QJsonObject{{QStringLiteral("code"), 404}, {QStringLiteral("error"), QStringLiteral("Not found")}};
    }
    if (!answered) {
        response.status = reply.status;
        if (reply.status != 204)
            response.set_content(QJsonDocument(reply.body).toJson(QJsonDocument::Compact).toStdString(), "application/json");
    }
    // Every registration, authorization and token is logged with its client, never a secret.
    qInfo().noquote() << QStringLiteral("auth %1 %2 %3 client %4")
                             .arg(QString::fromStdString(request.method), path)
                             .arg(response.status)
                             .arg(clientId.isEmpty() ? QStringLiteral("-") : clientId);
}

SimAuthServer::Reply SimAuthServer::registerClient(const QByteArray &body)
{
    const QJsonObject request = QJsonDocument::fromJson(body).object();
    const auto refuse = [](const QString &error, const QString &description) {
        return Reply{400, oauthError(error, description)};
    };
    Client client;
    client.name = request.value(QLatin1String("client_name")).toString();
    if (client.name.isEmpty())
        return refuse(QStringLiteral("invalid_client_metadata"), QStringLiteral("client_name is required"));
    const QString method = request.value(QLatin1String("token_endpoint_auth_method")).toString(QStringLiteral("client_secret_basic"));
    if (method != QLatin1String("none") && method != QLatin1String("client_secret_basic")
        && method != QLatin1String("client_secret_post"))
        return refuse(QStringLiteral("invalid_client_metadata"), QStringLiteral("unsupported token_endpoint_auth_method ") + method);
    const QJsonValue grants = request.value(QLatin1String("grant_types"));
    for (const QJsonValue &grant : grants.isUndefined() ? QJsonArray{QStringLiteral("authorization_code")} : grants.toArray())
        client.grantTypes << grant.toString();
    for (const QString &grant : qAsConst(client.grantTypes)) {
        if (!GrantTypes.contains(grant))
            return refuse(QStringLiteral("invalid_client_metadata"), QStringLiteral("unsupported grant type ") + grant);
    }
    if (method == QLatin1String("none") && client.grantTypes.contains(QStringLiteral("client_credentials")))
        return refuse(QStringLiteral("invalid_client_metadata"), QStringLiteral("a public client cannot use client_credentials"));
    for (const QJsonValue &uri : request.value(QLatin1String("redirect_uris")).toArray()) {
        const QUrl url(uri.toString(), QUrl::StrictMode);
        if (!url.isValid() || url.isRelative() || url.hasFragment())
            return refuse(QStringLiteral("invalid_redirect_uri"), QStringLiteral("not an absolute URI: ") + uri.toString());
        client.redirectUris << uri.toString();
    }
    if (client.grantTypes.contains(QStringLiteral("authorization_code")) && client.redirectUris.isEmpty())
        return refuse(QStringLiteral("invalid_redirect_uri"), QStringLiteral("the authorization_code grant needs redirect_uris"));
    if (!allowedScopes(request.value(QLatin1String("scope")).toString(), Scopes, &client.scopes))
        return refuse(QStringLiteral("invalid_client_metadata"), QStringLiteral("unknown scope"));
    if (method != QLatin1String("none"))
        client.secret = randomText(32);

    const QString clientId = randomText(18);
    QJsonObject reply = request;
    reply.insert(QStringLiteral("client_id"), clientId);
    reply.insert(QStringLiteral("client_id_issued_at"), QDateTime::currentSecsSinceEpoch());
    reply.insert(QStringLiteral("token_endpoint_auth_method"), method);
    reply.insert(QStringLiteral("grant_types"), QJsonArray::fromStringList(client.grantTypes));
    reply.insert(QStringLiteral("scope"), client.scopes.join(QLatin1Char(' ')));
    if (!client.secret.isEmpty()) {
        reply.insert(QStringLiteral("client_secret"), client.secret);
        reply.insert(QStringLiteral("client_secret_expires_at"), 0);
    }
    QMutexLocker lock(&m_mutex);
    m_clients.insert(clientId, client);
    return Reply{201, reply};
}

bool SimAuthServer::redirectMatches(const QString &registered, const QString &given) const
{
    if (registered == given)
        return true;
    // A native client's loopback listener takes whatever port is free (RFC 8252 7.3).
    QUrl left(registered);
    QUrl right(given);
    const QString host = left.host();
    if (left.scheme() != QLatin1String("http")
        || (host != QLatin1String("127.0.0.1") && host != QLatin1String("::1") && host != QLatin1String("localhost")))
        return false;
    left.setPort(-1);
    right.setPort(-1);
    return left == right;
}

void SimAuthServer::authorize(const httplib::Request &request, httplib::Response &response)
{
    const QString clientId = param(request, "client_id");
    QString redirectUri = param(request, "redirect_uri");
    QMutexLocker lock(&m_mutex);
    const auto client = m_clients.constFind(clientId);
    if (client != m_clients.constEnd() && redirectUri.isEmpty() && client->redirectUris.size() == 1)
        redirectUri = client->redirectUris.first();
    const bool known = client != m_clients.constEnd()
                       && std::any_of(client->redirectUris.begin(), client->redirectUris.end(),
                                      [&](const QString &uri) { return redirectMatches(uri, redirectUri); });
    // Never send the browser to an address the client did not register.
    if (!known) {
        response.status = 400;
        const QJsonObject body = oauthError(client == m_clients.constEnd() ? QStringLiteral("invalid_client") : QStringLiteral("invalid_request"),
                                            client == m_clients.constEnd() ? QStringLiteral("unknown client_id") : QStringLiteral("redirect_uri not registered"));
        response.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(), "application/json");
        return;
    }
    QUrl target(redirectUri);
    QUrlQuery query(target);
    Grant grant{clientId, {}, redirectUri, param(request, "code_challenge"), 0};
    QString error;
    if (param(request, "response_type") != QLatin1String("code"))
        error = QStringLiteral("unsupported_response_type");
    else if (!client->grantTypes.contains(QStringLiteral("authorization_code")))
        error = QStringLiteral("unauthorized_client");
    else if (!allowedScopes(param(request, "scope"), client->scopes, &grant.scopes))
        error = QStringLiteral("invalid_scope");
    // A public client proves with PKCE that it is the one that asked.
    else if ((client->secret.isEmpty() && grant.challenge.isEmpty())
             || (!grant.challenge.isEmpty() && param(request, "code_challenge_method") != QLatin1String("S256")))
        error = QStringLiteral("invalid_request");
    if (error.isEmpty()) {
        const QString code = randomText(24);
        grant.expires = QDateTime::currentSecsSinceEpoch() + CodeLifetimeSeconds;
        m_codes.insert(code, grant);
        query.addQueryItem(QStringLiteral("code"), code);
    } else {
        query.addQueryItem(QStringLiteral("error"), error);
    }
    if (request.has_param("state"))
        query.addQueryItem(QStringLiteral("state"), param(request, "state"));
    target.setQuery(query);
    response.set_redirect(target.toString(QUrl::FullyEncoded).toStdString(), 302);
}

SimAuthServer::Reply SimAuthServer::token(const httplib::Request &request, QString *clientId)
{
    // The client's credentials: HTTP Basic, or client_id (and client_secret) in the body.
    QString secret;
    bool hasSecret = false;
    const QByteArray basic = QByteArray::fromStdString(request.get_header_value("Authorization"));
    if (basic.startsWith("Basic ")) {
        const QByteArray pair = QByteArray::fromBase64(basic.mid(6).trimmed());
        const int colon = pair.indexOf(':');
        *clientId = QUrl::fromPercentEncoding(pair.left(colon));
        secret = QUrl::fromPercentEncoding(colon < 0 ? QByteArray() : pair.mid(colon + 1));
        hasSecret = true;
    } else {
        *clientId = param(request, "client_id");
        hasSecret = request.has_param("client_secret");
        secret = param(request, "client_secret");
    }
    QMutexLocker lock(&m_mutex);
    const auto client = m_clients.constFind(*clientId);
    if (client == m_clients.constEnd())
        return Reply{401, oauthError(QStringLiteral("invalid_client"), QStringLiteral("unknown client"))};
    if (client->secret.isEmpty() ? hasSecret : !sameSecret(client->secret, secret))
        return Reply{401, oauthError(QStringLiteral("invalid_client"), QStringLiteral("client authentication failed"))};
    const QString grantType = param(request, "grant_type");
    if (!GrantTypes.contains(grantType))
        return Reply{400, oauthError(QStringLiteral("unsupported_grant_type"), QStringLiteral("unsupported grant_type"))};
    if (!client->grantTypes.contains(grantType))
        return Reply{400, oauthError(QStringLiteral("unauthorized_client"), QStringLiteral("the client did not register grant_type ") + grantType)};
    return grantToken(*clientId, *client, grantType, request);
}

SimAuthServer::Reply SimAuthServer::grantToken(const QString &clientId, const Client &client, const QString &grantType,
                                               const httplib::Request &request)
{
    const auto invalid = [](const QString &error, const QString &description) {
        return Reply{400, oauthError(error, description)};
    };
    const bool refresh = client.grantTypes.contains(QStringLiteral("refresh_token"));
    if (grantType == QLatin1String("client_credentials")) {
        Grant grant{clientId, {}, {}, {}, 0};
        if (!allowedScopes(param(request, "scope"), client.scopes, &grant.scopes))
            return invalid(QStringLiteral("invalid_scope"), QStringLiteral("scope not allowed for this client"));
        return tokenReply(clientId, clientId, grant, false);
    }
    if (grantType == QLatin1String("refresh_token")) {
        const Grant grant = m_refreshTokens.value(param(request, "refresh_token"));
        Grant narrowed = grant;
        if (grant.clientId != clientId)
            return invalid(QStringLiteral("invalid_grant"), QStringLiteral("unknown refresh_token"));
        if (!allowedScopes(param(request, "scope"), grant.scopes, &narrowed.scopes))
            return invalid(QStringLiteral("invalid_scope"), QStringLiteral("scope beyond the original grant"));
        Reply reply = tokenReply(clientId, QStringLiteral("operator"), narrowed, false);
        reply.body.insert(QStringLiteral("refresh_token"), param(request, "refresh_token"));
        return reply;
    }
    // Codes are good for one try, right or wrong.
    const Grant grant = m_codes.take(param(request, "code"));
    if (grant.clientId != clientId || grant.expires < QDateTime::currentSecsSinceEpoch())
        return invalid(QStringLiteral("invalid_grant"), QStringLiteral("unknown or expired code"));
    if (request.has_param("redirect_uri") && param(request, "redirect_uri") != grant.redirectUri)
        return invalid(QStringLiteral("invalid_grant"), QStringLiteral("redirect_uri differs from the authorization request's"));
    const QByteArray verifier = param(request, "code_verifier").toLatin1();
    const QByteArray proof = SimSigningKey::base64Url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256));
    if (!grant.challenge.isEmpty() && (verifier.size() < 43 || verifier.size() > 128 || proof != grant.challenge.toLatin1()))
        return invalid(QStringLiteral("invalid_grant"), QStringLiteral("code_verifier does not match the code_challenge"));
    return tokenReply(clientId, QStringLiteral("operator"), grant, refresh);
}

SimAuthServer::Reply SimAuthServer::tokenReply(const QString &clientId, const QString &subject, const Grant &grant,
                                               bool refresh)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonObject claims{{QStringLiteral("iss"), m_issuer},
                       {QStringLiteral("sub"), subject},
                       {QStringLiteral("aud"), QJsonArray::fromStringList(m_audience)},
                       {QStringLiteral("iat"), now},
                       {QStringLiteral("exp"), now + m_config.tokenLifetime},
                       {QStringLiteral("client_id"), clientId},
                       {QStringLiteral("scope"), grant.scopes.join(QLatin1Char(' '))}};
    for (const QString &scope : grant.scopes) {
        QJsonObject permissions{{QStringLiteral("read"), QJsonArray{QStringLiteral("*")}}};
        if (!m_config.authReadOnly.contains(scope))
            permissions.insert(QStringLiteral("write"), QJsonArray{QStringLiteral("*")});
        claims.insert(QStringLiteral("x-nmos-") + scope, permissions);
    }
    QJsonObject body{{QStringLiteral("access_token"), QString::fromLatin1(m_key.sign(claims))},
                     {QStringLiteral("token_type"), QStringLiteral("Bearer")},
                     {QStringLiteral("expires_in"), m_config.tokenLifetime},
                     {QStringLiteral("scope"), grant.scopes.join(QLatin1Char(' '))}};
    if (refresh) {
        const QString refreshToken = randomText(32);
        m_refreshTokens.insert(refreshToken, grant);
        body.insert(QStringLiteral("refresh_token"), refreshToken);
    }
    return Reply{200, body};
}

bool SimAuthServer::allowedScopes(const QString &requested, const QStringList &granted, QStringList *scopes) const
{
    const QStringList asked = requested.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &scope : asked) {
        if (!granted.contains(scope))
            return false;
    }
    *scopes = asked.isEmpty() ? granted : asked;
    return true;
}
