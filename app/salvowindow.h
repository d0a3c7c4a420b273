#ifndef SALVOWINDOW_H
#define SALVOWINDOW_H

#include "nmos/nmosclient.h"
#include "workflow/salvofile.h"
#include "workflow/salvotake.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class QAbstractItemModel;
class QLabel;
class QLayout;
class QListView;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;
class RouteReader;
class RunGuard;

// The salvos saved at this desk, in the files the console program's save writes and its
// recall reads: what a take of one would change, the take itself, now or at one time a few
// seconds ahead, with each receiver's result as it comes, and the facility's routes saved as
// a new salvo. Every wait runs on the event loop: the main window stays in the operator's
// hands meanwhile.
class SalvoWindow : public QWidget
{
    Q_OBJECT

public:
    // Starts a run of the main window's, which holds its run controls until the guard goes;
    // null while one of its own is under way.
    using RunStarter = std::function<std::unique_ptr<RunGuard>()>;

    // The lists are the main window's: each item holds a sender's or receiver's record.
    SalvoWindow(NmosClient *client, QAbstractItemModel *senders, QAbstractItemModel *receivers,
                const RunStarter &startRun, QWidget *parent = nullptr);
    ~SalvoWindow() override;

    // The "salvos" folder in the user's data folder.
    static QString folder();

private:
    enum Column { ReceiverColumn, NowColumn, AfterColumn, ResultColumn };

    // One saved receiver of the chosen salvo, as the lists have it now.
    struct Row
    {
        NmosClient::ReceiverConnection receiver; // no id: not listed now
        int pair = -1;                            // in m_pairs; -1 when a take leaves it
        QStringList results;                      // one text per receiver of its group
    };

    QLayout *makeSavedColumn();
    QLayout *makeTakeColumn();
    void listSalvos();
    void preview();
    void showNow(int index, bool read, bool enabled, const QString &senderId, const QString &error);
    void saveRoutes();
    void deleteSalvo();
    // Yes or No, No by default.
    bool ask(const QString &title, const QString &question);
    void keepRoute(int index, bool read, bool enabled, const QString &senderId, const QString &error);
    void writeSaved();
    // The takes and their results: salvowindowtake.cpp.
    std::unique_ptr<RunGuard> startRun();
    void takeNow();
    void takeLater();
    void cancelTake();
    void showReceiverResult(const SalvoTake::ReceiverResult &result);
    void showPairResult(int pair, const PatchWorkflow::RunOutcome &outcome);
    void showCancelled(const QStringList &failures, const QStringList &switched);
    void endTake(const QString &status);
    void setTaking(bool taking);
    void setCell(int row, Column column, const QString &text);
    QString senderText(const QString &senderId) const;
    template<typename Record>
    QList<Record> records(const QAbstractItemModel *model) const;

    QAbstractItemModel *m_senderModel;
    QAbstractItemModel *m_receiverModel;
    RouteReader *m_previewReader;
    RouteReader *m_saveReader;
    SalvoTake *m_take;
    RunStarter m_startRun;
    // Held by a take now from its first pair to its end.
    std::unique_ptr<RunGuard> m_run;
    bool m_taking = false;
    QListWidget *m_salvos = nullptr;
    QListView *m_receivers = nullptr;
    QPushButton *m_saveButton = nullptr;
    QPushButton *m_deleteButton = nullptr;
    QTableWidget *m_preview = nullptr;
    QPushButton *m_takeNowButton = nullptr;
    QPushButton *m_takeInButton = nullptr;
    QSpinBox *m_leadSeconds = nullptr;
    QPushButton *m_cancelButton = nullptr;
    QLabel *m_status = nullptr;

    QList<Row> m_rows;
    QList<SalvoTake::Pair> m_pairs;
    // A save under way: its file, the receivers read for it, and what they run.
    QString m_savePath;
    QList<NmosClient::ReceiverConnection> m_saving;
    SalvoFile m_saved;
    QStringList m_unsaved;
};

#endif // SALVOWINDOW_H
