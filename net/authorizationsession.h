#ifndef AUTHORIZATIONSESSION_H
#define AUTHORIZATIONSESSION_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

class QNetworkReply;
class QNetworkRequest;
class QOAuth2AuthorizationCodeFlow;
class QOAuthHttpServerReplyHandler;
class LimitedNetworkAccessManager;

// The access token of one secured facility: where its authorization server is, which client
// Ferrolink is there, the token itself (in memory only, renewed before it expires), and which
// of the facility's APIs get it.
//
// The window is a public client that signs in in the system browser: the session emits
// authorizeWithBrowser(url) and the application opens it; the browser comes back to a listener
// on 127.0.0.1. ferrolink-cli is a confidential client with a client id and secret given to
// setClientCredentials(). Every request to the authorization server is https with the
// process's certificate authorities.
class AuthorizationSession : public QObject
{
    Q_OBJECT

public:
    enum State {
        Unneeded,     // no authorization server is set
        SigningIn,    // reading the server's metadata, registering, or waiting for the browser or a token
        SignedIn,     // a token is held
        SignInNeeded  // no token: stateText() says why
    };
    Q_ENUM(State)

    // The "error" and "error_description" of a WWW-Authenticate challenge.
    struct Challenge
    {
        QString error;
        QString description;
    };

    // A token is renewed this long before it expires.
    static constexpr int RefreshMarginSeconds = 15;
    static const QString ClientName;
    static const QString Scope;

    explicit AuthorizationSession(QObject *parent = nullptr);

    // The authorization server by its issuer identifier or base URL (https only); reads its
    // metadata from <base>/.well-known/oauth-authorization-server[/<issuer path>]. Forgets any
    // token held for another server. A server found by mDNS is reached at an address while
    // its certificate names the host it announced: verifyName, checked on every request to
    // the base's host.
    void setServer(const QUrl &issuerOrBase, const QString &verifyName = QString());
    QUrl server() const { return m_server; }
    // Whether the server's metadata has been read.
    bool isServerKnown() const { return !m_tokenEndpoint.isEmpty(); }

    // The window's client id at this server, kept from an earlier registration; without one
    // the session registers a client before its first sign-in and emits clientRegistered().
    void setClientId(const QString &clientId);
    QString clientId() const { return m_clientId; }
    // Makes the session a confidential client: it signs in by the client-credentials grant.
    void setClientCredentials(const QString &clientId, const QString &secret);

    // Gets a token: the browser sign-in for the window, the client-credentials grant for a
    // confidential client. Waits for the metadata when it is not read yet.
    void signIn();
    // Stops a sign-in under way: the browser's answer is no longer listened for.
    void cancelSignIn();
    // For a caller whose request was refused with 401: renews the token (at most one renewal
    // at a time). Returns whether a renewal is under way; tokenChanged() ends it.
    bool refreshNow();

    // An origin of the facility's APIs (registry, node, device): only these get the token.
    void addApiOrigin(const QUrl &url);
    // Sets "Authorization: Bearer <token>" on the request when a token is held, the request is
    // https (or wss, a WebSocket's handshake) and its origin is one of the API origins.
    // Returns whether it did.
    bool authorize(QNetworkRequest *request) const;
    bool hasToken() const { return !m_accessToken.isEmpty(); }
    QDateTime expiry() const { return m_expiry; }

    State state() const { return m_state; }
    // "Signed in at auth.example (expires 14:05)", "Sign-in needed: <why>", ...
    QString stateText() const;

    // The error of a WWW-Authenticate header value (Bearer error="invalid_token", ...).
    static Challenge challengeError(const QByteArray &header);

signals:
    void stateChanged();
    // A new token is held (after a sign-in or a renewal), or the token was dropped.
    void tokenChanged();
    // The application keeps clientId for serverUrl (server()) in its settings and gives it
    // back with setClientId() next time.
    void clientRegistered(const QUrl &serverUrl, const QString &clientId);
    // The application opens url in the system browser.
    void authorizeWithBrowser(const QUrl &url);

private:
    void readMetadata();
    void metadataFinished(QNetworkReply *reply);
    QNetworkRequest serverRequest(const QUrl &url) const;
    void registerClient();
    void registrationFinished(QNetworkReply *reply);
    void startBrowserSignIn();
    void requestToken(const QList<QPair<QString, QString>> &form);
    void tokenFinished(QNetworkReply *reply);
    void codeExchangeFinished(QNetworkReply *reply);
    bool acceptTokens(const QJsonObject &reply, QString *reason);
    void tokenRefused(const Challenge &refusal, const QString &reason);
    void renew();
    void failSignIn(const QString &why);
    void abortRequests();
    void dropToken();
    void setState(State state, const QString &why = QString());
    void stopListening();
    bool isConfidential() const { return !m_clientSecret.isEmpty(); }
    static QString origin(const QUrl &url);

    LimitedNetworkAccessManager *m_manager;
    QOAuth2AuthorizationCodeFlow *m_flow;
    QOAuthHttpServerReplyHandler *m_listener;

    QUrl m_server;
    QString m_verifyName;
    QUrl m_authorizationEndpoint;
    QUrl m_tokenEndpoint;
    QUrl m_registrationEndpoint;
    QStringList m_authMethods;
    QPointer<QNetworkReply> m_metadataReply;
    QPointer<QNetworkReply> m_registrationReply;
    QPointer<QNetworkReply> m_tokenReply;

    QString m_clientId;
    QString m_clientSecret;
    bool m_reregistered = false; // once per refusal of the client, never in a loop
    QByteArray m_codeVerifier;
    bool m_signInPending = false; // until the metadata is read

    QString m_accessToken;
    QString m_refreshToken;
    QDateTime m_expiry;
    QTimer m_refreshTimer;
    QSet<QString> m_apiOrigins;

    State m_state = Unneeded;
    QString m_why;
};

#endif // AUTHORIZATIONSESSION_H
