// MainWindow's weekly update query: asks the update library at most once in 7 days whether
// a newer version exists and offers to open its download address.

#include "mainwindow.h"

#include "vxutil/vxutil.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QUrl>

namespace {

const int UpdateIntervalDays = 7;

quint64 today()
{
    return quint64(qMax<qint64>(0, QDateTime::currentSecsSinceEpoch())) / 86400;
}

} // namespace

void MainWindow::checkForUpdate()
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Ferrolink"));
    const QByteArray appName = QStringLiteral("Ferrolink").toLower().toLatin1();
    const QString key = QStringLiteral("LastUpdateTime");
    const quint64 day = today();

    // The first start only records the day: the earliest query is a week later.
    if (!settings.contains(key)) {
        settings.setValue(key, day);
        return;
    }
    bool ok = false;
    quint64 last = settings.value(key).toULongLong(&ok);
    if (!ok)
        last = 0;
    // A day later than today (a clock set back) holds the query off until it plus 7;
    // written without last + 7, which could overflow.
    if (day < last || day - last < UpdateIntervalDays)
        return;

    // Recorded before asking, and on disk: a query that fails or hangs is not repeated
    // at every start.
    settings.setValue(key, day);
    settings.sync();

    const char *newVersion;
    const char *downloadUrl;
    void *reserved;
    if (vxOSGetAppVersion(appName.constData(), FERROLINK_VERSION_MAJOR, FERROLINK_VERSION_MINOR,
                          FERROLINK_VERSION_PATCH, &newVersion, &downloadUrl, &reserved)
        != 1)
        return;

    QMessageBox box(QMessageBox::Information, QStringLiteral("Ferrolink"),
                    tr("A new version is available.\nVersion: %1 \nWould you like to download now?")
                        .arg(QString::fromUtf8(newVersion)),
                    QMessageBox::NoButton, this);
    QPushButton *download = box.addButton(tr("Download"), QMessageBox::AcceptRole);
    box.addButton(tr("Later"), QMessageBox::RejectRole);
    box.exec();
    if (box.clickedButton() == download)
        QDesktopServices::openUrl(QUrl(QString::fromUtf8(downloadUrl), QUrl::TolerantMode));
}
