#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"
#include "nmos/nmosclient.h"
#include "tests/support/certificates.h"
#include "tests/support/dialogcatcher.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"
#include "tests/support/simnodeoutput.h"

#include <QComboBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

#include <memory>
#include <vector>

// The whole road inside the private namespace: simulated nodes announce themselves or a
// registry lists them, the window finds them, and its buttons patch, show and take down a
// group.
class tst_PatchEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void patchesShowsAndTakesDownGroup_data();
    void patchesShowsAndTakesDownGroup();
    void refusesUntrustedNode();
    void refusesBadAuthorityFile();
    void listsRegistryNodesAndNewOnes_data();
    void listsRegistryNodesAndNewOnes();
    void followsRegistryPriorityAndFallsOver();

private:
    // Starts a simulator and learns "host:port" of each node it plays (by label) and of its
    // registry ("registry"); the node's scheme is https when it is given a certificate.
    QProcess *startSim(const QStringList &arguments, const QString &host = "10.77.0.1");
    // A node's own account of its senders and receivers.
    QJsonObject nodeState(const QString &label);
    NmosClient::NodeEndpoint endpoint(const QString &label) const;
    bool makeCertificates();

    QTemporaryDir m_dir;
    QStringList m_reborn;
    QProcess *m_rebornProcess = nullptr;
    // A node whose patches land on another node's Connection API, and that node.
    QHash<QString, QString> m_patchedNode;
    std::vector<std::unique_ptr<QProcess>> m_sims;
    QHash<QString, QString> m_addresses, m_schemes;
};

namespace {

// Selects the discovered entry for that address and label; false while there is none.
bool select(QComboBox *combo, const QString &address, const QString &label)
{
    const int index = combo->findText(QStringLiteral(" (%1-%2)").arg(address, label), Qt::MatchEndsWith);
    combo->setCurrentIndex(index >= 0 ? index : combo->currentIndex());
    return index >= 0;
}

QComboBox *combo(MainWindow *window, int row)
{
    return window->findChildren<QComboBox *>().at(row);
}

QJsonObject byLabel(const QJsonObject &state, const QString &kind, const QString &label)
{
    for (const QJsonValue &value : state.value(kind).toArray()) {
        if (value.toObject().value("label").toString() == label)
            return value.toObject();
    }
    return QJsonObject();
}

} // namespace

QProcess *tst_PatchEndToEnd::startSim(const QStringList &arguments, const QString &host)
{
    m_sims.push_back(std::make_unique<QProcess>());
    QProcess *process = m_sims.back().get();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(FERROLINK_BINARY_DIR "/tools/nmos-simnode",
                   arguments.contains("--port") ? arguments : arguments + QStringList{"--port", "0"});
    // One JSON line per node, one for the registry, then "ready".
    const QList<QJsonObject> printed = simnodeReady(process);
    if (printed.isEmpty())
        return nullptr;
    for (const QJsonObject &object : printed) {
        const QString label = object.contains("registry") ? "registry" : object.value("label").toString();
        const int port = object.value(object.contains("registry") ? "registry" : "port").toInt();
        if (!label.isEmpty()) {
            m_addresses.insert(label, QStringLiteral("%1:%2").arg(host).arg(port));
            m_schemes.insert(label, arguments.contains("--tls-cert") ? "https" : "http");
        }
    }
    return process;
}

QJsonObject tst_PatchEndToEnd::nodeState(const QString &label)
{
    QNetworkAccessManager manager;
    const QString url = m_schemes.value(label) + "://" + m_addresses.value(label) + "/x-simnode/state";
    return QJsonDocument::fromJson(NmosClient::syncGet(&manager, url, nullptr, nullptr, endpoint(label))).object();
}

// The node as discovery finds it: its certificate is checked against the host it announces.
NmosClient::NodeEndpoint tst_PatchEndToEnd::endpoint(const QString &label) const
{
    NmosClient::NodeEndpoint node{m_addresses.value(label), m_schemes.value(label)};
    node.tlsName = label.toLower().replace(QRegularExpression("[^a-z0-9]+"), "-") + ".local";
    return node;
}

