#include "app/mainwindow.h"
#include "app/salvowindow.h"
#include "discovery/nmosmdnsbrowser.h"
#include "nmos/nmosclient.h"
#include "tests/support/netns.h"
#include "tests/support/simnodeoutput.h"
#include "workflow/intakequeue.h"
#include "workflow/salvofile.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>

// The salvo window against simulated nodes, opened from the main window: the routes of the
// moment saved as a salvo in the console program's file, what taking it back would change
// once they have changed, and the take, now, at a shared time, or cancelled before it.
class tst_SalvoWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void savesUnderPlainNamesAndDeletesAskingFirst_data();
    void savesUnderPlainNamesAndDeletesAskingFirst();
    void savesPreviewsAndTakes_data();
    void savesPreviewsAndTakes();

private:
    // The monitor's own account of what its receivers run: "M Audio 1=A Audio 1", or
    // "N Video=" for nothing; and of the activations still pending on it.
    QStringList monitorRoutes(int *pending);

    QProcess m_sim;
    QHash<QString, QString> m_addresses; // "camera" -> "127.0.0.1:port"
    QTemporaryDir m_settings;
};

namespace {

QPushButton *button(const QWidget *window, const QString &text)
{
    for (QPushButton *candidate : window->findChildren<QPushButton *>()) {
        if (candidate->text() == text)
            return candidate;
    }
    return nullptr;
}

// Chooses the monitor's receiver of that group and the camera's sender.
void choose(MainWindow *window, const QString &receiver, const QString &sender = QString())
{
    QComboBox *tx = window->findChildren<QComboBox *>().at(0), *rx = window->findChildren<QComboBox *>().at(1);
    rx->setCurrentIndex(rx->findText("-" + receiver + " Video)", Qt::MatchEndsWith));
    if (!sender.isEmpty())
        tx->setCurrentIndex(tx->findText("-" + sender + " Video)", Qt::MatchEndsWith));
}

// Connects them, or for no sender, disconnects the receiver.
void patch(MainWindow *window, const QString &receiver, const QString &sender = QString())
{
    choose(window, receiver, sender);
    button(window, sender.isEmpty() ? "Disconnect Rx" : "Connect (Tx->Rx)")->click();
}

// The salvo window of the main window's "Salvos…".
SalvoWindow *openSalvos(MainWindow *window)
{
    button(window, "Salvos\u2026")->click();
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *salvos = qobject_cast<SalvoWindow *>(widget))
            return salvos->isVisible() ? salvos : nullptr;
    }
    return nullptr;
}

// Answers yes or no to a question that comes next, if one does, and keeps it in *asked with
// its default answer: "Replace…? [No]".
void answer(QWidget *context, bool yes, QString *asked)
{
    QTimer::singleShot(0, context, [yes, asked] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (asked)
            *asked = box->text() + (box->defaultButton() == box->button(QMessageBox::No) ? " [No]" : " [Yes]");
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
}

// "Save current routes…" under that name, answering a question that follows.
void save(SalvoWindow *salvos, const QString &name, bool yes = false, QString *asked = nullptr)
{
    QTimer::singleShot(0, salvos, [salvos, name, yes, asked] {
        auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->setTextValue(name);
        dialog->accept();
        answer(salvos, yes, asked);
    });
    button(salvos, "Save current routes\u2026")->click();
}

// The preview, a row a line, each entry by its label: "M Video|B Video|A Video|video done".
// The results of a row's receivers come in any order, and are sorted.
QStringList table(const QTableWidget *preview)
{
    QStringList rows;
    const QRegularExpression entry("^\\S+ \\(\\S+-(.*)\\)$");
    for (int row = 0; row < preview->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < preview->columnCount(); ++column) {
            const QString text = preview->item(row, column) ? preview->item(row, column)->text() : QString();
            const QRegularExpressionMatch match = entry.match(text);
            cells << (match.hasMatch() ? match.captured(1) : text);
        }
        QStringList results = cells.takeLast().split(", ");
        results.sort();
        rows << cells.join('|') + '|' + results.join(", ");
    }
    return rows;
}

} // namespace

