#include "mdns/browser.h"

#include "mdns/abstractserver.h"
#include "mdns/cache.h"
#include "mdns/clock.h"
#include "mdns/dns.h"
#include "mdns/logging_p.h"
#include "mdns/message.h"

#include <QRandomGenerator>

#include <algorithm>

namespace QMdnsEngine {

namespace {

const qint64 FirstIntervalMs = 1000;
const qint64 MaxIntervalMs = 60 * 60 * 1000;  // RFC 6762 5.2
const qint64 TxtWaitMs = 1000;

qint64 initialDelay()
{
    // RFC 6762 5.2: 20 to 120 ms, so that hosts started together do not query together.
    return 20 + QRandomGenerator::global()->bounded(101);
}

// The name less its first label; a dot escaped inside that label does not end it.
QByteArray parentName(const QByteArray &name)
{
    for (int i = 0; i < name.size(); ++i) {
        if (name.at(i) == '\\')
            ++i;
        else if (name.at(i) == '.')
            return name.mid(i + 1);
    }
    return QByteArray();
}

} // namespace

Browser::Browser(AbstractServer *server, const QByteArray &type, Cache *cache, QObject *parent)
    : QObject(parent), m_server(server), m_cache(cache ? cache : new Cache(this)), m_type(type)
{
    qRegisterMetaType<QMdnsEngine::Service>("QMdnsEngine::Service");
    m_meta = sameName(type, ServicesType);
    if (!m_meta)
        m_types.insert(nameKey(type), type);

    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Browser::processDue);
    if (m_server) {
        connect(m_server, &AbstractServer::messageReceived, this, &Browser::handleMessage);
        connect(m_server, &AbstractServer::interfaceAppeared, this, &Browser::restartSchedule);
    }
    connect(m_cache, &Cache::recordExpired, this, &Browser::handleExpired);
    connect(m_cache, &Cache::shouldQuery, this, &Browser::handleShouldQuery);
    connect(m_cache->clock(), &Clock::advanced, this, &Browser::processDue);

    // What a shared cache already knows is reported once the caller has had the chance to
    // connect to the signals.
    QMetaObject::invokeMethod(this, [this] {
        if (!m_cache)
            return;
        if (m_meta) {
            QList<Record> types;
            m_cache->lookupRecords(ServicesType, PTR, &types);
            for (const Record &record : qAsConst(types))
                m_types.insert(nameKey(record.target()), record.target());
        }
        const auto typeNames = m_types.values();
        for (const QByteArray &typeName : typeNames) {
            QList<Record> pointers;
            m_cache->lookupRecords(typeName, PTR, &pointers);
            for (const Record &record : qAsConst(pointers))
                updateInstance(record.target());
        }
        flushQuestions();
    }, Qt::QueuedConnection);

    restartSchedule();
}

Browser::~Browser() = default;

QList<Service> Browser::services() const
{
    QList<Service> reported;
    for (const Instance &instance : m_instances) {
        if (instance.reported)
            reported.append(instance.service);
    }
    return reported;
}

qint64 Browser::now() const
{
    return m_cache ? m_cache->clock()->now() : Clock::system()->now();
}

bool Browser::isBrowsedType(const QByteArray &type) const
{
    return m_types.contains(nameKey(type));
}

// A browser of one type keeps the pointers and instance records of that type only: on a
// link of thousands of nodes, the cache of a browser for the registry's type need not hold
// every node. Addresses are kept whatever they belong to, for the hosts being resolved.
bool Browser::isWanted(const Record &record) const
{
    if (m_meta)
        return true;
    switch (record.type()) {
    case PTR:
        return isBrowsedType(record.name());
    case SRV:
    case TXT:
        return isBrowsedType(parentName(record.name()));
    default:
        return true;
    }
}

void Browser::restartSchedule()
{
    m_interval = 0;
    m_nextQuery = now() + initialDelay();
    sendOneShotQuery();
    schedule();
}

