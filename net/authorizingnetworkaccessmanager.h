#ifndef AUTHORIZINGNETWORKACCESSMANAGER_H
#define AUTHORIZINGNETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>
#include <QPointer>

class AuthorizationSession;

// A QNetworkAccessManager that gives every request it sends to the session to authorize, so
// that the facility's bearer token goes with each request to its APIs and with no other.
class AuthorizingNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit AuthorizingNetworkAccessManager(AuthorizationSession *session = nullptr, QObject *parent = nullptr);

    // May be null: requests then go without a token.
    void setSession(AuthorizationSession *session) { m_session = session; }
    AuthorizationSession *session() const { return m_session; }

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *outgoingData) override;

private:
    QPointer<AuthorizationSession> m_session;
};

#endif // AUTHORIZINGNETWORKACCESSMANAGER_H
