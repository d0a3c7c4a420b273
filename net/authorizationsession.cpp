#include "authorizationsession.h"

#include "limitednetworkaccessmanager.h"
#include "replylimits.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QOAuth2AuthorizationCodeFlow>
#include <QOAuthHttpServerReplyHandler>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrlQuery>

#include <limits>

Q_LOGGING_CATEGORY(lcAuth, "ferrolink.auth", QtInfoMsg)

const QString AuthorizationSession::ClientName = QStringLiteral("Ferrolink");
const QString AuthorizationSession::Scope = QStringLiteral("query connection node");

namespace {

// Marks the session's own token requests apart from the one Qt's flow sends.
constexpr QNetworkRequest::Attribute OwnTokenRequest = QNetworkRequest::User;
// A token renewal that failed for want of an answer is tried again this much later.
constexpr int RetryMs = 5000;

// base64url of cryptographically random bytes: Qt 5's own random strings come from a
// generator seeded with the clock, too guessable for a state or a PKCE verifier.
QByteArray randomText(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(data.data()), bytes / 4);
    return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString formValue(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

// The expiry a JWT states for itself ("exp"), when the token is one.
QDateTime jwtExpiry(const QString &token)
{
    const QStringList parts = token.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return QDateTime();
    const QByteArray payload = QByteArray::fromBase64(parts.at(1).toLatin1(), QByteArray::Base64UrlEncoding);
    const QJsonValue exp = QJsonDocument::fromJson(payload).object().value(QLatin1String("exp"));
    return exp.isDouble() ? QDateTime::fromSecsSinceEpoch(qint64(exp.toDouble())) : QDateTime();
}

QJsonObject replyObject(QNetworkReply *reply)
{
    return QJsonDocument::fromJson(reply->readAll()).object();
}

} // namespace

AuthorizationSession::AuthorizationSession(QObject *parent)
    : QObject(parent)
    , m_manager(new LimitedNetworkAccessManager(this))
    , m_flow(new QOAuth2AuthorizationCodeFlow(m_manager, this))
    // Its other constructors listen on every interface at once.
    , m_listener(new QOAuthHttpServerReplyHandler(QHostAddress::LocalHost, 0, this))
{
    m_listener->close();
    m_listener->setCallbackText(tr("Ferrolink has your sign-in. You can close this page."));
    m_flow->setReplyHandler(m_listener);
    m_flow->setScope(Scope);
    m_flow->setModifyParametersFunction([this](QAbstractOAuth::Stage stage, QVariantMap *parameters) {
        if (stage == QAbstractOAuth::Stage::RequestingAuthorization) {
            const QByteArray challenge = QCryptographicHash::hash(m_codeVerifier, QCryptographicHash::Sha256)
                                             .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
            parameters->insert(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
            parameters->insert(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
        } else if (stage == QAbstractOAuth::Stage::RequestingAccessToken) {
            parameters->insert(QStringLiteral("code_verifier"), QString::fromLatin1(m_codeVerifier));
            parameters->insert(QStringLiteral("scope"), formValue(Scope));
        }
    });
    connect(m_flow, &QAbstractOAuth::authorizeWithBrowser, this, &AuthorizationSession::authorizeWithBrowser);
    connect(m_flow, &QAbstractOAuth2::error, this, [this](const QString &error, const QString &description) {
        failSignIn(description.isEmpty() ? error : error + QStringLiteral(": ") + description);
    });
    // The flow's tokens come through the listener; they are read here like those of every
    // other grant, JWT expiry included.
    connect(m_listener, &QAbstractOAuthReplyHandler::tokensReceived, this, [this](const QVariantMap &tokens) {
        QString reason;
        if (m_state == SigningIn && !acceptTokens(QJsonObject::fromVariantMap(tokens), &reason))
            failSignIn(reason);
    });
    // Qt 5's flow drops a refused code exchange without a word; its reply is read here.
    connect(m_manager, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
        if (!reply->request().attribute(OwnTokenRequest).toBool() && reply->url() == m_tokenEndpoint)
            codeExchangeFinished(reply);
    });
    m_refreshTimer.setSingleShot(true);
    // A coarse timer may fire late by 5 %, past the margin.
    m_refreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_refreshTimer, &QTimer::timeout, this, &AuthorizationSession::renew);
}

void AuthorizationSession::setServer(const QUrl &issuerOrBase, const QString &verifyName)
{
    const QUrl server = issuerOrBase.adjusted(QUrl::StripTrailingSlash | QUrl::RemoveQuery | QUrl::RemoveFragment);
    if (server == m_server && verifyName == m_verifyName && (isServerKnown() || m_metadataReply))
        return;
    cancelSignIn();
    abortRequests();
    dropToken();
    m_server = server;
    m_verifyName = verifyName;
    m_tokenEndpoint.clear();
    m_authorizationEndpoint.clear();
    m_registrationEndpoint.clear();
    if (m_server.isEmpty()) {
        setState(Unneeded);
        return;
    }
    readMetadata();
}

void AuthorizationSession::setClientId(const QString &clientId)
{
    m_clientId = clientId;
    m_clientSecret.clear();
}

void AuthorizationSession::setClientCredentials(const QString &clientId, const QString &secret)
{
    m_clientId = clientId;
    m_clientSecret = secret;
}

void AuthorizationSession::readMetadata()
{
    if (m_server.scheme() != QLatin1String("https")) {
        m_signInPending = false;
        setState(SignInNeeded, tr("the authorization server %1 is not https").arg(m_server.toString()));
        return;
    }
    // RFC 8414: the well-known name goes between the host and the issuer's path.
    QUrl url = m_server;
    url.setPath(QStringLiteral("/.well-known/oauth-authorization-server") + m_server.path());
    QNetworkRequest request = serverRequest(url);
    request.setRawHeader("Accept", "application/json");
    m_metadataReply = m_manager->get(request);
    connect(m_metadataReply, &QNetworkReply::finished, this, [this, reply = m_metadataReply.data()] { metadataFinished(reply); });
    setState(m_signInPending ? SigningIn : SignInNeeded, tr("not signed in"));
}

void AuthorizationSession::metadataFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_metadataReply)
        return;
    QString reason;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (ReplyLimits::failed(reply, &reason) || status != 200) {
        m_signInPending = false;
        setState(SignInNeeded, tr("cannot read the authorization server's metadata: %1").arg(reason.isEmpty() ? QString::number(status) : reason));
        return;
    }
    const QJsonObject metadata = replyObject(reply);
    const auto endpoint = [&metadata](const char *name) {
        const QUrl url(metadata.value(QLatin1String(name)).toString());
        return url.scheme() == QLatin1String("https") ? url : QUrl();
    };
    m_authorizationEndpoint = endpoint("authorization_endpoint");
    m_registrationEndpoint = endpoint("registration_endpoint");
    m_authMethods.clear();
    for (const QJsonValue &method : metadata.value(QLatin1String("token_endpoint_auth_methods_supported")).toArray())
        m_authMethods.append(method.toString());
    // A token endpoint is what every grant needs; plain http would expose what it is sent.
    if (endpoint("token_endpoint").isEmpty()) {
        m_signInPending = false;
        setState(SignInNeeded, tr("the authorization server's metadata names no https token endpoint"));
        return;
    }
    m_tokenEndpoint = endpoint("token_endpoint");
    m_flow->setAuthorizationUrl(m_authorizationEndpoint);
    m_flow->setAccessTokenUrl(m_tokenEndpoint);
    if (m_signInPending)
        signIn();
}