void Browser::processDue()
{
    if (!m_cache)
        return;
    const qint64 t = now();
    if (t >= m_nextQuery) {
        sendBrowseQuery();
        m_interval = m_interval == 0 ? FirstIntervalMs : std::min(m_interval * 2, MaxIntervalMs);
        m_nextQuery = t + m_interval;
    }

    QList<QByteArray> waited;
    const QSet<QByteArray> keys = m_waiting;
    for (const QByteArray &key : keys) {
        const auto i = m_instances.find(key);
        if (i == m_instances.end())
            continue;
        Instance &instance = *i;
        const QByteArray name = instance.service.instanceName();
        if (!instance.reported && instance.txtDeadline >= 0 && t >= instance.txtDeadline)
            waited.append(name);
        if (instance.askInterval > 0 && t >= instance.nextAsk) {
            const bool hasSrv = m_cache->lookupRecord(name, SRV, nullptr);
            const bool hasTxt = m_cache->lookupRecord(name, TXT, nullptr);
            if (hasSrv && hasTxt) {
                instance.askInterval = 0;
                continue;
            }
            if (!hasSrv)
                m_pending.append({name, SRV});
            if (!hasTxt)
                m_pending.append({name, TXT});
            instance.askInterval = std::min(instance.askInterval * 2, MaxIntervalMs);
            instance.nextAsk = t + instance.askInterval;
        }
    }
    for (const QByteArray &name : qAsConst(waited))
        updateInstance(name);
    flushQuestions();
    schedule();
}

void Browser::flushQuestions()
{
    QList<QPair<QByteArray, quint16>> questions;
    QSet<QPair<QByteArray, quint16>> seen;
    for (const auto &question : qAsConst(m_pending)) {
        const QPair<QByteArray, quint16> key(nameKey(question.first), question.second);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        questions.append(question);
    }
    m_pending.clear();
    sendQueries(questions);
}

void Browser::schedule()
{
    qint64 next = m_nextQuery;
    for (auto key = m_waiting.begin(); key != m_waiting.end();) {
        const auto instance = m_instances.constFind(*key);
        const bool waitsForTxt = instance != m_instances.cend() && !instance->reported && instance->txtDeadline >= 0;
        const bool asks = instance != m_instances.cend() && instance->askInterval > 0;
        if (!waitsForTxt && !asks) {
            key = m_waiting.erase(key);
            continue;
        }
        if (waitsForTxt)
            next = std::min(next, instance->txtDeadline);
        if (asks)
            next = std::min(next, instance->nextAsk);
        ++key;
    }
    const qint64 wait = std::max<qint64>(0, next - now());
    m_timer.start(int(std::min<qint64>(wait, MaxIntervalMs)));
}

QList<QPair<QByteArray, quint16>> Browser::browseQuestions() const
{
    QList<QPair<QByteArray, quint16>> questions;
    if (m_meta)
        questions.append({QByteArray(ServicesType), PTR});
    for (const QByteArray &typeName : qAsConst(m_types))
        questions.append({typeName, PTR});
    return questions;
}

void Browser::sendBrowseQuery()
{
    sendQueries(browseQuestions());
}

void Browser::sendOneShotQuery()
{
    if (!m_server)
        return;
    // The questions also go as a one-shot query, at once: RFC 6762 5.2's 20 to 120 ms
    // delay keeps hosts started together from querying together, which a one-shot query
    // (5.1) need not do, and the delay sat on the path from start to the first node. A
    // responder holds a multicast answer back until a second after it last multicast the
    // records (RFC 6762 6; python3-zeroconf does so right after announcing), but answers a
    // one-shot query by unicast at once (RFC 6762 6.7). Its own transaction id also keeps
    // it from looking like a copy of the multicast query, which python3-zeroconf would
    // ignore.
    Message oneShot;
    oneShot.setTransactionId(quint16(1 + QRandomGenerator::global()->bounded(0xFFFF)));
    const auto questions = browseQuestions();
    for (const auto &question : questions)
        oneShot.addQuery(Query(question.first, question.second));
    m_server->sendOneShotQuery(oneShot);
}

