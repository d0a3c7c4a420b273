#ifndef NMOSMDNSBROWSER_H
#define NMOSMDNSBROWSER_H

#include <QHash>
#include <QJsonDocument>
#include <QMap>
#include "net/authorizationsession.h"
#include "net/authorizingnetworkaccessmanager.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

#include "mdns/service.h"

namespace QMdnsEngine {
class Browser;
class Cache;
class Resolver;
class Server;
}

// Finds NMOS nodes by mDNS and fetches each node's self resource on every address.
class NMOSMdnsBrowser : public QObject
{
    Q_OBJECT

public:
    explicit NMOSMdnsBrowser(QObject *parent = nullptr);
    // A secured facility's session: its token goes with the requests to nodes served over
    // https, which count among the facility's APIs.
    void setAuthorization(AuthorizationSession *session);
    ~NMOSMdnsBrowser() override;

    void start();
    void stop();
    bool isStarted() const { return m_started; }
    // A node's self resource is being fetched: it is found, and not yet told of.
    bool isFetching() const;

    // Picks the highest well-formed "vX.Y" of a comma-separated "api_ver" list.
    static QString chooseApiVersion(const QString &apiVer);

signals:
    void nodeDiscovered(QString serviceName, QString hostname, quint16 port, QMap<QString, QString> txt);
    // hostName: the host the node announced (its SRV target), which its certificate names
    // while it is reached at url's address.
    void nodeSelfReady(QString serviceName, QUrl url, QJsonDocument selfDoc, QString hostName = QString());
    void nodeError(QString serviceName, QUrl url, QString errorString);
    void nodeRemoved(QString serviceName);
    // A node announced with api_auth=true waits for the session's token: a sign-in is needed.
    void authorizationNeeded();

private slots:
    void onServiceAdded(const QMdnsEngine::Service &svc);
    void onServiceUpdated(const QMdnsEngine::Service &svc);
    void onServiceRemoved(const QMdnsEngine::Service &svc);

private:
    void resolveAndFetch(const QMdnsEngine::Service &svc);
    void fetchSelf(const QMdnsEngine::Service &svc, const QString &scheme, const QString &version,
                   const QHostAddress &address);
    void removeResolver(const QByteArray &serviceName);
    void fetchFinished(const QByteArray &serviceName, quint64 generation);

    std::unique_ptr<QMdnsEngine::Server> m_mdnsServer;
    std::unique_ptr<QMdnsEngine::Cache> m_mdnsCache;
    QMdnsEngine::Browser *m_mdnsBrowser = nullptr;
    AuthorizingNetworkAccessManager m_nam;
    bool m_started = false;
    // One resolver per service instance: a node bumps its TXT record on every change of its
    // resources, and a resolver per update would pile up queries and GETs without bound.
    QHash<QByteArray, QMdnsEngine::Resolver *> m_resolvers;
    // Nodes that want a token, asked once the session holds one.
    QHash<QByteArray, QMdnsEngine::Service> m_waitingForToken;
    // Per service instance: the service as last taken, the self GETs under way and whether an
    // update came meanwhile. Updates while GETs run are taken once, after them.
    // A GET counts only for the node it was made for: one removed and found again is a new
    // node, whose count a GET of the old one's must not lower.
    struct Node
    {
        QMdnsEngine::Service service;
        int fetching = 0;
        bool pending = false;
        quint64 generation = 0;
    };
    QHash<QByteArray, Node> m_nodes;
    quint64 m_generation = 0;
};

#endif // NMOSMDNSBROWSER_H
