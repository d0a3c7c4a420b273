#include "mdns/responder.h"

#include "mdns/abstractserver.h"
#include "mdns/clock.h"
#include "mdns/dns.h"
#include "mdns/logging_p.h"
#include "mdns/message.h"

#include <QHash>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>

// Probing (RFC 6762 8.1) is left out: the responder serves simulated nodes and demos whose
// names are configured to be unique on their private link, so it announces at once. A
// response from another host that claims our instance with different SRV data is logged
// as a conflict, and the responder carries on.

namespace QMdnsEngine {

namespace {

const int AnnouncementIntervalMs = 1000;  // RFC 6762 8.3: two announcements, a second apart
const int Announcements = 2;
const quint32 LegacyTtl = 10;             // RFC 6762 6.7

bool contains(const QList<Record> &records, const Record &record)
{
    return std::any_of(records.cbegin(), records.cend(),
                       [&](const Record &other) { return other.sameData(record); });
}

} // namespace

// Hands each message to the responders whose names it carries, and to no other: one
// process may play a facility of thousands of nodes on one server, and each responder
// looking at every packet made a browse of that facility cost the square of its size, more
// than the process could keep up with. One per server, its child.
class ResponderDispatcher : public QObject
{
    Q_OBJECT

public:
    static ResponderDispatcher *of(AbstractServer *server)
    {
        auto *dispatcher = server->findChild<ResponderDispatcher *>(QString(), Qt::FindDirectChildrenOnly);
        return dispatcher ? dispatcher : new ResponderDispatcher(server);
    }

    // Again after a change of service: the names go with it.
    void add(Responder *responder)
    {
        remove(responder);
        QList<QByteArray> keys;
        for (const QByteArray &name : responder->names()) {
            const QByteArray key = nameKey(name);
            if (keys.contains(key))
                continue;
            keys.append(key);
            m_byName[key].append(responder);
        }
        m_keys.insert(responder, keys);
        if (!m_serials.contains(responder))
            m_serials.insert(responder, m_nextSerial++);
    }

    void remove(Responder *responder)
    {
        const QList<QByteArray> keys = m_keys.take(responder);
        for (const QByteArray &key : keys) {
            auto found = m_byName.find(key);
            if (found == m_byName.end())
                continue;
            found->removeOne(responder);
            if (found->isEmpty())
                m_byName.erase(found);
        }
    }

    void forget(Responder *responder)
    {
        remove(responder);
        m_serials.remove(responder);
    }

private:
    explicit ResponderDispatcher(AbstractServer *server)
        : QObject(server)
    {
        connect(server, &AbstractServer::messageReceived, this, &ResponderDispatcher::dispatch);
    }

    void dispatch(const Message &message)
    {
        QList<QByteArray> keys;
        const QList<Record> records = message.records();
        if (message.isResponse()) {
            // What a responder reads in a response is another host's claim on its instance.
            for (const Record &record : records) {
                if (record.type() == SRV)
                    keys.append(nameKey(record.name()));
            }
        } else {
            const QList<Query> queries = message.queries();
            for (const Query &query : queries)
                keys.append(nameKey(query.name()));
            // A known PTR answer is about the instance it points to.
            for (const Record &record : records)
                keys.append(nameKey(record.type() == PTR ? record.target() : record.name()));
        }
        QVector<Responder *> concerned;
        QSet<Responder *> seen;
        for (const QByteArray &key : qAsConst(keys)) {
            const auto found = m_byName.constFind(key);
            if (found == m_byName.cend())
                continue;
            for (Responder *responder : *found) {
                if (!seen.contains(responder)) {
                    seen.insert(responder);
                    concerned.append(responder);
                }
            }
        }
        // In the order the responders came, as when each listened for itself.
        std::sort(concerned.begin(), concerned.end(), [this](Responder *a, Responder *b) {
            return m_serials.value(a) < m_serials.value(b);
        });
        // Sending may run a listener that deletes other responders meanwhile.
        QVector<QPointer<Responder>> guarded;
        guarded.reserve(concerned.size());
        for (Responder *responder : qAsConst(concerned))
            guarded.append(responder);
        for (const QPointer<Responder> &responder : qAsConst(guarded)) {
            if (responder)
                responder->handleMessage(message);
        }
    }

