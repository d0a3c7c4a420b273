#include "nmos/nmosclient.h"
#include "workflow/salvotake.h"

#include <QNetworkAccessManager>
#include <QtTest>

// Salvos taken at a time on simulated nodes: what each monitor's receivers run afterwards,
// and when, read from the nodes themselves.
class tst_SalvoTake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void takesTogether_data();
    void takesTogether();

private:
    QJsonObject state(const QString &node);
    QJsonObject active(const QString &node, const QString &receiverId);
    NmosClient::NodeEndpoint endpoint(const QString &node) const { return {m_addresses.value(node), "http"}; }
    // The id of the resource labelled so on that node.
    QString idOf(const QString &node, const char *kind, const QString &label);

    QProcess m_sim;
    QHash<QString, QString> m_addresses;
    QNetworkAccessManager m_manager;
};

void tst_SalvoTake::initTestCase()
{
    // Each monitor is a device of its own; one offers no bulk endpoint, one answers every
    // activation as done and never makes it, one answers each request only after the lead
    // time, so that the time passes while it is staged.
    const QJsonObject camera{{"name", "Cam"}, {"video_senders", 1}, {"audio_senders", 2}, {"data_senders", 1}};
    QJsonArray nodes{QJsonObject{{"label", "camera"}, {"bind", QJsonArray{"127.0.0.1"}},
                                 {"devices", QJsonArray{QJsonObject{{"groups", QJsonArray{camera}}}}}}};
    const QHash<QString, QJsonObject> faults{
        {"single", {{"no_bulk", true}}}, {"deaf", {{"ignore_activation", true}}}, {"slow", {{"delay_ms", 500}}}};
    for (const QString monitor : {"bulky", "single", "deaf", "slow"}) {
        // The slow monitor's requests are few: its group holds a video receiver alone.
        const bool slow = monitor == "slow";
        const QJsonObject group{{"name", monitor}, {"video_receivers", 1}, {"audio_receivers", slow ? 0 : 2}, {"data_receivers", slow ? 0 : 1}};
        nodes.append(QJsonObject{{"label", monitor}, {"bind", QJsonArray{"127.0.0.1"}}, {"faults", faults.value(monitor)},
                                 {"devices", QJsonArray{QJsonObject{{"groups", QJsonArray{group}}}}}});
    }
    QTemporaryFile config;
    QVERIFY(config.open());
    config.write(QJsonDocument(QJsonObject{{"nodes", nodes}}).toJson());
    config.close();
    m_sim.setStandardErrorFile(QProcess::nullDevice());
    m_sim.start(FERROLINK_BINARY_DIR "/tools/nmos-simnode", {"--config", config.fileName()});
    QByteArray out;
    while (!out.contains("ready\n")) {
        QVERIFY(m_sim.waitForReadyRead(15000));
        out += m_sim.readAllStandardOutput();
    }
    for (const QByteArray &line : out.split('\n')) {
        const QJsonObject node = QJsonDocument::fromJson(line).object();
        if (node.contains("port"))
            m_addresses.insert(node["label"].toString(), "127.0.0.1:" + QString::number(node["port"].toInt()));
    }
    QCOMPARE(m_addresses.size(), nodes.size());
}

void tst_SalvoTake::cleanupTestCase()
{
    m_sim.terminate();
    m_sim.waitForFinished(5000);
}

QJsonObject tst_SalvoTake::state(const QString &node)
{
    return QJsonDocument::fromJson(NmosClient::syncGet(&m_manager, "http://" + m_addresses.value(node) + "/x-simnode/state")).object();
}

QJsonObject tst_SalvoTake::active(const QString &node, const QString &receiverId)
{
    const QUrl url = NmosClient::connectionApiUrl(endpoint(node), "receivers", receiverId, "/active");
    return QJsonDocument::fromJson(NmosClient::syncGet(&m_manager, url.toString())).object();
}

QString tst_SalvoTake::idOf(const QString &node, const char *kind, const QString &label)
{
    for (const QJsonValue &resource : state(node)[kind].toArray()) {
        if (resource["label"].toString() == label)
            return resource["id"].toString();
    }
    return QString();
}

