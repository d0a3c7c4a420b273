#include "netns.h"

#include <QNetworkInterface>

bool insidePrivateNetns(QString *why)
{
    if (qgetenv("FERROLINK_NETNS") != "1") {
        if (why)
            *why = QStringLiteral("sends multicast: runs only inside tools/netns-run");
        return false;
    }
    // Make sure the namespace is ours: the veth pair exists and nothing else but loopback.
    const auto interfaces = QNetworkInterface::allInterfaces();
    QStringList names;
    for (const QNetworkInterface &iface : interfaces)
        names << iface.name();
    names.sort();
    if (names != QStringList{QStringLiteral("fl0"), QStringLiteral("fl1"), QStringLiteral("lo")}) {
        if (why)
            *why = QStringLiteral("FERROLINK_NETNS is set but the interfaces are %1, not lo, fl0 and fl1")
                       .arg(names.join(QLatin1Char(',')));
        return false;
    }
    return true;
}