void tst_SalvoWindow::initTestCase()
{
    // The window starts node discovery, which sends mDNS queries.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    MainWindow::splashDurationMs = 100;
    QVERIFY(QDir(SalvoWindow::folder()).removeRecursively());

    QFile config(m_settings.filePath("nodes.json"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(R"({"nodes": [
        {"label": "camera", "devices": [{"groups": [{"name": "A", "video_senders": 1, "audio_senders": 1},
                                                    {"name": "B", "video_senders": 1, "audio_senders": 1}]}]},
        {"label": "monitor", "devices": [{"groups": [{"name": "M", "video_receivers": 1, "audio_receivers": 1},
                                                     {"name": "N", "video_receivers": 1, "audio_receivers": 1}]}]}]})");
    config.close();
    m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sim.start(FERROLINK_BINARY_DIR "/tools/nmos-simnode", {"--config", config.fileName()});
    const QList<QJsonObject> printed = simnodeReady(&m_sim);
    QVERIFY(!printed.isEmpty());
    for (const QJsonObject &node : printed)
        m_addresses.insert(node["label"].toString(), "127.0.0.1:" + QString::number(node["port"].toInt()));
    QCOMPARE(m_addresses.size(), 2);
}

void tst_SalvoWindow::cleanupTestCase()
{
    m_sim.terminate();
    m_sim.waitForFinished(5000);
}

QStringList tst_SalvoWindow::monitorRoutes(int *pending)
{
    QNetworkAccessManager manager;
    QHash<QString, QString> labels;
    QJsonArray receivers;
    for (const char *node : {"camera", "monitor"}) {
        const QJsonObject state = QJsonDocument::fromJson(NmosClient::syncGet(&manager, "http://" + m_addresses[node] + "/x-simnode/state")).object();
        for (const char *kind : {"senders", "receivers"}) {
            for (const QJsonValue &resource : state[kind].toArray())
                labels.insert(resource["id"].toString(), resource["label"].toString());
        }
        receivers = state["receivers"].toArray();
    }
    QStringList routes;
    *pending = 0;
    for (const QJsonValue &receiver : receivers) {
        routes << receiver["label"].toString() + '=' + (receiver["master_enable"].toBool() ? labels.value(receiver["sender_id"].toString()) : QString());
        *pending += receiver["staged_activation"]["mode"].isString();
    }
    return routes;
}

void tst_SalvoWindow::savesUnderPlainNamesAndDeletesAskingFirst_data()
{
    QTest::addColumn<QString>("name");   // saved under; empty: "Delete…" of the salvo "kept"
    QTest::addColumn<bool>("yes");       // to a question
    QTest::addColumn<QString>("asked");  // the question, with its default answer
    QTest::addColumn<QString>("status"); // %1: the folder
    QTest::addColumn<QString>("kept");   // the salvo "kept" afterwards

    const QString replace = "Replace the salvo \"kept\"? [No]", remove = "Delete the salvo \"kept\"? [No]";
    const QString refused = "Not saved: a salvo's name is a plain file name: not empty, without slashes or colons, "
                            "not beginning with a dot.";
    QTest::newRow("new name") << "new" << false << "" << "Saved to %1/new.json; receivers: 0." << "as before";
    QTest::newRow("name saved before, kept on no")
        << "kept" << false << replace << "Not saved: the salvo \"kept\" was left as it was." << "as before";
    QTest::newRow("name saved before, replaced on yes")
        << "kept" << true << replace << "Saved to %1/kept.json; receivers: 0." << "replaced";
    QTest::newRow("delete, kept on no") << "" << false << remove << "Not deleted: the salvo \"kept\" was left as it was."
                                        << "as before";
    QTest::newRow("delete, done on yes") << "" << true << remove << "Deleted the salvo \"kept\"." << "gone";
    const QList<QPair<const char *, QString>> notPlain{
        {"way up", "../kept"}, {"dots", ".."}, {"blank", "  "}, {"drive", "c:kept"}, {"control character", "ke\tpt"}};
    for (const auto &row : notPlain)
        QTest::newRow(row.first) << row.second << true << "" << refused << "as before";
}

