#ifndef MDNSFAKECLOCK_H
#define MDNSFAKECLOCK_H

#include "mdns/clock.h"

// A clock the test moves by hand; everything due up to the new time happens inside advance().
class MdnsFakeClock : public QMdnsEngine::Clock
{
public:
    qint64 now() const override { return m_now; }
    void advance(qint64 ms)
    {
        m_now += ms;
        emit advanced();
    }

private:
    qint64 m_now = 5000000;
};

#endif // MDNSFAKECLOCK_H
