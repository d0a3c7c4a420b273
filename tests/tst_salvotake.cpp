#include "nmos/nmosclient.h"
#include "workflow/salvotake.h"

#include "tests/support/simnodeoutput.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>
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
    // Last: a take that failed to refuse would leave its activation scheduled.
    void refusesTimeFarAhead();

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
    // activation as done and never makes it, one answers its bulk requests with no result,
    // one takes raw video only, one answers everything late.
    const QJsonObject camera{{"name", "Cam"}, {"video_senders", 1}, {"audio_senders", 2}, {"data_senders", 1}};
    QJsonObject xs = camera;
    QJsonObject dual = camera;
    dual.insert("name", "Dual");
    dual.insert("legs", 2);
    xs.insert("name", "XS");
    xs.insert("video_format", QJsonObject{{"media_type", "video/jxsv"}, {"profile", "High444.12"}, {"level", "2k-1"},
                                          {"sublevel", "Sublev3bpp"}, {"bit_rate", 200000}});
    QJsonArray nodes{QJsonObject{{"label", "camera"}, {"bind", QJsonArray{"127.0.0.1"}},
                                 {"devices", QJsonArray{QJsonObject{{"groups", QJsonArray{camera, xs, dual}}}}}}};
    const QHash<QString, QJsonObject> faults{{"single", {{"no_bulk", true}}}, {"deaf", {{"ignore_activation", true}}},
                                             {"forgetful", {{"bulk_answer_empty", true}}}, {"raw", {{"refuse_unfit_sdp", true}}},
                                             {"slow", {{"delay_ms", 800}}}};
    for (const QString monitor : {"bulky", "single", "deaf", "forgetful", "raw", "slow"}) {
        QJsonObject group{{"name", monitor}, {"video_receivers", 1}, {"audio_receivers", 2}, {"data_receivers", 1}};
        if (monitor == "raw")
            group.insert("video_caps", QJsonObject{{"media_types", QJsonArray{"video/raw"}}});
        // Every request it answers costs a take there 0.8 s.
        if (monitor == "slow")
            group = QJsonObject{{"name", monitor}, {"video_receivers", 1}};
        nodes.append(QJsonObject{{"label", monitor}, {"bind", QJsonArray{"127.0.0.1"}}, {"faults", faults.value(monitor)},
                                 {"devices", QJsonArray{QJsonObject{{"groups", QJsonArray{group}}}}}});
    }
    QTemporaryFile config;
    QVERIFY(config.open());
    config.write(QJsonDocument(QJsonObject{{"nodes", nodes}}).toJson());
    config.close();
    m_sim.setStandardErrorFile(QProcess::nullDevice());
    m_sim.start(FERROLINK_BINARY_DIR "/tools/nmos-simnode", {"--config", config.fileName()});
    const QList<QJsonObject> printed = simnodeReady(&m_sim);
    QVERIFY(!printed.isEmpty());
    for (const QJsonObject &node : printed) {
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
    QTest::addColumn<QStringList>("monitors"); // a monitor named twice is one receiver listed twice
    QTest::addColumn<QString>("camera");        // the sending group
    QTest::addColumn<bool>("off");              // the monitors' groups are taken down
    QTest::addColumn<int>("cancelAfterMs");     // the lead time of a take cancelled at once, or dropped when negative; 0: neither
    // Monitors whose receivers the take names as failed, and run nothing, each maybe with
    // "=the start of the reason"; one that failed with "Switched…" runs the sender all the same.
    QTest::addColumn<QStringList>("unswitched");
    QTest::addColumn<QStringList>("late");       // monitors switched before their cancel reached them
    QTest::newRow("connects on two devices at one time, in bulk where offered")
        << QStringList{"bulky", "single"} << "Cam" << false << 0 << QStringList() << QStringList();
    QTest::newRow("takes down on two devices at one time") << QStringList{"bulky", "single"} << "Cam" << true << 0 << QStringList() << QStringList();
    QTest::newRow("a receiver that does not switch is named")
        << QStringList{"bulky", "deaf"} << "Cam" << false << 0 << QStringList{"deaf=Not switched 2 s after the time"} << QStringList();
    // The slow monitor answers its staging after the lead time of 400 ms.
    QTest::newRow("staging past the time is not taken for a synchronized take")
        << QStringList{"slow", "single"} << "Cam" << false << 0
        << QStringList{"slow=Switched, but perhaps not at the time", "single=Not staged: the time had passed"} << QStringList();
    QTest::newRow("a cancelled take leaves nothing scheduled") << QStringList{"bulky", "single"} << "Cam" << false << 5000 << QStringList() << QStringList();
    QTest::newRow("a cancel that comes after the time names the receivers that switched")
        << QStringList{"slow", "bulky"} << "XS" << true << 1200 << QStringList() << QStringList{"slow"};
    QTest::newRow("a take dropped before its time leaves nothing scheduled")
        << QStringList{"bulky", "single"} << "Cam" << false << -5000 << QStringList() << QStringList();
    QTest::newRow("a take of two legs to one is checked on the first, and says so")
        << QStringList{"bulky"} << "Dual" << false << 0 << QStringList() << QStringList();
    QTest::newRow("a receiver listed twice is changed once")
        << QStringList{"bulky", "bulky"} << "Cam" << false << 0 << QStringList() << QStringList();
    QTest::newRow("a staging the device does not answer for is read back")
        << QStringList{"forgetful"} << "Cam" << false << 0 << QStringList() << QStringList();
    QTest::newRow("no member switches without its refused video")
        << QStringList{"raw"} << "XS" << false << 0 << QStringList{"raw"} << QStringList();
}

