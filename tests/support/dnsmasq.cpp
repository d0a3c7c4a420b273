#include "dnsmasq.h"

#include <QDnsLookup>
#include <QHostAddress>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

bool startDnsmasq(QProcess *process, const QStringList &records)
{
    const QString probe = QStringLiteral("probe.dnsmasq.test");
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QStringLiteral("dnsmasq"),
                   QStringList{"--no-daemon", "--conf-file=/dev/null", "--no-resolv", "--no-hosts", "--bind-interfaces",
                               "--listen-address=127.0.0.1", "--port=53", "--pid-file", "--user=root",
                               "--host-record=" + probe + ",127.0.0.2"}
                       + records);
    // dnsmasq says nothing when ready: it is once it answers.
    if (!process->waitForStarted(5000))
        return false;
    QDnsLookup lookup(QDnsLookup::A, probe);
    lookup.setNameserver(QHostAddress::LocalHost);
    for (int attempt = 0; attempt < 100 && process->state() == QProcess::Running; ++attempt) {
        QSignalSpy done(&lookup, &QDnsLookup::finished);
        lookup.lookup();
        if (done.wait(2000) && lookup.error() == QDnsLookup::NoError)
            return true;
        QTest::qWait(50);
    }
    return false;
}
