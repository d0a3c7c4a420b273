#include "mdns/cache.h"

#include "mdns/clock.h"
#include "mdns/dns.h"

#include <QRandomGenerator>

#include <algorithm>

namespace QMdnsEngine {

namespace {

const qint64 GraceMs = 1000;  // RFC 6762 10.1 and 10.2: one second before a record goes

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
    schedule();
}

Clock *Cache::clock() const
{
    return m_clock ? m_clock.data() : Clock::system();
}

void Cache::addRecord(const Record &record)
{
    const qint64 now = clock()->now();
    const QByteArray key = nameKey(record.name());
    auto existing = findEntry(record, key);

    if (record.ttl() == 0) {
        // A goodbye: keep the record one more second so that a quick re-announcement (or a
        // goodbye sent by mistake and corrected at once) does not make it flicker.
        if (existing != m_entries.end()) {
            existing->expires = std::min(existing->expires, now + GraceMs);
            existing->record.setTtl(0);
            existing->refreshes.clear();
            schedule();
        }
        return;
    }

    if (record.flushCache()) {
        for (Entry &entry : m_entries) {
            if (entry.record.type() == record.type() && entry.key == key
                && !entry.record.sameData(record) && entry.received < now - GraceMs) {
                entry.expires = std::min(entry.expires, now + GraceMs);
                entry.refreshes.clear();
            }
        }
    }

    if (existing == m_entries.end()) {
        if (m_entries.size() >= MaxRecords) {
            // Full: make room by dropping whatever goes soonest anyway.
            auto soonest = std::min_element(m_entries.begin(), m_entries.end(),
                                            [](const Entry &a, const Entry &b) { return a.expires < b.expires; });
            const Record dropped = soonest->record;
            m_entries.erase(soonest);
            emit recordExpired(dropped);
        }
        m_entries.append(Entry());
        existing = m_entries.end() - 1;
    }
    Entry &entry = *existing;
    entry.key = key;
    entry.record = record;
    entry.received = now;
    const qint64 life = qint64(record.ttl()) * 1000;
    entry.expires = now + life;
    entry.refreshes.clear();
    for (int percent : {80, 85, 90, 95}) {
        const qint64 jitter = qint64(QRandomGenerator::global()->bounded(2.0) * life / 100);
        entry.refreshes.append(now + life * percent / 100 + jitter);
    }
    schedule();
}

bool Cache::lookupRecord(const QByteArray &name, quint16 type, Record *record) const
{
    const Entry *latest = nullptr;
    const QByteArray key = nameKey(name);
    for (const Entry &entry : m_entries) {
        if ((type == ANY || entry.record.type() == type) && entry.key == key
            && (!latest || entry.received >= latest->received)) {
            latest = &entry;
        }
    }
    if (!latest)
        return false;
    if (record)
        *record = latest->record;
    return true;
}

bool Cache::lookupRecords(const QByteArray &name, quint16 type, QList<Record> *records) const
{
    QList<Record> found;
    const QByteArray key = nameKey(name);
    for (const Entry &entry : m_entries) {
        if ((type == ANY || entry.record.type() == type) && entry.key == key)
            found.append(entry.record);
    }
    if (found.isEmpty())
        return false;
    if (records)
        *records = found;
    return true;
}

QList<Record> Cache::knownAnswers(const QByteArray &name, quint16 type) const
{
    QList<Record> answers;
    const qint64 now = clock()->now();
    const QByteArray key = nameKey(name);
    for (const Entry &entry : m_entries) {
        if ((type != ANY && entry.record.type() != type) || entry.key != key)
            continue;
        const qint64 left = entry.expires - now;
        // RFC 6762 7.1: only answers with more than half their life left suppress a reply.
        if (entry.record.ttl() == 0 || left * 2 <= qint64(entry.record.ttl()) * 1000)
            continue;
        Record answer = entry.record;
        answer.setTtl(quint32(left / 1000));
        answers.append(answer);
    }
    return answers;
}

void Cache::processDue()
{
    const qint64 now = clock()->now();
    // Remove everything that is due before telling anyone, so that a listener looking at
    // the cache in its slot sees the state after all of this moment's expiries.
    QList<Record> expired;
    for (auto i = m_entries.begin(); i != m_entries.end();) {
        if (i->expires <= now) {
            expired.append(i->record);
            i = m_entries.erase(i);
        } else {
            ++i;
        }
    }
    QList<Record> refresh;
    for (Entry &entry : m_entries) {
        bool due = false;
        while (!entry.refreshes.isEmpty() && entry.refreshes.first() <= now) {
            entry.refreshes.removeFirst();
            due = true;
        }
        if (due)
            refresh.append(entry.record);
    }
    schedule();
    for (const Record &record : qAsConst(expired))
        emit recordExpired(record);
    for (const Record &record : qAsConst(refresh))
        emit shouldQuery(record);
}

void Cache::schedule()
{
    qint64 next = -1;
    for (const Entry &entry : qAsConst(m_entries)) {
        qint64 due = entry.expires;
        if (!entry.refreshes.isEmpty())
            due = std::min(due, entry.refreshes.first());
        if (next < 0 || due < next)
            next = due;
    }
    if (next < 0) {
        m_timer.stop();
        return;
    }
    const qint64 wait = std::max<qint64>(0, next - clock()->now());
    m_timer.start(int(std::min<qint64>(wait, 24 * 3600 * 1000)));
}

QList<Cache::Entry>::iterator Cache::findEntry(const Record &record, const QByteArray &key)
{
    return std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry &entry) {
        return entry.record.type() == record.type() && entry.key == key && entry.record.sameData(record);
    });
}

} // namespace QMdnsEngine
