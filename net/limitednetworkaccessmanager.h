#ifndef LIMITEDNETWORKACCESSMANAGER_H
#define LIMITEDNETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>

// A QNetworkAccessManager whose every reply is held to ReplyLimits, for requests that a
// library makes on our behalf (Qt's OAuth flow posts its token request itself).
class LimitedNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit LimitedNetworkAccessManager(QObject *parent = nullptr);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *outgoingData) override;
};

#endif // LIMITEDNETWORKACCESSMANAGER_H
