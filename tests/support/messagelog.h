#ifndef MESSAGELOG_H
#define MESSAGELOG_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the messages logged on the test thread while it lives, instead of printing them,
// so a test can assert that a promised line came exactly once or that nothing was logged.
// A message of a named category reads "<category>: <text>", as Qt prints it; the default
// category adds nothing.
class MessageLog
{
public:
    MessageLog()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageLog::record);
    }
    ~MessageLog()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QStringList warnings() const { return m_warnings; }
    QStringList infos() const { return m_infos; }
    QStringList all() const { return m_all; }
    void clear()
    {
        m_warnings.clear();
        m_infos.clear();
        m_all.clear();
    }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (!s_current)
            return;
        const QString category = QString::fromLatin1(context.category ? context.category : "default");
        const QString line = category == QLatin1String("default") ? text : category + QLatin1String(": ") + text;
        s_current->m_all.append(line);
        if (type == QtWarningMsg)
            s_current->m_warnings.append(line);
        else if (type == QtInfoMsg)
            s_current->m_infos.append(line);
    }

    inline static MessageLog *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QStringList m_warnings;
    QStringList m_infos;
    QStringList m_all;
};

#endif // MESSAGELOG_H
