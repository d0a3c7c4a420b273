// The simulated node that the end-to-end tests, the demo and the benchmarks talk to. They
// cover what it serves; here: its options, the fault switches they do not use, and the
// formats and receiver caps its demo config plays, read as the program reads them.

#include "nmos/nmosclient.h"
#include "nmos/receivercapabilities.h"
#include "nmos/streamformat.h"

#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QtTest>

class tst_SimNode : public QObject
{
    Q_OBJECT

private slots:
    void refusesAsItsFaultsSay_data();
    void refusesAsItsFaultsSay();
    void refusesBadSetup_data();
    void refusesBadSetup();
    void servesFormatsAndCaps_data();
    void servesFormatsAndCaps();
    void activatesWhenScheduled_data();
    void activatesWhenScheduled();

private:
    const QString simnodePath = QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode");
    const QStringList cameraArgs = QStringLiteral("--label camera --video-senders 1 --video-receivers 1").split(' ');

    // Starts the node with these options; false when it does not come up.
    bool startNode(const QStringList &extra, const QString &host = QStringLiteral("127.0.0.1"))
    {
        m_node.reset(new QProcess);
        m_node->start(simnodePath, cameraArgs + extra);
        QByteArray output;
        while (!output.contains("ready\n") && m_node->waitForReadyRead(15000))
            output += m_node->readAllStandardOutput();
        const int port = QJsonDocument::fromJson(output.left(output.indexOf('\n'))).object().value("port").toInt();
        base = QStringLiteral("http://%1:%2").arg(host).arg(port);
        return port > 0;
    }
    QJsonObject resource(const QString &collection, const QString &key, const QString &value)
    {
        const QByteArray list = NmosClient::syncGet(&m_manager, base + "/x-nmos/node/v1.3/" + collection);
        for (const QJsonValue &item : QJsonDocument::fromJson(list).array()) {
            if (item[key].toString() == value)
                return item.toObject();
        }
        return QJsonObject();
    }
    QJsonObject state() { return QJsonDocument::fromJson(NmosClient::syncGet(&m_manager, base + "/x-simnode/state")).object(); }

    QNetworkAccessManager m_manager;
    std::unique_ptr<QProcess> m_node;
    QString base;
};

void tst_SimNode::refusesAsItsFaultsSay_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("collection");
    QTest::addColumn<int>("status");
    QTest::newRow("refused activation") << "--fault-refuse-activation" << "senders" << 500;
    QTest::newRow("receivers refusing") << "--fault-refuse-receiver-patch" << "receivers" << 423;
}

void tst_SimNode::refusesAsItsFaultsSay()
{
    QFETCH(QString, fault);
    QFETCH(QString, collection);
    QFETCH(int, status);
    QVERIFY(startNode({fault}));
    QJsonObject expected = state();
    QJsonArray resources = expected.value(collection).toArray();
    QJsonObject resource = resources.first().toObject();
    const QString path = "/x-nmos/connection/v1.1/single/" + collection + '/' + resource.value("id").toString() + "/staged";
    const QJsonObject enableNow{{"master_enable", true}, {"activation", QJsonObject{{"mode", "activate_immediate"}}}};
    int got = 0;
    NmosClient::syncPatch(&m_manager, QUrl(base + path), enableNow, &got);
    QCOMPARE(got, status);
    // The refused request is counted, as is the reading of the state, and changes nothing
    // else: not what is active, not the resource's version, not the node's TXT counters.
    expected["requests"] = expected.value("requests").toInt() + 2;
    resource["patches"] = resource.value("patches").toInt() + 1;
    resources[0] = resource;
    expected[collection] = resources;
    QCOMPARE(state(), expected);
}

void tst_SimNode::refusesBadSetup_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("netns");
    QTest::addColumn<QString>("message");
    // Announcing is only ever done inside the private namespace, on the interface named.
    QTest::newRow("announce outside namespace") << QStringList{"--mdns-interface", "fl1"} << "" << "namespace";
    QTest::newRow("announce without interface") << QStringList{"--announce", "--bind", "192.0.2.77"} << "1" << "--mdns-interface";
    QTest::newRow("count not a number") << QStringList{"--devices", "two"} << "" << "--devices";
}

void tst_SimNode::refusesBadSetup()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, netns);
    QFETCH(QString, message);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("FERROLINK_NETNS", netns);
    process.setProcessEnvironment(environment);
    process.start(simnodePath, cameraArgs + arguments);
    QVERIFY(process.waitForFinished(15000) && process.exitCode() != 0);
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(error.contains(message), qPrintable(error));
}

