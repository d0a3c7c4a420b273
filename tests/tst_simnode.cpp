// The simulated node that the end-to-end tests, the demo and the benchmarks talk to. They
// cover what it serves; here: its options and the fault switches they do not use.

#include "nmos/nmosclient.h"

#include <QNetworkAccessManager>
#include <QtTest>

namespace {

const QString simnodePath = QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode");
const QStringList cameraArgs = QStringLiteral("--label camera --video-senders 1 --video-receivers 1").split(' ');

} // namespace

class tst_SimNode : public QObject
{
    Q_OBJECT

private slots:
    void answersAfterItsFaults_data();
    void answersAfterItsFaults();
    void refusesBadSetup_data();
    void refusesBadSetup();

private:
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
    QJsonObject get(const QString &path)
    {
        const QJsonDocument json = QJsonDocument::fromJson(NmosClient::syncGet(&m_manager, base + path));
        return json.isArray() ? json.array().first().toObject() : json.object();
    }

    QNetworkAccessManager m_manager;
    std::unique_ptr<QProcess> m_node;
    QString base;
};

void tst_SimNode::answersAfterItsFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("collection");
    QTest::addColumn<int>("status");
    QTest::newRow("refused activation") << "--fault-refuse-activation" << "senders" << 500;
    QTest::newRow("receivers refusing, sender") << "--fault-refuse-receiver-patch" << "senders" << 200;
    QTest::newRow("receivers refusing") << "--fault-refuse-receiver-patch" << "receivers" << 423;
}

void tst_SimNode::answersAfterItsFaults()
{
    QFETCH(QString, fault);
    QFETCH(QString, collection);
    QFETCH(int, status);
    QVERIFY(startNode({fault}));
    const QString resource = "/x-nmos/node/v1.3/" + collection + '/';
    const QJsonObject before = get(resource);
    const QString counter = collection == "senders" ? "ver_snd" : "ver_rcv";
    const int counterBefore = get("/x-simnode/state").value("counters").toObject().value(counter).toInt();
    const QString path = "/x-nmos/connection/v1.1/single/" + collection + '/' + before.value("id").toString();
    const QJsonObject enableNow{{"master_enable", true}, {"activation", QJsonObject{{"mode", "activate_immediate"}}}};
    int got = 0;
    NmosClient::syncPatch(&m_manager, QUrl(base + path + "/staged"), enableNow, &got);
    QCOMPARE(got, status);
    const bool done = status == 200;
    // A refused request changes nothing; an activation takes effect before the reply, and
    // bumps the resource's version and the node's TXT counter.
    QCOMPARE(get(path + "/active").value("master_enable").toBool(), done);
    const QJsonObject after = get(resource);
    QCOMPARE(after.value("version") != before.value("version"), done);
    QCOMPARE(after.value("subscription").toObject().value("active").toBool(), done);
    QCOMPARE(get("/x-simnode/state").value("counters").toObject().value(counter).toInt(), counterBefore + int(done));
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
