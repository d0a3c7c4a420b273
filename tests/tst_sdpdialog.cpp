#include "app/sdpdialog.h"

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
    void copiesExactTextThenCloses();
};

namespace {

QPushButton *buttonNamed(QWidget *parent, const QString &text)
{
    const auto buttons = parent->findChildren<QPushButton *>();
    const auto it = std::find_if(buttons.begin(), buttons.end(), [&](QPushButton *b) { return b->text() == text; });
    return it == buttons.end() ? nullptr : *it;
}

const QString Sdp = QStringLiteral("v=0\r\no=- 1 1 IN IP4 10.77.0.1\r\ns=<b>Cam</b> & co\r\n\n\n\n");

} // namespace

void tst_SdpDialog::buildsTitle_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("shownTitle"); // as the window system shows it

    QTest::newRow("named") << "Sender Cam 1" << "SDP \u2022 Sender Cam 1";
    QTest::newRow("none") << "" << "SDP";
    // An empty label still leaves "Sender " to name, so the bullet form stays.
    QTest::newRow("empty label") << "Sender " << "SDP \u2022 Sender ";
    QTest::newRow("markup is text") << "Sender <i>x</i>" << "SDP \u2022 Sender <i>x</i>";
    // A node's label must not switch on the title's modified marker.
    QTest::newRow("marker is text") << "Sender [*] 2" << "SDP \u2022 Sender [*] 2";
}

void tst_SdpDialog::buildsTitle()
{
    QFETCH(QString, title);
    QFETCH(QString, shownTitle);

    SdpDialog dialog(title, Sdp);
    dialog.winId();
    QVERIFY(dialog.windowHandle());
    QCOMPARE(dialog.windowHandle()->title(), shownTitle);
    QCOMPARE(dialog.size(), QSize(700, 500));
}

void tst_SdpDialog::showsTextReadOnlyAsPlainFixedPitch()
{
    SdpDialog dialog(QStringLiteral("Sender A"), Sdp);
    const auto edits = dialog.findChildren<QTextEdit *>();
    QCOMPARE(edits.size(), 1);
    QVERIFY(edits[0]->isReadOnly());
    QCOMPARE(edits[0]->font().family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    // Markup from a node stays visible as written; the view shows CRLF as line breaks.
    QCOMPARE(edits[0]->toPlainText(), QString(Sdp).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    QVERIFY(!edits[0]->toHtml().contains(QLatin1String("<b>Cam")));
}

void tst_SdpDialog::copiesExactTextThenCloses()
{
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    SdpDialog dialog(QStringLiteral("Sender A"), Sdp);
    dialog.show();
    QSignalSpy finished(&dialog, &QDialog::finished);
    QPushButton *copy = buttonNamed(&dialog, QStringLiteral("Copy SDP"));
    QPushButton *close = buttonNamed(&dialog, QStringLiteral("Close"));
    QVERIFY(copy && close);

    copy->click();
    // Byte for byte what the node sent: CRLF line ends and the trailing breaks included.
    QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), Sdp);
    QVERIFY(dialog.isVisible());
    QCOMPARE(finished.count(), 0);

    close->click();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].toInt(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(tst_SdpDialog)
#include "tst_sdpdialog.moc"
