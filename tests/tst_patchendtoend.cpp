#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "app/sdpdialog.h"
#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"

#include <QComboBox>
#include <QLayout>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QtTest>

#include <memory>
#include <vector>

// The whole road inside the private namespace: two simulated nodes announce themselves,
// the window discovers them, and its buttons patch, show and take down a group.
class tst_PatchEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void patchesShowsAndTakesDownGroup_data();
    void patchesShowsAndTakesDownGroup();
    void refusesUntrustedNode();
    void refusesBadAuthorityFile_data();
    void refusesBadAuthorityFile();

private:
    // A test authority that the window trusts and one that it does not, each with a node
    // certificate for both test addresses, made afresh in the temporary directory.
    bool makeCertificates();
    // Starts a node that announces itself and keeps <label>.json up to date with its state.
    bool startNode(const QString &label, const QString &options, const QString &bindAddress);
    // The state of the node, as its state file has it.
    QJsonObject nodeState(const QString &label) const;

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_nodes;
    QHash<QString, QString> m_addresses; // label -> host:port
    QHash<QString, QString> m_schemes;   // label -> http or https
};

namespace {

// Closes each box or dialog from its own modal loop and keeps its kind, title and text.
class DialogCatcher : public QObject
{
public:
    DialogCatcher() { qApp->installEventFilter(this); }
    ~DialogCatcher() override { qApp->removeEventFilter(this); }
    QList<QStringList> shown;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (event->type() != QEvent::Show || !dialog || !dialog->isWindow())
            return false;
        if (auto *box = qobject_cast<QMessageBox *>(dialog))
            shown << QStringList{"box", box->windowTitle(), box->text()};
        else if (auto *sdp = qobject_cast<SdpDialog *>(dialog))
            shown << QStringList{"sdp", sdp->windowTitle(), sdp->text()};
        QTimer::singleShot(0, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        return false;
    }
};

QWidget *row(MainWindow *window, int index)
{
    return window->centralWidget()->layout()->itemAt(index)->widget();
}

// Selects the discovered entry for that address and label; false while there is none.
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

QJsonObject byLabel(const QJsonArray &resources, const QString &label)
{
    for (const QJsonValue &value : resources) {
        if (value.toObject().value("label").toString() == label)
            return value.toObject();
    }
    return QJsonObject();
}

} // namespace

bool tst_PatchEndToEnd::startNode(const QString &label, const QString &options, const QString &bindAddress)
{
    m_nodes.push_back(std::make_unique<QProcess>());
    QProcess *process = m_nodes.back().get();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(FERROLINK_BINARY_DIR "/tools/nmos-simnode",
                   options.split(' ') + QStringList{"--label", label, "--bind", bindAddress, "--port", "0", "--announce",
                                                    "--state", m_dir.filePath(label + ".json")});
    // One JSON line per node with its port, then "ready".
    QByteArray out;
    while (!out.contains("ready\n")) {
        if (!process->waitForReadyRead(10000))
            return false;
        out += process->readAllStandardOutput();
    }
    const int port = QJsonDocument::fromJson(out.left(out.indexOf('\n'))).object().value("port").toInt();
    m_addresses.insert(label, QStringLiteral("%1:%2").arg(bindAddress).arg(port));
    m_schemes.insert(label, options.contains("--tls-cert") ? "https" : "http");
    return port > 0;
}

QJsonObject tst_PatchEndToEnd::nodeState(const QString &label) const
{
    QFile state(m_dir.filePath(label + ".json"));
    state.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(state.readAll()).object().value("nodes").toArray().at(0).toObject();
}

bool tst_PatchEndToEnd::makeCertificates()
{
    QFile extensions(m_dir.filePath("node.ext"));
    if (!extensions.open(QIODevice::WriteOnly)
        || extensions.write("subjectAltName=IP:10.77.0.1,IP:10.77.0.2\nextendedKeyUsage=serverAuth\n") < 0)
        return false;
    extensions.close();
    const QStringList newKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    const QList<QStringList> steps{
        QStringList{"req", "-x509"} + newKey + QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Test authority"},
        QStringList{"req", "-x509"} + newKey + QStringList{"-keyout", "rogue-ca.key", "-out", "rogue-ca.pem", "-days", "2", "-subj", "/CN=Rogue authority"},
        QStringList{"req"} + newKey + QStringList{"-keyout", "node.key", "-out", "node.csr", "-subj", "/CN=Test node"},
        {"x509", "-req", "-in", "node.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
         "-extfile", "node.ext", "-out", "node.pem"},
        {"x509", "-req", "-in", "node.csr", "-CA", "rogue-ca.pem", "-CAkey", "rogue-ca.key", "-CAcreateserial", "-days", "2",
         "-extfile", "node.ext", "-out", "rogue-node.pem"},
    };
    for (const QStringList &step : steps) {
        QProcess openssl;
        openssl.setWorkingDirectory(m_dir.path());
        openssl.setProcessChannelMode(QProcess::ForwardedChannels);
        openssl.start("openssl", step);
        if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
            return false;
    }
    return true;
}

