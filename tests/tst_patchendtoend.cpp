#include "app/mainwindow.h"
#include "app/sdpdialog.h"
#include "nmos/nmosclient.h"
#include "tests/support/netns.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLayout>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

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

private:
    // Starts a node that announces itself and keeps <label>.json up to date with its state.
    bool startNode(const QString &label, const QString &options, const QString &bindAddress,
                   std::unique_ptr<QProcess> *process, int *port);
    QJsonObject nodeState(const QString &file) const;

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_camera;
    std::unique_ptr<QProcess> m_monitor;
    std::unique_ptr<QProcess> m_shyCamera;
    int m_cameraPort = 0;
    int m_shyCameraPort = 0;
    int m_monitorPort = 0;
};

namespace {

struct Shown
{
    QString kind;
    QString title;
    QString text;
};

// Closes each box or dialog from its own modal loop and keeps what it showed.
class DialogCatcher : public QObject
{
public:
    DialogCatcher() { qApp->installEventFilter(this); }
    ~DialogCatcher() override { qApp->removeEventFilter(this); }
    QList<Shown> shown;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (event->type() != QEvent::Show || !dialog || !dialog->isWindow())
            return false;
        if (auto *box = qobject_cast<QMessageBox *>(dialog))
            shown << Shown{QStringLiteral("box"), box->windowTitle(), box->text()};
        else if (auto *sdp = qobject_cast<SdpDialog *>(dialog))
            shown << Shown{QStringLiteral("sdp"), sdp->windowTitle(), sdp->text()};
        QTimer::singleShot(0, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        return false;
    }
};

QComboBox *rowCombo(MainWindow *window, int row)
{
    return window->centralWidget()->layout()->itemAt(row)->widget()->findChild<QComboBox *>();
}

QPushButton *buttonNamed(MainWindow *window, const QString &text)
{
    const auto buttons = window->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

// The index of the discovered entry for that address and label, or -1.
int entryIndex(QComboBox *combo, const QString &address, const QString &label)
{
    const QString tail = QStringLiteral(" (%1-%2)").arg(address, label);
    for (int i = 0; i < combo->count(); ++i) {
        if (combo->itemText(i).endsWith(tail))
            return i;
    }
    return -1;
}

QJsonObject byLabel(const QJsonArray &resources, const QString &label)
{
    for (const QJsonValue &value : resources) {
        if (value.toObject().value(QLatin1String("label")).toString() == label)
            return value.toObject();
    }
    return QJsonObject();
}

} // namespace

bool tst_PatchEndToEnd::startNode(const QString &label, const QString &options, const QString &bindAddress,
                                  std::unique_ptr<QProcess> *process, int *port)
{
    const QString program = QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode");
    if (!QFileInfo::exists(program)) {
        qWarning("nmos-simnode is not built");
        return false;
    }
    *process = std::make_unique<QProcess>();
    (*process)->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments = options.split(QLatin1Char(' '));
    arguments << QStringLiteral("--label") << label << QStringLiteral("--bind") << bindAddress
              << QStringLiteral("--port") << QStringLiteral("0") << QStringLiteral("--announce")
              << QStringLiteral("--state") << m_dir.filePath(label + QStringLiteral(".json"));
    (*process)->start(program, arguments);
    if (!(*process)->waitForStarted())
        return false;
    // One JSON line per node with its port, then "ready".
    QByteArray out;
    while (!out.contains("ready\n")) {
        if (!(*process)->waitForReadyRead(10000))
            return false;
        out += (*process)->readAllStandardOutput();
    }
    const QJsonObject node = QJsonDocument::fromJson(out.left(out.indexOf('\n'))).object();
    *port = node.value(QLatin1String("port")).toInt();
    return *port > 0;
}

QJsonObject tst_PatchEndToEnd::nodeState(const QString &file) const
{
    QFile state(m_dir.filePath(file));
    if (!state.open(QIODevice::ReadOnly))
        return QJsonObject();
    const QJsonObject document = QJsonDocument::fromJson(state.readAll()).object();
    return document.value(QLatin1String("nodes")).toArray().at(0).toObject();
}

void tst_PatchEndToEnd::initTestCase()
{
    // The nodes announce themselves and the window browses, both by multicast.
    SKIP_UNLESS_PRIVATE_NETNS();
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
    const QString camera = QStringLiteral("--group-name Cam --video-senders 1 --audio-senders 2 --data-senders 1");
    QVERIFY(startNode(QStringLiteral("camera"), camera, QStringLiteral("10.77.0.1"), &m_camera, &m_cameraPort));
    // Publishes each transport file only once its sender was activated.
    QVERIFY(startNode(QStringLiteral("shy-camera"), camera + QStringLiteral(" --fault-manifest-404"),
                      QStringLiteral("10.77.0.1"), &m_shyCamera, &m_shyCameraPort));
    const QString monitor = QStringLiteral("--group-name Mon --video-receivers 1 --audio-receivers 2 "
                                           "--data-receivers 1");
    QVERIFY(startNode(QStringLiteral("monitor"), monitor, QStringLiteral("10.77.0.2"), &m_monitor, &m_monitorPort));
}

void tst_PatchEndToEnd::cleanupTestCase()
{
    for (auto *process : {m_camera.get(), m_shyCamera.get(), m_monitor.get()}) {
        if (process && process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(5000);
        }
    }
}

void tst_PatchEndToEnd::patchesShowsAndTakesDownGroup_data()
{
    QTest::addColumn<QString>("camera");
    QTest::addColumn<int>("activations"); // per camera sender
    QTest::newRow("publishing camera") << QStringLiteral("camera") << 0;
    QTest::newRow("camera publishing when active") << QStringLiteral("shy-camera") << 1;
}

void tst_PatchEndToEnd::patchesShowsAndTakesDownGroup()
{
    QFETCH(QString, camera);
    QFETCH(int, activations);
    const int cameraPort = camera == QLatin1String("camera") ? m_cameraPort : m_shyCameraPort;
    MainWindow window;
    QComboBox *txCombo = rowCombo(&window, 0);
    QComboBox *rxCombo = rowCombo(&window, 1);
    const QString cameraAddress = QStringLiteral("10.77.0.1:%1").arg(cameraPort);
    const QString monitorAddress = QStringLiteral("10.77.0.2:%1").arg(m_monitorPort);
    QTRY_VERIFY_WITH_TIMEOUT(entryIndex(txCombo, cameraAddress, QStringLiteral("Cam Video")) >= 0, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(entryIndex(rxCombo, monitorAddress, QStringLiteral("Mon Video")) >= 0, 20000);
    txCombo->setCurrentIndex(entryIndex(txCombo, cameraAddress, QStringLiteral("Cam Video")));
    rxCombo->setCurrentIndex(entryIndex(rxCombo, monitorAddress, QStringLiteral("Mon Video")));

    DialogCatcher catcher;
    buttonNamed(&window, QStringLiteral("Connect (Tx->Rx)"))->click();
    QCOMPARE(catcher.shown.size(), 0);

    // The transport file of each camera sender, as the camera publishes it now.
    const QJsonArray cameraSenders =
        nodeState(camera + QStringLiteral(".json")).value(QLatin1String("senders")).toArray();
    QCOMPARE(cameraSenders.size(), 4);
    QNetworkAccessManager manager;
    QHash<QString, QString> sdpOf; // camera sender label -> SDP
    QHash<QString, QString> idOf;
    for (const QJsonValue &value : cameraSenders) {
        const QString id = value.toObject().value(QLatin1String("id")).toString();
        const QString label = value.toObject().value(QLatin1String("label")).toString();
        int status = 0;
        const QByteArray sdp = NmosClient::syncGet(
            &manager,
            QStringLiteral("http://%1/x-nmos/connection/v1.1/single/senders/%2/transportfile")
                .arg(cameraAddress, id),
            &status);
        QCOMPARE(status, 200);
        QVERIFY(sdp.startsWith("v=0"));
        sdpOf.insert(label, QString::fromUtf8(sdp));
        idOf.insert(label, id);
        QCOMPARE(value.toObject().value(QLatin1String("activations")).toInt(), activations);
    }
    const QList<QPair<QString, QString>> pairs{{QStringLiteral("Mon Video"), QStringLiteral("Cam Video")},
                                                {QStringLiteral("Mon Audio 1"), QStringLiteral("Cam Audio 1")},
                                                {QStringLiteral("Mon Audio 2"), QStringLiteral("Cam Audio 2")},
                                                {QStringLiteral("Mon Anc"), QStringLiteral("Cam Anc")}};
    for (const auto &pair : pairs)
        QVERIFY2(idOf.contains(pair.second), qPrintable(pair.second));

    QJsonArray receivers = nodeState(QStringLiteral("monitor.json")).value(QLatin1String("receivers")).toArray();
    for (const auto &pair : pairs) {
        const QJsonObject receiver = byLabel(receivers, pair.first);
        QVERIFY2(!receiver.isEmpty(), qPrintable(pair.first));
        QCOMPARE(receiver.value(QLatin1String("sender_id")).toString(), idOf.value(pair.second));
        QCOMPARE(receiver.value(QLatin1String("master_enable")).toBool(), true);
        const QJsonObject file = receiver.value(QLatin1String("transport_file")).toObject();
        QCOMPARE(file.value(QLatin1String("data")).toString(), sdpOf.value(pair.second));
    }

    // The receiver row shows what the monitor's group is staged to, video first.
    const auto rowButton = window.centralWidget()->layout()->itemAt(1)->widget()->findChild<QPushButton *>();
    rowButton->click();
    QCOMPARE(catcher.shown.size(), 1);
    QCOMPARE(catcher.shown.first().kind, QStringLiteral("sdp"));
    QCOMPARE(catcher.shown.first().title, QString::fromUtf8("SDP \u2022 Sender Mon Video (from receiver node)"));
    QString expected;
    for (const auto &pair : pairs)
        expected += sdpOf.value(pair.second) + QStringLiteral("\n\n\n");
    QCOMPARE(catcher.shown.first().text, expected);

    buttonNamed(&window, QStringLiteral("Disconnect Rx"))->click();
    QCOMPARE(catcher.shown.size(), 1);
    receivers = nodeState(QStringLiteral("monitor.json")).value(QLatin1String("receivers")).toArray();
    for (const auto &pair : pairs) {
        const QJsonObject receiver = byLabel(receivers, pair.first);
        QCOMPARE(receiver.value(QLatin1String("master_enable")).toBool(true), false);
        QVERIFY(receiver.value(QLatin1String("transport_file")).toObject().value(QLatin1String("data")).isNull());
    }

    // With nothing staged any more the viewer says so instead of showing a dialog.
    rowButton->click();
    QCOMPARE(catcher.shown.size(), 2);
    QCOMPARE(catcher.shown.last().kind, QStringLiteral("box"));
    QCOMPARE(catcher.shown.last().text, QStringLiteral("Nothing is connected/Failed to fetch SDP."));
}

QTEST_MAIN(tst_PatchEndToEnd)
#include "tst_patchendtoend.moc"
