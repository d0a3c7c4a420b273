#include "mdns/resolver.h"

#include "mdns/abstractserver.h"
#include "mdns/cache.h"
#include "mdns/clock.h"
#include "mdns/dns.h"
#include "mdns/message.h"

#include <QHash>

#include <algorithm>

namespace QMdnsEngine {

namespace {

const qint64 FirstIntervalMs = 1000;
const qint64 MaxIntervalMs = 60 * 60 * 1000;

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    return a == b && a.scopeId() == b.scopeId();
}

} // namespace

// Hands each packet to the resolvers of the host names it carries addresses for, and to
// no other: a link of a thousand nodes has a thousand resolvers, and each looking at every
// packet made the work grow with the square of the link. One per server, its child.
class ResolverDispatcher : public QObject
{
    Q_OBJECT

public:
    static ResolverDispatcher *of(AbstractServer *server)
    {
        auto *dispatcher = server->findChild<ResolverDispatcher *>(QString(), Qt::FindDirectChildrenOnly);
        return dispatcher ? dispatcher : new ResolverDispatcher(server);
    }

    void add(Resolver *resolver) { m_resolvers[nameKey(resolver->name())].append(resolver); }

    void remove(Resolver *resolver)
    {
        const QByteArray key = nameKey(resolver->name());
        auto found = m_resolvers.find(key);
        if (found == m_resolvers.end())
            return;
        found->removeAll(resolver);
        if (found->isEmpty())
            m_resolvers.erase(found);
    }

private:
    explicit ResolverDispatcher(AbstractServer *server)
        : QObject(server)
    {
        connect(server, &AbstractServer::messageReceived, this, &ResolverDispatcher::dispatch);
    }

    void dispatch(const Message &message)
    {
        if (!message.isResponse())
            return;
        QList<QPointer<Resolver>> concerned;
        for (const QList<Record> &section : {message.records(), message.additionalRecords()}) {
            for (const Record &record : section) {
                if (record.type() != A && record.type() != AAAA)
                    continue;
                const auto found = m_resolvers.constFind(nameKey(record.name()));
                if (found == m_resolvers.cend())
                    continue;
                for (Resolver *resolver : *found) {
                    if (!concerned.contains(resolver))
                        concerned.append(resolver);
                }
            }
        }
        // A resolver's listener may delete other resolvers meanwhile.
        for (const QPointer<Resolver> &resolver : qAsConst(concerned)) {
            if (resolver)
                resolver->handleMessage(message);
        }
    }

    QHash<QByteArray, QList<Resolver *>> m_resolvers;
};

Resolver::Resolver(AbstractServer *server, const QByteArray &name, Cache *cache, QObject *parent)
    : QObject(parent), m_server(server), m_cache(cache ? cache : new Cache(this)), m_name(name)
{
    qRegisterMetaType<QHostAddress>("QHostAddress");
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Resolver::processDue);
    if (m_server) {
        m_dispatcher = ResolverDispatcher::of(m_server);
        m_dispatcher->add(this);
    }
    connect(m_cache, &Cache::recordExpired, this, &Resolver::handleExpired);
    connect(m_cache, &Cache::shouldQuery, this, &Resolver::handleShouldQuery);
    connect(m_cache->clock(), &Clock::advanced, this, &Resolver::processDue);
    // Cached addresses and the first question wait until the caller has connected.
    QMetaObject::invokeMethod(this, &Resolver::reportCached, Qt::QueuedConnection);
}

Resolver::~Resolver()
{
    if (m_dispatcher)
        m_dispatcher->remove(this);
}

qint64 Resolver::now() const
{
    return m_cache ? m_cache->clock()->now() : Clock::system()->now();
}

void Resolver::reportCached()
{
    if (!m_cache)
        return;
    QList<Record> records;
    for (quint16 type : {A, AAAA}) {
        QList<Record> found;
        if (m_cache->lookupRecords(m_name, type, &found))
            records += found;
    }
    for (const Record &record : qAsConst(records))
        report(record.address());
    // Ask even when something is cached: the cache may hold only one family. Without any
    // answer, keep asking with back-off.
    sendQuery();
    if (m_reported.isEmpty()) {
        m_interval = FirstIntervalMs;
        m_nextQuery = now() + m_interval;
    }
    schedule();
}

void Resolver::report(const QHostAddress &address)
{
    const bool known = std::any_of(m_reported.cbegin(), m_reported.cend(),
                                   [&](const QHostAddress &reported) { return sameAddress(reported, address); });
    if (known)
        return;
    m_reported.append(address);
    emit resolved(address);
}

void Resolver::processDue()
{
    if (m_nextQuery < 0 || now() < m_nextQuery)
        return;
    sendQuery();
    m_interval = std::min(m_interval * 2, MaxIntervalMs);
    m_nextQuery = now() + m_interval;
    schedule();
}

void Resolver::schedule()
{
    if (m_nextQuery < 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(std::clamp<qint64>(m_nextQuery - now(), 0, MaxIntervalMs)));
}

void Resolver::sendQuery()
{
    if (!m_server || !m_cache)
        return;
    Message message;
    message.addQuery(Query(m_name, A));
    message.addQuery(Query(m_name, AAAA));
    // Two questions and a host's few addresses fit one packet.
    for (quint16 type : {A, AAAA}) {
        const QList<Record> answers = m_cache->knownAnswers(m_name, type);
        for (const Record &answer : answers)
            message.addRecord(answer);
    }
    m_server->sendMessageToAll(message);
}

void Resolver::handleMessage(const Message &message)
{
    if (!m_cache || !message.isResponse() || (message.port() != 0 && message.port() != MdnsPort))
        return;
    const QList<Record> records = message.receivedRecords();
    QList<QHostAddress> learnt;
    for (const Record &record : records) {
        if ((record.type() != A && record.type() != AAAA) || !sameName(record.name(), m_name))
            continue;
        m_cache->addRecord(record);
        if (record.ttl() > 0)
            learnt.append(record.address());
    }
    if (!learnt.isEmpty()) {
        m_nextQuery = -1;
        schedule();
    }
    for (const QHostAddress &address : qAsConst(learnt))
        report(address);
}

void Resolver::handleExpired(const Record &record)
{
    if ((record.type() != A && record.type() != AAAA) || !sameName(record.name(), m_name))
        return;
    m_reported.erase(std::remove_if(m_reported.begin(), m_reported.end(),
                                    [&](const QHostAddress &reported) { return sameAddress(reported, record.address()); }),
                     m_reported.end());
    // The host has gone quiet: look for it again, from the start of the back-off.
    if (m_reported.isEmpty() && m_nextQuery < 0) {
        m_interval = FirstIntervalMs;
        m_nextQuery = now() + m_interval;
        schedule();
    }
}

void Resolver::handleShouldQuery(const Record &record)
{
    if ((record.type() == A || record.type() == AAAA) && sameName(record.name(), m_name))
        sendQuery();
}

} // namespace QMdnsEngine

#include "resolver.moc"
