#include "mainwindow.h"

#include "app/entrypresence.h"
#include "app/fitlines.h"
#include "app/receiverstatelabel.h"
#include "app/runguard.h"
#include "app/sdpdialog.h"

#include <QComboBox>
#include <QPushButton>

// The patch runs and viewers the window's buttons start: the workflow does the run, the
// window holds its controls meanwhile and tells the operator what came of it.

namespace {

QString sdpText(const QStringList &files)
{
    QString text;
    for (const QString &file : files)
        text += QStringLiteral("%1\n\n\n").arg(file);
    return text;
}

} // namespace

void MainWindow::showMessage(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

QList<QWidget *> MainWindow::runControls() const
{
    return {m_txCombo, m_rxCombo, m_txSdpButton, m_rxSdpButton, m_connectButton, m_disconnectButton};
}

void MainWindow::showTxSdp()
{
    if (m_running)
        return;
    if (!chosenEntriesPresent({m_txCombo}, tr("No Sender")))
        return;
    RunGuard guard(&m_running, runControls(), m_intake);
    const PatchWorkflow::SdpOutcome outcome = m_workflow->senderFiles(chosenSender());
    guard.release();
    if (outcome.ending != PatchWorkflow::SdpOutcome::Shown) {
        showMessage(QMessageBox::Warning, tr("No Sender"), outcome.message);
        return;
    }
    SdpDialog dialog(tr("Sender %1").arg(outcome.label), sdpText(outcome.files), this);
    dialog.exec();
}

void MainWindow::showRxSdp()
{
    if (m_running)
        return;
    if (!chosenEntriesPresent({m_rxCombo}, tr("Info")))
        return;
    RunGuard guard(&m_running, runControls(), m_intake);
    const PatchWorkflow::SdpOutcome outcome = m_workflow->receiverFiles(chosenReceiver());
    guard.release();
    if (outcome.ending == PatchWorkflow::SdpOutcome::NotFound) {
        showMessage(QMessageBox::Information, tr("Info"), outcome.message);
        return;
    }
    if (outcome.ending == PatchWorkflow::SdpOutcome::NothingStaged) {
        showMessage(QMessageBox::Warning, tr("SDP"), outcome.message);
        return;
    }
    SdpDialog dialog(tr("Sender %1 (from receiver node)").arg(outcome.label), sdpText(outcome.files), this);
    dialog.exec();
}

void MainWindow::showRunOutcome(const QString &title, const PatchWorkflow::RunOutcome &outcome)
{
    switch (outcome.ending) {
    case PatchWorkflow::RunOutcome::NoSender:
    case PatchWorkflow::RunOutcome::NoReceiver:
        showMessage(QMessageBox::Warning, title, outcome.message);
        return;
    case PatchWorkflow::RunOutcome::VideoFailed:
        showMessage(QMessageBox::Critical, title, outcome.message);
        return;
    case PatchWorkflow::RunOutcome::Completed:
        break;
    }
    QString summary;
    for (const QString &text : outcome.notes + outcome.failures())
        summary += text + QLatin1Char('\n');
    if (!summary.isEmpty())
        showMessage(QMessageBox::Information, title, summary);
}

void MainWindow::doConnect()
{
    if (m_running)
        return;
    if (!chosenEntriesPresent({m_txCombo, m_rxCombo}, tr("Connect")) || !chosenPairFits())
        return;
    RunGuard guard(&m_running, runControls(), m_intake);
    const PatchWorkflow::RunOutcome outcome = m_workflow->connectGroup(chosenSender(), chosenReceiver());
    guard.release();
    // Whatever the run did or did not do, the receiver shows what it does now.
    m_rxState->refresh();
    showRunOutcome(tr("Connect"), outcome);
}

void MainWindow::doDisconnect()
{
    if (m_running)
        return;
    if (!chosenEntriesPresent({m_rxCombo}, tr("Disconnect")))
        return;
    RunGuard guard(&m_running, runControls(), m_intake);
    const PatchWorkflow::RunOutcome outcome = m_workflow->disconnectGroup(chosenReceiver());
    guard.release();
    m_rxState->refresh();
    showRunOutcome(tr("Disconnect"), outcome);
}

bool MainWindow::chosenEntriesPresent(const QList<QComboBox *> &combos, const QString &title)
{
    for (QComboBox *combo : combos) {
        if (EntryPresence::isChosenGone(combo)) {
            showMessage(QMessageBox::Warning, title,
                        tr("This entry went away and cannot be used until it is back:\n%1").arg(combo->currentText()));
            return false;
        }
    }
    return true;
}

bool MainWindow::chosenPairFits()
{
    ReceiverCapabilities::Verdict verdict;
    if (!m_fit->judgeChosen(&verdict) || verdict.canTake)
        return true;
    // A device may take more than it says; on air, a wrong patch costs more than a question.
    QMessageBox box(QMessageBox::Question, tr("Connect"),
                    tr("%1\n\nConnect anyway?").arg(FitLines::cannotTakeText(verdict.reason)),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}
