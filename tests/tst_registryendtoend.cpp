#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "discovery/nmosregistrybrowser.h"
#include "nmos/nmosclient.h"
#include "tests/support/netns.h"

#include <QComboBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <vector>

// Nodes that nobody announces on the link, found through registry doubles that are
// announced there (or named on the command line) and patched like any other.
class tst_RegistryEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void listsNodesAndTakesInNewOnes_data();
    void listsNodesAndTakesInNewOnes();
    void followsPriorityAndFallsOver();
    void patchesGroupFoundThroughRegistry();

private:
    struct Sim
    {
        QProcess *process = nullptr;
        QHash<QString, int> ports; // node label -> HTTP port
        int registryPort = 0;
    };
    bool startSim(const QStringList &arguments, Sim *sim);

    std::vector<std::unique_ptr<QProcess>> m_processes;
    QTemporaryDir m_dir;
};

namespace {

// Selects the entry of that node address and resource label; false while there is none.
bool select(QComboBox *combo, const QString &address, const QString &label)
{
    for (int i = 0; i < combo->count(); ++i) {
        if (combo->itemText(i).endsWith(QStringLiteral(" (%1-%2)").arg(address, label))) {
            combo->setCurrentIndex(i);
            return true;
        }
    }
    return false;
}

bool lists(QComboBox *combo, const QString &text)
{
    return combo->findText(text, Qt::MatchContains) >= 0;
}

QComboBox *combo(MainWindow *window, int row)
{
    return window->findChildren<QComboBox *>().at(row);
}

// What a node's Registration API client would do: POST its self resource to the registry.
bool registerNode(int nodePort, const QString &nodeHost, int registryPort)
{
    QNetworkAccessManager manager;
    const QByteArray self = NmosClient::syncGet(
        &manager, QStringLiteral("http://%1:%2/x-nmos/node/v1.3/self").arg(nodeHost).arg(nodePort));
    QNetworkRequest request(QUrl(QStringLiteral("http://10.77.0.1:%1/x-nmos/registration/v1.3/resource").arg(registryPort)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    const QJsonObject body{{"type", "node"}, {"data", QJsonDocument::fromJson(self).object()}};
    QNetworkReply *reply = manager.post(request, QJsonDocument(body).toJson());
    QSignalSpy finished(reply, &QNetworkReply::finished);
    const bool ok = finished.wait(10000) && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 201;
    reply->deleteLater();
    return ok;
}

} // namespace

bool tst_RegistryEndToEnd::startSim(const QStringList &arguments, Sim *sim)
{
    m_processes.push_back(std::make_unique<QProcess>());
    sim->process = m_processes.back().get();
    sim->process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim->process->start(FERROLINK_BINARY_DIR "/tools/nmos-simnode", arguments + QStringList{"--port", "0"});
    // One JSON line per node, one for the registry, then "ready".
    QByteArray out;
    while (!out.contains("ready\n")) {
        if (!sim->process->waitForReadyRead(10000))
            return false;
        out += sim->process->readAllStandardOutput();
    }
    for (const QByteArray &line : out.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.contains("registry"))
            sim->registryPort = object.value("registry").toInt();
        else if (object.contains("label"))
            sim->ports.insert(object.value("label").toString(), object.value("port").toInt());
    }
    return true;
}

void tst_RegistryEndToEnd::initTestCase()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
}

void tst_RegistryEndToEnd::cleanup()
{
    for (const auto &process : m_processes) {
        process->terminate();
        if (!process->waitForFinished(5000))
            process->kill();
    }
    m_processes.clear();
}

void tst_RegistryEndToEnd::listsNodesAndTakesInNewOnes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("givenUrl");
    // Only the rows without a WebSocket poll often enough for the new node to show.
    QTest::addColumn<int>("pollMs");
    QTest::newRow("announced, WebSocket") << QStringList{"--announce"} << false << 600000;
    QTest::newRow("announced, polling") << QStringList{"--announce", "--fault-registry-no-websocket"} << false << 200;
    QTest::newRow("--registry, not announced") << QStringList() << true << 600000;
}

void tst_RegistryEndToEnd::listsNodesAndTakesInNewOnes()
{
    QFETCH(QStringList, options);
    QFETCH(bool, givenUrl);
    QFETCH(int, pollMs);
    Sim sim;
    QVERIFY(startSim(options + QStringList{"--label", "cam", "--nodes", "3", "--bind", "10.77.0.1", "--group-name",
                                           "Cam", "--video-senders", "1", "--registry", "0", "--registry-only"},
                     &sim));
    MainWindow window;
    window.registryBrowser()->setPollInterval(pollMs);
    if (givenUrl) // without a path: the standard one is meant
        window.registryBrowser()->setRegistry(NMOSRegistryBrowser::registryBase(
            QStringLiteral("http://10.77.0.1:%1").arg(sim.registryPort)));

    // Three nodes on pages of two; each entry is named after the node's host and lights
    // its lamp once chosen.
    QComboBox *tx = combo(&window, 0);
    for (const QString label : {"cam 1", "cam 2", "cam 3"}) {
        const QString address = QStringLiteral("10.77.0.1:%1").arg(sim.ports.value(label));
        QTRY_VERIFY_WITH_TIMEOUT(select(tx, address, "Cam Video"), 20000);
        QVERIFY2(tx->currentText().startsWith(QString(label).replace(' ', '-') + ".local ("), qPrintable(tx->currentText()));
        QVERIFY(window.findChildren<LightIndicator *>().at(0)->isOn());
    }

    Sim late;
    QVERIFY(startSim({"--label", "late", "--bind", "10.77.0.2", "--group-name", "Late", "--video-senders", "1"}, &late));
    QVERIFY(registerNode(late.ports.value("late"), "10.77.0.2", sim.registryPort));
    QTRY_VERIFY_WITH_TIMEOUT(lists(tx, QStringLiteral("late.local (10.77.0.2:%1-Late Video)").arg(late.ports.value("late"))),
                             20000);
}

