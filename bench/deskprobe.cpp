// desk-probe: runs Ferrolink's main window in-process and times what only a click reaches.
// bench/run drives it inside the private namespace; it prints "EVENT MS [DETAIL]" lines on
// stdout, with MS the monotonic clock in milliseconds (the clock of Qt's "%{time boot}").
//
//   desk-probe shown IDLE_MS [--bare]
//       "shown MS" at the window's first paint, "idle" after IDLE_MS, and ends 2 s later.
//       --bare shows an empty QMainWindow instead: the toolkit's own floor.
//   desk-probe workflow [ENTRIES]
//       Waits for an entry in each list (ENTRIES in each when given: a facility listed
//       around the pair), chooses the camera's and the monitor's, times single requests
//       to the transmitter node ("single MEDIAN_MS"), then clicks Connect and Disconnect,
//       each framed by "X-start"/"X-end" and followed by a quiet spell ending in "X-settled".
//   desk-probe watch SECONDS [PARALLEL]
//       Shows the window for SECONDS, with PARALLEL nodes read at once when given, and
//       times its event loop: every 5 ms another thread posts it a call, as input reaches
//       it, and "stall MS WAITED_MS" reports each call that waited over 20 ms to run;
//       "stalls MAX_MS" at the end. The window's log goes to stderr as Ferrolink's does.
//   desk-probe presence SECONDS
//       As watch, and every 100 ms "entries MS LISTED GREYED" whenever the number of entries
//       in both lists, or of those greyed, changed.
//   desk-probe find ENTRIES WORD
//       Fills the transmitter list with ENTRIES entries named as a facility's are, types WORD
//       into its field a key at a time, then takes two keys back, and prints for each key
//       "key MS TEXT MATCHES DELAY_MS": DELAY_MS from the key to the first paint of the
//       popup that shows the matching entries.
// Any message box is closed at once and reported as "message TEXT"; every wait is bounded.

#include "app/mainwindow.h"
#include "nmos/nmosclient.h"
#include "workflow/intakequeue.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QLineEdit>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QStandardItemModel>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

void report(const QString &event, const QString &detail = QString())
{
    QTextStream out(stdout);
    out << event << " " << monotonicMs();
    if (!detail.isEmpty())
        out << " " << detail;
    out << Qt::endl;
}

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        waitMs(20);
    }
    return true;
}

class FirstPaint : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            report(QStringLiteral("shown"));
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

QPushButton *button(QWidget *window, const QString &text)
{
    for (QPushButton *candidate : window->findChildren<QPushButton *>()) {
        if (candidate->text() == text)
            return candidate;
    }
    return nullptr;
}

void clickTimed(QPushButton *target, const QString &name)
{
    report(name + QStringLiteral("-start"));
    target->click();
    report(name + QStringLiteral("-end"));
    waitMs(4000);
    report(name + QStringLiteral("-settled"));
}

int workflow(MainWindow *window, int entries)
{
    const QList<QComboBox *> combos = window->findChildren<QComboBox *>();
    QPushButton *connectButton = button(window, QStringLiteral("Connect (Tx->Rx)"));
    QPushButton *disconnectButton = button(window, QStringLiteral("Disconnect Rx"));
    if (combos.size() < 2 || !connectButton || !disconnectButton) {
        report(QStringLiteral("error"), QStringLiteral("window layout not recognised"));
        return 1;
    }
    QComboBox *tx = combos.at(0);
    QComboBox *rx = combos.at(1);
    const auto listed = [&] {
        return tx->count() >= std::max(entries, 1) && rx->count() >= std::max(entries, 1)
               && tx->findText(QStringLiteral("camera "), Qt::MatchStartsWith) >= 0
               && rx->findText(QStringLiteral("monitor "), Qt::MatchStartsWith) >= 0;
    };
    if (!waitUntil(listed, 20000 + entries)) {
        report(QStringLiteral("error"), QStringLiteral("no entries listed"));
        return 1;
    }
    report(QStringLiteral("listed"));
    waitMs(2000);
    tx->setCurrentIndex(tx->findText(QStringLiteral("camera "), Qt::MatchStartsWith));
    rx->setCurrentIndex(rx->findText(QStringLiteral("monitor "), Qt::MatchStartsWith));
    waitMs(1000);

    NmosClient client;
    const QString address = window->currentItemAddress(tx);
    QList<qint64> times;
    for (int i = 0; i < 15; ++i) {
        QElapsedTimer timer;
        timer.start();
        client.hasSenders(NmosClient::NodeEndpoint{address});
        times << timer.nsecsElapsed();
    }
    std::sort(times.begin(), times.end());
    report(QStringLiteral("single"), QString::number(times.at(times.size() / 2) / 1e6, 'f', 3));

    clickTimed(connectButton, QStringLiteral("connect"));
    clickTimed(disconnectButton, QStringLiteral("disconnect"));
    return 0;
}

