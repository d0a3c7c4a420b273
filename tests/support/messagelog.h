#ifndef MESSAGELOG_H
#define MESSAGELOG_H

#include <QStringList>
#include <QtGlobal>

// Collects the messages logged on the test thread while it lives, instead of printing them,
// so a test can assert that a promised line came exactly once or that nothing was logged.
class MessageLog
{
public:
    MessageLog() : m_previous(qInstallMessageHandler(&MessageLog::record)) { s_current = this; }
    ~MessageLog() { qInstallMessageHandler(m_previous), s_current = nullptr; }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QStringList warnings() const { return of(QtWarningMsg); }
    QStringList infos() const { return of(QtInfoMsg); }
    QStringList all() const { return of(QtMsgType(-1)); }

private:
    static void record(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (s_current)
            s_current->m_lines.append({type, text});
    }
    QStringList of(QtMsgType type) const
    {
        QStringList lines;
        for (const auto &line : m_lines) {
            if (type == QtMsgType(-1) || line.first == type)
                lines << line.second;
        }
        return lines;
    }

    inline static MessageLog *s_current = nullptr;
    QtMessageHandler m_previous;
    QList<QPair<QtMsgType, QString>> m_lines;
};

#endif // MESSAGELOG_H
