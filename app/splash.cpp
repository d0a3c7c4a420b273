// The About splash of MainWindow: the product's image, name, version and web address on a
// frameless panel, shown at start and on "About" for a moment.

#include "mainwindow.h"

#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>

int MainWindow::splashDurationMs = 2500;

void MainWindow::buildSplash()
{
    // The image lives in a static library; nothing else would pull its initialiser in.
    Q_INIT_RESOURCE(ferrolink);

    m_splash = new QFrame(this, Qt::SplashScreen | Qt::FramelessWindowHint);
    m_splash->setFixedSize(300, 300);

    auto *title = new QLabel(QStringLiteral("Ferrolink"), m_splash);
    auto *version = new QLabel(QStringLiteral("v%1.%2.%3")
                                   .arg(FERROLINK_VERSION_MAJOR)
                                   .arg(FERROLINK_VERSION_MINOR)
                                   .arg(FERROLINK_VERSION_PATCH),
                               m_splash);
    auto *web = new QLabel(QStringLiteral("www.veltrix.example"), m_splash);
    web->setTextFormat(Qt::PlainText);
    auto *image = new QLabel(m_splash);
    image->setPixmap(QPixmap(QStringLiteral(":/img/Ferrolink_Icon_128x128.png")));

    auto *layout = new QVBoxLayout(m_splash);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    layout->addWidget(image);
    layout->addStretch();
    layout->addWidget(title);
    layout->addWidget(version);
    layout->addWidget(web);
    layout->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);

    m_splash->show();
    QTimer::singleShot(splashDurationMs, this, &MainWindow::hideSplash);
}

void MainWindow::showAbout()
{
    if (!m_splash)
        return;
    m_splash->show();
    // Earlier timers keep running: the splash goes 2.5 s after the earliest pending press.
    QTimer::singleShot(splashDurationMs, this, &MainWindow::hideSplash);
}

void MainWindow::hideSplash()
{
    if (m_splash)
        m_splash->hide();
}
