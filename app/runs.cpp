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

// "Patching audio 1 of 2 on Monitor 1…": the pair a run is trying, on the chosen receiver.
QString progressText(const PatchWorkflow::PairOutcome &pair, int number, int count, const QString &receiver)
{
    const bool connecting = !pair.senderId.isEmpty();
    if (pair.format == NmosClient::Video)
        return connecting ? MainWindow::tr("Patching video on %1\u2026").arg(receiver)
                          : MainWindow::tr("Taking down video on %1\u2026").arg(receiver);
    const QString kind = pair.format == NmosClient::Audio ? MainWindow::tr("audio") : MainWindow::tr("anc");
    return (connecting ? MainWindow::tr("Patching %1 %2 of %3 on %4\u2026") : MainWindow::tr("Taking down %1 %2 of %3 on %4\u2026"))
        .arg(kind)
        .arg(number)
        .arg(count)
        .arg(receiver);
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
    const QMetaObject::Connection progress = showProgress();
    const PatchWorkflow::RunOutcome outcome = m_workflow->connectGroup(chosenSender(), chosenReceiver());
    guard.release();
    endProgress(progress);
    showRunOutcome(tr("Connect"), outcome);
}

void MainWindow::doDisconnect()
{
    if (m_running)
        return;
    if (!chosenEntriesPresent({m_rxCombo}, tr("Disconnect")))
        return;
    RunGuard guard(&m_running, runControls(), m_intake);
    const QMetaObject::Connection progress = showProgress();
    const PatchWorkflow::RunOutcome outcome = m_workflow->disconnectGroup(chosenReceiver());
    guard.release();
    endProgress(progress);
    showRunOutcome(tr("Disconnect"), outcome);
}

QMetaObject::Connection MainWindow::showProgress()
{
    // Named as chosen when the run begins, as the run's requests are.
    const QString receiver = m_rxCombo->currentData().value<NmosClient::ReceiverConnection>().label;
    return connect(m_workflow, &PatchWorkflow::pairStarted, m_rxState,
                   [this, receiver](const PatchWorkflow::PairOutcome &pair, int number, int count) {
                       m_rxState->setProgress(progressText(pair, number, count, receiver));
                   });
}

void MainWindow::endProgress(const QMetaObject::Connection &progress)
{
    disconnect(progress);
    m_rxState->setProgress(QString());
    // Whatever the run did or did not do, the receiver shows what it does now.
    m_rxState->refresh();
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
