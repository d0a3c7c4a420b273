// The simulated node that the end-to-end tests, the demo and the benchmarks talk to. They
// cover what it serves; here: its options, its fault switches and the official schemas.

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

namespace {

const QString simnodePath = QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode");
const QString connection = QStringLiteral("/x-nmos/connection/v1.1/single/");
const QStringList cameraArgs = QStringLiteral("--label camera --video-senders 1 --video-receivers 1").split(' ');

} // namespace

class tst_SimNode : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { m_node.reset(); }
    void answersAfterItsFaults_data();
    void answersAfterItsFaults();
    void refusesBadSetup_data();
    void refusesBadSetup();
    void matchesOfficialSchemas();

private:
    bool startNode(const QStringList &extra = QStringList());
    int request(const QByteArray &verb, const QString &path, const QByteArray &body = QByteArray(), QByteArray *reply = nullptr);
    QJsonObject getJson(const QString &path)
    {
        QByteArray body;
        request("GET", path, {}, &body);
        return QJsonDocument::fromJson(body).object();
    }

    QNetworkAccessManager m_manager;
    std::unique_ptr<QProcess> m_node;
    int m_port = 0;
};

bool tst_SimNode::startNode(const QStringList &extra)
{
    m_node.reset(new QProcess);
    m_node->start(simnodePath, cameraArgs + extra);
    // It prints one JSON line with its port, then "ready".
    QByteArray output;
    while (!output.contains("ready\n")) {
        if (!m_node->waitForReadyRead(15000))
            return false;
        output += m_node->readAllStandardOutput();
    }
    m_port = QJsonDocument::fromJson(output.left(output.indexOf('\n'))).object().value("port").toInt();
    return true;
}

int tst_SimNode::request(const QByteArray &verb, const QString &path, const QByteArray &body, QByteArray *reply)
{
    QNetworkRequest req(QUrl(path.startsWith('/') ? QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path) : path));
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    std::unique_ptr<QNetworkReply> r(m_manager.sendCustomRequest(req, verb, body));
    QSignalSpy finished(r.get(), &QNetworkReply::finished);
    if (!r->isFinished() && !finished.wait(20000))
        return 0;
    if (reply)
        *reply = r->readAll();
    return r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

void tst_SimNode::answersAfterItsFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("collection");
    QTest::addColumn<QByteArray>("body");  // PATCHed to staged; empty: GET the manifest instead
    QTest::addColumn<int>("status");
    const QByteArray enableNow = R"({"master_enable":true,"activation":{"mode":"activate_immediate"}})";
    QTest::newRow("sender activated") << "" << "senders" << enableNow << 200;
    QTest::newRow("receiver activated") << "" << "receivers" << enableNow << 200;
    QTest::newRow("refused activation") << "--fault-refuse-activation" << "senders" << enableNow << 500;
    QTest::newRow("receivers refusing, sender") << "--fault-refuse-receiver-patch" << "senders" << enableNow << 200;
    QTest::newRow("receivers refusing") << "--fault-refuse-receiver-patch" << "receivers" << enableNow << 423;
    QTest::newRow("unknown member") << "" << "receivers" << QByteArray(R"({"colour":"red","master_enable":true,"activation":{"mode":"activate_immediate"}})") << 400;
    QTest::newRow("oversized body") << "" << "receivers" << QByteArray(4 << 20, ' ') + "{}" << 413;
    QTest::newRow("manifest") << "" << "senders" << QByteArray() << 200;
    QTest::newRow("manifest missing until active") << "--fault-manifest-404" << "senders" << QByteArray() << 404;
}

void tst_SimNode::answersAfterItsFaults()
{
    QFETCH(QString, fault);
    QFETCH(QString, collection);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QVERIFY(startNode(fault.split(' ', Qt::SkipEmptyParts)));
    QByteArray list;
    QCOMPARE(request("GET", "/x-nmos/node/v1.3/" + collection + "/", {}, &list), 200);
    const QJsonObject before = QJsonDocument::fromJson(list).array().first().toObject();
    const QString path = connection + collection + '/' + before.value("id").toString();
    const QString counter = collection == "senders" ? "ver_snd" : "ver_rcv";
    const int counterBefore = getJson("/x-simnode/state").value("counters").toObject().value(counter).toInt();

    if (body.isEmpty()) {
        QByteArray sdp;
        QCOMPARE(request("GET", before.value("manifest_href").toString(), {}, &sdp), status);
        if (status == 200)
            QVERIFY(sdp.startsWith("v=0\r\n") && sdp.contains("a=rtpmap:96 raw/90000\r\n"));
        return;
    }
    QByteArray reply;
    QCOMPARE(request("PATCH", path + "/staged", body, &reply), status);
    const bool done = status == 200;
    if (!done && status != 413)
        QCOMPARE(QJsonDocument::fromJson(reply).object().value("code").toInt(), status);
    // A refused request changes nothing; an activation takes effect before the reply, bumps the
    // resource's version and the node's TXT counter.
    QCOMPARE(getJson(path + "/active").value("master_enable").toBool(), done);
    const QJsonObject after = getJson("/x-nmos/node/v1.3/" + collection + '/' + before.value("id").toString());
    QCOMPARE(after.value("version") != before.value("version"), done);
    QCOMPARE(after.value("subscription").toObject().value("active").toBool(), done);
    QCOMPARE(getJson("/x-simnode/state").value("counters").toObject().value(counter).toInt(), counterBefore + int(done));
}

void tst_SimNode::refusesBadSetup_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("inNamespace");
    QTest::addColumn<QString>("message");
    QTest::newRow("port taken") << QStringList{"--port", "taken"} << false << "cannot listen";
    // Announcing is only ever done inside the private namespace, on the interface named.
    QTest::newRow("announce outside namespace") << QStringList{"--mdns-interface", "fl1"} << false << "namespace";
    QTest::newRow("announce without interface") << QStringList{"--announce", "--bind", "192.0.2.77"} << true << "--mdns-interface";
    QTest::newRow("count not a number") << QStringList{"--devices", "two"} << false << "--devices";
}

void tst_SimNode::refusesBadSetup()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, inNamespace);
    QFETCH(QString, message);
    if (arguments.contains("taken")) {
        QVERIFY(startNode());
        arguments.replaceInStrings("taken", QString::number(m_port));
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("FERROLINK_NETNS");
    if (inNamespace)
        environment.insert("FERROLINK_NETNS", "1");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(simnodePath, cameraArgs + arguments);
    QVERIFY(process.waitForFinished(15000));
    QVERIFY(process.exitCode() != 0);
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(error.contains(message), qPrintable(error));
}

void tst_SimNode::matchesOfficialSchemas()
{
    const QString schemas = QDir::cleanPath(QStringLiteral(FERROLINK_SOURCE_DIR "/../shared/amwa"));
    if (!QFile::exists(schemas + "/is-04-v1.3/schemas/node.json"))
        QSKIP("the NMOS schemas are not beside the checkout");
    QVERIFY(startNode({"--audio-senders", "2", "--audio-receivers", "2", "--data-senders", "1", "--data-receivers", "1"}));
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start("/usr/bin/python3", {FERROLINK_SOURCE_DIR "/tests/simnode_validate.py",
                                         QStringLiteral("http://127.0.0.1:%1").arg(m_port), schemas});
    QVERIFY(validator.waitForFinished(120000));
    const QByteArray output = validator.readAll();
    QVERIFY2(validator.exitCode() == 0 && output.contains(" 0 failures"), output.constData());
}

QTEST_MAIN(tst_SimNode)
#include "tst_simnode.moc"