bool tst_PatchEndToEnd::makeCertificates()
{
    const QString dir = m_dir.path();
    // The files are named relative to the test's own directory.
    QDir::setCurrent(dir);
    // "named" names the host the node announces, not its address, as a facility's certificates
    // do; "rogue" is signed by nobody the application trusts.
    return makeCertificate(dir, "node", "IP:10.77.0.1,IP:10.77.0.2") && makeCertificate(dir, "named", "DNS:named-camera.local")
           && makeCertificate(dir, "rogue", "IP:10.77.0.1,IP:10.77.0.2", true);
}

void tst_PatchEndToEnd::initTestCase()
{
    // The nodes announce themselves and the window browses, both by multicast.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    // Settings of this run alone, neither the user's nor those of tests running beside it.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QVERIFY(makeCertificates());
    QString error;
    QVERIFY2(NmosClient::addTrustedAuthorities(m_dir.filePath("ca.pem"), &error), qPrintable(error));
    const QStringList camera = QString("--group-name Cam --video-senders 1 --audio-senders 2 --data-senders 1 --announce").split(' ');
    const QStringList monitor = QString("--group-name Mon --video-receivers 1 --audio-receivers 2 --data-receivers 1 --announce").split(' ');
    const QStringList tls{"--tls-cert", m_dir.filePath("node.pem"), "--tls-key", m_dir.filePath("node.key")};
    const QList<QStringList> sims{
        camera + QStringList{"--label", "camera"},
        camera + QStringList{"--label", "old-camera", "--api-ver", "v1.2"},
        // Publishes each transport file only once its sender was activated.
        camera + QStringList{"--label", "shy-camera", "--fault-manifest-404"},
        camera + tls + QStringList{"--label", "secure-camera"},
        camera + QStringList{"--label", "named-camera", "--tls-cert", m_dir.filePath("named.pem"), "--tls-key", m_dir.filePath("named.key")},
        camera + QStringList{"--label", "rogue-camera", "--tls-cert", m_dir.filePath("rogue.pem"), "--tls-key", m_dir.filePath("rogue.key")},
        monitor + QStringList{"--label", "monitor"},
        monitor + tls + QStringList{"--label", "secure-monitor"},
        // Monitors that accept every patch and then do not run it as asked.
        monitor + QStringList{"--label", "idle-monitor", "--fault-ignore-activation"},
        monitor + QStringList{"--label", "wayward-monitor", "--fault-activate-other-sender"},
    };
    for (const QStringList &arguments : sims) {
        const QString host = arguments.contains("--video-receivers") ? "10.77.0.2" : "10.77.0.1";
        QVERIFY(startSim(arguments + QStringList{"--bind", host}, host));
    }
    // Restarted by a row, with new ids on the same port.
    m_reborn = camera + QStringList{"--label", "reborn-camera", "--bind", "10.77.0.1", "--port", "18601"};
    QVERIFY(m_rebornProcess = startSim(m_reborn));
    // Monitors that list what they hold as some products do: their group in reverse, or
    // their devices' deprecated lists empty.
    QFile listings(m_dir.filePath("listings.json"));
    QVERIFY(listings.open(QIODevice::WriteOnly));
    listings.write(QString(R"({"announce": true, "nodes": [
        {"label": "reversed-monitor", "bind": ["10.77.0.2"], "reverse_order": true, "devices": [{"groups": [
            {"name": "Mon", "video_receivers": 1, "audio_receivers": 2, "data_receivers": 1}]}]},
        {"label": "flat-monitor", "bind": ["10.77.0.2"], "empty_device_lists": true, "devices": [{"groups": [
            {"name": "Mon", "video_receivers": 1, "audio_receivers": 2, "data_receivers": 1}]}]},
        {"label": "remote-monitor", "seed": "monitor", "bind": ["10.77.0.2"], "controls_href": "%1", "devices": [{"groups": [
            {"name": "Mon", "video_receivers": 1, "audio_receivers": 2, "data_receivers": 1}]}]},
        {"label": "two-leg-camera", "bind": ["10.77.0.2"], "devices": [{"groups": [
            {"name": "Cam", "video_senders": 1, "audio_senders": 2, "data_senders": 1, "legs": 2}]}]},
        {"label": "two-leg-monitor", "bind": ["10.77.0.2"], "devices": [{"groups": [
            {"name": "Mon", "video_receivers": 1, "audio_receivers": 2, "data_receivers": 1, "legs": 2}]}]}]})")
                       .arg("http://" + m_addresses.value("monitor") + "/x-nmos/connection/v1.1/").toUtf8());
    listings.close();
    QVERIFY(startSim({"--config", listings.fileName()}, "10.77.0.2"));
    // Its devices' Connection API is on another port: the monitor's, whose ids it shares.
    m_patchedNode.insert("remote-monitor", "monitor");
    // Two nodes nobody announces, listed by a registry that is announced.
    QFile config(m_dir.filePath("registered.json"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(R"({"nodes": [
        {"label": "listed-camera", "bind": ["10.77.0.2"], "devices": [{"groups": [
            {"name": "Cam", "video_senders": 1, "audio_senders": 2, "data_senders": 1}]}]},
        {"label": "listed-monitor", "bind": ["10.77.0.2"], "devices": [{"groups": [
            {"name": "Mon", "video_receivers": 1, "audio_receivers": 2, "data_receivers": 1}]}]}]})");
    config.close();
    QVERIFY(startSim({"--config", config.fileName(), "--registry", "0", "--registry-only", "--announce", "--registry-pri", "50"},
                     "10.77.0.2"));
}