    QHash<QByteArray, QVector<Responder *>> m_byName;
    QHash<Responder *, QList<QByteArray>> m_keys;
    QHash<Responder *, quint64> m_serials;
    quint64 m_nextSerial = 0;
};

Responder::Responder(AbstractServer *server, const Service &service, QObject *parent)
    : QObject(parent), m_server(server), m_clock(Clock::system()), m_service(service)
{
    // Timers only wake the responder up; what is due is decided by the clock, so a test
    // clock that jumps ahead drives it without waiting.
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Responder::processDue);
    connect(m_clock, &Clock::advanced, this, &Responder::processDue);
    if (m_server) {
        m_dispatcher = ResponderDispatcher::of(m_server);
        m_dispatcher->add(this);
        connect(m_server, &AbstractServer::interfaceAppeared, this, [this] {
            m_announcementsLeft = Announcements;
            announce();
        });
    }
    m_announcementsLeft = Announcements;
    // Announce from the event loop, so that setAddresses() right after construction is in
    // the first announcement rather than causing a second one at once.
    QMetaObject::invokeMethod(this, [this] {
        m_started = true;
        announce();
    }, Qt::QueuedConnection);
}

Responder::~Responder()
{
    withdraw();
    if (m_dispatcher)
        m_dispatcher->forget(this);
}

QList<QByteArray> Responder::names() const
{
    return {m_service.type(), m_service.instanceName(), m_service.hostname(), QByteArray(ServicesType)};
}

void Responder::setClock(Clock *clock)
{
    if (!clock || clock == m_clock)
        return;
    if (m_clock)
        disconnect(m_clock, nullptr, this, nullptr);
    m_clock = clock;
    connect(m_clock, &Clock::advanced, this, &Responder::processDue);
    schedule();
}

qint64 Responder::now() const
{
    return m_clock ? m_clock->now() : Clock::system()->now();
}

void Responder::processDue()
{
    const qint64 t = now();
    if (m_nextAnnouncement >= 0 && t >= m_nextAnnouncement) {
        m_nextAnnouncement = -1;
        announce();
    }
    for (int i = 0; i < m_delayed.size();) {
        if (m_delayed.at(i).due > t) {
            ++i;
            continue;
        }
        const Message reply = m_delayed.takeAt(i).message;
        if (m_server && !m_withdrawn)
            m_server->sendMessage(reply);
    }
    schedule();
}

void Responder::schedule()
{
    qint64 next = m_nextAnnouncement;
    for (const DelayedReply &delayed : qAsConst(m_delayed)) {
        if (next < 0 || delayed.due < next)
            next = delayed.due;
    }
    if (next < 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(std::max<qint64>(0, next - now())));
}

void Responder::setService(const Service &service)
{
    const Service old = m_service;
    m_service = service;
    if (m_dispatcher)
        m_dispatcher->add(this);
    if (m_withdrawn || !m_started)
        return;
    if (!sameName(old.instanceName(), service.instanceName()) || !sameName(old.hostname(), service.hostname()))
        sendGoodbyes(old);
    m_announcementsLeft = Announcements;
    announce();
}

void Responder::setAddresses(const QList<QHostAddress> &addresses)
{
    m_addresses = addresses;
    if (m_withdrawn || !m_started)
        return;
    m_announcementsLeft = Announcements;
    announce();
}

void Responder::withdraw()
{
    if (m_withdrawn)
        return;
    m_withdrawn = true;
    m_nextAnnouncement = -1;
    m_delayed.clear();
    m_timer.stop();
    sendGoodbyes(m_service);
}

QList<Record> Responder::serviceRecords(const Service &service, quint32 scale) const
{
    const QByteArray instance = service.instanceName();
    QList<Record> records;

    Record pointer(service.type(), PTR, OtherTtl * scale);
    pointer.setTarget(instance);
    records.append(pointer);

    Record srv(instance, SRV, HostTtl * scale);
    srv.setFlushCache(true);
    srv.setTarget(service.hostname());
    srv.setPort(service.port());
    records.append(srv);

    Record txt(instance, TXT, OtherTtl * scale);
    txt.setFlushCache(true);
    txt.setAttributes(service.attributes());
    records.append(txt);
    return records;
}

QList<Record> Responder::addressRecords(const QString &interfaceName, quint32 ttl) const
{
    QList<QHostAddress> addresses = m_addresses;
    if (addresses.isEmpty() && m_server && !interfaceName.isEmpty())
        addresses = m_server->interfaceAddresses(interfaceName);
    QList<Record> records;
    for (QHostAddress address : qAsConst(addresses)) {
        address.setScopeId(QString());
        const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        Record record(m_service.hostname(), ipv6 ? AAAA : A, ttl);
        record.setFlushCache(true);
        record.setAddress(address);
        if (!contains(records, record))
            records.append(record);
    }
    return records;
}