void tst_RegistryEndToEnd::followsPriorityAndFallsOver()
{
    // Started worst first, so that the best is not simply the first one heard.
    Sim development, second, first;
    const QStringList common{"--bind", "10.77.0.1", "--video-senders", "1", "--registry", "0", "--registry-only", "--announce"};
    QVERIFY(startSim(common + QStringList{"--label", "dev", "--group-name", "Dev", "--registry-pri", "100"}, &development));
    QVERIFY(startSim(common + QStringList{"--label", "second", "--group-name", "Second", "--registry-pri", "20"}, &second));
    QVERIFY(startSim(common + QStringList{"--label", "first", "--group-name", "First", "--registry-pri", "10"}, &first));

    MainWindow window;
    NMOSRegistryBrowser *registry = window.registryBrowser();
    registry->setPollInterval(200);
    QComboBox *tx = combo(&window, 0);
    QTRY_COMPARE_WITH_TIMEOUT(registry->currentRegistry().port(), first.registryPort, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(lists(tx, "First Video"), 20000);

    // The registry vanishes: its WebSocket closes, the next poll finds nobody, and the
    // next registry by priority takes over; what was listed stays.
    first.process->terminate();
    QTRY_COMPARE_WITH_TIMEOUT(registry->currentRegistry().port(), second.registryPort, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(lists(tx, "Second Video"), 20000);
    QVERIFY(lists(tx, "First Video"));
    // A development priority is never used unless asked for.
    QVERIFY(!lists(tx, "Dev Video"));
}

void tst_RegistryEndToEnd::patchesGroupFoundThroughRegistry()
{
    QFile config(m_dir.filePath("config.json"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(R"({"state": ")" + m_dir.filePath("state.json").toUtf8() + R"(", "nodes": [
        {"label": "camera", "bind": ["10.77.0.2"], "devices": [{"groups": [
            {"name": "Cam", "video_senders": 1, "audio_senders": 2, "data_senders": 1}]}]},
        {"label": "monitor", "bind": ["10.77.0.2"], "devices": [{"groups": [
            {"name": "Mon", "video_receivers": 1, "audio_receivers": 2, "data_receivers": 1}]}]}]})");
    config.close();
    Sim sim;
    QVERIFY(startSim({"--config", config.fileName(), "--registry", "0", "--registry-only", "--announce"}, &sim));

    MainWindow window;
    const QString camera = QStringLiteral("10.77.0.2:%1").arg(sim.ports.value("camera"));
    const QString monitor = QStringLiteral("10.77.0.2:%1").arg(sim.ports.value("monitor"));
    QTRY_VERIFY_WITH_TIMEOUT(select(combo(&window, 0), camera, "Cam Video"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(select(combo(&window, 1), monitor, "Mon Video"), 20000);
    // A failure would show a modal box: close it and fail below rather than wait for ever.
    QStringList boxes;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&boxes] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            boxes << box->windowTitle();
            box->close();
        }
    });
    closer.start(100);
    for (QPushButton *button : window.findChildren<QPushButton *>()) {
        if (button->text() == "Connect (Tx->Rx)")
            button->click();
    }
    QCOMPARE(boxes, QStringList());

    // Every monitor receiver is patched to the camera sender of its role.
    QFile stateFile(m_dir.filePath("state.json"));
    QVERIFY(stateFile.open(QIODevice::ReadOnly));
    const QJsonArray nodes = QJsonDocument::fromJson(stateFile.readAll()).object().value("nodes").toArray();
    QHash<QString, QString> senderOfRole;
    for (const QJsonValue &sender : nodes.at(0).toObject().value("senders").toArray())
        senderOfRole.insert(sender.toObject().value("label").toString().mid(4), sender.toObject().value("id").toString());
    const QJsonArray receivers = nodes.at(1).toObject().value("receivers").toArray();
    QCOMPARE(receivers.size(), 4);
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        const QString role = receiver.value("label").toString().mid(4);
        QVERIFY2(!senderOfRole.value(role).isEmpty(), qPrintable(role));
        QCOMPARE(receiver.value("sender_id").toString(), senderOfRole.value(role));
        QCOMPARE(receiver.value("master_enable").toBool(), true);
    }
}

QTEST_MAIN(tst_RegistryEndToEnd)
#include "tst_registryendtoend.moc"