void AuthorizationSession::signIn()
{
    if (m_server.isEmpty())
        return;
    if (!isServerKnown()) {
        m_signInPending = true;
        setState(SigningIn);
        if (!m_metadataReply)
            readMetadata();
        return;
    }
    m_signInPending = false;
    if (m_registrationReply || m_tokenReply)
        return;
    setState(SigningIn);
    if (isConfidential()) {
        requestToken({{QStringLiteral("grant_type"), QStringLiteral("client_credentials")}, {QStringLiteral("scope"), Scope}});
        return;
    }
    if (m_authorizationEndpoint.isEmpty()) {
        failSignIn(tr("the authorization server offers no browser sign-in"));
        return;
    }
    if (!m_listener->isListening() && !m_listener->listen(QHostAddress::LocalHost, 0)) {
        failSignIn(tr("cannot listen on 127.0.0.1 for the browser's answer"));
        return;
    }
    if (m_clientId.isEmpty())
        registerClient();
    else
        startBrowserSignIn();
}

QNetworkRequest AuthorizationSession::serverRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    if (!m_verifyName.isEmpty() && url.host().compare(m_server.host(), Qt::CaseInsensitive) == 0)
        request.setPeerVerifyName(m_verifyName);
    return request;
}

void AuthorizationSession::registerClient()
{
    if (m_registrationEndpoint.isEmpty()) {
        failSignIn(tr("no client is registered and the authorization server offers no registration"));
        return;
    }
    const QJsonObject client{
        {QStringLiteral("client_name"), ClientName},
        {QStringLiteral("token_endpoint_auth_method"), QStringLiteral("none")},
        {QStringLiteral("grant_types"), QJsonArray{QStringLiteral("authorization_code"), QStringLiteral("refresh_token")}},
        {QStringLiteral("response_types"), QJsonArray{QStringLiteral("code")}},
        {QStringLiteral("redirect_uris"), QJsonArray{m_listener->callback()}},
        {QStringLiteral("scope"), Scope},
    };
    QNetworkRequest request = serverRequest(m_registrationEndpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    m_registrationReply = m_manager->post(request, QJsonDocument(client).toJson(QJsonDocument::Compact));
    connect(m_registrationReply, &QNetworkReply::finished, this,
            [this, reply = m_registrationReply.data()] { registrationFinished(reply); });
}

void AuthorizationSession::registrationFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_registrationReply)
        return;
    QString reason;
    const bool failed = ReplyLimits::failed(reply, &reason);
    const QJsonObject answer = replyObject(reply);
    const QString clientId = answer.value(QLatin1String("client_id")).toString();
    if (failed || clientId.isEmpty()) {
        const QString error = answer.value(QLatin1String("error_description")).toString(answer.value(QLatin1String("error")).toString());
        failSignIn(tr("client registration refused: %1").arg(error.isEmpty() ? reason : error));
        return;
    }
    m_clientId = clientId;
    qCInfo(lcAuth) << "Registered with" << m_server.host() << "as client" << clientId;
    emit clientRegistered(m_server, clientId);
    startBrowserSignIn();
}