void Responder::sendOnEveryInterface(const QList<Record> &records, bool withAddresses, quint32 addressTtl)
{
    if (!m_server)
        return;
    const QStringList interfaces = m_server->interfaceNames();
    if (interfaces.isEmpty()) {
        Message message;
        message.setResponse(true);
        for (const Record &record : records)
            message.addRecord(record);
        if (withAddresses) {
            for (const Record &record : addressRecords(QString(), addressTtl))
                message.addRecord(record);
        }
        m_server->sendMessageToAll(message);
        return;
    }
    // Each link hears the addresses it can reach us on.
    for (const QString &interfaceName : interfaces) {
        Message message;
        message.setResponse(true);
        message.setInterfaceName(interfaceName);
        message.setPort(MdnsPort);
        for (const Record &record : records)
            message.addRecord(record);
        if (withAddresses) {
            for (const Record &record : addressRecords(interfaceName, addressTtl))
                message.addRecord(record);
        }
        bool ipv4 = false;
        bool ipv6 = false;
        for (const QHostAddress &address : m_server->interfaceAddresses(interfaceName)) {
            ipv4 |= address.protocol() == QAbstractSocket::IPv4Protocol;
            ipv6 |= address.protocol() == QAbstractSocket::IPv6Protocol;
        }
        if (ipv4) {
            message.setAddress(mdnsIpv4Address());
            m_server->sendMessage(message);
        }
        if (ipv6) {
            message.setAddress(mdnsIpv6Address());
            m_server->sendMessage(message);
        }
    }
}

void Responder::announce()
{
    if (m_withdrawn || m_announcementsLeft <= 0) {
        m_nextAnnouncement = -1;
        schedule();
        return;
    }
    QList<Record> records = serviceRecords(m_service, 1);
    Record meta(ServicesType, PTR, OtherTtl);
    meta.setTarget(m_service.type());
    records.append(meta);
    sendOnEveryInterface(records, true, HostTtl);
    m_nextAnnouncement = --m_announcementsLeft > 0 ? now() + AnnouncementIntervalMs : -1;
    schedule();
}

void Responder::sendGoodbyes(const Service &service)
{
    // Only the service's own records say goodbye: the host and its addresses stay, and the
    // meta-query PTR for the type may still stand for another instance on this host.
    sendOnEveryInterface(serviceRecords(service, 0), false, 0);
}

void Responder::dropKnownAnswers(const Message &message)
{
    // RFC 6762 7.2: known answers that did not fit the question's packet follow in further
    // packets, which come well within the delay of a shared answer; what they list is left
    // out of the answers still waiting. Without this, a browser that knows a thousand
    // instances set off nearly a thousand answers every time it asked.
    const QList<Record> known = message.records();
    if (known.isEmpty())
        return;
    for (int i = 0; i < m_delayed.size();) {
        Message &reply = m_delayed[i].message;
        if (reply.interfaceName() != message.interfaceName()) {
            ++i;
            continue;
        }
        const auto isKnown = [&](const Record &answer) {
            return std::any_of(known.cbegin(), known.cend(), [&](const Record &k) {
                return k.type() == answer.type() && k.sameData(answer) && k.ttl() >= answer.ttl() / 2;
            });
        };
        // Every responder of a simulated facility sees every such packet: most find nothing.
        const QList<Record> held = reply.records();
        if (std::none_of(held.cbegin(), held.cend(), isKnown)) {
            ++i;
            continue;
        }
        QList<Record> answers = held;
        answers.erase(std::remove_if(answers.begin(), answers.end(), isKnown), answers.end());
        if (answers.isEmpty()) {
            m_delayed.removeAt(i);
            continue;
        }
        Message kept;
        kept.setResponse(true);
        kept.setInterfaceName(reply.interfaceName());
        kept.setAddress(reply.address());
        kept.setPort(reply.port());
        for (const Record &answer : qAsConst(answers))
            kept.addRecord(answer);
        const auto additionals = reply.additionalRecords();
        for (const Record &additional : additionals)
            kept.addAdditionalRecord(additional);
        reply = kept;
        ++i;
    }
}

