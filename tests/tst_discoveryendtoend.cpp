#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "tests/support/netns.h"

#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

// From the network to the screen: simulated nodes announce themselves by mDNS on fl1, a real
// main window finds them from fl0 and lists what they offer under every address they have.
class tst_DiscoveryEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void listsNodesUnderEveryAddressAndChecksThem();

private:
    std::unique_ptr<QProcess> startNode(const QStringList &arguments, int *port);

    QList<std::shared_ptr<QProcess>> m_nodes;
    QString m_linkLocal;
    int m_cameraPort = 0;
    int m_monitorPort = 0;
};

std::unique_ptr<QProcess> tst_DiscoveryEndToEnd::startNode(const QStringList &arguments, int *port)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode"),
                   arguments + QStringList{"--bind", "10.77.0.2", "--bind", "fd77::2", "--bind", m_linkLocal,
                                           "--port", "0", "--announce"});
    if (!process->waitForStarted())
        return nullptr;
    // The node prints one JSON line with its port, then "ready".
    QByteArray out;
    while (!out.contains("ready\n")) {
        if (!process->waitForReadyRead(10000))
            return nullptr;
        out += process->readAllStandardOutput();
    }
    *port = QJsonDocument::fromJson(out.left(out.indexOf('\n'))).object().value("port").toInt();
    return process;
}

void tst_DiscoveryEndToEnd::initTestCase()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl1").addressEntries()) {
        QHostAddress ip = entry.ip();
        if (ip.protocol() == QAbstractSocket::IPv6Protocol && ip.isLinkLocal()) {
            ip.setScopeId(QStringLiteral("fl1"));
            m_linkLocal = ip.toString();
        }
    }
    QVERIFY(!m_linkLocal.isEmpty());

    auto camera = startNode({"--label", "camera", "--group-name", "Cam 1", "--video-senders", "1",
                             "--audio-senders", "2", "--data-senders", "1"}, &m_cameraPort);
    QVERIFY(camera);
    auto monitor = startNode({"--label", "monitor", "--group-name", "Mon 1", "--video-receivers", "1",
                              "--audio-receivers", "2", "--data-receivers", "1"}, &m_monitorPort);
    QVERIFY(monitor);
    m_nodes << std::shared_ptr<QProcess>(camera.release()) << std::shared_ptr<QProcess>(monitor.release());
}

void tst_DiscoveryEndToEnd::cleanupTestCase()
{
    for (const auto &process : qAsConst(m_nodes)) {
        process->terminate();
        if (!process->waitForFinished(5000))
            process->kill();
    }
}

namespace {

// What kind of address each entry names: "ipv4", "ula" or "link-local" (with its zone).
QSet<QString> addressKinds(QComboBox *combo, const QString &node, int port)
{
    QSet<QString> kinds;
    for (int i = 0; i < combo->count(); ++i) {
        const QString text = combo->itemText(i);
        if (!text.startsWith(node + QStringLiteral(" (")))
            kinds << QStringLiteral("foreign");
        else if (text.contains(QStringLiteral("(10.77.0.2:%1-").arg(port)))
            kinds << QStringLiteral("ipv4");
        else if (text.contains(QStringLiteral("(fd77::2:%1-").arg(port)))
            kinds << QStringLiteral("ula");
        else if (QRegularExpression(QStringLiteral("\\(fe80::[0-9a-f:]+%fl[01]:%1-").arg(port)).match(text).hasMatch())
            kinds << QStringLiteral("link-local");
        else
            kinds << text;
    }
    return kinds;
}

} // namespace

void tst_DiscoveryEndToEnd::listsNodesUnderEveryAddressAndChecksThem()
{
    MainWindow window;
    auto *tx = window.findChildren<QComboBox *>().at(0);
    auto *rx = window.findChildren<QComboBox *>().at(1);
    auto *txLamp = window.findChildren<LightIndicator *>().at(0);
    auto *rxLamp = window.findChildren<LightIndicator *>().at(1);

    // One entry per video resource and address: IPv4, unique-local IPv6 and link-local. A
    // link-local address heard on both ends of the pair is listed once per zone.
    const QSet<QString> expected{"ipv4", "ula", "link-local"};
    QTRY_COMPARE_WITH_TIMEOUT(addressKinds(tx, "camera", m_cameraPort), expected, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(addressKinds(rx, "monitor", m_monitorPort), expected, 20000);
    QCOMPARE(tx->currentIndex(), -1);
    QCOMPARE(rx->currentIndex(), -1);
    QVERIFY(!txLamp->isOn());
    QVERIFY(!rxLamp->isOn());

    const struct {
        QComboBox *combo;
        LightIndicator *lamp;
        int port;
    } rows[] = {{tx, txLamp, m_cameraPort}, {rx, rxLamp, m_monitorPort}};
    for (const auto &row : rows) {
        for (int i = 0; i < row.combo->count(); ++i) {
            // Choosing the entry checks its node over that very address and lights the lamp.
            row.combo->setEditText(QString());
            QVERIFY(!row.lamp->isOn());
            row.combo->setCurrentIndex(i);
            QVERIFY2(row.lamp->isOn(), qPrintable(row.combo->itemText(i)));
            QCOMPARE(window.currentItemAddress(row.combo).section(QLatin1Char(':'), -1).toInt(), row.port);
        }
    }
}

QTEST_MAIN(tst_DiscoveryEndToEnd)
#include "tst_discoveryendtoend.moc"
