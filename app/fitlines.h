#ifndef FITLINES_H
#define FITLINES_H

#include "nmos/receivercapabilities.h"

#include <QHash>
#include <QObject>
#include <QString>

class QComboBox;
class QLabel;

// What the chosen entries carry and whether they fit, as plain text under the rows: the
// sender's format, what the receiver takes and, with both chosen, whether that receiver can
// take that sender. Each pair is judged once per sender version and receiver caps version.
class FitLines : public QObject
{
    Q_OBJECT

public:
    FitLines(QComboBox *senders, QComboBox *receivers, QObject *parent = nullptr);

    // For the window's layout, which takes them over.
    QLabel *senderLine() const { return m_senderLine; }
    QLabel *receiverLine() const { return m_receiverLine; }
    QLabel *fitLine() const { return m_fitLine; }

    // The verdict on the chosen pair; false when a sender and a receiver are not both chosen.
    bool judgeChosen(ReceiverCapabilities::Verdict *verdict);
    static QString canTakeText();
    static QString cannotTakeText(const QString &reason);

private:
    void show();

    QComboBox *m_senders;
    QComboBox *m_receivers;
    QLabel *m_senderLine;
    QLabel *m_receiverLine;
    QLabel *m_fitLine;
    // By sender id and version, receiver id and caps version.
    QHash<QString, ReceiverCapabilities::Verdict> m_verdicts;
};

#endif // FITLINES_H
