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

// From the network to the screen: simulated nodes announce themselves by mDNS on fl1, a real
// main window finds them from fl0 and lists what they offer under every address they have.
class tst_DiscoveryEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void listsNodesUnderEveryAddressAndChecksThem();

private:
    int startNode(const QStringList &arguments);

    std::vector<std::unique_ptr<QProcess>> m_nodes;
    QString m_linkLocal;
};

// Starts a node on fl1's every address; its port, or 0.
int tst_DiscoveryEndToEnd::startNode(const QStringList &arguments)
{
    m_nodes.emplace_back(new QProcess);
    QProcess *process = m_nodes.back().get();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(FERROLINK_BINARY_DIR "/tools/nmos-simnode", arguments + QStringList{"--bind", "10.77.0.2", "--bind", "fd77::2",
                                                                                        "--bind", m_linkLocal, "--port", "0", "--announce"});
    // The node prints one JSON line with its port, then "ready".
    QByteArray out;
    while (!out.contains("ready\n")) {
        if (!process->waitForReadyRead(10000))
            return 0;
        out += process->readAllStandardOutput();
    }
    return QJsonDocument::fromJson(out.left(out.indexOf('\n'))).object().value("port").toInt();
}

namespace {

// What kind of address each entry of the node names: "ipv4", "ula" or "link-local" (with its zone).
QSet<QString> addressKinds(QComboBox *combo, const QString &node, int port)
{
    QSet<QString> kinds;
    const QRegularExpression entry(QStringLiteral("^%1 \\((10\\.77\\.0\\.2|fd77::2|fe80::[0-9a-f:]+%fl[01]):%2-").arg(node).arg(port));
    for (int i = 0; i < combo->count(); ++i) {
        const QString address = entry.match(combo->itemText(i)).captured(1);
        kinds << (address.startsWith("10.") ? "ipv4" : address.startsWith("fd77") ? "ula" : address.startsWith("fe80") ? "link-local" : combo->itemText(i));
    }
    return kinds;
}

} // namespace

void tst_DiscoveryEndToEnd::listsNodesUnderEveryAddressAndChecksThem()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl1").addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
            m_linkLocal = entry.ip().toString().section('%', 0, 0) + "%fl1";
    }
    QVERIFY(!m_linkLocal.isEmpty());
    const int cameraPort = startNode({"--label", "camera", "--group-name", "Cam 1", "--video-senders", "1", "--audio-senders", "2"});
    const int monitorPort = startNode({"--label", "monitor", "--group-name", "Mon 1", "--video-receivers", "1", "--audio-receivers", "2"});
    QVERIFY(cameraPort > 0 && monitorPort > 0);
    const auto stop = qScopeGuard([this] {
        for (const auto &process : m_nodes)
            process->terminate();
        for (const auto &process : m_nodes)
            process->waitForFinished(5000);
    });

    MainWindow window;
    const auto combos = window.findChildren<QComboBox *>();
    const auto lamps = window.findChildren<LightIndicator *>();
    // One entry per video resource and address: IPv4, unique-local IPv6 and link-local. A
    // link-local address heard on both ends of the pair is listed once per zone.
    const QSet<QString> expected{"ipv4", "ula", "link-local"};
    QTRY_COMPARE_WITH_TIMEOUT(addressKinds(combos.at(0), "camera", cameraPort), expected, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(addressKinds(combos.at(1), "monitor", monitorPort), expected, 20000);
    for (int side = 0; side < 2; ++side) {
        QComboBox *combo = combos.at(side);
        QCOMPARE(combo->currentIndex(), -1);
        for (int i = 0; i < combo->count(); ++i) {
            // Choosing the entry checks its node over that very address and lights the lamp.
            combo->setEditText(QString());
            QVERIFY(!lamps.at(side)->isOn());
            combo->setCurrentIndex(i);
            QVERIFY2(lamps.at(side)->isOn(), qPrintable(combo->itemText(i)));
            QCOMPARE(window.currentItemAddress(combo).section(':', -1).toInt(), side == 0 ? cameraPort : monitorPort);
        }
    }
}

QTEST_MAIN(tst_DiscoveryEndToEnd)
#include "tst_discoveryendtoend.moc"
