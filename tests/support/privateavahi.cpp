#include "privateavahi.h"

#include <QProcessEnvironment>

PrivateAvahi::~PrivateAvahi()
{
    for (QProcess *tool : qAsConst(m_tools)) {
        tool->terminate();
        if (!tool->waitForFinished(3000))
            tool->kill();
        tool->waitForFinished(1000);
        delete tool;
    }
    if (m_daemons.state() != QProcess::NotRunning) {
        m_daemons.closeWriteChannel();
        if (!m_daemons.waitForFinished(5000)) {
            m_daemons.kill();
            m_daemons.waitForFinished(1000);
        }
    }
}

bool PrivateAvahi::start(QString *why, const QString &interfaces)
{
    if (!m_dir.isValid()) {
        *why = QStringLiteral("no temporary directory for Avahi");
        return false;
    }
    m_daemons.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemons.start(QStringLiteral(FERROLINK_SOURCE_DIR "/tests/support/private-avahi.sh"),
                    {m_dir.path(), interfaces});
    // The script prints one line: the bus address once Avahi runs, or why it cannot.
    while (!m_daemons.canReadLine() && m_daemons.waitForReadyRead(20000)) {
    }
    const QString line = QString::fromUtf8(m_daemons.readLine()).trimmed();
    const QString prefix = QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=");
    if (!line.startsWith(prefix)) {
        *why = line.startsWith(QLatin1String("skip: ")) ? line.mid(6)
                                                        : QStringLiteral("private Avahi did not start: %1").arg(line);
        return false;
    }
    m_busAddress = line.mid(prefix.size());
    return true;
}

QProcess *PrivateAvahi::startTool(const QStringList &command)
{
    auto *tool = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_busAddress);
    tool->setProcessEnvironment(environment);
    tool->start(command.first(), command.mid(1));
    m_tools.append(tool);
    return tool;
}