void tst_SimNode::servesFormatsAndCaps_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("receiver");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("reason"); // empty: the receiver can take it
    QTest::addColumn<int>("status");     // what the device answers to the sender's SDP file
    QTest::newRow("JPEG XS to its decoder") << "XS 1 Video" << "XS decoder Video"
                                            << "JPEG XS 1920\u00d71080 59.94p 4:2:2 10-bit" << "" << 200;
    QTest::newRow("JPEG XS to a receiver of video/raw only") << "XS 1 Video" << "Monitor raw Video"
                                                             << "JPEG XS 1920\u00d71080 59.94p 4:2:2 10-bit"
                                                             << "media type video/jxsv is not among video/raw" << 400;
    QTest::newRow("59.94 to a receiver held to 50") << "Cam 59 Video" << "Monitor 50 Video"
                                                    << "Uncompressed 1920\u00d71080 59.94p 4:2:2 10-bit"
                                                    << "frame rate 59.94 is not among 50" << 400;
    // The flow leaves its rate to the source.
    QTest::newRow("50 to the receiver held to 50") << "Cam 50 Video" << "Monitor 50 Video"
                                                   << "Uncompressed 1920\u00d71080 50p 4:2:2 10-bit" << "" << 200;
    QTest::newRow("interlaced to a progressive receiver") << "Cam 25i Video" << "Monitor 50 Video"
                                                          << "Uncompressed 1920\u00d71080 50i 4:4:4 12-bit"
                                                          << "interlace mode interlaced_tff is not among progressive" << 400;
}

void tst_SimNode::servesFormatsAndCaps()
{
    QFETCH(QString, sender);
    QFETCH(QString, receiver);
    QFETCH(QString, format);
    QFETCH(QString, reason);
    QFETCH(int, status);
    // The file's node listens where the command line says, as in the demo.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress("127.0.0.2")));
    const QString port = QString::number(probe.serverPort());
    probe.close();
    QVERIFY(startNode({"--config", FERROLINK_SOURCE_DIR "/tools/nmos-simnode/formats-demo.json", "--bind", "127.0.0.2", "--port", port},
                      "127.0.0.2"));
    QVERIFY(base.endsWith(':' + port));
    const QJsonObject tx = resource("senders", "label", sender);
    const QJsonObject flow = resource("flows", "id", tx.value("flow_id").toString());
    const QJsonObject rx = resource("receivers", "label", receiver);
    const StreamFormat stream = StreamFormat::fromResources(tx, flow, resource("sources", "id", flow.value("source_id").toString()));
    QCOMPARE(stream.text(), format);
    const ReceiverCapabilities::Verdict verdict = ReceiverCapabilities::judge(rx, stream);
    QCOMPARE(verdict.reason, reason);
    QCOMPARE(verdict.ignored, QStringList());

    // The device, given the sender's file, judges as the program did.
    const QString sdp = QString::fromUtf8(NmosClient::syncGet(&m_manager, tx.value("manifest_href").toString()));
    const QJsonObject patch{{"sender_id", tx.value("id")}, {"master_enable", true},
                            {"activation", QJsonObject{{"mode", "activate_immediate"}}},
                            {"transport_file", QJsonObject{{"type", "application/sdp"}, {"data", sdp}}}};
    int got = 0;
    NmosClient::syncPatch(&m_manager, QUrl(base + "/x-nmos/connection/v1.1/single/receivers/" + rx.value("id").toString() + "/staged"),
                          patch, &got);
    QCOMPARE(got, status);
    const QJsonValue patched = resource("receivers", "id", rx.value("id").toString()).value("subscription")["sender_id"];
    QCOMPARE(patched, status == 200 ? tx.value("id") : QJsonValue(QJsonValue::Null));
}

void tst_SimNode::activatesWhenScheduled_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("absolute") << "activate_scheduled_absolute";
    QTest::newRow("relative") << "activate_scheduled_relative";
}

// The receiver is switched on by a timer, not by the PATCH: staged shows what is pending until
// then, and active the time it was made.
void tst_SimNode::activatesWhenScheduled()
{
    QFETCH(QString, mode);
    QVERIFY(startNode({}));
    const auto receiver = [this] { return state().value("receivers").toArray().first().toObject(); };
    const QString id = receiver()["id"].toString();
    const qint64 tai = QDateTime::currentMSecsSinceEpoch() / 1000 + 37 + 1;
    const QString requested = mode.endsWith("absolute") ? QString::number(tai) + ":0" : "1:0";
    const QJsonObject enable{{"master_enable", true}, {"activation", QJsonObject{{"mode", mode}, {"requested_time", requested}}}};
    int status = 0;
    NmosClient::syncPatch(&m_manager, QUrl(base + "/x-nmos/connection/v1.1/single/receivers/" + id + "/staged"), enable, &status);
    QCOMPARE(status, 202);
    QCOMPARE(receiver().value("staged_activation")["requested_time"].toString(), requested);
    QCOMPARE(receiver()["master_enable"].toBool(), false);
    QTRY_VERIFY_WITH_TIMEOUT(receiver()["master_enable"].toBool(), 5000);
    QVERIFY(receiver().value("staged_activation")["mode"].isNull());
    QVERIFY(receiver()["activation_time"].toString().section(':', 0, 0).toLongLong() >= tai - 1);
}

QTEST_MAIN(tst_SimNode)
#include "tst_simnode.moc"
