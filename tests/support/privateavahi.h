#ifndef PRIVATEAVAHI_H
#define PRIVATEAVAHI_H

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A dbus-daemon and avahi-daemon of the test's own (tests/support/private-avahi.sh), on the
// given interfaces of the private network namespace, stopped when this object goes.
//   PrivateAvahi avahi;
//   QString why;
//   if (!avahi.start(&why)) QSKIP(qPrintable(why));
//   QProcess *browse = avahi.startTool({"avahi-browse", "-r", "-p", "-t", "_nmos-node._tcp"});
class PrivateAvahi
{
public:
    PrivateAvahi() = default;
    ~PrivateAvahi();
    PrivateAvahi(const PrivateAvahi &) = delete;
    PrivateAvahi &operator=(const PrivateAvahi &) = delete;

    // Waits until Avahi has started (a few seconds); false with the reason when it cannot.
    bool start(QString *why, const QString &interfaces = QStringLiteral("fl1"));
    // Starts an Avahi tool (program and arguments) talking to this Avahi; owned by this
    // object and ended with it.
    QProcess *startTool(const QStringList &command);

private:
    QTemporaryDir m_dir;
    QProcess m_daemons;
    QString m_busAddress;
    QList<QProcess *> m_tools;
};

#endif // PRIVATEAVAHI_H
