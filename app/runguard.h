#ifndef RUNGUARD_H
#define RUNGUARD_H

#include <QList>

class IntakeQueue;
class QWidget;

// Holds the run controls disabled and the wait cursor up for one workflow or viewer run, or
// a salvo take's waits, and gives both back on every way out of the slot. release() hands them back early, so
// that the closing message box or dialog is not shown under a wait cursor.
class RunGuard
{
public:
    RunGuard(bool *running, const QList<QWidget *> &controls, IntakeQueue *intake);
    ~RunGuard() { release(); }
    RunGuard(const RunGuard &) = delete;
    RunGuard &operator=(const RunGuard &) = delete;

    void release();

private:
    bool *m_running;
    QList<QWidget *> m_controls;
    IntakeQueue *m_intake;
    bool m_active = true;
};

#endif // RUNGUARD_H
