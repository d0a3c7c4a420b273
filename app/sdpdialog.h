#ifndef SDPDIALOG_H
#define SDPDIALOG_H

#include <QDialog>
#include <QString>

class QPushButton;
class QTextEdit;

// A modal read-only view of SDP transport files with a button that copies them.
class SdpDialog : public QDialog
{
    Q_OBJECT

public:
    SdpDialog(const QString &title, const QString &text, QWidget *parent = nullptr);
    ~SdpDialog() override;

    // The text as handed in; the view shows it with its line breaks normalised.
    QString text() const { return m_text; }

public slots:
    void copyToClipboard();

private:
    // Kept apart from the view, which turns the CRLF line ends of SDP into paragraphs:
    // a copy must be the transport file as the node sent it.
    QString m_text;
    QTextEdit *m_textEdit = nullptr;
    QPushButton *m_copyButton = nullptr;
    QPushButton *m_closeButton = nullptr;
};

#endif // SDPDIALOG_H
