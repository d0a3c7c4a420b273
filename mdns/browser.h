#ifndef QMDNSENGINE_BROWSER_H
#define QMDNSENGINE_BROWSER_H

#include "mdns/service.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

namespace QMdnsEngine {

class AbstractServer;
class Cache;
class Message;
class Record;

// Continuous DNS-SD browsing for one service type (RFC 6762 5.2, RFC 6763 4, 9).
// The type "_services._dns-sd._udp.local." reports the instances of every type on the link.
// serviceAdded comes once the instance's SRV is known and its TXT too, or the TXT has been
// asked for and a second has passed without it; serviceUpdated when host, port or
// attributes change; serviceRemoved when the PTR or SRV goes (goodbye plus one second, or
// expiry), carrying the service as last reported.
class Browser : public QObject
{
    Q_OBJECT

public:
    Browser(AbstractServer *server, const QByteArray &type, Cache *cache = nullptr,
            QObject *parent = nullptr);
    ~Browser() override;

    QByteArray type() const { return m_type; }
    // The services reported as added and not yet removed.
    QList<Service> services() const;
    // Milliseconds from the last browse query to the next one (for the curious and tests).
    qint64 queryInterval() const { return m_interval; }

signals:
    void serviceAdded(const QMdnsEngine::Service &service);
    void serviceUpdated(const QMdnsEngine::Service &service);
    void serviceRemoved(const QMdnsEngine::Service &service);

private:
    struct Instance {
        bool reported = false;
        Service service;
        qint64 txtDeadline = -1;  // -1: TXT not asked yet
        qint64 nextAsk = 0;
        qint64 askInterval = 0;
    };

    void handleMessage(const Message &message);
    void handleExpired(const Record &record);
    void handleShouldQuery(const Record &record);
    void restartSchedule();
    void processDue();
    void schedule();
    QList<QPair<QByteArray, quint16>> browseQuestions() const;
    void sendBrowseQuery();
    void sendOneShotQuery();
    void sendQueries(const QList<QPair<QByteArray, quint16>> &questions);
    void flushQuestions();
    void updateInstance(const QByteArray &instanceName);
    bool isBrowsedType(const QByteArray &type) const;
    bool isWanted(const Record &record) const;
    QSet<QByteArray> browsedTypeKeys() const;
    qint64 now() const;

    QPointer<AbstractServer> m_server;
    QPointer<Cache> m_cache;
    QByteArray m_type;
    bool m_meta = false;
    QHash<QByteArray, QByteArray> m_types;   // key -> type name, for the meta-query
    QHash<QByteArray, Instance> m_instances; // key -> instance
    // Keys of the instances with a question or a TXT deadline ahead: a link of a thousand
    // instances has few of those, and the schedule looks at every one per packet.
    QSet<QByteArray> m_waiting;
    QList<QPair<QByteArray, quint16>> m_pending;  // asked for together at the end of a step
    qint64 m_nextQuery = 0;
    qint64 m_interval = 0;
    QTimer m_timer;
};

} // namespace QMdnsEngine

#endif // QMDNSENGINE_BROWSER_H