void AuthorizationSession::startBrowserSignIn()
{
    m_codeVerifier = randomText(48);
    m_flow->setClientIdentifier(m_clientId);
    m_flow->setState(QString::fromLatin1(randomText(24)));
    m_flow->grant();
}

void AuthorizationSession::cancelSignIn()
{
    if (m_state != SigningIn)
        return;
    abortRequests();
    failSignIn(tr("sign-in cancelled"));
}

void AuthorizationSession::abortRequests()
{
    m_signInPending = false;
    // Cleared first: an aborted reply finishes at once, and its handler must find it stale.
    const QList<QNetworkReply *> replies{m_metadataReply.data(), m_registrationReply.data(), m_tokenReply.data()};
    m_metadataReply.clear();
    m_registrationReply.clear();
    m_tokenReply.clear();
    for (QNetworkReply *reply : replies) {
        if (reply)
            reply->abort();
    }
}

bool AuthorizationSession::refreshNow()
{
    if (m_tokenReply)
        return true;
    if (!isServerKnown() || (!isConfidential() && m_refreshToken.isEmpty()))
        return false;
    renew();
    return true;
}

void AuthorizationSession::renew()
{
    if (m_tokenReply || !isServerKnown())
        return;
    if (!isConfidential() && m_refreshToken.isEmpty()) {
        // Nothing to renew it with: it is kept until it expires, then a sign-in is needed.
        const qint64 left = QDateTime::currentDateTimeUtc().msecsTo(m_expiry);
        if (left > 0) {
            m_refreshTimer.start(int(qMin<qint64>(left, std::numeric_limits<int>::max())));
        } else if (hasToken()) {
            dropToken();
            failSignIn(tr("the token expired"));
        }
        return;
    }
    if (isConfidential()) {
        requestToken({{QStringLiteral("grant_type"), QStringLiteral("client_credentials")}, {QStringLiteral("scope"), Scope}});
    } else {
        // Qt 5's flow renews without the client id, which a public client must send, and
        // stays "refreshing" for good when the server refuses; the grant is posted here.
        requestToken({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                      {QStringLiteral("refresh_token"), m_refreshToken},
                      {QStringLiteral("client_id"), m_clientId},
                      {QStringLiteral("scope"), Scope}});
    }
}

