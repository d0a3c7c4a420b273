#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "tests/support/netns.h"
#include "tests/support/simnodeoutput.h"

#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

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

// From the network to the screen: simulated nodes announce themselves by mDNS on fl1, a real
// main window finds them from fl0 and lists what they offer under every address they have.
class tst_DiscoveryEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void listsNodesUnderEveryAddressAndChecksThem();
};

void tst_DiscoveryEndToEnd::listsNodesUnderEveryAddressAndChecksThem()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    // Settings of this run alone, neither the user's nor those of tests running beside it.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QString linkLocal;
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl1").addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
            linkLocal = entry.ip().toString().section('%', 0, 0) + "%fl1";
    }
    QVERIFY(!linkLocal.isEmpty());
    // A node with a video sender and receiver on fl1's every address.
    QProcess node;
    node.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    node.start(FERROLINK_BINARY_DIR "/tools/nmos-simnode",
               {"--label", "gw", "--group-name", "Gw 1", "--video-senders", "1", "--video-receivers", "1", "--bind", "10.77.0.2",
                "--bind", "fd77::2", "--bind", linkLocal, "--port", "0", "--announce"});
    // Stopped, not killed, so that it says goodbye.
    const auto stop = qScopeGuard([&node] {
        node.terminate();
        node.waitForFinished(5000);
    });
    // The node prints one JSON line with its port, then "ready".
    const QList<QJsonObject> printed = simnodeReady(&node);
    QVERIFY(!printed.isEmpty());
    const int port = printed.first().value("port").toInt();
    QVERIFY(port > 0);

    MainWindow window;
    const auto combos = window.findChildren<QComboBox *>();
    const auto lamps = window.findChildren<LightIndicator *>();
    // One entry per video resource and address: IPv4, unique-local IPv6 and link-local. A
    // link-local address heard on both ends of the pair is listed once per zone.
    const QSet<QString> expected{"ipv4", "ula", "link-local"};
    for (int side = 0; side < 2; ++side) {
        QComboBox *combo = combos.at(side);
        QTRY_COMPARE_WITH_TIMEOUT(addressKinds(combo, "gw", port), expected, 20000);
        QCOMPARE(combo->currentIndex(), -1);
        for (int i = 0; i < combo->count(); ++i) {
            // Choosing the entry checks its node over that very address and lights the lamp.
            combo->setEditText(QString());
            QVERIFY(!lamps.at(side)->isOn());
            combo->setCurrentIndex(i);
            QVERIFY2(lamps.at(side)->isOn(), qPrintable(combo->itemText(i)));
            QCOMPARE(window.currentItemAddress(combo).section(':', -1).toInt(), port);
        }
    }
}

QTEST_MAIN(tst_DiscoveryEndToEnd)
#include "tst_discoveryendtoend.moc"