void Responder::handleMessage(const Message &message)
{
    if (m_withdrawn)
        return;
    const QByteArray instance = m_service.instanceName();
    if (message.isResponse()) {
        const QList<Record> records = message.records();
        for (const Record &record : records) {
            if (record.type() == SRV && sameName(record.name(), instance) && record.ttl() > 0
                && !serviceRecords(m_service, 1).at(1).sameData(record)) {
                qCWarning(lcMdns) << "another host claims" << instance << "from" << message.address().toString();
            }
        }
        return;
    }

    if (!m_delayed.isEmpty())
        dropKnownAnswers(message);

    // One server may carry hundreds of responders (a simulated facility), each of which sees
    // every question on the link: one that asks for none of our names costs nothing more.
    const QList<Query> queries = message.queries();
    const bool concernsUs = std::any_of(queries.cbegin(), queries.cend(), [&](const Query &query) {
        return sameName(query.name(), m_service.type()) || sameName(query.name(), instance)
               || sameName(query.name(), m_service.hostname()) || sameName(query.name(), ServicesType);
    });
    if (!concernsUs)
        return;

    QList<Record> all = serviceRecords(m_service, 1);
    Record meta(ServicesType, PTR, OtherTtl);
    meta.setTarget(m_service.type());
    all.append(meta);
    all += addressRecords(message.interfaceName(), HostTtl);

    QList<Record> answers;
    bool unicast = false;
    for (const Query &query : queries) {
        for (const Record &record : qAsConst(all)) {
            if ((query.type() == ANY || query.type() == record.type()) && sameName(query.name(), record.name())
                && !contains(answers, record)) {
                answers.append(record);
                unicast |= query.unicastResponse();
            }
        }
    }
    // RFC 6762 7.1: leave out what the asker listed with at least half our TTL. (A
    // truncated query's further known answers are not waited for; answering a little too
    // much is harmless.)
    const QList<Record> known = message.records();
    answers.erase(std::remove_if(answers.begin(), answers.end(), [&](const Record &answer) {
                      return std::any_of(known.cbegin(), known.cend(), [&](const Record &k) {
                          return k.sameData(answer) && k.ttl() >= answer.ttl() / 2;
                      });
                  }),
                  answers.end());
    if (answers.isEmpty())
        return;

    QList<Record> additionals;
    auto addAdditional = [&](const Record &record) {
        if (!contains(answers, record) && !contains(additionals, record))
            additionals.append(record);
    };
    for (const Record &answer : qAsConst(answers)) {
        if (answer.type() == PTR && sameName(answer.target(), instance)) {
            addAdditional(all.at(1));
            addAdditional(all.at(2));
        }
        if ((answer.type() == PTR && sameName(answer.target(), instance)) || answer.type() == SRV) {
            for (const Record &record : addressRecords(message.interfaceName(), HostTtl))
                addAdditional(record);
        }
    }
    const bool shared = std::any_of(answers.cbegin(), answers.cend(),
                                    [](const Record &record) { return record.type() == PTR; });
    Message reply;
    reply.setResponse(true);
    reply.setInterfaceName(message.interfaceName());
    const bool legacy = message.port() != 0 && message.port() != MdnsPort;
    if (legacy) {
        // RFC 6762 6.7: a plain DNS resolver asked; answer it like a DNS server would.
        reply.setTransactionId(message.transactionId());
        for (const Query &query : queries)
            reply.addQuery(query);
        reply.setAddress(message.address());
        reply.setPort(message.port());
    } else if (unicast) {
        reply.setAddress(message.address());
        reply.setPort(MdnsPort);
    } else {
        reply.setAddress(message.address().protocol() == QAbstractSocket::IPv6Protocol ? mdnsIpv6Address()
                                                                                      : mdnsIpv4Address());
        reply.setPort(MdnsPort);
    }
    for (Record record : qAsConst(answers)) {
        if (legacy) {
            record.setTtl(std::min(record.ttl(), LegacyTtl));
            record.setFlushCache(false);
        }
        reply.addRecord(record);
    }
    for (Record record : qAsConst(additionals)) {
        if (legacy) {
            record.setTtl(std::min(record.ttl(), LegacyTtl));
            record.setFlushCache(false);
        }
        reply.addAdditionalRecord(record);
    }
    if (!shared || legacy) {
        m_server->sendMessage(reply);
        return;
    }
    delay(reply);
}

void Responder::delay(const Message &reply)
{
    // One answer waits per destination: a question that comes while it waits adds to it.
    // Queued one per question, the answers to a link that asked faster than the process
    // could send piled up without end.
    for (DelayedReply &pending : m_delayed) {
        Message &held = pending.message;
        if (held.interfaceName() != reply.interfaceName() || held.address() != reply.address()
            || held.port() != reply.port())
            continue;
        const QList<Record> answers = reply.records();
        for (const Record &record : answers) {
            if (!contains(held.records(), record))
                held.addRecord(record);
        }
        const QList<Record> additionals = reply.additionalRecords();
        for (const Record &record : additionals) {
            if (!contains(held.records(), record) && !contains(held.additionalRecords(), record))
                held.addAdditionalRecord(record);
        }
        return;
    }
    // RFC 6762 6: answers with shared records wait 20-120 ms so that the responders of a
    // type do not all answer in the same instant.
    m_delayed.append({now() + 20 + QRandomGenerator::global()->bounded(101), reply});
    schedule();
}

} // namespace QMdnsEngine

#include "responder.moc"
