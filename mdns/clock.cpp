#include "mdns/clock.h"

#include <QElapsedTimer>

namespace QMdnsEngine {

Q_GLOBAL_STATIC(Clock, systemClock)

Clock::Clock(QObject *parent)
    : QObject(parent)
{
}

qint64 Clock::now() const
{
    // Monotonic, so a wall-clock step neither expires the cache nor stalls the queries.
    static QElapsedTimer started = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    // Offset so that "zero" never means "not set" in the users' bookkeeping.
    return started.elapsed() + 1000000;
}

Clock *Clock::system()
{
    return systemClock();
}

} // namespace QMdnsEngine