// Posts the window's event loop a call every 5 ms from a thread of its own, once the last
// has run, and keeps how long each waited: a handler that holds the loop holds input too.
// Timers cannot tell: Qt runs them late on purpose while sockets keep the loop busy.
class Heartbeat : public QObject
{
public:
    Heartbeat()
        : m_thread([this] { run(); })
    {
    }
    ~Heartbeat() override { stop(); }

    void stop()
    {
        m_stopping = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    qint64 worstMs() const { return m_worstMs; }

private:
    void run()
    {
        while (!m_stopping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (m_pending.exchange(true))
                continue;
            QElapsedTimer waited;
            waited.start();
            QMetaObject::invokeMethod(this, [this, waited] {
                const qint64 ms = waited.elapsed();
                m_worstMs = std::max(m_worstMs, ms);
                if (ms > 20)
                    report(QStringLiteral("stall"), QString::number(ms));
                m_pending = false;
            }, Qt::QueuedConnection);
        }
    }

    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_pending{false};
    qint64 m_worstMs = 0;
    std::thread m_thread;
};

// Counts the paints of the finder's list.
class PaintCounter : public QObject
{
public:
    using QObject::QObject;
    int paints = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

// Runs the event loop until the list has been painted since paintsBefore.
bool waitUntilPainted(const PaintCounter *counter, int paintsBefore, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (counter->paints == paintsBefore) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void press(QWidget *target, int key, const QString &text)
{
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &down);
    QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &up);
}

// Counts the entries of both lists, and the greyed ones, as the lists tell their changes: a
// scan of a facility's entries every 100 ms would itself hold the event loop.
class PresenceCounter : public QObject
{
public:
    explicit PresenceCounter(const QList<QComboBox *> &combos)
        : m_combos(combos)
    {
        for (QComboBox *combo : combos) {
            auto *model = qobject_cast<QStandardItemModel *>(combo->model());
            connect(model, &QAbstractItemModel::dataChanged, this, [this, model](const QModelIndex &top, const QModelIndex &bottom) {
                for (int row = top.row(); row <= bottom.row(); ++row) {
                    QStandardItem *item = model->item(row);
                    if (item && item->isEnabled())
                        m_greyed.remove(item);
                    else if (item)
                        m_greyed.insert(item);
                }
            });
            connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this, model](const QModelIndex &, int first, int last) {
                for (int row = first; row <= last; ++row)
                    m_greyed.remove(model->item(row));
            });
        }
    }

    // Reports the counts when they changed since the last report.
    void report()
    {
        int listed = 0;
        for (const QComboBox *combo : qAsConst(m_combos))
            listed += combo->count();
        const QPair<int, int> now{listed, m_greyed.size()};
        if (now != m_last) {
            m_last = now;
            ::report(QStringLiteral("entries"), QStringLiteral("%1 %2").arg(now.first).arg(now.second));
        }
    }

private:
    QList<QComboBox *> m_combos;
    QSet<QStandardItem *> m_greyed;
    QPair<int, int> m_last{-1, -1};
};

