#include "authorizingnetworkaccessmanager.h"

#include "authorizationsession.h"

#include <QNetworkRequest>

AuthorizingNetworkAccessManager::AuthorizingNetworkAccessManager(AuthorizationSession *session, QObject *parent)
    : QNetworkAccessManager(parent)
    , m_session(session)
{
}

QNetworkReply *AuthorizingNetworkAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                              QIODevice *outgoingData)
{
    QNetworkRequest authorized = request;
    // A request copied from one to another API keeps its header: it must not carry one
    // API's token to a place the session would not send it.
    if (!m_session || !m_session->authorize(&authorized)) {
        if (authorized.rawHeader("Authorization").startsWith("Bearer "))
            authorized.setRawHeader("Authorization", QByteArray());
    }
    return QNetworkAccessManager::createRequest(operation, authorized, outgoingData);
}
