#include "mdns/cache.h"

#include "mdns/clock.h"
#include "mdns/dns.h"

#include <QRandomGenerator>

#include <algorithm>

namespace QMdnsEngine {

namespace {

const qint64 GraceMs = 1000;  // RFC 6762 10.1 and 10.2: one second before a record goes

QByteArray withLength(const QByteArray &bytes)
{
    return QByteArray::number(bytes.size()) + ':' + bytes;
}

// What tells a record apart from the others of its name: its type and data, compared as
// Record::sameData compares them (names without case, TXT values told null from empty).
QByteArray identity(const Record &record)
{
    QByteArray id = QByteArray::number(record.type()) + '/';
    switch (record.type()) {
    case A:
    case AAAA:
        return id + withLength(record.address().toString().toUtf8()) + withLength(record.address().scopeId().toUtf8());
    case PTR:
        return id + nameKey(record.target());
    case SRV:
        return id + QByteArray::number(record.priority()) + '/' + QByteArray::number(record.weight()) + '/'
            + QByteArray::number(record.port()) + '/' + nameKey(record.target());
    case TXT: {
        const auto attributes = record.attributes();
        for (auto i = attributes.cbegin(); i != attributes.cend(); ++i)
            id += withLength(i.key()) + (i.value().isNull() ? QByteArray("-") : withLength(i.value()));
        return id;
    }
    case NSEC: {
        id += withLength(nameKey(record.target()));
        const auto types = record.types();
        for (quint16 type : types)
            id += QByteArray::number(type) + ',';
        return id;
    }
    default:
        return id + record.data();
    }
}

} // namespace

Cache::Cache(QObject *parent)
    : QObject(parent), m_clock(Clock::system())
{
    qRegisterMetaType<QMdnsEngine::Record>("QMdnsEngine::Record");
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Cache::processDue);
    connect(m_clock, &Clock::advanced, this, &Cache::processDue);
}

Cache::~Cache() = default;

void Cache::setClock(Clock *clock)
{
    if (!clock || clock == m_clock)
        return;
    if (m_clock)
        disconnect(m_clock, nullptr, this, nullptr);
    m_clock = clock;
    connect(m_clock, &Clock::advanced, this, &Cache::processDue);
    m_armedFor = -1;
    arm();
}

Clock *Cache::clock() const
{
    return m_clock ? m_clock.data() : Clock::system();
}

void Cache::addRecord(const Record &record)
{
    const qint64 now = clock()->now();
    const QByteArray key = nameKey(record.name());
    const QByteArray id = identity(record);
    auto name = m_names.find(key);
    bool held = name != m_names.end() && name->contains(id);

    if (record.ttl() == 0) {
        // A goodbye: keep the record one more second so that a quick re-announcement (or a
        // goodbye sent by mistake and corrected at once) does not make it flicker.
        if (held) {
            Entry &existing = (*name)[id];
            existing.expires = std::min(existing.expires, now + GraceMs);
            existing.record.setTtl(0);
            existing.refreshes.clear();
            requeue(key, id, &existing);
            arm();
        }
        return;
    }

    if (!held && m_count >= MaxRecords) {
        // Full: make room by dropping whatever goes soonest anyway (the record whose next
        // moment comes first: refreshes fall at fixed shares of a record's life). Its
        // listeners may look at the cache meanwhile: find the name again afterwards.
        const Due soonest = *m_queue.begin();
        const Record dropped = m_names[std::get<1>(soonest)][std::get<2>(soonest)].record;
        remove(std::get<1>(soonest), std::get<2>(soonest));
        arm();
        emit recordExpired(dropped);
        name = m_names.find(key);
        held = name != m_names.end() && name->contains(id);
    }
    if (name == m_names.end())
        name = m_names.insert(key, Entries());

    if (record.flushCache()) {
        for (auto i = name->begin(); i != name->end(); ++i) {
            if (i->record.type() == record.type() && i.key() != id && i->received < now - GraceMs) {
                i->expires = std::min(i->expires, now + GraceMs);
                i->refreshes.clear();
                requeue(key, i.key(), &*i);
            }
        }
    }

    Entry &entry = (*name)[id];
    // The same record again within the second, as a responder's answer seen on several
    // interfaces and families, or from several queriers' questions, adds at most a second
    // to its life: not worth rescheduling for each of thousands of records.
    if (held && entry.record.ttl() == record.ttl() && entry.received >= now - GraceMs)
        return;
    if (!held) {
        entry.order = ++m_arrivals;
        ++m_count;
    }
    entry.record = record;
    entry.received = now;
    const qint64 life = qint64(record.ttl()) * 1000;
    entry.expires = now + life;
    entry.refreshes.clear();
    for (int percent : {80, 85, 90, 95}) {
        const qint64 jitter = qint64(QRandomGenerator::global()->bounded(2.0) * life / 100);
        entry.refreshes.append(now + life * percent / 100 + jitter);
    }
    requeue(key, id, &entry);
    arm();
}

