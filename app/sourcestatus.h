#ifndef SOURCESTATUS_H
#define SOURCESTATUS_H

#include <QLabel>
#include <QSet>
#include <QString>
#include <QTime>

class NMOSMdnsBrowser;
class NMOSRegistryBrowser;

// Where the lists come from, so that a stale list is never silent: "mDNS: 12 nodes · Registry
// reg.example (live)", the registry being "reading" until it is read whole, and "lost since
// 14:02" once it stops answering.
class SourceStatus : public QLabel
{
    Q_OBJECT

public:
    SourceStatus(NMOSMdnsBrowser *mdns, NMOSRegistryBrowser *registry, QWidget *parent = nullptr);

private:
    void updateText();

    NMOSRegistryBrowser *m_registry;
    QSet<QString> m_mdnsNodes;
    QString m_registryHost;
    QTime m_lostSince;
};

#endif // SOURCESTATUS_H
