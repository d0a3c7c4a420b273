// The simulated node that the end-to-end tests, the demo and the benchmarks talk to: its
// answers must be those of a well-behaved node, or every test built on it proves nothing.

#include "tests/support/netns.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <memory>
#include <utility>
#include <vector>

namespace {

const QString simnodePath = QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode");
const QString nodeBase = QStringLiteral("/x-nmos/node/v1.3/");
const QString connectionBase = QStringLiteral("/x-nmos/connection/v1.1/single/");
const QByteArray enableNow = R"({"master_enable":true,"activation":{"mode":"activate_immediate"}})";

// The camera of the demo, with each essence both as sender and receiver so one node can patch itself.
const QStringList cameraArgs = QStringLiteral("--label camera --group-name Cam --video-senders 1 --audio-senders 2 "
                                              "--data-senders 1 --video-receivers 1 --audio-receivers 2 "
                                              "--data-receivers 1").split(QLatin1Char(' '));

struct HttpResult
{
    int status = 0;
    QByteArray body;
    QJsonObject object() const { return QJsonDocument::fromJson(body).object(); }
};

// Versions are "<seconds>:<nanoseconds>"; compared as numbers, not text.
bool isNewer(const QJsonObject &after, const QJsonObject &before)
{
    const QStringList a = after.value("version").toString().split(':');
    const QStringList b = before.value("version").toString().split(':');
    return std::make_pair(a.value(0).toLongLong(), a.value(1).toLongLong())
           > std::make_pair(b.value(0).toLongLong(), b.value(1).toLongLong());
}

// The first entry of a list in a state dump whose member has the value given.
QJsonObject entryWith(const QJsonObject &node, const QString &list, const QString &key, const QString &value)
{
    for (const QJsonValue &entry : node.value(list).toArray()) {
        if (entry.toObject().value(key).toString() == value)
            return entry.toObject();
    }
    return QJsonObject();
}

} // namespace

class tst_SimNode : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void checksPatchBodies_data();
    void checksPatchBodies();
    void activatesImmediately_data();
    void activatesImmediately();
    void stagesThenActivatesAndDisconnects();
    void servesManifestAccordingToFault_data();
    void servesManifestAccordingToFault();
    void refusesBadSetup_data();
    void refusesBadSetup();
    void matchesOfficialSchemas();
    void announcesAndWithdraws();

private:
    // Starts the node program and keeps the port of its first node; null when it does not start.
    QProcess *startNode(const QStringList &extra = QStringList());
    // A path alone goes to the node last started, on loopback.
    HttpResult request(const QByteArray &verb, QString url, const QByteArray &body = QByteArray());
    HttpResult get(const QString &path) { return request("GET", path); }
    HttpResult patch(const QString &path, const QByteArray &body) { return request("PATCH", path, body); }
    QJsonObject state() { return get(QStringLiteral("/x-simnode/state")).object(); }
    QJsonObject findResource(const QString &collection, const QString &format)
    {
        return get(nodeBase + collection + "/" + entryWith(state(), collection, "format", format).value("id").toString()).object();
    }

    QNetworkAccessManager m_manager;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    int m_port = 0;
};

void tst_SimNode::cleanup()
{
    for (const auto &process : m_processes) {
        process->terminate();
        if (!process->waitForFinished(10000))
            process->kill();
    }
    m_processes.clear();
    m_port = 0;
}

QProcess *tst_SimNode::startNode(const QStringList &extra)
{
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess *process = m_processes.back().get();
    process->start(simnodePath, cameraArgs + extra);
    QByteArray output;
    while (!output.contains("ready\n")) {
        if (!process->waitForReadyRead(15000)) {
            qWarning() << "no ready line; stderr:" << process->readAllStandardError();
            return nullptr;
        }
        output += process->readAllStandardOutput();
    }
    m_port = QJsonDocument::fromJson(output.left(output.indexOf('\n'))).object().value("port").toInt();
    return process;
}

