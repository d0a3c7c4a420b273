#ifndef QMDNSENGINE_CACHE_H
#define QMDNSENGINE_CACHE_H

#include "mdns/record.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <set>
#include <tuple>

namespace QMdnsEngine {

class Clock;

// Records with their TTLs (RFC 6762 5.2, 10.1, 10.2). Asks for refresh queries at 80, 85, 90
// and 95 % of a record's life (plus up to 2 % at random); whoever uses the record sends
// them. A goodbye (TTL 0) leaves the record one more second; the cache-flush bit expires
// older records of the same name and type one second later.
class Cache : public QObject
{
    Q_OBJECT

public:
    explicit Cache(QObject *parent = nullptr);
    ~Cache() override;

    // Give the clock before handing the cache to a browser or resolver; they share it.
    void setClock(Clock *clock);
    Clock *clock() const;

    void addRecord(const Record &record);
    // The most recently received record of that name and type (type ANY: any type).
    bool lookupRecord(const QByteArray &name, quint16 type, Record *record) const;
    bool lookupRecords(const QByteArray &name, quint16 type, QList<Record> *records) const;
    // Whether a record of that name, type and data is held (its TTL aside).
    bool contains(const Record &record) const;
    // Records worth listing as known answers: more than half their TTL left; each with
    // the TTL it has left.
    QList<Record> knownAnswers(const QByteArray &name, quint16 type) const;
    int count() const { return m_count; }

    // A flood of distinct records from the link must not eat the memory.
    static constexpr int MaxRecords = 16384;

signals:
    void shouldQuery(const QMdnsEngine::Record &record);
    void recordExpired(const QMdnsEngine::Record &record);

private:
    struct Entry {
        Record record;
        quint64 order = 0;  // arrival of the first copy, for lookups in arrival order
        qint64 received = 0;
        qint64 expires = 0;
        QList<qint64> refreshes;
        qint64 queued = -1;  // its place in m_queue: when it next falls due
    };
    // The records of one name, each under its type and data: every lookup is by name, and
    // a link of a thousand nodes holds a thousand pointers under one name.
    using Entries = QHash<QByteArray, Entry>;
    using Due = std::tuple<qint64, QByteArray, QByteArray>;  // when, name key, identity

    void processDue();
    void requeue(const QByteArray &key, const QByteArray &identity, Entry *entry);
    void remove(const QByteArray &key, const QByteArray &identity);
    void arm();
    QList<const Entry *> sorted(const QByteArray &name, quint16 type) const;

    QPointer<Clock> m_clock;
    QHash<QByteArray, Entries> m_names;  // by case-folded name
    // Every record with a refresh or its expiry ahead, soonest first, so that nothing has
    // to look at every record to know what is due.
    std::set<Due> m_queue;
    int m_count = 0;
    quint64 m_arrivals = 0;
    QTimer m_timer;
    qint64 m_armedFor = -1;
};

} // namespace QMdnsEngine

#endif // QMDNSENGINE_CACHE_H
