#include "intakequeue.h"

IntakeQueue::IntakeQueue(QObject *parent)
    : QObject(parent)
{
    // A zero timer fires once the event loop is back, after the reports that came with this one.
    m_timer.setSingleShot(true);
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &IntakeQueue::handOutNext);
}

void IntakeQueue::enqueue(const QString &serviceName, const QUrl &url, const QJsonDocument &selfDoc)
{
    for (Node &node : m_nodes) {
        if (node.serviceName == serviceName && node.url == url) {
            node.selfDoc = selfDoc;
            return;
        }
    }
    m_nodes.append({serviceName, url, selfDoc});
    m_timer.start();
}

void IntakeQueue::hold()
{
    ++m_holds;
}

void IntakeQueue::release()
{
    if (m_holds > 0 && --m_holds == 0 && !m_nodes.isEmpty())
        m_timer.start();
}

void IntakeQueue::handOutNext()
{
    // The timer also fires inside the nested waits of an intake, a run or a check: the
    // node waits until that has ended.
    if (m_holds > 0 || m_handingOut || m_nodes.isEmpty())
        return;
    const Node node = m_nodes.takeFirst();
    m_handingOut = true;
    emit nodeDue(node.serviceName, node.url, node.selfDoc);
    m_handingOut = false;
    if (!m_nodes.isEmpty())
        m_timer.start();
}
