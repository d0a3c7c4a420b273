#include "salvowindow.h"

#include "app/runguard.h"
#include "workflow/routereader.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

// The salvo window's takes: started, cancelled, and each receiver's result as it comes.

namespace {

QString kindName(NmosClient::Format format)
{
    return format == NmosClient::Video   ? SalvoWindow::tr("video")
           : format == NmosClient::Audio ? SalvoWindow::tr("audio")
                                         : SalvoWindow::tr("anc");
}

} // namespace

// A take's requests wait on nested event loops, as a run of the main window's does: one
// started inside the other's waits holds them up until it ends, a take's staging past its
// time. Neither starts while the other waits.
std::unique_ptr<RunGuard> SalvoWindow::startRun()
{
    std::unique_ptr<RunGuard> run = m_startRun();
    if (!run)
        m_status->setText(tr("Not taken: a connect or disconnect of the main window is under way. "
                             "Take once it has ended."));
    return run;
}

void SalvoWindow::takeNow()
{
    if (m_pairs.isEmpty())
        return;
    m_run = startRun();
    if (!m_run)
        return;
    setTaking(true);
    m_status->setText(tr("Taking, pair after pair\u2026"));
    m_take->takeNow(m_pairs);
}

void SalvoWindow::takeLater()
{
    if (m_pairs.isEmpty())
        return;
    // Held until the take is staged: what follows waits on timers and answers alone.
    const std::unique_ptr<RunGuard> run = startRun();
    if (!run)
        return;
    setTaking(true);
    m_status->setText(tr("Reading the groups and staging\u2026"));
    m_take->setLeadTimeMs(m_leadSeconds->value() * 1000);
    QString error;
    if (!m_take->takeAt(m_pairs, QDateTime(), &error))
        endTake(tr("Not taken: %1").arg(error));
}

void SalvoWindow::cancelTake()
{
    // Cancelling a staged take waits on each device in turn, and must end before the time. A
    // run of the main window's under way already is no reason not to cancel: the cancel
    // waits inside it, and holds up that run alone.
    const std::unique_ptr<RunGuard> run = m_startRun();
    m_take->cancel();
}

void SalvoWindow::showReceiverResult(const SalvoTake::ReceiverResult &result)
{
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).pair != result.pair)
            continue;
        m_rows[row].results << (result.done ? tr("%1 done").arg(kindName(result.format))
                                            : tr("%1 failed: %2").arg(kindName(result.format), result.reason));
        setCell(row, ResultColumn, m_rows.at(row).results.join(QStringLiteral(", ")));
        return;
    }
}

void SalvoWindow::showPairResult(int pair, const PatchWorkflow::RunOutcome &outcome)
{
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).pair != pair)
            continue;
        // What ended the pair before any receiver was tried has no receiver's result to show.
        if (outcome.ending == PatchWorkflow::RunOutcome::NoSender || outcome.ending == PatchWorkflow::RunOutcome::NoReceiver
            || (outcome.ending == PatchWorkflow::RunOutcome::VideoFailed && m_rows.at(row).results.isEmpty()))
            setCell(row, ResultColumn, outcome.message);
        else if (!outcome.unreadGroups.isEmpty())
            setCell(row, ResultColumn, m_rows.at(row).results.join(QStringLiteral(", ")) + QLatin1Char('\n') + outcome.unreadGroups);
        return;
    }
}

void SalvoWindow::showCancelled(const QStringList &failures, const QStringList &switchedFirst)
{
    bool switched = !switchedFirst.isEmpty();
    for (int row = 0; row < m_rows.size(); ++row) {
        switched |= !m_rows.at(row).results.isEmpty();
        if (m_rows.at(row).pair >= 0 && m_rows.at(row).results.isEmpty())
            setCell(row, ResultColumn, switchedFirst.contains(m_rows.at(row).receiver.id) ? tr("not cancelled: switched")
                                                                                            : tr("cancelled"));
    }
    // A take now is cancelled between pairs: those before have been patched.
    QString status = switched ? tr("Cancelled: the receivers without a result were left as they are.")
                              : tr("Cancelled: no receiver was switched.");
    if (!failures.isEmpty())
        status += QLatin1Char('\n') + failures.join(QLatin1Char('\n'));
    endTake(status);
}

void SalvoWindow::endTake(const QString &status)
{
    m_run.reset();
    setTaking(false);
    m_status->setText(status);
    // What the receivers run after the take, beside what they were to run.
    QList<NmosClient::ReceiverConnection> toRead;
    for (const Row &row : qAsConst(m_rows)) {
        if (!row.receiver.id.isEmpty())
            toRead.append(row.receiver);
    }
    m_previewReader->read(toRead);
}

void SalvoWindow::setTaking(bool taking)
{
    m_taking = taking;
    // A save asks for a name in a dialog of its own, whose loop would hold up a take's waits.
    m_saveButton->setEnabled(!taking && !m_saveReader->isReading());
    m_deleteButton->setEnabled(!taking && m_salvos->currentItem());
    m_salvos->setEnabled(!taking);
    m_takeNowButton->setEnabled(!taking && !m_pairs.isEmpty());
    m_takeInButton->setEnabled(!taking && !m_pairs.isEmpty());
    m_leadSeconds->setEnabled(!taking);
    m_cancelButton->setEnabled(taking);
    if (!taking)
        return;
    for (int row = 0; row < m_rows.size(); ++row) {
        m_rows[row].results.clear();
        setCell(row, ResultColumn, m_rows.at(row).pair < 0 ? QString() : tr("waiting\u2026"));
    }
}