int find(MainWindow *window, int entries, const QString &word)
{
    const QList<QComboBox *> combos = window->findChildren<QComboBox *>();
    if (combos.isEmpty() || !combos.first()->completer()) {
        report(QStringLiteral("error"), QStringLiteral("window layout not recognised"));
        return 1;
    }
    QComboBox *tx = combos.first();
    // Eight entries a node, named as intake names them.
    for (int i = 0; i < entries; ++i) {
        NmosClient::SenderConnection record;
        const int node = i / 8;
        record.id = QStringLiteral("sender-%1").arg(i);
        record.label = QStringLiteral("Video %1").arg(i % 8 + 1);
        record.node.address = QStringLiteral("10.77.%1.%2:%3").arg(node / 250).arg(node % 250 + 2).arg(40000 + node);
        record.displayName = QStringLiteral("simnode %1 (%2-%3)").arg(node).arg(record.node.address, record.label);
        tx->addItem(record.displayName, QVariant::fromValue(record));
    }
    tx->model()->sort(0);
    report(QStringLiteral("filled"), QString::number(tx->count()));
    QCompleter *finder = tx->completer();
    PaintCounter counter;
    finder->popup()->viewport()->installEventFilter(&counter);
    tx->lineEdit()->setFocus();

    QList<QPair<int, QString>> keys;
    for (const QChar c : word)
        keys.append({c.isLetter() ? int(Qt::Key_A) + c.toUpper().unicode() - 'A' : int(c.unicode()), QString(c)});
    keys.append({int(Qt::Key_Backspace), QString()});
    keys.append({int(Qt::Key_Backspace), QString()});
    for (const auto &key : qAsConst(keys)) {
        const int paintsBefore = counter.paints;
        QElapsedTimer timer;
        timer.start();
        press(tx->lineEdit(), key.first, key.second);
        const bool painted = waitUntilPainted(&counter, paintsBefore, 2000);
        report(QStringLiteral("key"), QStringLiteral("\"%1\" %2 %3").arg(tx->lineEdit()->text())
                                          .arg(finder->completionCount())
                                          .arg(painted ? QString::number(timer.nsecsElapsed() / 1e6, 'f', 1)
                                                       : QStringLiteral("none")));
        waitMs(150);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QStringList args = QApplication::arguments();
    const QString mode = args.value(1);

    // A box waits for a click that never comes here: close it and say what it said.
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, &app, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            report(QStringLiteral("message"), box->text().simplified());
            box->done(QMessageBox::Ok);
        }
    });
    boxCloser.start(100);

    if (mode == QLatin1String("shown")) {
        FirstPaint firstPaint;
        std::unique_ptr<QMainWindow> window;
        if (args.contains(QStringLiteral("--bare")))
            window = std::make_unique<QMainWindow>();
        else
            window = std::make_unique<MainWindow>();
        window->installEventFilter(&firstPaint);
        window->show();
        // The caller reads the resident memory after "idle": stay a moment for it.
        const int idleMs = args.value(2).toInt();
        QTimer::singleShot(idleMs, &app, [] { report(QStringLiteral("idle")); });
        QTimer::singleShot(idleMs + 2000, &app, &QApplication::quit);
        return app.exec();
    }
    if (mode == QLatin1String("workflow")) {
        MainWindow window;
        window.show();
        int status = 1;
        QTimer::singleShot(0, &app, [&] {
            status = workflow(&window, args.value(2).toInt());
            QApplication::quit();
        });
        app.exec();
        return status;
    }
    if (mode == QLatin1String("watch")) {
        MainWindow window;
        if (args.size() > 3)
            window.findChild<IntakeQueue *>()->setParallel(args.value(3).toInt());
        window.show();
        Heartbeat heartbeat;
        QTimer::singleShot(args.value(2).toInt() * 1000, &app, &QApplication::quit);
        app.exec();
        heartbeat.stop();
        report(QStringLiteral("stalls"), QString::number(heartbeat.worstMs()));
        return 0;
    }
    if (mode == QLatin1String("presence")) {
        MainWindow window;
        window.show();
        Heartbeat heartbeat;
        PresenceCounter presence(window.findChildren<QComboBox *>().mid(0, 2));
        QTimer counter;
        QObject::connect(&counter, &QTimer::timeout, &presence, &PresenceCounter::report);
        counter.start(100);
        QTimer::singleShot(args.value(2).toInt() * 1000, &app, &QApplication::quit);
        app.exec();
        heartbeat.stop();
        report(QStringLiteral("stalls"), QString::number(heartbeat.worstMs()));
        return 0;
    }
    if (mode == QLatin1String("find")) {
        MainWindow window;
        window.show();
        int status = 1;
        QTimer::singleShot(0, &app, [&] {
            status = find(&window, args.value(2).toInt(), args.value(3));
            QApplication::quit();
        });
        app.exec();
        return status;
    }
    QTextStream(stderr) << "usage: desk-probe shown IDLE_MS [--bare] | desk-probe workflow [ENTRIES]"
                           " | desk-probe watch SECONDS [PARALLEL] | desk-probe presence SECONDS"
                           " | desk-probe find ENTRIES WORD\n";
    return 2;
}
