#ifndef QUERYAPIREADER_H
#define QUERYAPIREADER_H

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkReply;
class QWebSocket;

// Reads the nodes one IS-04 Query API holds and keeps up with them: a paged first read,
// then a WebSocket subscription on /nodes, or a new read every poll interval when the
// WebSocket cannot be had. Reports every node it is told about, again on every poll.
class QueryApiReader : public QObject
{
    Q_OBJECT

public:
    static constexpr int PageLimit = 100;
    // A registry that keeps handing out "next" pages must not hold the reader for ever.
    static constexpr int MaxPages = 1000;
    static constexpr int DefaultPollIntervalMs = 10000;

    // base: the Query API's root, such as http://10.0.0.5/x-nmos/query/v1.3
    explicit QueryApiReader(const QUrl &base, QObject *parent = nullptr);
    ~QueryApiReader() override;

    QUrl base() const { return m_base; }
    void setPollInterval(int ms) { m_poll.setInterval(ms); }
    bool isPolling() const { return m_poll.isActive(); }
    bool isSubscribed() const { return m_subscribed; }

    void start();

signals:
    // Must not run an event loop: the reader may be deleted in one.
    void nodeRead(const QJsonObject &node);
    // The registry stopped answering as a Query API should; the reader is idle from now on.
    void failed(const QString &errorString);

private:
    void readPage(const QUrl &url, int page);
    void finishPage(QNetworkReply *reply, int page);
    void subscribe();
    void finishSubscription(QNetworkReply *reply);
    void openWebSocket(const QUrl &href);
    void dropWebSocket();
    void readMessage(const QString &message);
    void startPolling(const QString &why);
    void takeNode(const QJsonValue &value);
    void fail(const QString &errorString);
    QNetworkReply *send(QNetworkReply *reply);
    QUrl firstPage() const;

    const QUrl m_base;
    QNetworkAccessManager m_nam;
    QWebSocket *m_socket = nullptr;
    QTimer m_poll;
    bool m_subscribed = false;
    bool m_failed = false;
    bool m_reading = false;
};

#endif // QUERYAPIREADER_H
