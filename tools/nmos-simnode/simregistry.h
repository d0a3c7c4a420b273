#ifndef SIMREGISTRY_H
#define SIMREGISTRY_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <memory>
#include <thread>

namespace httplib {
class Request;
class Response;
class Server;
}

class QWebSocket;
class QWebSocketServer;

// A test double of an IS-04 Query API, not a registry: it holds the nodes it is given,
// pages GET /nodes, takes subscriptions, tells WebSocket subscribers about every node
// added, and takes nodes POSTed to the Registration API's /resource with no heartbeats.
class SimRegistry : public QObject
{
    Q_OBJECT

public:
    // Small, so that every client has to page.
    static constexpr int MaxPageLimit = 2;

    // webSocket false: subscriptions name a WebSocket that cannot be opened.
    SimRegistry(const QString &bindAddress, int port, bool webSocket, QObject *parent = nullptr);
    ~SimRegistry() override;

    bool start(QString *errorString = nullptr);
    int port() const { return m_port; }
    // Adds or replaces a node (by id) and tells the subscribers. Any thread.
    void addNode(const QJsonObject &node);

private:
    struct Entry
    {
        int created = 0; // the creation cursor: "<created>:0"
        QJsonObject node;
    };

    void serve(const httplib::Request &request, httplib::Response &response);
    void serveNodes(const httplib::Request &request, httplib::Response &response);
    QJsonObject subscription() const;
    void acceptSubscriber();
    void sendGrain(QWebSocket *socket, const QJsonArray &events);

    const QString m_bindAddress;
    int m_port;
    const bool m_webSocket;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    QWebSocketServer *m_sockets = nullptr;
    QList<QWebSocket *> m_subscribers;
    mutable QMutex m_mutex;
    QList<Entry> m_entries;
    int m_lastCreated = 0;
};

#endif // SIMREGISTRY_H
