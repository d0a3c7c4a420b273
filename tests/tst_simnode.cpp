// The simulated node that the end-to-end tests, the demo and the benchmarks talk to. They
// cover what it serves; here: its options and the fault switches they do not use.

#include "nmos/nmosclient.h"

#include <QNetworkAccessManager>
#include <QtTest>

class tst_SimNode : public QObject
{
    Q_OBJECT

private slots:
    void refusesAsItsFaultsSay_data();
    void refusesAsItsFaultsSay();
    void refusesBadSetup_data();
    void refusesBadSetup();

private:
    const QString simnodePath = QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode");
    const QStringList cameraArgs = QStringLiteral("--label camera --video-senders 1 --video-receivers 1").split(' ');

    // Starts the node with these options; false when it does not come up.
    bool startNode(const QStringList &extra)
    {
        m_node.reset(new QProcess);
        m_node->start(simnodePath, cameraArgs + extra);
        QByteArray output;
        while (!output.contains("ready\n") && m_node->waitForReadyRead(15000))
            output += m_node->readAllStandardOutput();
        const int port = QJsonDocument::fromJson(output.left(output.indexOf('\n'))).object().value("port").toInt();
        base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        return port > 0;
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

QTEST_MAIN(tst_SimNode)
#include "tst_simnode.moc"