void tst_SalvoTake::takesTogether_data()
{
    QTest::addColumn<QStringList>("monitors");
    QTest::addColumn<bool>("off");           // the monitors' groups are taken down
    QTest::addColumn<bool>("cancel");        // before the time
    QTest::addColumn<QStringList>("failed"); // "monitor=the start of the reason its receivers fail with"
    QTest::newRow("connects on two devices at one time, in bulk where offered")
        << QStringList{"bulky", "single"} << false << false << QStringList();
    QTest::newRow("takes down on two devices at one time") << QStringList{"bulky", "single"} << true << false << QStringList();
    QTest::newRow("a receiver that does not switch is named")
        << QStringList{"bulky", "deaf"} << false << false << QStringList{"deaf=Not switched 2 s after the time"};
    QTest::newRow("staging past the time is not taken for a synchronized take")
        << QStringList{"slow", "single"} << false << false
        << QStringList{"slow=Switched, but perhaps not at the time", "single=Not staged: the time had passed"};
    QTest::newRow("a cancelled take leaves nothing scheduled") << QStringList{"bulky", "single"} << false << true << QStringList();
}

void tst_SalvoTake::takesTogether()
{
    QFETCH(QStringList, monitors);
    QFETCH(bool, off);
    QFETCH(bool, cancel);
    QFETCH(QStringList, failed);

    NmosClient client;
    SalvoTake take(&client);
    // The slow monitor answers 500 ms after each request.
    take.setLeadTimeMs(cancel ? 5000 : monitors.contains("slow") ? 400 : 1000);
    QList<SalvoTake::Pair> pairs;
    QHash<QString, int> bulkBefore;
    for (const QString &monitor : monitors) {
        pairs << SalvoTake::Pair{{idOf("camera", "senders", "Cam Video"), "Cam Video", QString(), endpoint("camera"), QString()},
                                 {idOf(monitor, "receivers", monitor + " Video"), monitor + " Video", endpoint(monitor), QString()},
                                 off};
        bulkBefore.insert(monitor, state(monitor)["bulk_requests"].toInt());
    }
    QSignalSpy results(&take, &SalvoTake::receiverFinished);
    QSignalSpy finished(&take, &SalvoTake::finished);
    QSignalSpy cancelled(&take, &SalvoTake::cancelled);
    QString error;
    QVERIFY2(take.takeAt(pairs, QDateTime(), &error), qPrintable(error));
    if (cancel) {
        QVERIFY(take.cancel());
        QCOMPARE(cancelled.count(), 1);
        QCOMPARE(cancelled.first().first().toStringList(), QStringList());
    } else {
        QVERIFY(finished.wait(15000));
    }

    QHash<QString, SalvoTake::ReceiverResult> resultById;
    for (const QList<QVariant> &result : results)
        resultById.insert(result.first().value<SalvoTake::ReceiverResult>().receiverId, result.first().value<SalvoTake::ReceiverResult>());
    for (const QString &monitor : monitors) {
        const QJsonObject monitorState = state(monitor);
        QCOMPARE(monitorState["bulk_requests"].toInt() - bulkBefore.value(monitor), monitor == "single" ? 0 : 1);
        for (const QJsonValue &receiver : monitorState["receivers"].toArray()) {
            const QString label = receiver["label"].toString();
            if (cancel) {
                QCOMPARE(receiver["staged_activation"]["mode"], QJsonValue());
                continue;
            }
            const SalvoTake::ReceiverResult result = resultById.value(receiver["id"].toString());
            const QString reason = failed.filter(QRegularExpression("^" + monitor + "=")).value(0).section('=', 1);
            if (!reason.isEmpty()) {
                QVERIFY2(!result.done && result.reason.startsWith(reason), qPrintable(label + ": " + result.reason));
                continue;
            }
            QVERIFY2(result.done, qPrintable(label + ": " + result.reason));
            // Every receiver switched by the one activation the take asked for.
            QCOMPARE(active(monitor, receiver["id"].toString())["activation"].toObject()["requested_time"].toString(), take.requestedTime());
            QCOMPARE(receiver["master_enable"].toBool(), !off);
            const QString sender = off ? QString() : idOf("camera", "senders", "Cam " + label.section(' ', 1));
            QCOMPARE(receiver["sender_id"].toString(), sender);
        }
    }
}

QTEST_GUILESS_MAIN(tst_SalvoTake)
#include "tst_salvotake.moc"