void tst_PatchEndToEnd::cleanupTestCase()
{
    // Stopped, not killed, so that they say goodbye; one that hangs is killed with its QProcess.
    for (const auto &process : m_sims) {
        process->terminate();
        process->waitForFinished(5000);
    }
}

void tst_PatchEndToEnd::patchesShowsAndTakesDownGroup_data()
{
    QTest::addColumn<QString>("camera");
    QTest::addColumn<int>("activations"); // per camera sender
    QTest::addColumn<QString>("monitor");
    QTest::addColumn<QString>("failure"); // a pattern of the box that ends the connect run
    QTest::addColumn<bool>("restart");    // the camera restarts with new ids once chosen
    QTest::newRow("publishing camera") << "camera" << 0 << "monitor" << QString() << false;
    QTest::newRow("camera publishing when active") << "shy-camera" << 1 << "monitor" << QString() << false;
    // Listed, checked, patched and read over https, with certificates from the trusted authority.
    QTest::newRow("nodes speaking https") << "secure-camera" << 0 << "secure-monitor" << QString() << false;
    QTest::newRow("certificate naming the announced host") << "named-camera" << 0 << "secure-monitor" << QString() << false;
    QTest::newRow("nodes found through a registry") << "listed-camera" << 0 << "listed-monitor" << QString() << false;
    // The entry chosen before the restart patches the camera as it is now.
    QTest::newRow("camera restarted with new ids") << "reborn-camera" << 0 << "monitor" << QString() << true;
    // Members pair by their roles, whatever order each node lists them in.
    QTest::newRow("monitor listing its group in reverse") << "camera" << 0 << "reversed-monitor" << QString() << false;
    QTest::newRow("monitor leaving device lists empty") << "camera" << 0 << "flat-monitor" << QString() << false;
    QTest::newRow("monitor controlled on another port") << "camera" << 0 << "remote-monitor" << QString() << false;
    QTest::newRow("camera speaking v1.2 only") << "old-camera" << 0 << "monitor" << QString() << false;
    // ST 2022-7: the two-leg monitor is patched from both legs first, so that the one-leg
    // camera after it must switch its second leg off.
    QTest::newRow("two-leg camera to two-leg monitor") << "two-leg-camera" << 0 << "two-leg-monitor" << QString() << false;
    QTest::newRow("camera to two-leg monitor") << "camera" << 0 << "two-leg-monitor" << QString() << false;
    QTest::newRow("two-leg camera to monitor") << "two-leg-camera" << 0 << "monitor" << QString() << false;
    const QString notActive = QStringLiteral("Patch failed on video:\nNot active: the receiver reports sender %1 with master_enable %2");
    QTest::newRow("monitor not activating") << "camera" << 0 << "idle-monitor" << notActive.arg("none", "false") << false;
    QTest::newRow("monitor taking another sender") << "camera" << 0 << "wayward-monitor" << notActive.arg("[-0-9a-f]{36}", "true") << false;
}

