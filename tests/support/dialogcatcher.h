#ifndef DIALOGCATCHER_H
#define DIALOGCATCHER_H

#include "app/sdpdialog.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// Records every box or dialog as "kind|title|text" when it comes up and closes it from its
// own modal loop, so that a test never waits on one. The kind is the box's icon ("warning"),
// "sdp" for the SDP viewer, or "markup" for a box that would read a node's text as rich
// text or, asking no question, offers more than OK.
class DialogCatcher : public QObject
{
public:
    DialogCatcher() { qApp->installEventFilter(this); }
    ~DialogCatcher() override { qApp->removeEventFilter(this); }

    QStringList shown;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (event->type() != QEvent::Show || !dialog || !dialog->isWindow())
            return false;
        QString kind = QStringLiteral("other"), text;
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            kind = QStringList{"", "information", "warning", "critical", "question"}.value(box->icon());
            if (box->textFormat() != Qt::PlainText || (box->buttons().size() != 1 && box->icon() != QMessageBox::Question))
                kind = QStringLiteral("markup");
            text = box->text();
        } else if (auto *sdp = qobject_cast<SdpDialog *>(dialog)) {
            kind = QStringLiteral("sdp");
            text = sdp->text();
        }
        shown << kind + QLatin1Char('|') + dialog->windowTitle() + QLatin1Char('|') + text;
        seen(dialog);
        QTimer::singleShot(0, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        return false;
    }
    // What a test checks of the window at the moment a dialog comes up.
    virtual void seen(QDialog *) {}
};

#endif // DIALOGCATCHER_H
