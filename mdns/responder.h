#ifndef QMDNSENGINE_RESPONDER_H
#define QMDNSENGINE_RESPONDER_H

#include "mdns/message.h"
#include "mdns/service.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

namespace QMdnsEngine {

class AbstractServer;
class Clock;
class ResponderDispatcher;
class Query;
class Record;

// Announces one service instance and answers for it, for simulated nodes and demos.
class Responder : public QObject
{
    Q_OBJECT

public:
    Responder(AbstractServer *server, const Service &service, QObject *parent = nullptr);
    // Sends the goodbyes unless withdraw() already did.
    ~Responder() override;

    Service service() const { return m_service; }
    // Announces the change; a changed name, type or host first says goodbye to the old one.
    void setService(const Service &service);
    // The A/AAAA records to announce; empty: the addresses of the interface each message
    // goes out on.
    void setAddresses(const QList<QHostAddress> &addresses);
    // Sends goodbyes (TTL 0) and falls silent.
    void withdraw();
    bool isWithdrawn() const { return m_withdrawn; }
    // The clock the announcements and delayed answers keep; the system's by default.
    void setClock(Clock *clock);

    static const quint32 HostTtl = 120;     // RFC 6762 10: records with the host name
    static const quint32 OtherTtl = 4500;   // and all others

private:
    friend class ResponderDispatcher;

    struct DelayedReply {
        qint64 due;
        Message message;
    };

    void handleMessage(const Message &message);
    // The names whose questions and known answers concern this responder.
    QList<QByteArray> names() const;
    void delay(const Message &reply);
    void dropKnownAnswers(const Message &message);
    qint64 now() const;
    void processDue();
    void schedule();
    void announce();
    void sendGoodbyes(const Service &service);
    QList<Record> serviceRecords(const Service &service, quint32 scale) const;
    QList<Record> addressRecords(const QString &interfaceName, quint32 ttl) const;
    void sendOnEveryInterface(const QList<Record> &records, bool withAddresses, quint32 addressTtl);

    QPointer<AbstractServer> m_server;
    QPointer<ResponderDispatcher> m_dispatcher;
    QPointer<Clock> m_clock;
    Service m_service;
    QList<QHostAddress> m_addresses;
    bool m_started = false;
    bool m_withdrawn = false;
    int m_announcementsLeft = 0;
    qint64 m_nextAnnouncement = -1;
    QList<DelayedReply> m_delayed;
    QTimer m_timer;
};

} // namespace QMdnsEngine

#endif // QMDNSENGINE_RESPONDER_H