void tst_PatchEndToEnd::initTestCase()
{
    // The nodes announce themselves and the window browses, both by multicast.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    const QString camera = QStringLiteral("--group-name Cam --video-senders 1 --audio-senders 2 --data-senders 1");
    QVERIFY(startNode("camera", camera, "10.77.0.1"));
    // Publishes each transport file only once its sender was activated.
    QVERIFY(startNode("shy-camera", camera + " --fault-manifest-404", "10.77.0.1"));
    const QString monitor = QStringLiteral("--group-name Mon --video-receivers 1 --audio-receivers 2 --data-receivers 1");
    QVERIFY(startNode("monitor", monitor, "10.77.0.2"));
    QVERIFY(makeCertificates());
    QString error;
    QVERIFY2(NmosClient::addTrustedAuthorities(m_dir.filePath("ca.pem"), &error), qPrintable(error));
    const QString tls = " --tls-cert " + m_dir.filePath("node.pem") + " --tls-key " + m_dir.filePath("node.key");
    QVERIFY(startNode("secure-camera", camera + tls, "10.77.0.1"));
    QVERIFY(startNode("secure-monitor", monitor + tls, "10.77.0.2"));
    QVERIFY(startNode("rogue-camera", camera + " --tls-cert " + m_dir.filePath("rogue-node.pem") + " --tls-key "
                                          + m_dir.filePath("node.key"), "10.77.0.1"));
    // Monitors that accept every patch and then do not run it as asked.
    QVERIFY(startNode("idle-monitor", monitor + " --fault-ignore-activation", "10.77.0.2"));
    QVERIFY(startNode("wayward-monitor", monitor + " --fault-activate-other-sender", "10.77.0.2"));
    QVERIFY(startNode("mute-monitor", monitor + " --fault-active-500", "10.77.0.2"));
}

