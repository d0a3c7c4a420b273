#ifndef QUERYAPIREADER_H
#define QUERYAPIREADER_H

#include "net/authorizationsession.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include "discovery/queryapigrain.h"

class NmosResourceStore;
class QNetworkReply;
class QNetworkRequest;
class QWebSocket;

// Reads what one IS-04 Query API holds into a store and keeps it current: a paged read of
// nodes, devices, flows, senders and receivers, then one WebSocket subscription per
// collection. A subscription that closes, does not open, stays silent through pings or falls
// behind is read and subscribed again after a pause that starts at RetryFirstMs and doubles
// up to RetryMaxMs.
class QueryApiReader : public QObject
{
    Q_OBJECT

public:
    static constexpr int PageLimit = 100;
    // A registry that keeps handing out "next" pages must not hold the reader for ever.
    static constexpr int MaxPages = 1000;
    static constexpr int RetryFirstMs = 1000;
    static constexpr int RetryMaxMs = 30000;
    static constexpr int DefaultPingIntervalMs = 5000;
    // A WebSocket that answers neither with a message nor a pong for this many pings is dead.
    static constexpr int SilentPings = 3;
    // A subscription's first grain holds its whole collection: 3,000 nodes' flows, each as it
    // was and as it is, make 17 MB.
    static constexpr qint64 MaxGrainSize = 128 * 1024 * 1024;
    // Messages this long (in characters) are worked out on another thread: a few thousand
    // resources take the event loop a noticeable while to parse and compare.
    static constexpr int OffThreadSize = 256 * 1024;
    // The most messages of a collection that wait while one is worked out; at 10 a second,
    // the rate asked for, several seconds of a facility's changes.
    static constexpr int MaxQueuedMessages = 64;
    // The longest the store's changes hold the event loop at a time: a registry that restarts
    // empty removes a facility's 40,000 resources, each greyed in the window's lists.
    static constexpr int ApplySliceMs = 20;

    // base: the Query API's root with its version (http://10.0.0.5/x-nmos/query/v1.3), or
    // without one (http://10.0.0.5/x-nmos/query): the highest version both speak is used.
    QueryApiReader(const QUrl &base, NmosResourceStore *store, QObject *parent = nullptr);
    ~QueryApiReader() override;

    QUrl base() const { return m_base; }
    // Every collection has an open WebSocket.
    bool isSubscribed() const;
    // Every collection has been read once.
    bool hasReadAll() const;
    // Changes read or heard are waiting for their turn to go into the store.
    bool isApplying() const;
    void setPingInterval(int ms) { m_pingIntervalMs = ms; }
    // The name the registry's certificate must carry when its base names an address: the
    // host its announcement named. Set before start().
    void setPeerVerifyName(const QString &name) { m_verifyName = name; }
    // The facility's access token goes with every request and WebSocket to the registry,
    // and the subscriptions ask for authorized WebSockets, when a session is given.
    void setAuthorization(AuthorizationSession *session) { m_session = session; }

    void start();

    // The highest of the versions offered ("v1.2", "v1.3/", …) that this reader speaks,
    // compared as numbers; empty when there is none.
    static QString chooseVersion(const QStringList &offered);

signals:
    // The registry did not answer a read as a Query API should; the reader is idle from now on.
    void failed(const QString &errorString);
    // The first read of the last collection is in the store.
    void readAll();
    // Every change read or heard so far is in the store.
    void changesApplied();

private:
    struct Collection
    {
        QString type;
        QSet<QString> readIds;    // the resources read so far in this read
        bool paging = true;       // cleared by a registry that answers 501 to paging
        bool read = false;        // read whole at least once
        QWebSocket *socket = nullptr;
        bool heard = false;       // a grain came on this socket
        QStringList messages;     // come, and waiting for the one being worked out
        // Worked out, and waiting for their turn on the event loop, in order.
        QList<QueryApiGrain::Change> pending;
        bool decoding = false;    // a message is being worked out on another thread
        int socketNumber = 0;     // which socket a message came on
        qint64 lastHeardMs = 0;
        qint64 lastPingMs = 0;
        qint64 retryAtMs = -1;
        int retryMs = RetryFirstMs;
    };

    static QJsonDocument parse(const QByteArray &data, QString *errorString);
    static QUrl joined(const QUrl &base, const QString &path);
    void readVersions();
    void finishVersions(QNetworkReply *reply);
    void readCollection(int index);
    void readPage(int index, const QUrl &url, int page);
    void finishPage(int index, QNetworkReply *reply, int page);
    void subscribe(int index);
    void finishSubscription(int index, QNetworkReply *reply);
    void openWebSocket(int index, const QUrl &href);
    void dropWebSocket(int index, const QString &why);
    void readMessage(int index, const QString &message);
    void decodeMessages(int index);
    void applyGrain(int index, const QueryApiGrain &grain);
    void scheduleApply();
    void applyPending();
    void checkHealth();
    void fail(const QString &errorString);
    QNetworkReply *get(const QUrl &url);
    QNetworkRequest request(const QUrl &url) const;
    QUrl firstPage(const Collection &collection) const;
    qint64 now() const { return m_clock.elapsed(); }

    QUrl m_base;
    NmosResourceStore *m_store;
    QNetworkAccessManager m_nam;
    // One message at a time: each of a facility's collections in flight at once would
    // need its whole text and parse in memory together.
    QThreadPool m_decoder;
    QVector<Collection> m_collections;
    QTimer m_health;
    QElapsedTimer m_clock;
    int m_pingIntervalMs = DefaultPingIntervalMs;
    QString m_verifyName;
    QPointer<AuthorizationSession> m_session;
    bool m_failed = false;
    bool m_applyScheduled = false;
};

#endif // QUERYAPIREADER_H