void AuthorizationSession::requestToken(const QList<QPair<QString, QString>> &form)
{
    QNetworkRequest request = serverRequest(m_tokenEndpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(OwnTokenRequest, true);
    QStringList fields;
    for (const auto &field : form)
        fields.append(field.first + QLatin1Char('=') + formValue(field.second));
    if (isConfidential()) {
        // client_secret_basic unless the server offers only client_secret_post (RFC 8414's
        // default is basic).
        if (!m_authMethods.contains(QLatin1String("client_secret_basic")) && m_authMethods.contains(QLatin1String("client_secret_post"))) {
            fields.append(QStringLiteral("client_id=") + formValue(m_clientId));
            fields.append(QStringLiteral("client_secret=") + formValue(m_clientSecret));
        } else {
            const QByteArray credentials = (formValue(m_clientId) + QLatin1Char(':') + formValue(m_clientSecret)).toLatin1();
            request.setRawHeader("Authorization", "Basic " + credentials.toBase64());
        }
    }
    m_tokenReply = m_manager->post(request, fields.join(QLatin1Char('&')).toLatin1());
    connect(m_tokenReply, &QNetworkReply::finished, this, [this, reply = m_tokenReply.data()] { tokenFinished(reply); });
}

void AuthorizationSession::tokenFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_tokenReply)
        return;
    m_tokenReply.clear();
    QString reason;
    const bool failed = ReplyLimits::failed(reply, &reason);
    const QJsonObject answer = replyObject(reply);
    if (failed || answer.contains(QLatin1String("error"))) {
        const Challenge refusal{answer.value(QLatin1String("error")).toString(), answer.value(QLatin1String("error_description")).toString()};
        tokenRefused(refusal, reason);
        return;
    }
    if (!acceptTokens(answer, &reason))
        tokenRefused(Challenge(), reason);
}

void AuthorizationSession::codeExchangeFinished(QNetworkReply *reply)
{
    QString reason;
    if (m_state != SigningIn || !ReplyLimits::failed(reply, &reason))
        return;
    const QJsonObject answer = replyObject(reply);
    tokenRefused({answer.value(QLatin1String("error")).toString(), answer.value(QLatin1String("error_description")).toString()}, reason);
}

void AuthorizationSession::tokenRefused(const Challenge &refusal, const QString &reason)
{
    QString why = refusal.error.isEmpty() ? reason : refusal.error;
    if (!refusal.description.isEmpty())
        why += QStringLiteral(": ") + refusal.description;
    qCInfo(lcAuth) << "Token request refused by" << m_server.host() << why;
    // The server no longer knows the window's client (revoked, or its database reset):
    // registering again is the cure, but only once, lest a server that refuses every client
    // be asked for new ones without end.
    if (refusal.error == QLatin1String("invalid_client") && !isConfidential() && !m_reregistered) {
        m_reregistered = true;
        dropToken();
        m_clientId.clear();
        setState(SigningIn);
        signIn();
        return;
    }
    const bool transient = refusal.error.isEmpty() && hasToken();
    if (transient && QDateTime::currentDateTimeUtc().addMSecs(RetryMs) < m_expiry) {
        m_refreshTimer.start(RetryMs);
        return;
    }
    dropToken();
    failSignIn(refusal.error.isEmpty() ? tr("no token from the authorization server: %1").arg(why)
                                       : tr("the authorization server refused a token: %1").arg(why));
}