void tst_PatchEndToEnd::cleanupTestCase()
{
    // Stopped, not killed, so that they say goodbye; one that hangs is killed with its QProcess.
    for (const auto &process : m_nodes) {
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
    QTest::newRow("publishing camera") << "camera" << 0 << "monitor" << QString();
    QTest::newRow("camera publishing when active") << "shy-camera" << 1 << "monitor" << QString();
    // Listed, checked, patched and read over https, with certificates from the trusted authority.
    QTest::newRow("nodes speaking https") << "secure-camera" << 0 << "secure-monitor" << QString();
    const QString notActive = QStringLiteral("Patch failed on video:\nNot active: the receiver reports sender %1 with master_enable %2");
    QTest::newRow("monitor not activating") << "camera" << 0 << "idle-monitor" << notActive.arg("none", "false");
    QTest::newRow("monitor taking another sender") << "camera" << 0 << "wayward-monitor" << notActive.arg("[-0-9a-f]{36}", "true");
    QTest::newRow("monitor hiding its active parameters")
        << "camera" << 0 << "mute-monitor" << QStringLiteral("Patch failed on video:\n.*/active.*Internal Server Error");
}

void tst_PatchEndToEnd::patchesShowsAndTakesDownGroup()
{
    QFETCH(QString, camera);
    QFETCH(int, activations);
    QFETCH(QString, monitor);
    QFETCH(QString, failure);
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(select(row(&window, 0)->findChild<QComboBox *>(), m_addresses.value(camera), "Cam Video"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(select(row(&window, 1)->findChild<QComboBox *>(), m_addresses.value(monitor), "Mon Video"), 20000);
    // The choices ran the rows' checks, which found both nodes.
    QVERIFY(row(&window, 0)->findChild<LightIndicator *>()->isOn());
    QVERIFY(row(&window, 1)->findChild<LightIndicator *>()->isOn());

    DialogCatcher catcher;
    auto click = [&window](const QString &text) {
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->text() == text)
                button->click();
        }
    };
    click("Connect (Tx->Rx)");
    if (!failure.isEmpty()) {
        // The node accepted the video patch; its receiver says otherwise, and the run ends there.
        QCOMPARE(catcher.shown.size(), 1);
        const QRegularExpression pattern("\\A(?:" + failure + ")\\z", QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(pattern.match(catcher.shown[0].value(2)).hasMatch(), qPrintable(catcher.shown[0].value(2)));
        QCOMPARE(byLabel(nodeState(monitor).value("receivers").toArray(), "Mon Audio 1").value("sender_id").toString(),
                 QString());
        return;
    }
    QCOMPARE(catcher.shown.size(), 0);

    // Each monitor receiver is patched to the camera sender of its role, with the transport
    // file the camera publishes now.
    const QJsonArray cameraSenders = nodeState(camera).value("senders").toArray();
    const QStringList roles{"Video", "Audio 1", "Audio 2", "Anc"};
    QNetworkAccessManager manager;
    QString staged;
    for (const QString &role : roles) {
        const QJsonObject sender = byLabel(cameraSenders, "Cam " + role);
        QVERIFY2(!sender.isEmpty(), qPrintable(role));
        QCOMPARE(sender.value("activations").toInt(), activations);
        const QString sdp = QString::fromUtf8(NmosClient::syncGet(
            &manager, QStringLiteral("%1://%2/x-nmos/connection/v1.1/single/senders/%3/transportfile")
                          .arg(m_schemes.value(camera), m_addresses.value(camera), sender.value("id").toString())));
        QVERIFY2(sdp.startsWith("v=0"), qPrintable(sdp));
        const QJsonObject receiver = byLabel(nodeState(monitor).value("receivers").toArray(), "Mon " + role);
        QCOMPARE(receiver.value("sender_id").toString(), sender.value("id").toString());
        QCOMPARE(receiver.value("master_enable").toBool(), true);
        QCOMPARE(receiver.value("transport_file").toObject().value("data").toString(), sdp);
        staged += sdp + "\n\n\n";
    }

    // The receiver row shows what the monitor's group is staged to, video first.
    QPushButton *rxSdpButton = row(&window, 1)->findChild<QPushButton *>();
    rxSdpButton->click();
    QCOMPARE(catcher.shown.value(0),
             (QStringList{"sdp", QString::fromUtf8("SDP \u2022 Sender Mon Video (from receiver node)"), staged}));

    click("Disconnect Rx");
    QCOMPARE(catcher.shown.size(), 1);
    for (const QString &role : roles) {
        const QJsonObject receiver = byLabel(nodeState(monitor).value("receivers").toArray(), "Mon " + role);
        QCOMPARE(receiver.value("master_enable").toBool(true), false);
        QVERIFY(receiver.value("transport_file").toObject().value("data").isNull());
    }

    // With nothing staged any more the viewer says so instead of showing a dialog.
    rxSdpButton->click();
    QCOMPARE(catcher.shown.size(), 2);
    QCOMPARE(catcher.shown.last().value(0) + ": " + catcher.shown.last().value(2),
             QStringLiteral("box: Nothing is connected/Failed to fetch SDP."));
}

void tst_PatchEndToEnd::refusesUntrustedNode()
{
    const QString address = m_addresses.value("rogue-camera");
    MessageLog log;
    MainWindow window;
    auto *combo = row(&window, 0)->findChild<QComboBox *>();
    const QRegularExpression refused("^GET https://" + QRegularExpression::escape(address)
                                     + "/x-nmos/node/v1\\.3/self failed: TLS: .+ for 10\\.77\\.0\\.1$");
    QTRY_VERIFY_WITH_TIMEOUT(!log.warnings().filter(refused).isEmpty(), 20000);
    // Found by mDNS, never listed: the same host's trusted camera is, meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(select(combo, m_addresses.value("secure-camera"), "Cam Video"), 20000);
    for (int i = 0; i < combo->count(); ++i)
        QVERIFY2(!combo->itemText(i).contains("(" + address + "-"), qPrintable(combo->itemText(i)));

    // Asked with its own authority trusted, the node reports this as the only request it served.
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl("https://" + address + "/x-simnode/state"));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(m_dir.filePath("rogue-ca.pem")));
    request.setSslConfiguration(tls);
    QNetworkReply *reply = manager.get(request);
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(QJsonDocument::fromJson(reply->readAll()).object().value("requests").toInt(), 1);
    delete reply;
}

void tst_PatchEndToEnd::refusesBadAuthorityFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("message"); // a pattern
    QTest::newRow("missing") << "missing.pem" << "cannot read .*missing\\.pem: .+";
    QTest::newRow("a key, no certificate") << "node.key" << ".*node\\.key holds no PEM certificate";
}

void tst_PatchEndToEnd::refusesBadAuthorityFile()
{
    QFETCH(QString, file);
    QFETCH(QString, message);
    QProcess app;
    app.start(FERROLINK_BINARY_DIR "/app/ferrolink", {"--ca-file", m_dir.filePath(file)});
    QVERIFY(app.waitForFinished(30000));
    QCOMPARE(app.exitCode(), 2);
    // Qt may say something of its own first; the program's line is the last.
    const QString error = QString::fromLocal8Bit(app.readAllStandardError()).trimmed().section('\n', -1);
    QVERIFY2(QRegularExpression("\\Aferrolink: --ca-file: " + message + "\\z").match(error).hasMatch(), qPrintable(error));
}

QTEST_MAIN(tst_PatchEndToEnd)
#include "tst_patchendtoend.moc"
