#ifndef DNSMASQ_H
#define DNSMASQ_H

#include <QStringList>

class QProcess;

// Starts Debian's dnsmasq as the name server of this namespace's loopback (127.0.0.1, port
// 53), serving only the records given as its options ("--srv-host=…"), and waits until it
// answers. For tests inside the private namespace.
bool startDnsmasq(QProcess *process, const QStringList &records);

#endif // DNSMASQ_H
