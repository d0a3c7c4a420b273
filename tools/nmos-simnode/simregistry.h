#ifndef SIMREGISTRY_H
#define SIMREGISTRY_H

#include <QHash>
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

class HandshakeListener;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;
class SimTokenCheck;

// A test double of an IS-04 Query API, not a registry: it holds the resources it is given
// (nodes, devices, sources, flows, senders, receivers), pages GET of each collection, takes
// subscriptions, tells each WebSocket subscriber about every change of its collection, and
// takes resources POSTed to the Registration API's /resource with no heartbeats.
class SimRegistry : public QObject
{
    Q_OBJECT

public:
    // Small by default, so that every client has to page.
    static constexpr int DefaultPageLimit = 2;

    // webSocket false: subscriptions name a WebSocket that cannot be opened.
    SimRegistry(const QString &bindAddress, int port, bool webSocket, QObject *parent = nullptr);
    ~SimRegistry() override;

    bool start(QString *errorString = nullptr);
    int port() const { return m_port; }
    // The most resources one Query API page holds, whatever the client asks for.
    void setPageLimit(int limit) { m_pageLimit = qMax(1, limit); }
    // In a secured facility, requests and WebSocket handshakes without a token that allows
    // them are turned away. Before start().
    void setTokenCheck(const SimTokenCheck *check) { m_tokenCheck = check; }
    // Serves https and wss with this PEM certificate (chain) and key. Before start().
    void setTls(const QString &certificate, const QString &key)
    {
        m_tlsCertificate = certificate;
        m_tlsKey = key;
    }
    QString scheme() const { return m_tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"); }
    // Adds or replaces a resource (by id) of a collection ("nodes", "senders", …) and tells
    // its subscribers when it changed. Any thread.
    void putResource(const QString &type, const QJsonObject &resource);
    // As a registry that restarted: holds nothing, and its subscribers are gone.
    void forget();

private:
    struct Entry
    {
        int created = 0; // the creation cursor: "<created>:0"
        QJsonObject resource;
    };

    bool startWebSocketServer();
    void screenHandshake(QTcpSocket *socket);
    void serve(const httplib::Request &request, httplib::Response &response);
    void serveCollection(const QString &type, const httplib::Request &request, httplib::Response &response);
    QJsonObject subscribe(const QJsonObject &request);
    void acceptSubscriber();
    void sendGrain(QWebSocket *socket, const QString &type, const QJsonArray &events);
    void flushEvents();

    const QString m_bindAddress;
    int m_port;
    const bool m_webSocket;
    const SimTokenCheck *m_tokenCheck = nullptr;
    QString m_tlsCertificate;
    QString m_tlsKey;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    QWebSocketServer *m_sockets = nullptr;
    HandshakeListener *m_listener = nullptr;
    QHash<QWebSocket *, QString> m_subscribers; // socket -> its collection
    // The changes of each collection not told yet: its subscribers hear them together at the
    // rate they asked for, as a registry tells them.
    QHash<QString, QJsonArray> m_events;
    QTimer *m_flush = nullptr;
    mutable QMutex m_mutex;
    QHash<QString, QList<Entry>> m_collections; // each in creation order
    QHash<QString, QHash<QString, int>> m_positions; // collection -> resource id -> its index in m_collections
    int m_pageLimit = DefaultPageLimit;
    QHash<QString, QString> m_subscriptions; // subscription id -> its collection
    int m_lastCreated = 0;
};

#endif // SIMREGISTRY_H