void tst_SalvoTake::takesTogether()
{
    QFETCH(QStringList, monitors);
    QFETCH(QString, camera);
    QFETCH(bool, off);
    QFETCH(int, cancelAfterMs);
    QFETCH(QStringList, unswitched);
    QFETCH(QStringList, late);

    NmosClient client;
    QScopedPointer<SalvoTake> take(new SalvoTake(&client));
    take->setLeadTimeMs(cancelAfterMs != 0 ? qAbs(cancelAfterMs) : monitors.contains("slow") ? 400 : 1000);
    QList<SalvoTake::Pair> pairs;
    QHash<QString, int> bulkBefore;
    for (const QString &monitor : monitors) {
        pairs << SalvoTake::Pair{{idOf("camera", "senders", camera + " Video"), camera + " Video", QString(), endpoint("camera"), QString()},
                                 {idOf(monitor, "receivers", monitor + " Video"), monitor + " Video", endpoint(monitor), QString()},
                                 off};
        bulkBefore.insert(monitor, state(monitor)["bulk_requests"].toInt());
    }
    QSignalSpy results(take.data(), &SalvoTake::receiverFinished);
    QSignalSpy finished(take.data(), &SalvoTake::finished);
    QSignalSpy cancelled(take.data(), &SalvoTake::cancelled);
    QStringList notes;
    connect(take.data(), &SalvoTake::pairFinished, this, [&notes](int, const PatchWorkflow::RunOutcome &outcome) { notes << outcome.notes; });
    QString error;
    QVERIFY2(take->takeAt(pairs, QDateTime(), &error), qPrintable(error));
    const QString requestedTime = take->requestedTime();
    const QDateTime time = take->time();
    QStringList switchedFirst;
    if (cancelAfterMs < 0)
        take.reset();
    if (cancelAfterMs > 0) {
        QVERIFY(take->cancel());
        QVERIFY(cancelled.count() > 0 || cancelled.wait(15000));
        switchedFirst = cancelled.first().value(1).toStringList();
        QCOMPARE(cancelled.first().first().toStringList().size(), switchedFirst.size());
    }
    if (cancelAfterMs != 0) {
        QTest::qWait(qMax<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(time)) + 500);
    } else {
        QVERIFY(finished.wait(15000));
    }

    QHash<QString, SalvoTake::ReceiverResult> resultById;
    for (const QList<QVariant> &result : results)
        resultById.insert(result.first().value<SalvoTake::ReceiverResult>().receiverId, result.first().value<SalvoTake::ReceiverResult>());
    QCOMPARE(results.size(), resultById.size());
    for (const QString &monitor : monitors) {
        const QJsonObject monitorState = state(monitor);
        QCOMPARE(monitorState["bulk_requests"].toInt() - bulkBefore.value(monitor), monitor == "single" ? 0 : 1);
        for (const QJsonValue &receiver : monitorState["receivers"].toArray()) {
            const QString label = receiver["label"].toString();
            QCOMPARE(receiver["staged_activation"]["mode"], QJsonValue());
            if (cancelAfterMs != 0) {
                QCOMPARE(switchedFirst.contains(receiver["id"].toString()), late.contains(monitor));
                if (!late.contains(monitor)) {
                    QCOMPARE(active(monitor, receiver["id"].toString())["activation"].toObject()["requested_time"].toString() == requestedTime, false);
                    continue;
                }
            }
            const SalvoTake::ReceiverResult result = resultById.value(receiver["id"].toString());
            const QString failure = unswitched.filter(QRegularExpression("^" + monitor + "(=|$)")).value(0);
            if (!failure.isEmpty()) {
                const QString reason = failure.section('=', 1);
                QVERIFY2(!result.done && !result.reason.isEmpty() && result.reason.startsWith(reason), qPrintable(label + ": " + result.reason));
                QCOMPARE(receiver["master_enable"].toBool(), reason.startsWith("Switched"));
                continue;
            }
            QVERIFY2(result.done || cancelAfterMs > 0, qPrintable(label + ": " + result.reason));
            QCOMPARE(notes.filter('"' + label + '"').size(), int(camera == "Dual"));
            // Every receiver switched by the one activation the take asked for.
            QCOMPARE(active(monitor, receiver["id"].toString())["activation"].toObject()["requested_time"].toString(), requestedTime);
            QCOMPARE(receiver["master_enable"].toBool(), !off);
            const QString sender = off ? QString() : idOf("camera", "senders", camera + ' ' + label.section(' ', 1));
            QCOMPARE(receiver["sender_id"].toString(), sender);
        }
    }
}

void tst_SalvoTake::refusesTimeFarAhead()
{
    NmosClient client;
    SalvoTake take(&client);
    QString error;
    const SalvoTake::Pair pair{{}, {idOf("bulky", "receivers", "bulky Video"), "bulky Video", endpoint("bulky"), QString()}, true};
    QVERIFY(!take.takeAt({pair}, QDateTime::currentDateTimeUtc().addDays(25), &error));
    QVERIFY2(error.endsWith("is more than 24 h ahead"), qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_SalvoTake)
#include "tst_salvotake.moc"
