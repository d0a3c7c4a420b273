#ifndef QMDNSENGINE_CACHE_H
#define QMDNSENGINE_CACHE_H

#include "mdns/record.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

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
    // Records worth listing as known answers: more than half their TTL left; each with
    // the TTL it has left.
    QList<Record> knownAnswers(const QByteArray &name, quint16 type) const;
    int count() const { return m_entries.count(); }

    // A flood of distinct records from the link must not eat the memory.
    static constexpr int MaxRecords = 4096;

signals:
    void shouldQuery(const QMdnsEngine::Record &record);
    void recordExpired(const QMdnsEngine::Record &record);

private:
    struct Entry {
        QByteArray key;  // case-folded name, computed once: every lookup compares it
        Record record;
        qint64 received = 0;
        qint64 expires = 0;
        QList<qint64> refreshes;
    };

    void processDue();
    void schedule();
    QList<Entry>::iterator findEntry(const Record &record, const QByteArray &key);

    QPointer<Clock> m_clock;
    QList<Entry> m_entries;
    QTimer m_timer;
};

} // namespace QMdnsEngine

#endif // QMDNSENGINE_CACHE_H
