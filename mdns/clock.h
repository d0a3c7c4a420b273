#ifndef QMDNSENGINE_CLOCK_H
#define QMDNSENGINE_CLOCK_H

#include <QObject>

namespace QMdnsEngine {

// Monotonic milliseconds for the cache and the query schedules. Timers only wake the
// classes up; what is due is always decided by now(), so a test clock that jumps ahead and
// emits advanced() drives them without waiting.
class Clock : public QObject
{
    Q_OBJECT

public:
    explicit Clock(QObject *parent = nullptr);

    virtual qint64 now() const;

    // The shared real clock.
    static Clock *system();

signals:
    // Time jumped forward outside the timers' knowledge: check what is due.
    void advanced();
};

} // namespace QMdnsEngine

#endif // QMDNSENGINE_CLOCK_H
