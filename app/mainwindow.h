#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "nmos/nmosclient.h"

#include <QList>
#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include "workflow/patchworkflow.h"

#include <memory>

class SecuredFacility;
class QComboBox;
class QFrame;
class QPushButton;
class QSettings;
class IntakeQueue;
class BrowserWindow;
class EntryPresence;
class FitLines;
class LightIndicator;
class NMOSMdnsBrowser;
class NMOSRegistryBrowser;
class ReceiverStateLabel;
class SalvoWindow;

// The one window of the tool: a transmitter row, a receiver row and the patch buttons.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The record behind a combo's current item; empty when it holds none.
    QString currentItemId(QComboBox *combo) const;
    QString currentItemAddress(QComboBox *combo) const;
    // The second source of nodes, to be told which registry to read.
    NMOSRegistryBrowser *registryBrowser() const { return m_registry; }
    // Its place in a secured facility, to be told where the authorization server is.
    SecuredFacility *facility() const { return m_facility; }

    // How long the splash stays up after start and after each press of "About"; tests
    // shorten it before they build a window.
    static int splashDurationMs;

private slots:
    void checkTx();
    void checkRx();
    void showTxSdp();
    void showRxSdp();
    void doConnect();
    void doDisconnect();
    void addNodeEntries(const QString &serviceName, const QList<NmosClient::SenderConnection> &senders,
                        const QList<NmosClient::ReceiverConnection> &receivers);

private:
    // The About splash and the weekly update query: splash.cpp, updatecheck.cpp; the runs
    // of the four run buttons: runs.cpp.
    void buildSplash();
    void showAbout();
    void hideSplash();
    void checkForUpdate();

    QWidget *makeEndpointRow(const QString &label, QComboBox **combo, LightIndicator **lamp,
                             QPushButton **button);
    // Node texts end up in these boxes, so they are always shown as plain text.
    void showMessage(QMessageBox::Icon icon, const QString &title, const QString &text);
    // What a run disables: both rows' choices, so a run cannot be steered mid-way, and the
    // four buttons that start a run.
    QList<QWidget *> runControls() const;
    void showBrowser();
    void showSalvos();
    // The records behind the rows' current items, as the runs take them.
    NmosClient::SenderConnection chosenSender() const;
    NmosClient::ReceiverConnection chosenReceiver() const;
    // A run's ending as a warning or critical box, or what it did not do as one information
    // box; nothing when it did everything.
    void showRunOutcome(const QString &title, const PatchWorkflow::RunOutcome &outcome);
    // Each pair of a connect or disconnect in the receiver's state line while it is tried;
    // endProgress() gives the line back to the receiver's state, read afresh.
    QMetaObject::Connection showProgress();
    void endProgress(const QMetaObject::Connection &progress);
    // The lamp's question: can the combo's chosen entry be patched as far as can be told?
    bool isPatchable(QComboBox *combo, const QString &collection, QString *why);
    // False when the chosen receiver cannot take the chosen sender and the operator, asked,
    // does not connect them anyway.
    bool chosenPairFits();
    // False, after telling the operator, when an entry a run would use went away.
    bool chosenEntriesPresent(const QList<QComboBox *> &combos, const QString &title);

    NMOSMdnsBrowser *m_mdns = nullptr;
    SecuredFacility *m_facility = nullptr;
    IntakeQueue *m_intake = nullptr;
    NMOSRegistryBrowser *m_registry = nullptr;
    NmosClient *m_client = nullptr;
    PatchWorkflow *m_workflow = nullptr;
    QSettings *m_settings = nullptr;
    QComboBox *m_txCombo = nullptr;
    QComboBox *m_rxCombo = nullptr;
    LightIndicator *m_txLamp = nullptr;
    LightIndicator *m_rxLamp = nullptr;
    ReceiverStateLabel *m_rxState = nullptr;
    FitLines *m_fit = nullptr;
    EntryPresence *m_presence = nullptr;
    QPushButton *m_txSdpButton = nullptr;
    QPushButton *m_rxSdpButton = nullptr;
    QPushButton *m_connectButton = nullptr;
    QPushButton *m_disconnectButton = nullptr;
    QPushButton *m_browseButton = nullptr;
    QPushButton *m_aboutButton = nullptr;
    QPushButton *m_salvosButton = nullptr;
    QFrame *m_splash = nullptr;
    // Set while a workflow or viewer runs, or a salvo take waits: their requests wait in
    // nested event loops, and no second run may start inside one.
    bool m_running = false;
    // Counts each row's checks, so that only the newest one lights its lamp.
    int m_txCheck = 0;
    int m_rxCheck = 0;
    // Made on the first "Browse" and kept, with its state, until the main window goes.
    std::unique_ptr<BrowserWindow> m_browser;
    // Made on the first "Salvos…", a window of its own beside this one; it goes before the
    // lists it shows, which are this window's.
    std::unique_ptr<SalvoWindow> m_salvos;
};

#endif // MAINWINDOW_H