void tst_PatchEndToEnd::patchesShowsAndTakesDownGroup()
{
    QFETCH(QString, camera);
    QFETCH(int, activations);
    QFETCH(QString, monitor);
    QFETCH(QString, failure);
    QFETCH(bool, restart);
    // The node whose own state shows the patches.
    const QString patched = m_patchedNode.value(monitor, monitor);
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(select(combo(&window, 0), m_addresses.value(camera), "Cam Video"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(select(combo(&window, 1), m_addresses.value(monitor), "Mon Video"), 20000);
    if (restart) {
        const QString oldId = window.currentItemId(combo(&window, 0));
        // Stopped, so that it says goodbye, as a node that restarts does; back once its
        // service is gone.
        QSignalSpy gone(window.findChild<NMOSMdnsBrowser *>(), &NMOSMdnsBrowser::nodeRemoved);
        m_rebornProcess->terminate();
        QVERIFY(m_rebornProcess->waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(gone.count() > 0, 10000);
        QVERIFY(m_rebornProcess = startSim(m_reborn + QStringList{"--seed", "reborn again"}));
        QTRY_VERIFY_WITH_TIMEOUT(window.currentItemId(combo(&window, 0)) != oldId, 20000);
    }
    // The choices ran the rows' checks, which found both nodes.
    for (LightIndicator *lamp : window.findChildren<LightIndicator *>())
        QVERIFY(lamp->isOn());

    DialogCatcher catcher;
    // The transmitter's and the receiver's SDP, "Connect (Tx->Rx)", "Disconnect Rx".
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    buttons[2]->click();
    if (!failure.isEmpty()) {
        // The node accepted the video patch; its receiver says otherwise, and the run ends there.
        QCOMPARE(catcher.shown.size(), 1);
        const QRegularExpression pattern("\\Acritical\\|Connect\\|" + failure + "\\z");
        QVERIFY2(pattern.match(catcher.shown[0]).hasMatch(), qPrintable(catcher.shown[0]));
        QCOMPARE(byLabel(nodeState(patched), "receivers", "Mon Audio 1").value("sender_id").toString(), QString());
        return;
    }

    // Each monitor receiver is patched to the camera sender of its role, with the transport
    // file the camera publishes now, on each leg it has: from the sender's leg in the same
    // place, or off where the sender has none.
    const QJsonObject cameraState = nodeState(camera), monitorState = nodeState(patched);
    QNetworkAccessManager manager;
    QHash<QString, QString> sdpOfRole;
    QString notes;
    for (const QString &role : QStringList{"Video", "Audio 1", "Audio 2", "Anc"}) {
        const QJsonObject sender = byLabel(cameraState, "senders", "Cam " + role);
        QCOMPARE(sender.value("activations").toInt(), activations);
        const QString sdp = QString::fromUtf8(NmosClient::syncGet(
            &manager, QStringLiteral("%1://%2/x-nmos/connection/v1.1/single/senders/%3/transportfile")
                          .arg(m_schemes.value(camera), m_addresses.value(camera), sender.value("id").toString()),
            nullptr, nullptr, endpoint(camera)));
        QVERIFY2(sdp.startsWith("v=0"), qPrintable(role + ": " + sdp));
        const QJsonObject receiver = byLabel(monitorState, "receivers", "Mon " + role);
        QCOMPARE(receiver.value("sender_id").toString(), sender.value("id").toString());
        QCOMPARE(receiver.value("master_enable").toBool(), true);
        QCOMPARE(receiver.value("transport_file").toObject().value("data").toString(), sdp);
        sdpOfRole.insert(role, sdp + "\n\n\n");
        const QJsonArray sent = sender["transport_params"].toArray(), taken = receiver["transport_params"].toArray();
        for (int leg = 0; leg < taken.size(); ++leg) {
            QCOMPARE(taken[leg]["rtp_enabled"].toBool(), leg < sent.size());
            if (leg < sent.size())
                QCOMPARE(taken[leg]["multicast_ip"].toString(), sent[leg]["destination_ip"].toString());
        }
        if (taken.size() < sent.size())
            notes += QString("Receiver \"Mon %1\" has one leg: it takes the first leg (of 2) of sender \"Cam %1\".\n").arg(role);
    }
    // The operator is told of each receiver taking one leg of two.
    QCOMPARE(catcher.shown, notes.isEmpty() ? QStringList() : QStringList{"information|Connect|" + notes});
    catcher.shown.clear();
    // Video first, then the audio in the order the monitor lists its receivers, then anc.
    QString staged = sdpOfRole.value("Video");
    for (const QJsonValue &receiver : monitorState.value("receivers").toArray())
        staged += receiver["label"].toString().startsWith("Mon Audio") ? sdpOfRole.value(receiver["label"].toString().mid(4)) : QString();
    staged += sdpOfRole.value("Anc");

    // The receiver row shows what the monitor's group is staged to, video first.
    buttons[1]->click();
    QCOMPARE(catcher.shown, QStringList{"sdp|SDP \u2022 Sender Mon Video (from receiver node)|" + staged});

    buttons[3]->click();
    QCOMPARE(catcher.shown.size(), 1);
    for (const QJsonValue &receiver : nodeState(patched).value("receivers").toArray()) {
        QCOMPARE(receiver["master_enable"].toBool(true), false);
        QVERIFY(receiver["transport_file"]["data"].isNull());
    }
    // With nothing staged any more the viewer says so instead of showing a dialog.
    buttons[1]->click();
    QCOMPARE(catcher.shown.last(), QStringLiteral("warning|SDP|Nothing is connected/Failed to fetch SDP."));
}

void tst_PatchEndToEnd::refusesUntrustedNode()
{
    const QString address = m_addresses.value("rogue-camera");
    MessageLog log;
    MainWindow window;
    const QRegularExpression refused("^GET https://" + QRegularExpression::escape(address)
                                     + "/x-nmos/node/v1\\.3/self failed: TLS: .+ for 10\\.77\\.0\\.1$");
    QTRY_VERIFY_WITH_TIMEOUT(!log.warnings().filter(refused).isEmpty(), 20000);
    // Found by mDNS, never listed: the same host's trusted camera is, meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(select(combo(&window, 0), m_addresses.value("secure-camera"), "Cam Video"), 20000);
    QCOMPARE(combo(&window, 0)->findText("(" + address + "-", Qt::MatchContains), -1);
}

void tst_PatchEndToEnd::refusesBadAuthorityFile()
{
    // A file that cannot be read and one that holds no certificate, each with the pattern of
    // its message.
    const QList<QStringList> files{{"missing.pem", "cannot read .*missing\\.pem: .+"}, {"node.key", ".*node\\.key holds no PEM certificate"}};
    for (const QStringList &file : files) {
        QProcess app;
        app.start(FERROLINK_BINARY_DIR "/app/ferrolink", {"--ca-file", m_dir.filePath(file[0])});
        QVERIFY(app.waitForFinished(30000));
        QCOMPARE(app.exitCode(), 2);
        // Qt may say something of its own first; the program's line is the last.
        const QString error = QString::fromLocal8Bit(app.readAllStandardError()).trimmed().section('\n', -1);
        QVERIFY2(QRegularExpression("\\Aferrolink: --ca-file: " + file[1] + "\\z").match(error).hasMatch(), qPrintable(error));
    }
}

void tst_PatchEndToEnd::listsRegistryNodesAndNewOnes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("named by URL, WebSocket") << QStringList();
    // Without a WebSocket the registry is read again at every attempt to subscribe.
    QTest::newRow("named by URL, no WebSocket") << QStringList{"--fault-registry-no-websocket"};
}

void tst_PatchEndToEnd::listsRegistryNodesAndNewOnes()
{
    QFETCH(QStringList, options);
    QVERIFY(startSim(options + QString("--label cam --nodes 3 --bind 10.77.0.1 --group-name Three --video-senders 1 "
                                       "--registry 0 --registry-only").split(' ')));
    MainWindow window;
    // Without a path: the standard one is meant.
    window.registryBrowser()->setRegistry(NMOSRegistryBrowser::registryBase("http://" + m_addresses.value("registry")));

    // Three nodes on pages of two; each entry is named after the node's host. (That a listed
    // node's entry is checked and patched, 'nodes found through a registry' shows.)
    for (const QString label : {"cam 1", "cam 2", "cam 3"}) {
        QTRY_VERIFY_WITH_TIMEOUT(select(combo(&window, 0), m_addresses.value(label), "Three Video"), 20000);
        QVERIFY2(combo(&window, 0)->currentText().startsWith(QString(label).replace(' ', '-') + ".local ("),
                 qPrintable(combo(&window, 0)->currentText()));
    }

    // A node registers itself later, as its Registration API client would: itself, then
    // what it holds.
    QVERIFY(startSim(QString("--label late --bind 10.77.0.2 --group-name Late --video-senders 1").split(' '), "10.77.0.2"));
    QNetworkAccessManager manager;
    const QString node = "http://" + m_addresses.value("late") + "/x-nmos/node/v1.3/";
    for (const QString type : {"self", "devices/", "sources/", "flows/", "senders/"}) {
        const QJsonDocument held = QJsonDocument::fromJson(NmosClient::syncGet(&manager, node + type));
        const QJsonArray resources = held.isArray() ? held.array() : QJsonArray{held.object()};
        for (const QJsonValue &resource : resources) {
            QNetworkRequest request(QUrl("http://" + m_addresses.value("registry") + "/x-nmos/registration/v1.3/resource"));
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
            const QString kind = type == "self" ? "node" : type.chopped(2);
            std::unique_ptr<QNetworkReply> reply(manager.post(request, QJsonDocument(QJsonObject{
                {"type", kind}, {"data", resource}}).toJson()));
            QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(select(combo(&window, 0), m_addresses.value("late"), "Late Video"), 20000);
    m_sims.back()->kill();
    m_sims.at(m_sims.size() - 2)->kill();
}

void tst_PatchEndToEnd::followsRegistryPriorityAndFallsOver()
{
    // Started worst first, so that the best is not simply the first one heard; the registry
    // of initTestCase, at 50, sits between.
    const QString common = "--bind 10.77.0.1 --video-senders 1 --registry 0 --registry-only --announce --label %1 "
                           "--group-name %1 --registry-pri %2";
    QVERIFY(startSim(common.arg("Dev").arg(100).split(' ')));
    QVERIFY(startSim(common.arg("Second").arg(20).split(' ')));
    QProcess *first = startSim(common.arg("First").arg(10).split(' '));
    QVERIFY(first);
    const QString firstRegistry = m_addresses.value("registry");

    MainWindow window;
    window.registryBrowser()->setPollInterval(200);
    QTRY_VERIFY_WITH_TIMEOUT(combo(&window, 0)->findText("First Video", Qt::MatchContains) >= 0, 20000);
    // The registry vanishes: its WebSocket closes, the next poll finds nobody, and the
    // next registry by priority takes over; what was listed stays.
    first->terminate();
    QTRY_VERIFY_WITH_TIMEOUT(combo(&window, 0)->findText("Second Video", Qt::MatchContains) >= 0, 20000);
    QVERIFY(combo(&window, 0)->findText("First Video", Qt::MatchContains) >= 0);
    // A development priority is never used unless asked for.
    QCOMPARE(combo(&window, 0)->findText("Dev Video", Qt::MatchContains), -1);
    // The best one comes back where it was: it is read again.
    const QString port = firstRegistry.section(':', -1);
    QVERIFY(startSim(QString(common).replace("--registry 0", "--registry " + port).arg("First").arg(10).split(' ')));
    QTRY_COMPARE_WITH_TIMEOUT(QString::number(window.registryBrowser()->currentRegistry().port()), port, 20000);
}

QTEST_MAIN(tst_PatchEndToEnd)
#include "tst_patchendtoend.moc"
