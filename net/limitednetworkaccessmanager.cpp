#include "limitednetworkaccessmanager.h"

#include "replylimits.h"

LimitedNetworkAccessManager::LimitedNetworkAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
{
}

QNetworkReply *LimitedNetworkAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                          QIODevice *outgoingData)
{
    QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    ReplyLimits::watch(reply);
    return reply;
}
