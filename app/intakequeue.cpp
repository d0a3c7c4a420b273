#include "intakequeue.h"

IntakeQueue::IntakeQueue(QObject *parent)
    : QObject(parent)
{
}

void IntakeQueue::scheduleHandOut()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    // A queued call runs once the event loop is back, after the reports that came with this
    // one. Not a zero timer: while sockets keep the loop busy, as a thousand nodes answering
    // do, Qt runs timers only when it is idle, and the intake waited seconds.
    QMetaObject::invokeMethod(this, &IntakeQueue::handOutNext, Qt::QueuedConnection);
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
    scheduleHandOut();
}

void IntakeQueue::hold()
{
    ++m_holds;
}

void IntakeQueue::release()
{
    if (m_holds > 0 && --m_holds == 0 && !m_nodes.isEmpty())
        scheduleHandOut();
}

void IntakeQueue::handOutNext()
{
    m_scheduled = false;
    // The call also comes inside the nested waits of an intake, a run or a check: the
    // node waits until that has ended.
    if (m_holds > 0 || m_handingOut || m_nodes.isEmpty())
        return;
    const Node node = m_nodes.takeFirst();
    m_handingOut = true;
    emit nodeDue(node.serviceName, node.url, node.selfDoc);
    m_handingOut = false;
    if (!m_nodes.isEmpty())
        scheduleHandOut();
}
