#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "tests/support/netns.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QtTest>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void buildsTitleAndRows();
    void barHoldsButtonsLeftAndRight();
    void startsWithEmptyCombosAndGreyLamps();
    void typedTextNeverBecomesAnItem();
};

namespace {

QList<QWidget *> layoutWidgets(QLayout *layout)
{
    QList<QWidget *> widgets;
    for (int i = 0; i < layout->count(); ++i) {
        if (QWidget *w = layout->itemAt(i)->widget())
            widgets << w;
    }
    return widgets;
}

} // namespace

void tst_MainWindow::initTestCase()
{
    // The window starts node discovery, which sends mDNS queries.
    SKIP_UNLESS_PRIVATE_NETNS();
    // Keep the settings written by the checks away from the user's own.
    QStandardPaths::setTestModeEnabled(true);
}

void tst_MainWindow::buildsTitleAndRows()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Ferrolink"));

    auto *central = window.centralWidget();
    auto *layout = qobject_cast<QVBoxLayout *>(central->layout());
    QVERIFY(layout);
    QCOMPARE(layout->contentsMargins(), QMargins(16, 16, 16, 16));
    QCOMPARE(layout->spacing(), 12);
    QCOMPARE(layout->count(), 4);
    QCOMPARE(layout->itemAt(2)->spacerItem() != nullptr, true);
    QCOMPARE(layout->itemAt(2)->spacerItem()->sizeHint().height(), 8);

    const QStringList labels{QStringLiteral("Transmitter IP"), QStringLiteral("Receiver IP")};
    for (int row = 0; row < 2; ++row) {
        QWidget *rowWidget = layout->itemAt(row)->widget();
        auto *rowLayout = qobject_cast<QHBoxLayout *>(rowWidget->layout());
        QVERIFY(rowLayout);
        QCOMPARE(rowLayout->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(rowLayout->spacing(), 8);
        const auto widgets = layoutWidgets(rowLayout);
        QCOMPARE(widgets.size(), 4);
        QCOMPARE(qobject_cast<QLabel *>(widgets[0])->text(), labels[row]);
        auto *combo = qobject_cast<QComboBox *>(widgets[1]);
        QVERIFY(combo);
        QVERIFY(combo->isEditable());
        QCOMPARE(combo->insertPolicy(), QComboBox::NoInsert);
        QCOMPARE(combo->minimumWidth(), 660);
        QCOMPARE(combo->placeholderText(), QStringLiteral("e.g. 10.0.0.2"));
        QCOMPARE(rowLayout->stretch(1), 1);
        QVERIFY(qobject_cast<LightIndicator *>(widgets[2]));
        QCOMPARE(qobject_cast<QPushButton *>(widgets[3])->text(), QString::fromUtf8("Show SDP\u2026"));
        for (int i : {0, 2, 3})
            QCOMPARE(rowLayout->stretch(i), 0);
    }
}

void tst_MainWindow::barHoldsButtonsLeftAndRight()
{
    MainWindow window;
    auto *layout = qobject_cast<QVBoxLayout *>(window.centralWidget()->layout());
    auto *bar = qobject_cast<QHBoxLayout *>(layout->itemAt(3)->widget()->layout());
    QVERIFY(bar);
    QCOMPARE(bar->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(bar->spacing(), 8);
    QCOMPARE(bar->count(), 5);
    QStringList texts;
    for (int i = 0; i < bar->count(); ++i) {
        if (auto *button = qobject_cast<QPushButton *>(bar->itemAt(i)->widget()))
            texts << button->text();
        else
            texts << (bar->itemAt(i)->spacerItem() ? QStringLiteral("<stretch>") : QStringLiteral("?"));
        QCOMPARE(bar->stretch(i), 0);
    }
    QCOMPARE(texts, (QStringList{QStringLiteral("Connect (Tx->Rx)"), QStringLiteral("Disconnect Rx"),
                                 QStringLiteral("<stretch>"), QStringLiteral("Browse"),
                                 QStringLiteral("About")}));
    // No menu, tool or status bar is made.
    QVERIFY(!window.findChild<QMenuBar *>());
    QVERIFY(!window.findChild<QStatusBar *>());
}

void tst_MainWindow::startsWithEmptyCombosAndGreyLamps()
{
    MainWindow window;
    const auto combos = window.findChildren<QComboBox *>();
    QCOMPARE(combos.size(), 2);
    for (QComboBox *combo : combos) {
        QCOMPARE(combo->count(), 0);
        QCOMPARE(combo->currentText(), QString());
        QCOMPARE(window.currentItemId(combo), QString());
        QCOMPARE(window.currentItemAddress(combo), QString());
    }
    const auto lamps = window.findChildren<LightIndicator *>();
    QCOMPARE(lamps.size(), 2);
    for (LightIndicator *lamp : lamps)
        QVERIFY(!lamp->isOn());
}

void tst_MainWindow::typedTextNeverBecomesAnItem()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *combo = window.findChildren<QComboBox *>().first();
    combo->setFocus();
    QTest::keyClicks(combo->lineEdit(), QStringLiteral("10.0.0.2"));
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
    QCOMPARE(combo->count(), 0);
    QCOMPARE(combo->currentText(), QStringLiteral("10.0.0.2"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