bool AuthorizationSession::acceptTokens(const QJsonObject &reply, QString *reason)
{
    const QString token = reply.value(QLatin1String("access_token")).toString();
    if (token.isEmpty() || reply.value(QLatin1String("token_type")).toString().compare(QLatin1String("bearer"), Qt::CaseInsensitive) != 0) {
        *reason = tr("the authorization server's answer holds no bearer token");
        return false;
    }
    m_accessToken = token;
    // A new refresh token replaces the old one; a renewal without one keeps it.
    if (reply.contains(QLatin1String("refresh_token")))
        m_refreshToken = reply.value(QLatin1String("refresh_token")).toString();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // JSON from Qt's flow carries expires_in as a string when the server sent one.
    const qint64 expiresIn = reply.value(QLatin1String("expires_in")).toVariant().toLongLong();
    m_expiry = expiresIn > 0 ? now.addSecs(expiresIn) : QDateTime();
    const QDateTime stated = jwtExpiry(token);
    if (stated.isValid() && (!m_expiry.isValid() || stated < m_expiry))
        m_expiry = stated;
    m_refreshTimer.stop();
    if (m_expiry.isValid())
        m_refreshTimer.start(int(qBound<qint64>(0, now.msecsTo(m_expiry) - RefreshMarginSeconds * 1000, std::numeric_limits<int>::max())));
    m_reregistered = false;
    stopListening();
    // The expiry in the state's text changes with every token.
    m_state = SignedIn;
    m_why.clear();
    emit stateChanged();
    emit tokenChanged();
    return true;
}

void AuthorizationSession::failSignIn(const QString &why)
{
    m_signInPending = false;
    stopListening();
    setState(hasToken() ? SignedIn : SignInNeeded, why);
}

void AuthorizationSession::dropToken()
{
    m_refreshTimer.stop();
    const bool had = hasToken();
    m_accessToken.clear();
    m_refreshToken.clear();
    m_expiry = QDateTime();
    if (had)
        emit tokenChanged();
}

void AuthorizationSession::stopListening()
{
    if (m_listener->isListening())
        m_listener->close();
}

void AuthorizationSession::setState(State state, const QString &why)
{
    if (state == m_state && why == m_why)
        return;
    m_state = state;
    m_why = why;
    emit stateChanged();
}

QString AuthorizationSession::stateText() const
{
    switch (m_state) {
    case Unneeded:
        return tr("No sign-in needed");
    case SigningIn:
        return tr("Signing in at %1").arg(m_server.host());
    case SignedIn:
        if (!m_expiry.isValid())
            return tr("Signed in at %1").arg(m_server.host());
        return tr("Signed in at %1 (expires %2)").arg(m_server.host(), m_expiry.toLocalTime().toString(QStringLiteral("HH:mm")));
    case SignInNeeded:
        break;
    }
    return tr("Sign-in needed: %1").arg(m_why);
}

QString AuthorizationSession::origin(const QUrl &url)
{
    // A WebSocket's handshake is an http request to the API that handed out its address.
    QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("wss") || scheme == QLatin1String("ws"))
        scheme = scheme == QLatin1String("wss") ? QStringLiteral("https") : QStringLiteral("http");
    return scheme + QStringLiteral("://") + url.host().toLower() + QLatin1Char(':')
           + QString::number(url.port(scheme == QLatin1String("https") ? 443 : 80));
}

void AuthorizationSession::addApiOrigin(const QUrl &url)
{
    if (url.isValid() && !url.host().isEmpty())
        m_apiOrigins.insert(origin(url));
}

bool AuthorizationSession::authorize(QNetworkRequest *request) const
{
    const QUrl url = request->url();
    if (!hasToken() || !origin(url).startsWith(QLatin1String("https://")) || !m_apiOrigins.contains(origin(url)))
        return false;
    request->setRawHeader("Authorization", "Bearer " + m_accessToken.toLatin1());
    return true;
}

AuthorizationSession::Challenge AuthorizationSession::challengeError(const QByteArray &header)
{
    // auth-param = token "=" ( token / quoted-string ), RFC 7235.
    static const QRegularExpression param(QStringLiteral(R"re(([A-Za-z0-9_\-]+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^\s,]*)))re"));
    Challenge challenge;
    auto matches = param.globalMatch(QString::fromLatin1(header));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        QString value = match.capturedLength(2) ? match.captured(2) : match.captured(3);
        value.replace(QRegularExpression(QStringLiteral(R"(\\(.))")), QStringLiteral("\\1"));
        const QString name = match.captured(1).toLower();
        if (name == QLatin1String("error"))
            challenge.error = value;
        else if (name == QLatin1String("error_description"))
            challenge.description = value;
    }
    return challenge;
}