void Browser::sendQueries(const QList<QPair<QByteArray, quint16>> &questions)
{
    if (!m_server || !m_cache || questions.isEmpty())
        return;
    auto sizeOf = [](const Message &message) {
        QByteArray packet;
        return toPacket(message, &packet) ? packet.size() : MaxPacketSize + 1;
    };

    // Questions go in as many packets as they need; each packet's known answers follow it,
    // in further packets with TC set on all but the last (RFC 6762 7.2).
    int next = 0;
    while (next < questions.size()) {
        Message message;
        QList<Record> answers;
        while (next < questions.size()) {
            Message trial = message;
            trial.addQuery(Query(questions.at(next).first, questions.at(next).second));
            if (!message.queries().isEmpty() && sizeOf(trial) > MaxPacketSize)
                break;
            message = trial;
            answers += m_cache->knownAnswers(questions.at(next).first, questions.at(next).second);
            ++next;
        }
        // A record adds at most its size alone to a packet (compression only saves), so
        // the packet is encoded whole only when that bound says it might be full: with a
        // thousand nodes known, encoding it for every record took a tenth of a second.
        const auto sizeAlone = [&sizeOf](const Record &record) {
            Message alone;
            alone.addRecord(record);
            return sizeOf(alone) - sizeOf(Message());
        };
        QList<Message> packets;
        int bound = sizeOf(message);
        for (const Record &answer : qAsConst(answers)) {
            const int grows = sizeAlone(answer);
            if (bound + grows <= MaxPacketSize) {
                message.addRecord(answer);
                bound += grows;
                continue;
            }
            Message trial = message;
            trial.addRecord(answer);
            const int size = sizeOf(trial);
            if (size > MaxPacketSize && (!message.queries().isEmpty() || !message.records().isEmpty())) {
                message.setTruncated(true);
                packets.append(message);
                message = Message();
                message.addRecord(answer);
                bound = sizeOf(message);
            } else {
                message = trial;
                bound = size;
            }
        }
        packets.append(message);
        for (const Message &packet : qAsConst(packets))
            m_server->sendMessageToAll(packet);
    }
}

void Browser::handleMessage(const Message &message)
{
    // RFC 6762 6: answers from any other port are not multicast DNS responses.
    if (!m_cache || !message.isResponse() || (message.port() != 0 && message.port() != MdnsPort))
        return;
    QList<Record> records = message.receivedRecords();
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [this](const Record &record) { return !isWanted(record); }),
                  records.end());
    for (const Record &record : qAsConst(records))
        m_cache->addRecord(record);

    QList<QByteArray> touched;
    QList<QByteArray> newTypes;
    for (const Record &record : records) {
        if (record.type() == PTR && m_meta && sameName(record.name(), ServicesType) && record.ttl() > 0
            && !isBrowsedType(record.target())) {
            m_types.insert(nameKey(record.target()), record.target());
            newTypes.append(record.target());
        } else if (record.type() == PTR && isBrowsedType(record.name())) {
            touched.append(record.target());
        } else if ((record.type() == SRV || record.type() == TXT) && m_instances.contains(nameKey(record.name()))) {
            touched.append(record.name());
        }
    }
    for (const QByteArray &typeName : qAsConst(newTypes)) {
        QList<Record> pointers;
        if (m_cache->lookupRecords(typeName, PTR, &pointers)) {
            for (const Record &record : qAsConst(pointers))
                touched.append(record.target());
        }
    }
    // A type found by the meta-query is asked for at once rather than at the next,
    // possibly distant, step of the schedule.
    for (const QByteArray &typeName : qAsConst(newTypes))
        m_pending.append({typeName, PTR});
    for (const QByteArray &name : qAsConst(touched))
        updateInstance(name);
    flushQuestions();
    schedule();
}

