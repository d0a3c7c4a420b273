#ifndef QMDNSENGINE_RESOLVER_H
#define QMDNSENGINE_RESOLVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QTimer>

namespace QMdnsEngine {

class AbstractServer;
class Cache;
class Message;
class Record;
class ResolverDispatcher;

// Finds the IPv4 and IPv6 addresses of one host name; reports each address once, those
// already cached right after construction.
class Resolver : public QObject
{
    Q_OBJECT

public:
    Resolver(AbstractServer *server, const QByteArray &name, Cache *cache = nullptr,
             QObject *parent = nullptr);
    ~Resolver() override;

    QByteArray name() const { return m_name; }
    QList<QHostAddress> addresses() const { return m_reported; }

signals:
    void resolved(const QHostAddress &address);

private:
    friend class ResolverDispatcher;

    void handleMessage(const Message &message);
    void handleExpired(const Record &record);
    void handleShouldQuery(const Record &record);
    void reportCached();
    void report(const QHostAddress &address);
    void processDue();
    void schedule();
    void sendQuery();
    qint64 now() const;

    QPointer<AbstractServer> m_server;
    QPointer<ResolverDispatcher> m_dispatcher;
    QPointer<Cache> m_cache;
    QByteArray m_name;
    QList<QHostAddress> m_reported;
    qint64 m_nextQuery = -1;  // -1: answered, only the cache's refreshes ask again
    qint64 m_interval = 0;
    QTimer m_timer;
};

} // namespace QMdnsEngine

// Qt 5 leaves QHostAddress undeclared; resolved() needs it for queued connections and spies.
// Declared here once for every user of the library.
Q_DECLARE_METATYPE(QHostAddress)

#endif // QMDNSENGINE_RESOLVER_H