void tst_SalvoWindow::savesUnderPlainNamesAndDeletesAskingFirst()
{
    QFETCH(QString, name);
    QFETCH(bool, yes);
    QFETCH(QString, asked);
    QFETCH(QString, status);
    QFETCH(QString, kept);

    QDir folder(SalvoWindow::folder()), above(folder.filePath(".."));
    QVERIFY(folder.mkpath("."));
    folder.remove("new.json");
    QFile file(folder.filePath("kept.json"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("saved before") && file.flush());
    file.close();
    const QStringList files = folder.entryList(QDir::Files), filesAbove = above.entryList(QDir::Files);

    MainWindow window;
    SalvoWindow *salvos = openSalvos(&window);
    QVERIFY(salvos);
    QString question;
    if (name.isEmpty()) {
        auto *list = salvos->findChild<QListWidget *>("salvos");
        list->setCurrentItem(list->findItems("kept", Qt::MatchExactly).value(0));
        answer(salvos, yes, &question);
        button(salvos, "Delete\u2026")->click();
    } else {
        save(salvos, name, yes, &question);
    }
    QTRY_COMPARE(salvos->findChild<QLabel *>("status")->text(), status.arg(folder.path()));
    QCOMPARE(question, asked);
    QCOMPARE(!file.open(QIODevice::ReadOnly) ? "gone" : file.readAll() == "saved before" ? "as before" : "replaced", kept);
    QStringList written = folder.entryList(QDir::Files) + above.entryList(QDir::Files);
    for (const QString &file : files + filesAbove)
        written.removeOne(file);
    QCOMPARE(written, QStringList(name == "new" ? "new.json" : QString()).filter("."));
}

void tst_SalvoWindow::savesPreviewsAndTakes_data()
{
    QTest::addColumn<QString>("chosen"); // the receiver chosen to be saved; empty: all
    QTest::addColumn<int>("leadSeconds"); // of "Take in"; 0: "Take now"
    QTest::addColumn<bool>("cancel");
    // "connect": M connected to A in the main window while the take waits; "take": the take
    // asked for while that connect waits.
    QTest::addColumn<QString>("during");
    QTest::addColumn<QStringList>("preview"); // once the take has ended
    QTest::addColumn<QString>("status");
    QTest::addColumn<QStringList>("routes"); // the monitor's afterwards

    // Saved: M fed by A, N off. Changed since: M fed by B, N by A.
    const QStringList back{"M Video=A Video", "M Audio 1=A Audio 1", "N Video=", "N Audio 1="};
    const QString done = "audio done, video done";
    QTest::newRow("every receiver, taken now") << "" << 0 << false << ""
        << QStringList{"M Video|A Video|A Video|" + done, "N Video|off|off|" + done} << "Taken." << back;
    QTest::newRow("one receiver, taken in a second, no connect while it stages") << "N" << 1 << false << "connect"
        << QStringList{"N Video|off|off|" + done} << "Taken."
        << QStringList{"M Video=B Video", "M Audio 1=B Audio 1", "N Video=", "N Audio 1="};
    QTest::newRow("no take while a connect waits") << "" << 0 << false << "take"
        << QStringList{"M Video|B Video|A Video|", "N Video|A Video|off|"}
        << "Not taken: a connect or disconnect of the main window is under way. Take once it has ended."
        << QStringList{"M Video=A Video", "M Audio 1=A Audio 1", "N Video=A Video", "N Audio 1=A Audio 1"};
    QTest::newRow("taken in a minute, cancelled") << "" << 60 << true << ""
        << QStringList{"M Video|B Video|A Video|cancelled", "N Video|A Video|off|cancelled"}
        << "Cancelled: no receiver was switched."
        << QStringList{"M Video=B Video", "M Audio 1=B Audio 1", "N Video=A Video", "N Audio 1=A Audio 1"};
}

void tst_SalvoWindow::savesPreviewsAndTakes()
{
    QFETCH(QString, chosen);
    QFETCH(int, leadSeconds);
    QFETCH(bool, cancel);
    QFETCH(QString, during);
    QFETCH(QStringList, preview);
    QFETCH(QString, status);
    QFETCH(QStringList, routes);

    MainWindow window;
    QComboBox *rx = window.findChildren<QComboBox *>().at(1);
    for (const char *node : {"camera", "monitor"})
        emit window.findChild<NMOSMdnsBrowser *>()->nodeSelfReady(node, QUrl("http://" + m_addresses[node] + "/x-nmos/node/v1.3/self"), {});
    QTRY_VERIFY(window.findChild<IntakeQueue *>()->size() == 0 && rx->count() == 2);
    patch(&window, "M", "A");
    patch(&window, "N");

    SalvoWindow *salvos = openSalvos(&window);
    QVERIFY(salvos);
    auto *list = salvos->findChild<QListWidget *>("salvos");
    // Listed as soon as the console program writes it there.
    const QString name = QTest::currentDataTag();
    QVERIFY(SalvoFile().write(QDir(SalvoWindow::folder()).filePath(name + " by the console.json")));
    QTRY_VERIFY(!list->findItems(name + " by the console", Qt::MatchExactly).isEmpty());
    auto *receivers = salvos->findChild<QListView *>("receivers");
    if (!chosen.isEmpty())
        receivers->selectionModel()->select(rx->model()->index(rx->findText("-" + chosen + " Video)", Qt::MatchEndsWith), 0),
                                            QItemSelectionModel::Select);
    save(salvos, name);
    QTRY_VERIFY(!list->findItems(name, Qt::MatchExactly).isEmpty());
    // The console program's file, which its recall reads.
    SalvoFile saved;
    QVERIFY(SalvoFile::read(QDir(SalvoWindow::folder()).filePath(name + ".json"), &saved));
    QCOMPARE(saved.routes.size(), chosen.isEmpty() ? 2 : 1);
    for (const SalvoFile::Route &route : saved.routes)
        QCOMPARE(route.receiver.label + '=' + route.sender.label, route.receiver.label.startsWith('M') ? "M Video=A Video" : "N Video=");

    patch(&window, "M", "B");
    patch(&window, "N", "A");
    list->setCurrentItem(list->findItems(name, Qt::MatchExactly).first());
    auto *table = salvos->findChild<QTableWidget *>();
    const QStringList changes{"M Video|B Video|A Video|", "N Video|A Video|off|"};
    QTRY_COMPARE(::table(table), changes.filter(QRegularExpression("^" + chosen)));

    salvos->findChild<QSpinBox *>()->setValue(leadSeconds);
    if (!during.isEmpty())
        choose(&window, "M", "A");
    // Clicked in the first wait of the take, or of the connect.
    QPushButton *connect = button(&window, "Connect (Tx->Rx)"), *take = button(salvos, leadSeconds ? "Take in" : "Take now");
    QTimer::singleShot(0, salvos, [&] {
        if (!during.isEmpty())
            (during == "take" ? take : connect)->click();
    });
    (during == "take" ? connect : take)->click();
    if (cancel) {
        QTRY_VERIFY(salvos->findChild<QLabel *>("status")->text().contains("can be cancelled until"));
        button(salvos, "Cancel take")->click();
    }
    QTRY_COMPARE(salvos->findChild<QLabel *>("status")->text(), status);
    QTRY_COMPARE(::table(table), preview);
    int pending = -1;
    QCOMPARE(monitorRoutes(&pending), routes);
    QCOMPARE(pending, 0);
}

QTEST_MAIN(tst_SalvoWindow)
#include "tst_salvowindow.moc"
