#include "runguard.h"

#include "workflow/intakequeue.h"

#include <QCursor>
#include <QGuiApplication>
#include <QWidget>

RunGuard::RunGuard(bool *running, const QList<QWidget *> &controls, IntakeQueue *intake)
    : m_running(running)
    , m_controls(controls)
    , m_intake(intake)
{
    *m_running = true;
    // Every patch bumps the nodes' counters: their intakes wait until the run is over.
    m_intake->hold();
    for (QWidget *control : m_controls)
        control->setEnabled(false);
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

void RunGuard::release()
{
    if (!m_active)
        return;
    m_active = false;
    QGuiApplication::restoreOverrideCursor();
    for (QWidget *control : m_controls)
        control->setEnabled(true);
    *m_running = false;
    m_intake->release();
}