HttpResult tst_SimNode::request(const QByteArray &verb, QString url, const QByteArray &body)
{
    if (url.startsWith('/'))
        url.prepend(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
    QNetworkRequest req{QUrl(url)};
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    req.setTransferTimeout(20000);
    QNetworkReply *reply = verb == "GET" ? m_manager.get(req) : m_manager.sendCustomRequest(req, verb, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(30000);
    HttpResult result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    reply->deleteLater();
    return result;
}

void tst_SimNode::checksPatchBodies_data()
{
    QTest::addColumn<QString>("collection");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QString s = QStringLiteral("senders");
    const QString r = QStringLiteral("receivers");
    QTest::newRow("unknown member") << r << QByteArray(R"({"colour":"red"})") << 400;
    QTest::newRow("master_enable not boolean") << r << QByteArray(R"({"master_enable":"true"})") << 400;
    QTest::newRow("sender_id not a uuid") << r << QByteArray(R"({"sender_id":"cam-1"})") << 400;
    QTest::newRow("sender_id a number") << r << QByteArray(R"({"sender_id":7})") << 400;
    QTest::newRow("activation not object") << r << QByteArray(R"({"activation":"now"})") << 400;
    QTest::newRow("activation without mode") << r << QByteArray(R"({"activation":{"requested_time":null}})") << 400;
    QTest::newRow("bad activation mode") << r << QByteArray(R"({"activation":{"mode":"activate_now"}})") << 400;
    QTest::newRow("activation unknown member") << r << QByteArray(R"({"activation":{"mode":null,"when":1}})") << 400;
    QTest::newRow("requested_time malformed") << r << QByteArray(R"({"activation":{"mode":null,"requested_time":"soon"}})") << 400;
    QTest::newRow("scheduled mode not supported") << r << QByteArray(R"({"activation":{"mode":"activate_scheduled_relative","requested_time":"1:0"}})") << 400;
    QTest::newRow("transport_file without type") << r << QByteArray(R"({"transport_file":{"data":"v=0"}})") << 400;
    QTest::newRow("transport_file data null, type set") << r << QByteArray(R"({"transport_file":{"data":null,"type":"application/sdp"}})") << 400;
    QTest::newRow("transport_file data a number") << r << QByteArray(R"({"transport_file":{"data":5,"type":"application/sdp"}})") << 400;
    QTest::newRow("transport file of other essence") << r << QByteArray(R"({"transport_file":{"type":"application/sdp","data":"v=0\r\nm=video 5004 RTP/AVP 100\r\na=rtpmap:100 smpte291/90000\r\n"}})") << 400;
    QTest::newRow("transport_params not array") << r << QByteArray(R"({"transport_params":{}})") << 400;
    QTest::newRow("transport_params two legs") << r << QByteArray(R"({"transport_params":[{},{}]})") << 400;
    QTest::newRow("unknown transport param") << r << QByteArray(R"({"transport_params":[{"speed":3}]})") << 400;
    QTest::newRow("port zero") << r << QByteArray(R"({"transport_params":[{"destination_port":0}]})") << 400;
    QTest::newRow("port too large") << r << QByteArray(R"({"transport_params":[{"destination_port":70000}]})") << 400;
    QTest::newRow("interface_ip not an address") << r << QByteArray(R"({"transport_params":[{"interface_ip":"eth0"}]})") << 400;
    QTest::newRow("not json") << r << QByteArray("master_enable=true") << 400;
    QTest::newRow("json array") << r << QByteArray("[]") << 400;
    QTest::newRow("sender with transport_file") << s << QByteArray(R"({"transport_file":{"data":null,"type":null}})") << 400;
    QTest::newRow("sender with sender_id") << s << QByteArray(R"({"sender_id":null})") << 400;
    QTest::newRow("sender fec_mode auto") << s << QByteArray(R"({"transport_params":[{"fec_mode":"auto"}]})") << 400;
    QTest::newRow("oversized body") << r << QByteArray(R"({"transport_file":{"type":"application/sdp","data":")" + QByteArray(4 << 20, 'a') + R"("}})") << 413;

    QTest::newRow("empty object") << r << QByteArray("{}") << 200;
    QTest::newRow("port auto") << r << QByteArray(R"({"transport_params":[{"destination_port":"auto"}]})") << 200;
    QTest::newRow("extension param") << r << QByteArray(R"({"transport_params":[{"ext_vendor_x":1}]})") << 200;
    QTest::newRow("mode null stages") << r << QByteArray(R"({"master_enable":true,"activation":{"mode":null,"requested_time":null}})") << 200;
    QTest::newRow("client disconnect body") << r << QByteArray(R"({"master_enable":false,"transport_file":{"data":null,"type":null},"activation":{"mode":"activate_immediate","requested_time":null}})") << 200;
    QTest::newRow("client sender activation body") << s << QByteArray(R"({"activation":{"mode":"activate_immediate"}})") << 200;
    QTest::newRow("sender receiver_id null") << s << QByteArray(R"({"receiver_id":null,"master_enable":true})") << 200;
}

void tst_SimNode::checksPatchBodies()
{
    QFETCH(QString, collection);
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    QVERIFY(startNode());
    const QString id = findResource(collection, "urn:x-nmos:format:video").value("id").toString();
    const QString staged = connectionBase + collection + "/" + id + "/staged";
    const QJsonObject before = get(staged).object();
    QVERIFY(!before.isEmpty());

    const HttpResult result = patch(staged, body);
    QCOMPARE(result.status, status);
    if (status == 200) {
        QVERIFY(result.object().contains("activation"));
        return;
    }
    if (status == 400) {
        const QJsonObject error = result.object();
        QCOMPARE(error.value("code").toInt(), status);
        QVERIFY(!error.value("error").toString().isEmpty());
        QVERIFY(error.contains("debug"));
    }
    // Nothing staged from a refused request, and the node lives on.
    QCOMPARE(get(staged).object(), before);
}

void tst_SimNode::activatesImmediately_data()
{
    QTest::addColumn<QString>("collection");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");

    QTest::newRow("video sender") << "senders" << "video" << "" << 200;
    QTest::newRow("audio sender, receivers refusing") << "senders" << "audio" << "--fault-refuse-receiver-patch" << 200;
    QTest::newRow("data receiver") << "receivers" << "data" << "" << 200;
    QTest::newRow("video receiver, activations refused") << "receivers" << "video" << "--fault-refuse-activation" << 200;
    QTest::newRow("sender activation refused") << "senders" << "video" << "--fault-refuse-activation" << 500;
    QTest::newRow("receiver refuses patches") << "receivers" << "video" << "--fault-refuse-receiver-patch" << 423;
}

void tst_SimNode::activatesImmediately()
{
    QFETCH(QString, collection);
    QFETCH(QString, format);
    QFETCH(QString, fault);
    QFETCH(int, status);

    QVERIFY(startNode(fault.split(' ', Qt::SkipEmptyParts)));
    const QString counter = collection == "senders" ? "ver_snd" : "ver_rcv";
    const QJsonObject resource = findResource(collection, "urn:x-nmos:format:" + format);
    const QString id = resource.value("id").toString();
    QVERIFY(!id.isEmpty());
    const QString path = connectionBase + collection + "/" + id;
    const int counterBefore = state().value("counters").toObject().value(counter).toInt();
    const QJsonObject activeBefore = get(path + "/active").object();
    QCOMPARE(activeBefore.value("master_enable").toBool(), false);

    const HttpResult result = patch(path + "/staged", enableNow);
    QCOMPARE(result.status, status);
    if (status != 200) {
        QCOMPARE(result.object().value("code").toInt(), status);
        QCOMPARE(get(path + "/active").object(), activeBefore);
        return;
    }
    const QJsonObject activation = result.object().value("activation").toObject();
    QCOMPARE(activation.value("mode").toString(), QStringLiteral("activate_immediate"));
    QVERIFY(activation.value("requested_time").isNull());
    const QString activationTime = activation.value("activation_time").toString();
    QVERIFY(!activationTime.isEmpty());
    QCOMPARE(result.object().value("master_enable").toBool(), true);

    // Active has taken over what was staged before the reply came; staged forgets the activation.
    const QJsonObject active = get(path + "/active").object();
    QCOMPARE(active.value("master_enable").toBool(), true);
    QCOMPARE(active.value("activation").toObject().value("activation_time").toString(), activationTime);
    const QJsonObject stagedActivation = get(path + "/staged").object().value("activation").toObject();
    QVERIFY(stagedActivation.value("mode").isNull());
    QVERIFY(stagedActivation.value("activation_time").isNull());

    const QJsonObject after = get(nodeBase + collection + "/" + id).object();
    QVERIFY2(isNewer(after, resource), qPrintable(after.value("version").toString()));
    QCOMPARE(after.value("subscription").toObject().value("active").toBool(), true);
    QCOMPARE(state().value("counters").toObject().value(counter).toInt(), (counterBefore + 1) % 256);
}

void tst_SimNode::stagesThenActivatesAndDisconnects()
{
    QVERIFY(startNode());
    const QJsonObject sender = findResource("senders", "urn:x-nmos:format:audio");
    const QJsonObject receiver = findResource("receivers", "urn:x-nmos:format:audio");
    const QString senderId = sender.value("id").toString();
    const QString receiverId = receiver.value("id").toString();
    const QString path = connectionBase + "receivers/" + receiverId;

    const HttpResult sdp = request("GET", sender.value("manifest_href").toString());
    QCOMPARE(sdp.status, 200);
    QVERIFY(sdp.body.contains("a=rtpmap:97 L24/48000/2\r\n"));
    const QString multicast = QRegularExpression("c=IN IP4 ([0-9.]+)/").match(QString::fromUtf8(sdp.body)).captured(1);
    QVERIFY(!multicast.isEmpty());

    // Staging alone changes neither what is active nor the resource.
    const QJsonObject activeBefore = get(path + "/active").object();
    const QJsonObject stage{{"sender_id", senderId},
                            {"master_enable", true},
                            {"transport_file", QJsonObject{{"data", QString::fromUtf8(sdp.body)}, {"type", "application/sdp"}}}};
    QCOMPARE(patch(path + "/staged", QJsonDocument(stage).toJson()).status, 200);
    QCOMPARE(get(path + "/staged").object().value("sender_id").toString(), senderId);
    QCOMPARE(get(path + "/active").object(), activeBefore);
    QCOMPARE(get(nodeBase + "receivers/" + receiverId).object().value("version"), receiver.value("version"));

    QCOMPARE(patch(path + "/staged", R"({"activation":{"mode":"activate_immediate"}})").status, 200);
    const QJsonObject active = get(path + "/active").object();
    QCOMPARE(active.value("sender_id").toString(), senderId);
    QCOMPARE(active.value("transport_file").toObject().value("data").toString(), QString::fromUtf8(sdp.body));
    // The receiver took its stream from the transport file.
    QCOMPARE(active.value("transport_params").toArray().at(0).toObject().value("multicast_ip").toString(), multicast);
    const QJsonObject connected = get(nodeBase + "receivers/" + receiverId).object();
    QCOMPARE(connected.value("subscription").toObject(), (QJsonObject{{"sender_id", senderId}, {"active", true}}));
    QVERIFY(isNewer(connected, receiver));
    // The state dump tells what the receiver is patched to.
    const QJsonObject patched = entryWith(state(), "receivers", "id", receiverId);
    QCOMPARE(patched.value("sender_id").toString(), senderId);
    QCOMPARE(patched.value("master_enable").toBool(), true);
    QCOMPARE(patched.value("transport_file").toObject().value("type").toString(), QStringLiteral("application/sdp"));
    QCOMPARE(patched.value("activations").toInt(), 1);

    const QByteArray disconnect = R"({"master_enable":false,"transport_file":{"data":null,"type":null},)"
                                  R"("activation":{"mode":"activate_immediate","requested_time":null}})";
    QCOMPARE(patch(path + "/staged", disconnect).status, 200);
    const QJsonObject disconnected = get(nodeBase + "receivers/" + receiverId).object();
    QCOMPARE(disconnected.value("subscription").toObject().value("active").toBool(), false);
    QVERIFY(isNewer(disconnected, connected));
    QVERIFY(get(path + "/active").object().value("transport_file").toObject().value("data").isNull());
    QCOMPARE(entryWith(state(), "receivers", "id", receiverId).value("master_enable").toBool(true), false);
}

void tst_SimNode::servesManifestAccordingToFault_data()
{
    QTest::addColumn<bool>("fault");
    QTest::newRow("healthy") << false;
    QTest::newRow("404 until activated") << true;
}

void tst_SimNode::servesManifestAccordingToFault()
{
    QFETCH(bool, fault);
    QVERIFY(startNode(fault ? QStringList{"--fault-manifest-404"} : QStringList()));
    const QJsonObject sender = findResource("senders", "urn:x-nmos:format:video");
    const QString manifest = sender.value("manifest_href").toString();
    QVERIFY(manifest.startsWith(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)));

    QCOMPARE(request("GET", manifest).status, fault ? 404 : 200);
    QCOMPARE(patch(connectionBase + "senders/" + sender.value("id").toString() + "/staged",
                   R"({"activation":{"mode":"activate_immediate"}})").status, 200);
    const HttpResult second = request("GET", manifest);
    QCOMPARE(second.status, 200);
    QVERIFY(second.body.startsWith("v=0\r\n"));
    QVERIFY(second.body.contains("a=rtpmap:96 raw/90000\r\n"));
    QVERIFY(second.body.endsWith("\r\n"));
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

    QVERIFY(startNode());
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start("/usr/bin/python3", {FERROLINK_SOURCE_DIR "/tests/simnode_validate.py",
                                         QStringLiteral("http://127.0.0.1:%1").arg(m_port), schemas});
    QVERIFY(validator.waitForFinished(120000));
    const QByteArray output = validator.readAll();
    QVERIFY2(validator.exitCode() == 0 && output.contains(" 0 failures"), output.constData());
}

void tst_SimNode::announcesAndWithdraws()
{
    SKIP_UNLESS_PRIVATE_NETNS();

    // Among the processes so that cleanup() stops it, whatever check fails.
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess &browser = *m_processes.back();
    browser.start("/usr/bin/python3", {FERROLINK_SOURCE_DIR "/tests/simnode_browse.py", "10.77.0.1"});
    QList<QJsonObject> events;
    // Only the node started here counts, whatever else the namespace announces. Lines that
    // came in while another wait ran the event loop are already buffered: read them first.
    auto waitFor = [&browser, &events](const QString &event, const QString &receiverCount = QString()) {
        do {
            while (browser.canReadLine())
                events << QJsonDocument::fromJson(browser.readLine()).object();
            for (const QJsonObject &line : events) {
                if (line.value("event").toString() == event
                    && (event == "browsing" || line.value("name").toString() == "camera._nmos-node._tcp.local.")
                    && (receiverCount.isNull() || line.value("txt").toObject().value("ver_rcv").toString() == receiverCount))
                    return line;
            }
        } while (browser.waitForReadyRead(20000));
        return QJsonObject();
    };
    QVERIFY2(!waitFor("browsing").isEmpty(), browser.readAllStandardError().constData());

    QProcess *node = startNode({"--bind", "10.77.0.2", "--mdns-interface", "fl1", "--api-ver", "v1.2,v1.3"});
    QVERIFY(node);
    const QJsonObject added = waitFor("added");
    QVERIFY2(!added.isEmpty(), browser.readAllStandardError().constData());
    QCOMPARE(added.value("server").toString(), QStringLiteral("camera.local."));
    QCOMPARE(added.value("port").toInt(), m_port);
    QCOMPARE(added.value("addresses").toArray(), QJsonArray{"10.77.0.2"});
    QCOMPARE(added.value("txt").toObject(), (QJsonObject{{"api_proto", "http"}, {"api_ver", "v1.2,v1.3"},
                                                         {"api_auth", "false"}, {"ver_slf", "0"}, {"ver_src", "0"},
                                                         {"ver_flw", "0"}, {"ver_dvc", "0"}, {"ver_snd", "0"},
                                                         {"ver_rcv", "0"}}));

    // An activation changes a receiver: the counter goes up in a fresh announcement.
    const QString base = QStringLiteral("http://10.77.0.2:%1").arg(m_port);
    const QString receiverId = QJsonDocument::fromJson(request("GET", base + nodeBase + "receivers/").body)
                                   .array().last().toObject().value("id").toString();
    QCOMPARE(request("PATCH", base + connectionBase + "receivers/" + receiverId + "/staged", enableNow).status, 200);
    QVERIFY(!waitFor("updated", "1").isEmpty());

    // Goodbyes on the way out.
    node->terminate();
    QVERIFY(node->waitForFinished(15000));
    QVERIFY(!waitFor("removed").isEmpty());
}

QTEST_MAIN(tst_SimNode)
#include "tst_simnode.moc"
