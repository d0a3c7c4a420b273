#include "sourcestatus.h"

#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"

SourceStatus::SourceStatus(NMOSMdnsBrowser *mdns, NMOSRegistryBrowser *registry, QWidget *parent)
    : QLabel(parent)
    , m_registry(registry)
{
    setObjectName(QStringLiteral("sourceStatus"));
    setTextFormat(Qt::PlainText);
    connect(mdns, &NMOSMdnsBrowser::nodeSelfReady, this, [this](const QString &serviceName) {
        m_mdnsNodes.insert(serviceName);
        updateText();
    });
    connect(mdns, &NMOSMdnsBrowser::nodeRemoved, this, [this](const QString &serviceName) {
        m_mdnsNodes.remove(serviceName);
        updateText();
    });
    connect(registry, &NMOSRegistryBrowser::registryChanged, this, [this](const QUrl &base) {
        if (!base.isEmpty()) {
            m_registryHost = base.host();
            m_lostSince = QTime();
        } else if (!m_registryHost.isEmpty() && m_lostSince.isNull()) {
            m_lostSince = QTime::currentTime();
        }
        updateText();
    });
    connect(registry, &NMOSRegistryBrowser::settledChanged, this, &SourceStatus::updateText);
    updateText();
}

void SourceStatus::updateText()
{
    QString text = m_mdnsNodes.size() == 1 ? tr("mDNS: 1 node") : tr("mDNS: %1 nodes").arg(m_mdnsNodes.size());
    if (!m_registryHost.isEmpty()) {
        const QString state = !m_lostSince.isNull() ? tr("lost since %1").arg(m_lostSince.toString(QStringLiteral("HH:mm")))
                              : m_registry->isSettled() ? tr("live")
                                                        : tr("reading");
        text += tr(" \u00b7 Registry %1 (%2)").arg(m_registryHost, state);
    }
    setText(text);
}
