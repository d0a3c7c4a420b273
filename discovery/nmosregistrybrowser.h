#ifndef NMOSREGISTRYBROWSER_H
#define NMOSREGISTRYBROWSER_H

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

#include "mdns/service.h"

namespace QMdnsEngine {
class Browser;
class Cache;
class Resolver;
class Server;
}

class QHostAddress;
class QueryApiReader;

// Finds the nodes an NMOS registry holds: chooses a Query API (one given, or the best of
// those announced as "_nmos-query._tcp"), falls over to the next when it fails, and
// reports every node it reads as discovery reports a node it found itself.
class NMOSRegistryBrowser : public QObject
{
    Q_OBJECT

public:
    // IS-04 keeps these for development; such registries are only used when asked for.
    static constexpr int DevelopmentPriority = 100;

    explicit NMOSRegistryBrowser(QObject *parent = nullptr);
    ~NMOSRegistryBrowser() override;

    // Uses this Query API only, instead of browsing; a base without a path gets the
    // standard one (/x-nmos/query/v1.3). Takes effect at once when started.
    void setRegistry(const QUrl &base);
    void setDevelopmentRegistriesAllowed(bool allowed);
    void setPollInterval(int ms);

    void start();
    void stop();
    bool isStarted() const { return m_started; }
    // The Query API being read; empty while none is.
    QUrl currentRegistry() const;

    // The base URL that --registry text stands for; empty when it names no http(s) server.
    static QUrl registryBase(const QString &text);
    // The Node API self URL behind each usable http entry of a node's api.endpoints; the
    // entries left out are logged.
    static QList<QUrl> selfUrls(const QJsonObject &node);

signals:
    void nodeSelfReady(QString serviceName, QUrl url, QJsonDocument selfDoc);
    void registryChanged(QUrl base);

private:
    struct Candidate
    {
        QByteArray name; // service instance; empty for the registry given
        int priority = 0;
        quint32 tieBreak = 0;
        QString scheme;
        QString version;
        quint16 port = 0;
        QUrl base;       // empty until the host has resolved
        bool failed = false;
    };

    void onServiceAdded(const QMdnsEngine::Service &svc);
    void onServiceRemoved(const QMdnsEngine::Service &svc);
    void onResolved(const QByteArray &name, const QHostAddress &address);
    bool readCandidate(const QMdnsEngine::Service &svc, Candidate *candidate) const;
    void useNext();
    void useBest();
    int priorityOf(const QUrl &base) const;
    void onReaderFailed();
    void takeNode(const QJsonObject &node);
    void reportPending();
    void restart();

    QUrl m_given;
    bool m_developmentAllowed = false;
    int m_pollInterval;
    bool m_started = false;
    std::unique_ptr<QMdnsEngine::Server> m_mdnsServer;
    std::unique_ptr<QMdnsEngine::Cache> m_mdnsCache;
    QMdnsEngine::Browser *m_mdnsBrowser = nullptr;
    QHash<QByteArray, QMdnsEngine::Resolver *> m_resolvers; // by service instance
    QList<Candidate> m_candidates;
    QueryApiReader *m_reader = nullptr;
    // Once every registry has failed, they are all tried again after a pause.
    QTimer m_retry;
    // Node id -> version last taken in: polls and a new registry hand every node over
    // again, and each intake costs the window requests to the node.
    QHash<QString, QString> m_versions;
    // Reports wait here: their receiver runs nested event loops, which must not run
    // inside the reader's handlers, where the reader could be deleted under them.
    QList<QJsonObject> m_pending;
    bool m_reporting = false;
};

#endif // NMOSREGISTRYBROWSER_H
