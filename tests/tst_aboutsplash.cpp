#include "app/mainwindow.h"
#include "vxutil/vxutil.h"

#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFrame>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QtTest>

// Stands in for the desktop's web browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public slots:
    void open(const QUrl &url) { opened << url; }

public:
    QList<QUrl> opened;
};

// The About splash and the weekly update query of the main window.
class tst_AboutSplash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void splashShowsImageNameVersionAndAddress();
    void aboutHidesAfterEarliestPress();
    void asksForUpdateOnceAWeek_data();
    void asksForUpdateOnceAWeek();
};

namespace {

QFrame *splashOf(MainWindow *window)
{
    for (QFrame *frame : window->findChildren<QFrame *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (frame->windowFlags().testFlag(Qt::SplashScreen))
            return frame;
    }
    return nullptr;
}

quint64 today()
{
    return quint64(QDateTime::currentSecsSinceEpoch()) / 86400;
}

QSettings updateSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Ferrolink"));
}

} // namespace

void tst_AboutSplash::initTestCase()
{
    // The window starts node discovery, which sends mDNS queries.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
}

void tst_AboutSplash::cleanupTestCase()
{
    vxSetUpdateFeedForTesting(nullptr, 0);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void tst_AboutSplash::splashShowsImageNameVersionAndAddress()
{
    MainWindow window;
    QFrame *splash = splashOf(&window);
    QVERIFY(splash);
    QVERIFY(splash->isVisible());
    QVERIFY(splash->windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(splash->size(), QSize(300, 300));

    auto *layout = qobject_cast<QVBoxLayout *>(splash->layout());
    QVERIFY(layout);
    QCOMPARE(layout->count(), 5);
    QCOMPARE(layout->alignment(), Qt::AlignHCenter | Qt::AlignBottom);
    QVERIFY(layout->itemAt(1)->spacerItem());
    // Loaded from the compiled-in resources: empty if the program did not link them.
    auto *image = qobject_cast<QLabel *>(layout->itemAt(0)->widget());
    QVERIFY(image);
    QCOMPARE(image->pixmap(Qt::ReturnByValue).size(), QSize(128, 128));
    QStringList texts;
    for (int i = 2; i < 5; ++i)
        texts << qobject_cast<QLabel *>(layout->itemAt(i)->widget())->text();
    QCOMPARE(texts.mid(0, 2), (QStringList{QStringLiteral("Ferrolink"), QStringLiteral("v8.0.124")}));
    QVERIFY(texts.at(2).contains(QLatin1String("veltrix")));
}

void tst_AboutSplash::aboutHidesAfterEarliestPress()
{
    // Scaled down from 2.5 s and 2 s apart; the margins left cover a loaded machine.
    MainWindow::splashDurationMs = 1000;
    const int pressGapMs = 800;
    MainWindow window;
    QFrame *splash = splashOf(&window);
    QVERIFY(splash);
    QTRY_VERIFY(!splash->isVisible()); // the start-up showing ends by itself

    QPushButton *about = nullptr;
    for (QPushButton *button : window.findChildren<QPushButton *>()) {
        if (button->text() == QLatin1String("About"))
            about = button;
    }
    QVERIFY(about);
    about->click();
    QVERIFY(splash->isVisible());
    QTest::qWait(pressGapMs);
    QVERIFY(splash->isVisible());
    QElapsedTimer sinceSecondPress;
    sinceSecondPress.start();
    about->click();
    QTRY_VERIFY(!splash->isVisible());
    // The first press's timer hid it; the second press's could not have fired yet.
    QVERIFY2(sinceSecondPress.elapsed() < MainWindow::splashDurationMs * 9 / 10,
             qPrintable(QString::number(sinceSecondPress.elapsed())));
    MainWindow::splashDurationMs = 2500;
}

void tst_AboutSplash::asksForUpdateOnceAWeek_data()
{
    // stored: "LastUpdateTime" before the start ("" for none); button: what the operator
    // presses in the question box, "" when no question may come.
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("recorded");

    const auto day = [](qint64 offset) { return QString::number(qint64(today()) + offset); };
    QTest::newRow("first start") << QString() << QString() << day(0);
    QTest::newRow("six days ago") << day(-6) << QString() << day(-6);
    QTest::newRow("seven days ago, later") << day(-7) << QStringLiteral("Later") << day(0);
    QTest::newRow("seven days ago, download") << day(-7) << QStringLiteral("Download") << day(0);
    QTest::newRow("not a number") << QStringLiteral("soon") << QStringLiteral("Later") << day(0);
    QTest::newRow("clock set back") << day(3) << QString() << day(3);
}

void tst_AboutSplash::asksForUpdateOnceAWeek()
{
    QFETCH(QString, stored);
    QFETCH(QString, button);
    QFETCH(QString, recorded);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setReply("GET", "/feed", TestHttpServer::Reply::json(QJsonObject{
                                        {QStringLiteral("version"), QStringLiteral("8.1.3")},
                                        {QStringLiteral("url"), QStringLiteral("https://veltrix.example/get")}}));
    vxSetUpdateFeedForTesting(server.url(QStringLiteral("/feed")).toUtf8().constData(), 0);
    UrlCatcher browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    updateSettings().clear();
    if (!stored.isEmpty())
        updateSettings().setValue(QStringLiteral("LastUpdateTime"), stored);

    QString text;
    QStringList buttons;
    QString recordedWhileAsking;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        text = box->text();
        for (QAbstractButton *b : box->buttons())
            buttons << b->text();
        recordedWhileAsking = updateSettings().value(QStringLiteral("LastUpdateTime")).toString();
        for (QAbstractButton *b : box->buttons()) {
            if (b->text() == button)
                b->click();
        }
    });
    answer.start(20);
    MainWindow window;
    answer.stop();

    QCOMPARE(updateSettings().value(QStringLiteral("LastUpdateTime")).toString(), recorded);
    QCOMPARE(server.requestCount(), button.isEmpty() ? 0 : 1);
    if (button.isEmpty()) {
        QVERIFY(text.isEmpty());
        return;
    }
    QCOMPARE(text, QStringLiteral("A new version is available.\nVersion: 8.1.3 \nWould you like to download now?"));
    QCOMPARE(buttons, (QStringList{QStringLiteral("Download"), QStringLiteral("Later")}));
    QCOMPARE(recordedWhileAsking, recorded);
    const QList<QUrl> opened = button == QLatin1String("Download")
        ? QList<QUrl>{QUrl(QStringLiteral("https://veltrix.example/get"))}
        : QList<QUrl>{};
    QCOMPARE(browser.opened, opened);
}

QTEST_MAIN(tst_AboutSplash)
#include "tst_aboutsplash.moc"