QList<const Cache::Entry *> Cache::sorted(const QByteArray &name, quint16 type) const
{
    QList<const Entry *> matching;
    const auto found = m_names.constFind(nameKey(name));
    if (found == m_names.cend())
        return matching;
    for (const Entry &entry : *found) {
        if (type == ANY || entry.record.type() == type)
            matching.append(&entry);
    }
    std::sort(matching.begin(), matching.end(), [](const Entry *a, const Entry *b) { return a->order < b->order; });
    return matching;
}

bool Cache::lookupRecord(const QByteArray &name, quint16 type, Record *record) const
{
    const Entry *latest = nullptr;
    const auto matching = sorted(name, type);
    for (const Entry *entry : matching) {
        if (!latest || entry->received >= latest->received)
            latest = entry;
    }
    if (!latest)
        return false;
    if (record)
        *record = latest->record;
    return true;
}

bool Cache::lookupRecords(const QByteArray &name, quint16 type, QList<Record> *records) const
{
    const auto matching = sorted(name, type);
    if (matching.isEmpty())
        return false;
    if (records) {
        QList<Record> found;
        for (const Entry *entry : matching)
            found.append(entry->record);
        *records = found;
    }
    return true;
}

bool Cache::contains(const Record &record) const
{
    const auto found = m_names.constFind(nameKey(record.name()));
    return found != m_names.cend() && found->contains(identity(record));
}

QList<Record> Cache::knownAnswers(const QByteArray &name, quint16 type) const
{
    QList<Record> answers;
    const qint64 now = clock()->now();
    const auto matching = sorted(name, type);
    for (const Entry *entry : matching) {
        const qint64 left = entry->expires - now;
        // RFC 6762 7.1: only answers with more than half their life left suppress a reply.
        if (entry->record.ttl() == 0 || left * 2 <= qint64(entry->record.ttl()) * 1000)
            continue;
        Record answer = entry->record;
        answer.setTtl(quint32(left / 1000));
        answers.append(answer);
    }
    return answers;
}

void Cache::processDue()
{
    const qint64 now = clock()->now();
    QList<Due> due;
    while (!m_queue.empty() && std::get<0>(*m_queue.begin()) <= now) {
        due.append(*m_queue.begin());
        m_queue.erase(m_queue.begin());
    }
    // Remove everything that is due before telling anyone, so that a listener looking at
    // the cache in its slot sees the state after all of this moment's expiries.
    QList<Record> expired;
    QList<Record> refresh;
    for (const Due &item : qAsConst(due)) {
        const QByteArray &key = std::get<1>(item);
        const QByteArray &id = std::get<2>(item);
        Entry &entry = m_names[key][id];
        entry.queued = -1;
        if (entry.expires <= now) {
            expired.append(entry.record);
            remove(key, id);
            continue;
        }
        bool asked = false;
        while (!entry.refreshes.isEmpty() && entry.refreshes.first() <= now) {
            entry.refreshes.removeFirst();
            asked = true;
        }
        if (asked)
            refresh.append(entry.record);
        requeue(key, id, &entry);
    }
    arm();
    for (const Record &record : qAsConst(expired))
        emit recordExpired(record);
    for (const Record &record : qAsConst(refresh))
        emit shouldQuery(record);
}

void Cache::requeue(const QByteArray &key, const QByteArray &identity, Entry *entry)
{
    qint64 next = entry->expires;
    if (!entry->refreshes.isEmpty())
        next = std::min(next, entry->refreshes.first());
    if (next == entry->queued)
        return;
    if (entry->queued >= 0)
        m_queue.erase(Due(entry->queued, key, identity));
    entry->queued = next;
    m_queue.insert(Due(next, key, identity));
}

void Cache::remove(const QByteArray &key, const QByteArray &identity)
{
    const auto name = m_names.find(key);
    if (name == m_names.end())
        return;
    const auto entry = name->find(identity);
    if (entry == name->end())
        return;
    if (entry->queued >= 0)
        m_queue.erase(Due(entry->queued, key, identity));
    name->erase(entry);
    --m_count;
    if (name->isEmpty())
        m_names.erase(name);
}

void Cache::arm()
{
    if (m_queue.empty()) {
        m_timer.stop();
        m_armedFor = -1;
        return;
    }
    // Restarting the timer for every record of a busy link costs more than the records.
    const qint64 next = std::get<0>(*m_queue.begin());
    if (next == m_armedFor && m_timer.isActive())
        return;
    m_armedFor = next;
    const qint64 wait = std::max<qint64>(0, next - clock()->now());
    m_timer.start(int(std::min<qint64>(wait, 24 * 3600 * 1000)));
}

} // namespace QMdnsEngine
