#ifndef NETNS_H
#define NETNS_H

#include <QString>

// Tests that send multicast run only inside the private network namespace that
// tools/netns-run sets up; anywhere else they would reach a real network.
bool insidePrivateNetns(QString *why = nullptr);

#define SKIP_UNLESS_PRIVATE_NETNS()                                                       \
    do {                                                                                  \
        QString why_;                                                                     \
        if (!insidePrivateNetns(&why_))                                                   \
            QSKIP(qPrintable(why_));                                                      \
    } while (0)

#endif // NETNS_H