void Browser::handleExpired(const Record &record)
{
    if (record.type() == PTR && isBrowsedType(record.name()))
        updateInstance(record.target());
    else if ((record.type() == SRV || record.type() == TXT) && m_instances.contains(nameKey(record.name())))
        updateInstance(record.name());
    else if (record.type() == PTR && m_meta && sameName(record.name(), ServicesType)
             && !m_cache->lookupRecord(record.target(), PTR, nullptr)) {
        m_types.remove(nameKey(record.target()));
    }
    flushQuestions();
}

void Browser::handleShouldQuery(const Record &record)
{
    // RFC 6762 5.2: the cache asks for refreshes only of what somebody still wants.
    const bool wanted = (record.type() == PTR && (isBrowsedType(record.name())
                                                  || (m_meta && sameName(record.name(), ServicesType))))
        || ((record.type() == SRV || record.type() == TXT) && m_instances.contains(nameKey(record.name())));
    if (wanted)
        sendQueries({{record.name(), record.type()}});
}

void Browser::updateInstance(const QByteArray &instanceName)
{
    if (!m_cache)
        return;
    const QByteArray key = nameKey(instanceName);
    const QList<QByteArray> labels = nameLabels(instanceName);
    if (labels.size() < 2)
        return;

    bool pointed = false;
    for (const QByteArray &typeName : qAsConst(m_types)) {
        Record pointer(typeName, PTR);
        pointer.setTarget(instanceName);
        pointed = m_cache->contains(pointer);
        if (pointed)
            break;
    }
    auto existing = m_instances.find(key);
    if (!pointed) {
        if (existing != m_instances.end()) {
            const Instance gone = *existing;
            m_instances.erase(existing);
            if (gone.reported)
                emit serviceRemoved(gone.service);
        }
        return;
    }

    if (existing == m_instances.end())
        existing = m_instances.insert(key, Instance());
    Instance &instance = *existing;
    Service service;
    service.setName(labels.first());
    service.setType(labelsToName(labels.mid(1)));

    Record srv;
    Record txt;
    const bool hasSrv = m_cache->lookupRecord(instanceName, SRV, &srv);
    const bool hasTxt = m_cache->lookupRecord(instanceName, TXT, &txt);
    if ((!hasSrv || !hasTxt) && instance.askInterval == 0) {
        // RFC 6763 12: most responders send SRV and TXT along with the PTR; ask for what
        // did not come, then again with back-off.
        if (!hasSrv)
            m_pending.append({instanceName, SRV});
        if (!hasTxt)
            m_pending.append({instanceName, TXT});
        instance.askInterval = FirstIntervalMs;
        instance.nextAsk = now() + FirstIntervalMs;
        m_waiting.insert(key);
    }
    if (!hasSrv) {
        const Service gone = instance.service;
        instance.service = service;
        if (instance.reported) {
            instance.reported = false;
            instance.txtDeadline = -1;
            emit serviceRemoved(gone);
        }
        return;
    }
    service.setHostname(srv.target());
    // Names compare without case: the same host written differently is no change.
    if (instance.reported && sameName(srv.target(), instance.service.hostname()))
        service.setHostname(instance.service.hostname());
    service.setPort(srv.port());
    if (hasTxt)
        service.setAttributes(txt.attributes());

    if (!instance.reported) {
        instance.service = service;
        if (!hasTxt && instance.txtDeadline < 0) {
            // Give the TXT that was asked for a moment, so that the first report already
            // carries the attributes.
            instance.txtDeadline = now() + TxtWaitMs;
            m_waiting.insert(key);
            schedule();
            return;
        }
        if (!hasTxt && now() < instance.txtDeadline)
            return;
        instance.reported = true;
        emit serviceAdded(service);
        return;
    }
    if (service != instance.service) {
        instance.service = service;
        emit serviceUpdated(service);
    }
}

} // namespace QMdnsEngine
