#include "app/sdpdialog.h"

#include <QBoxLayout>
#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPushButton>
#include <QTextEdit>
#include <QWindow>
#include <QtTest>

class tst_SdpDialog : public QObject
{
    Q_OBJECT

private slots:
    void buildsTitle_data();
    void buildsTitle();
    void showsTextReadOnlyAsPlainFixedPitch();
    void laysButtonsOutAtTheRight();
    void copiesExactTextAndStaysOpen();
    void closeAccepts();
};

namespace {

QPushButton *buttonNamed(QWidget *parent, const QString &text)
{
    const auto buttons = parent->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

const QString Sdp = QStringLiteral("v=0\r\no=- 1 1 IN IP4 10.77.0.1\r\ns=<b>Cam</b> & co\r\n\n\n\n");

} // namespace

void tst_SdpDialog::buildsTitle_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("windowTitle");
    QTest::addColumn<QString>("shownTitle");

    QTest::newRow("named") << QStringLiteral("Sender Cam 1") << QString::fromUtf8("SDP \u2022 Sender Cam 1")
                           << QString::fromUtf8("SDP \u2022 Sender Cam 1");
    QTest::newRow("none") << QString() << QStringLiteral("SDP") << QStringLiteral("SDP");
    // A label that is empty still leaves "Sender " to name, so the bullet form stays.
    QTest::newRow("empty label") << QStringLiteral("Sender ") << QString::fromUtf8("SDP \u2022 Sender ")
                                 << QString::fromUtf8("SDP \u2022 Sender ");
    QTest::newRow("markup is text") << QStringLiteral("Sender <i>x</i>")
                                    << QString::fromUtf8("SDP \u2022 Sender <i>x</i>")
                                    << QString::fromUtf8("SDP \u2022 Sender <i>x</i>");
    // A node's label must not switch on the title's modified marker.
    QTest::newRow("marker is text") << QStringLiteral("Sender [*] 2")
                                    << QString::fromUtf8("SDP \u2022 Sender [*][*] 2")
                                    << QString::fromUtf8("SDP \u2022 Sender [*] 2");
}

void tst_SdpDialog::buildsTitle()
{
    QFETCH(QString, title);
    QFETCH(QString, windowTitle);
    QFETCH(QString, shownTitle);

    SdpDialog dialog(title, Sdp);
    QCOMPARE(dialog.windowTitle(), windowTitle);
    dialog.winId();
    QVERIFY(dialog.windowHandle());
    QCOMPARE(dialog.windowHandle()->title(), shownTitle);
    QCOMPARE(dialog.size(), QSize(700, 500));
}

void tst_SdpDialog::showsTextReadOnlyAsPlainFixedPitch()
{
    QWidget parent;
    SdpDialog dialog(QStringLiteral("Sender A"), Sdp, &parent);
    QCOMPARE(dialog.parentWidget(), &parent);
    QVERIFY(dialog.isWindow());

    const auto edits = dialog.findChildren<QTextEdit *>();
    QCOMPARE(edits.size(), 1);
    QTextEdit *edit = edits.first();
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->font().family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    // Markup from a node stays visible as written; the view shows CRLF as line breaks.
    QString shown = Sdp;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QCOMPARE(edit->toPlainText(), shown);
    QVERIFY(!edit->toHtml().contains(QLatin1String("<b>Cam")));
    QCOMPARE(dialog.text(), Sdp);
}

void tst_SdpDialog::laysButtonsOutAtTheRight()
{
    SdpDialog dialog(QString(), Sdp);
    auto *layout = qobject_cast<QVBoxLayout *>(dialog.layout());
    QVERIFY(layout);
    QCOMPARE(layout->count(), 2);
    QVERIFY(qobject_cast<QTextEdit *>(layout->itemAt(0)->widget()));
    auto *row = qobject_cast<QHBoxLayout *>(layout->itemAt(1)->layout());
    QVERIFY(row);
    QCOMPARE(row->count(), 3);
    QVERIFY(row->itemAt(0)->spacerItem());
    QCOMPARE(qobject_cast<QPushButton *>(row->itemAt(1)->widget())->text(), QStringLiteral("Copy SDP"));
    QCOMPARE(qobject_cast<QPushButton *>(row->itemAt(2)->widget())->text(), QStringLiteral("Close"));
}

void tst_SdpDialog::copiesExactTextAndStaysOpen()
{
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    SdpDialog dialog(QStringLiteral("Sender A"), Sdp);
    dialog.show();
    QSignalSpy finished(&dialog, &QDialog::finished);

    QPushButton *copy = buttonNamed(&dialog, QStringLiteral("Copy SDP"));
    QVERIFY(copy);
    copy->click();
    // Byte for byte what the node sent: CRLF line ends and the trailing breaks included.
    QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), Sdp);
    QVERIFY(dialog.isVisible());
    QCOMPARE(finished.count(), 0);
}

void tst_SdpDialog::closeAccepts()
{
    SdpDialog dialog(QStringLiteral("Sender A"), Sdp);
    dialog.show();
    QSignalSpy finished(&dialog, &QDialog::finished);
    QPushButton *close = buttonNamed(&dialog, QStringLiteral("Close"));
    QVERIFY(close);
    close->click();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(tst_SdpDialog)
#include "tst_sdpdialog.moc"
