// The simulated node that the end-to-end tests, the demo and the benchmarks talk to: its
// answers must be those of a well-behaved node, or every test built on it proves nothing.

#include "nmos/nmosclient.h"
#include "tests/support/netns.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const char *const simnodePath = FERROLINK_BINARY_DIR "/tools/nmos-simnode";
const QString nodeBase = QStringLiteral("/x-nmos/node/v1.3/");
const QString connectionBase = QStringLiteral("/x-nmos/connection/v1.1/single/");

struct HttpResult
{
    int status = 0;
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;

    QJsonObject object() const { return QJsonDocument::fromJson(body).object(); }
    QJsonArray array() const { return QJsonDocument::fromJson(body).array(); }
};

// The camera of the demo: one group with a video, two audio and one data essence, each
// both as sender and receiver, so one node can patch itself.
const QStringList cameraArgs = {
    QStringLiteral("--label"), QStringLiteral("camera"),
    QStringLiteral("--group-name"), QStringLiteral("Cam %n"),
    QStringLiteral("--video-senders"), QStringLiteral("1"),
    QStringLiteral("--audio-senders"), QStringLiteral("2"),
    QStringLiteral("--data-senders"), QStringLiteral("1"),
    QStringLiteral("--video-receivers"), QStringLiteral("1"),
    QStringLiteral("--audio-receivers"), QStringLiteral("2"),
    QStringLiteral("--data-receivers"), QStringLiteral("1"),
};

const QRegularExpression timestamp(QStringLiteral("^[0-9]+:[0-9]+$"));

// Versions are "<seconds>:<nanoseconds>"; compared as numbers, not text.
bool versionIsNewer(const QString &newer, const QString &older)
{
    const qint64 ns = newer.section(QLatin1Char(':'), 0, 0).toLongLong();
    const qint64 os = older.section(QLatin1Char(':'), 0, 0).toLongLong();
    if (ns != os)
        return ns > os;
    return newer.section(QLatin1Char(':'), 1, 1).toLongLong() > older.section(QLatin1Char(':'), 1, 1).toLongLong();
}

} // namespace

class tst_SimNode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void checksPatchBodies_data();
    void checksPatchBodies();
    void refusesOversizedBody();
    void activatesImmediately_data();
    void activatesImmediately();
    void stagesWithoutActivating();
    void connectsAndDisconnectsReceiver();
    void rejectsTransportFileOfOtherEssence();
    void servesManifestAccordingToFault_data();
    void servesManifestAccordingToFault();
    void injectsRefusals_data();
    void injectsRefusals();
    void delaysAnswers_data();
    void delaysAnswers();
    void hungNodeNeverAnswers();
    void writesStateFile();
    void refusesBadSetup_data();
    void refusesBadSetup();
    void refusesPortInUse();
    void playsNodesOnConsecutivePorts();
    void derivesIdsFromSeed();
    void readsNodesFromJsonFile();
    void groupsAsTheClientExpects();
    void matchesOfficialSchemas();
    void announcesAndWithdraws();

private:
    // Starts the node program and reads the ports it reports; fails the test when it does not start.
    QProcess *startNode(const QStringList &arguments, QList<int> *ports,
                        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    HttpResult request(const QByteArray &verb, const QString &url, const QByteArray &body = QByteArray(),
                       int transferTimeoutMs = 0);
    HttpResult get(int port, const QString &path) { return request("GET", url(port, path)); }
    HttpResult patch(int port, const QString &path, const QByteArray &body)
    {
        return request("PATCH", url(port, path), body);
    }
    static QString url(int port, const QString &path)
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
    }
    // The first resource of a collection whose "format" (or whose flow's format) is the one given.
    QJsonObject findResource(int port, const QString &collection, const QString &format);

    QNetworkAccessManager m_manager;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void tst_SimNode::initTestCase()
{
    QVERIFY2(QFile::exists(QString::fromLatin1(simnodePath)), simnodePath);
}

void tst_SimNode::cleanup()
{
    for (const auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(10000))
                process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
}

QProcess *tst_SimNode::startNode(const QStringList &arguments, QList<int> *ports,
                                 const QProcessEnvironment &environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(QString::fromLatin1(simnodePath), arguments);
    QProcess *raw = process.get();
    m_processes.push_back(std::move(process));
    if (!raw->waitForStarted(10000)) {
        QTest::qFail("the node program did not start", __FILE__, __LINE__);
        return nullptr;
    }
    QByteArray output;
    while (!output.contains("ready\n")) {
        if (!raw->waitForReadyRead(15000)) {
            const QByteArray why = "no ready line; stderr: " + raw->readAllStandardError();
            QTest::qFail(why.constData(), __FILE__, __LINE__);
            return nullptr;
        }
        output += raw->readAllStandardOutput();
    }
    ports->clear();
    for (const QByteArray &line : output.split('\n')) {
        const QJsonObject node = QJsonDocument::fromJson(line).object();
        if (node.contains(QStringLiteral("port")))
            ports->append(node.value(QStringLiteral("port")).toInt());
    }
    return raw;
}

HttpResult tst_SimNode::request(const QByteArray &verb, const QString &address, const QByteArray &body,
                                int transferTimeoutMs)
{
    QNetworkRequest req{QUrl(address)};
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    req.setTransferTimeout(transferTimeoutMs > 0 ? transferTimeoutMs : 20000);
    QNetworkReply *reply = body.isNull() && verb == "GET" ? m_manager.get(req)
                                                          : m_manager.sendCustomRequest(req, verb, body);
    HttpResult result;
    if (!reply->isFinished()) {
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(30000);
    }
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->isOpen())
        result.body = reply->readAll();
    result.error = reply->error();
    reply->deleteLater();
    return result;
}

QJsonObject tst_SimNode::findResource(int port, const QString &collection, const QString &format)
{
    if (collection == QLatin1String("receivers")) {
        for (const QJsonValue &value : get(port, nodeBase + QStringLiteral("receivers/")).array()) {
            if (value.toObject().value(QStringLiteral("format")).toString() == format)
                return value.toObject();
        }
        return QJsonObject();
    }
    QStringList flowIds;
    for (const QJsonValue &flow : get(port, nodeBase + QStringLiteral("flows/")).array()) {
        if (flow.toObject().value(QStringLiteral("format")).toString() == format)
            flowIds << flow.toObject().value(QStringLiteral("id")).toString();
    }
    for (const QJsonValue &value : get(port, nodeBase + QStringLiteral("senders/")).array()) {
        if (flowIds.contains(value.toObject().value(QStringLiteral("flow_id")).toString()))
            return value.toObject();
    }
    return QJsonObject();
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

    QTest::newRow("empty object") << r << QByteArray("{}") << 200;
    QTest::newRow("port auto") << r << QByteArray(R"({"transport_params":[{"destination_port":"auto"}]})") << 200;
    QTest::newRow("extension param") << r << QByteArray(R"({"transport_params":[{"ext_vendor_x":1}]})") << 200;
    QTest::newRow("mode null stages") << r << QByteArray(R"({"master_enable":true,"activation":{"mode":null,"requested_time":null}})") << 200;
    QTest::newRow("client disconnect body") << r
        << QByteArray(R"({"master_enable":false,"transport_file":{"data":null,"type":null},"activation":{"mode":"activate_immediate","requested_time":null}})")
        << 200;
    QTest::newRow("client sender activation body") << s << QByteArray(R"({"activation":{"mode":"activate_immediate"}})") << 200;
    QTest::newRow("sender receiver_id null") << s << QByteArray(R"({"receiver_id":null,"master_enable":true})") << 200;
}

void tst_SimNode::checksPatchBodies()
{
    QFETCH(QString, collection);
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    QList<int> ports;
    QVERIFY(startNode(cameraArgs, &ports));
    const int port = ports.value(0);
    const QString format = QStringLiteral("urn:x-nmos:format:video");
    const QString id = findResource(port, collection, format).value(QStringLiteral("id")).toString();
    QVERIFY(!id.isEmpty());
    const QString staged = connectionBase + collection + QLatin1Char('/') + id + QStringLiteral("/staged");
    const QJsonObject before = get(port, staged).object();
    QVERIFY(!before.isEmpty());

    const HttpResult result = patch(port, staged, body);
    QCOMPARE(result.status, status);
    if (status >= 400) {
        // The error body of the Connection API, and nothing staged from a refused request.
        const QJsonObject error = result.object();
        QCOMPARE(error.value(QStringLiteral("code")).toInt(), status);
        QVERIFY(!error.value(QStringLiteral("error")).toString().isEmpty());
        QVERIFY(error.contains(QStringLiteral("debug")));
        QCOMPARE(get(port, staged).object(), before);
    } else {
        QVERIFY(result.object().contains(QStringLiteral("activation")));
    }
}

void tst_SimNode::refusesOversizedBody()
{
    QList<int> ports;
    QVERIFY(startNode(cameraArgs, &ports));
    const int port = ports.value(0);
    const QString id = findResource(port, QStringLiteral("receivers"), QStringLiteral("urn:x-nmos:format:video"))
                           .value(QStringLiteral("id")).toString();
    const QString staged = connectionBase + QStringLiteral("receivers/") + id + QStringLiteral("/staged");
    const QByteArray huge = R"({"transport_file":{"type":"application/sdp","data":")" + QByteArray(4 * 1024 * 1024, 'a') + R"("}})";
    QCOMPARE(patch(port, staged, huge).status, 413);
    // The node lives on and answers the next request.
    QCOMPARE(get(port, staged).status, 200);
}

void tst_SimNode::activatesImmediately_data()
{
    QTest::addColumn<QString>("collection");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("counter");

    QTest::newRow("video sender") << "senders" << "urn:x-nmos:format:video" << "ver_snd";
    QTest::newRow("audio sender") << "senders" << "urn:x-nmos:format:audio" << "ver_snd";
    QTest::newRow("data receiver") << "receivers" << "urn:x-nmos:format:data" << "ver_rcv";
    QTest::newRow("video receiver") << "receivers" << "urn:x-nmos:format:video" << "ver_rcv";
}

void tst_SimNode::activatesImmediately()
{
    QFETCH(QString, collection);
    QFETCH(QString, format);
    QFETCH(QString, counter);

    QList<int> ports;
    QVERIFY(startNode(cameraArgs, &ports));
    const int port = ports.value(0);
    const QJsonObject resource = findResource(port, collection, format);
    const QString id = resource.value(QStringLiteral("id")).toString();
    QVERIFY(!id.isEmpty());
    const QString single = nodeBase + collection + QLatin1Char('/') + id;
    const QString staged = connectionBase + collection + QLatin1Char('/') + id + QStringLiteral("/staged");
    const QString active = connectionBase + collection + QLatin1Char('/') + id + QStringLiteral("/active");
    const int counterBefore = get(port, QStringLiteral("/x-simnode/state")).object()
                                  .value(QStringLiteral("counters")).toObject().value(counter).toInt();
    QCOMPARE(get(port, active).object().value(QStringLiteral("master_enable")).toBool(), false);

    const HttpResult result = patch(port, staged, R"({"master_enable":true,"activation":{"mode":"activate_immediate"}})");
    QCOMPARE(result.status, 200);
    const QJsonObject reply = result.object();
    const QJsonObject activation = reply.value(QStringLiteral("activation")).toObject();
    QCOMPARE(activation.value(QStringLiteral("mode")).toString(), QStringLiteral("activate_immediate"));
    QVERIFY(activation.value(QStringLiteral("requested_time")).isNull());
    const QString activationTime = activation.value(QStringLiteral("activation_time")).toString();
    QVERIFY2(timestamp.match(activationTime).hasMatch(), qPrintable(activationTime));
    QCOMPARE(reply.value(QStringLiteral("master_enable")).toBool(), true);

    // Active has taken over what was staged, before the reply came.
    const QJsonObject nowActive = get(port, active).object();
    QCOMPARE(nowActive.value(QStringLiteral("master_enable")).toBool(), true);
    QCOMPARE(nowActive.value(QStringLiteral("activation")).toObject().value(QStringLiteral("activation_time")).toString(),
             activationTime);
    // The staged endpoint forgets the completed activation.
    const QJsonObject stagedAfter = get(port, staged).object().value(QStringLiteral("activation")).toObject();
    QVERIFY(stagedAfter.value(QStringLiteral("mode")).isNull());
    QVERIFY(stagedAfter.value(QStringLiteral("activation_time")).isNull());

    const QJsonObject after = get(port, single).object();
    QVERIFY2(versionIsNewer(after.value(QStringLiteral("version")).toString(),
                            resource.value(QStringLiteral("version")).toString()),
             qPrintable(after.value(QStringLiteral("version")).toString()));
    QCOMPARE(after.value(QStringLiteral("subscription")).toObject().value(QStringLiteral("active")).toBool(), true);
    const int counterAfter = get(port, QStringLiteral("/x-simnode/state")).object()
                                 .value(QStringLiteral("counters")).toObject().value(counter).toInt();
    QCOMPARE(counterAfter, (counterBefore + 1) % 256);
}

void tst_SimNode::stagesWithoutActivating()
{
    QList<int> ports;
    QVERIFY(startNode(cameraArgs, &ports));
    const int port = ports.value(0);
    const QJsonObject receiver = findResource(port, QStringLiteral("receivers"), QStringLiteral("urn:x-nmos:format:video"));
    const QString id = receiver.value(QStringLiteral("id")).toString();
    const QString path = connectionBase + QStringLiteral("receivers/") + id;
    const QJsonObject activeBefore = get(port, path + QStringLiteral("/active")).object();

    const QByteArray body = R"({"sender_id":"0f6f2b1c-1d1e-4a55-9d43-1b2f0e9a7c11","master_enable":true})";
    QCOMPARE(patch(port, path + QStringLiteral("/staged"), body).status, 200);

    QCOMPARE(get(port, path + QStringLiteral("/staged")).object().value(QStringLiteral("sender_id")).toString(),
             QStringLiteral("0f6f2b1c-1d1e-4a55-9d43-1b2f0e9a7c11"));
    QCOMPARE(get(port, path + QStringLiteral("/active")).object(), activeBefore);
    QCOMPARE(get(port, nodeBase + QStringLiteral("receivers/") + id).object().value(QStringLiteral("version")),
             receiver.value(QStringLiteral("version")));
}

void tst_SimNode::connectsAndDisconnectsReceiver()
{
    QList<int> ports;
    QVERIFY(startNode(cameraArgs, &ports));
    const int port = ports.value(0);
    const QJsonObject sender = findResource(port, QStringLiteral("senders"), QStringLiteral("urn:x-nmos:format:audio"));
    const QJsonObject receiver = findResource(port, QStringLiteral("receivers"), QStringLiteral("urn:x-nmos:format:audio"));
    const QString senderId = sender.value(QStringLiteral("id")).toString();
    const QString receiverId = receiver.value(QStringLiteral("id")).toString();
    const HttpResult sdp = request("GET", sender.value(QStringLiteral("manifest_href")).toString());
    QCOMPARE(sdp.status, 200);
    QVERIFY(sdp.body.startsWith("v=0\r\n"));
    QVERIFY(sdp.body.contains("a=rtpmap:97 L24/48000/2\r\n"));
    const QString multicast = QRegularExpression(QStringLiteral("c=IN IP4 ([0-9.]+)/"))
                                  .match(QString::fromUtf8(sdp.body)).captured(1);
    QVERIFY(!multicast.isEmpty());

    const QJsonObject connect{
        {QStringLiteral("sender_id"), senderId},
        {QStringLiteral("master_enable"), true},
        {QStringLiteral("transport_file"), QJsonObject{{QStringLiteral("data"), QString::fromUtf8(sdp.body)},
                                                       {QStringLiteral("type"), QStringLiteral("application/sdp")}}},
        {QStringLiteral("activation"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")},
                                                   {QStringLiteral("requested_time"), QJsonValue::Null}}}};
    const QString path = connectionBase + QStringLiteral("receivers/") + receiverId;
    QCOMPARE(patch(port, path + QStringLiteral("/staged"), QJsonDocument(connect).toJson()).status, 200);

    const QJsonObject active = get(port, path + QStringLiteral("/active")).object();
    QCOMPARE(active.value(QStringLiteral("sender_id")).toString(), senderId);
    QCOMPARE(active.value(QStringLiteral("transport_file")).toObject().value(QStringLiteral("data")).toString(),
             QString::fromUtf8(sdp.body));
    // The receiver took its stream from the transport file.
    const QJsonObject leg = active.value(QStringLiteral("transport_params")).toArray().at(0).toObject();
    QCOMPARE(leg.value(QStringLiteral("multicast_ip")).toString(), multicast);
    const QJsonObject connected = get(port, nodeBase + QStringLiteral("receivers/") + receiverId).object();
    QCOMPARE(connected.value(QStringLiteral("subscription")).toObject(),
             (QJsonObject{{QStringLiteral("sender_id"), senderId}, {QStringLiteral("active"), true}}));
    QVERIFY(versionIsNewer(connected.value(QStringLiteral("version")).toString(),
                           receiver.value(QStringLiteral("version")).toString()));

    const QByteArray disconnect = R"({"master_enable":false,"transport_file":{"data":null,"type":null},)"
                                  R"("activation":{"mode":"activate_immediate","requested_time":null}})";
    QCOMPARE(patch(port, path + QStringLiteral("/staged"), disconnect).status, 200);
    const QJsonObject disconnected = get(port, nodeBase + QStringLiteral("receivers/") + receiverId).object();
    QCOMPARE(disconnected.value(QStringLiteral("subscription")).toObject().value(QStringLiteral("active")).toBool(), false);
    QVERIFY(versionIsNewer(disconnected.value(QStringLiteral("version")).toString(),
                           connected.value(QStringLiteral("version")).toString()));
    QVERIFY(get(port, path + QStringLiteral("/active")).object().value(QStringLiteral("transport_file"))
                .toObject().value(QStringLiteral("data")).isNull());
}

void tst_SimNode::rejectsTransportFileOfOtherEssence()
{
    QList<int> ports;
    QVERIFY(startNode(cameraArgs, &ports));
    const int port = ports.value(0);
    const QJsonObject sender = findResource(port, QStringLiteral("senders"), QStringLiteral("urn:x-nmos:format:data"));
    const QJsonObject receiver = findResource(port, QStringLiteral("receivers"), QStringLiteral("urn:x-nmos:format:video"));
    const HttpResult sdp = request("GET", sender.value(QStringLiteral("manifest_href")).toString());
    QCOMPARE(sdp.status, 200);
    const QJsonObject connect{
        {QStringLiteral("sender_id"), sender.value(QStringLiteral("id"))},
        {QStringLiteral("master_enable"), true},
        {QStringLiteral("transport_file"), QJsonObject{{QStringLiteral("data"), QString::fromUtf8(sdp.body)},
                                                       {QStringLiteral("type"), QStringLiteral("application/sdp")}}},
        {QStringLiteral("activation"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")}}}};
    const QString path = connectionBase + QStringLiteral("receivers/") + receiver.value(QStringLiteral("id")).toString();
    QCOMPARE(patch(port, path + QStringLiteral("/staged"), QJsonDocument(connect).toJson()).status, 400);
    QVERIFY(get(port, path + QStringLiteral("/active")).object().value(QStringLiteral("sender_id")).isNull());
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
    QStringList args = cameraArgs;
    if (fault)
        args << QStringLiteral("--fault-manifest-404");
    QList<int> ports;
    QVERIFY(startNode(args, &ports));
    const int port = ports.value(0);
    const QJsonObject sender = findResource(port, QStringLiteral("senders"), QStringLiteral("urn:x-nmos:format:video"));
    const QString manifest = sender.value(QStringLiteral("manifest_href")).toString();
    QVERIFY(manifest.startsWith(QStringLiteral("http://127.0.0.1:%1/").arg(port)));

    const HttpResult first = request("GET", manifest);
    QCOMPARE(first.status, fault ? 404 : 200);
    const QString staged = connectionBase + QStringLiteral("senders/") + sender.value(QStringLiteral("id")).toString()
                           + QStringLiteral("/staged");
    QCOMPARE(patch(port, staged, R"({"activation":{"mode":"activate_immediate"}})").status, 200);
    const HttpResult second = request("GET", manifest);
    QCOMPARE(second.status, 200);
    QVERIFY(second.body.startsWith("v=0\r\n"));
    QVERIFY(second.body.contains("a=rtpmap:96 raw/90000\r\n"));
    QVERIFY(second.body.endsWith("\r\n"));
}

void tst_SimNode::injectsRefusals_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("collection");
    QTest::addColumn<int>("status");

    QTest::newRow("sender activation refused") << "--fault-refuse-activation" << "senders" << 500;
    QTest::newRow("refused activation spares receivers") << "--fault-refuse-activation" << "receivers" << 200;
    QTest::newRow("receiver refuses patches") << "--fault-refuse-receiver-patch" << "receivers" << 423;
    QTest::newRow("refusing receivers spare senders") << "--fault-refuse-receiver-patch" << "senders" << 200;
}

void tst_SimNode::injectsRefusals()
{
    QFETCH(QString, option);
    QFETCH(QString, collection);
    QFETCH(int, status);

    QList<int> ports;
    QVERIFY(startNode(cameraArgs + QStringList{option}, &ports));
    const int port = ports.value(0);
    const QString id = findResource(port, collection, QStringLiteral("urn:x-nmos:format:video"))
                           .value(QStringLiteral("id")).toString();
    const QString path = connectionBase + collection + QLatin1Char('/') + id;
    const QJsonObject activeBefore = get(port, path + QStringLiteral("/active")).object();

    const HttpResult result = patch(port, path + QStringLiteral("/staged"),
                                    R"({"master_enable":true,"activation":{"mode":"activate_immediate"}})");
    QCOMPARE(result.status, status);
    if (status >= 400) {
        QCOMPARE(result.object().value(QStringLiteral("code")).toInt(), status);
        QCOMPARE(get(port, path + QStringLiteral("/active")).object(), activeBefore);
    } else {
        QCOMPARE(get(port, path + QStringLiteral("/active")).object().value(QStringLiteral("master_enable")).toBool(), true);
    }
}

void tst_SimNode::delaysAnswers_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("clientTimeoutMs");
    QTest::addColumn<bool>("answered");

    // The node cannot answer before its delay is over, so a client that gives up much
    // earlier never sees an answer; one that waits long enough gets the usual one.
    QTest::newRow("client gives up first") << 30000 << 300 << false;
    QTest::newRow("client waits") << 100 << 30000 << true;
}

void tst_SimNode::delaysAnswers()
{
    QFETCH(int, delayMs);
    QFETCH(int, clientTimeoutMs);
    QFETCH(bool, answered);

    QList<int> ports;
    QVERIFY(startNode(cameraArgs + QStringList{QStringLiteral("--fault-delay"), QString::number(delayMs)}, &ports));
    const HttpResult result = request("GET", url(ports.value(0), nodeBase + QStringLiteral("self")), QByteArray(),
                                      clientTimeoutMs);
    QCOMPARE(result.status, answered ? 200 : 0);
    QCOMPARE(result.object().value(QStringLiteral("label")).toString(), answered ? QStringLiteral("camera") : QString());
}

void tst_SimNode::hungNodeNeverAnswers()
{
    QList<int> ports;
    QProcess *node = startNode(cameraArgs + QStringList{QStringLiteral("--fault-hang")}, &ports);
    QVERIFY(node);
    const HttpResult result = request("GET", url(ports.value(0), nodeBase + QStringLiteral("self")), QByteArray(), 1000);
    QVERIFY(result.error != QNetworkReply::NoError);
    QCOMPARE(result.status, 0);
    QVERIFY(result.body.isEmpty());
    // It still stops when told to.
    node->terminate();
    QVERIFY(node->waitForFinished(15000));
    QCOMPARE(node->exitStatus(), QProcess::NormalExit);
    QCOMPARE(node->exitCode(), 0);
}

void tst_SimNode::writesStateFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString stateFile = dir.filePath(QStringLiteral("state.json"));
    QList<int> ports;
    QVERIFY(startNode(cameraArgs + QStringList{QStringLiteral("--state"), stateFile}, &ports));
    const int port = ports.value(0);

    auto readState = [&stateFile] {
        QFile file(stateFile);
        if (!file.open(QIODevice::ReadOnly))
            return QJsonObject();
        return QJsonDocument::fromJson(file.readAll()).object();
    };
    auto receiverState = [](const QJsonObject &state, const QString &id) {
        for (const QJsonValue &node : state.value(QStringLiteral("nodes")).toArray()) {
            for (const QJsonValue &receiver : node.toObject().value(QStringLiteral("receivers")).toArray()) {
                if (receiver.toObject().value(QStringLiteral("id")).toString() == id)
                    return receiver.toObject();
            }
        }
        return QJsonObject();
    };

    const QString senderId = findResource(port, QStringLiteral("senders"), QStringLiteral("urn:x-nmos:format:video"))
                                 .value(QStringLiteral("id")).toString();
    const QString receiverId = findResource(port, QStringLiteral("receivers"), QStringLiteral("urn:x-nmos:format:video"))
                                   .value(QStringLiteral("id")).toString();
    const QJsonObject initial = receiverState(readState(), receiverId);
    QVERIFY(!initial.isEmpty());
    QVERIFY(initial.value(QStringLiteral("sender_id")).isNull());
    QCOMPARE(initial.value(QStringLiteral("master_enable")).toBool(), false);

    const QByteArray body = QJsonDocument(QJsonObject{
        {QStringLiteral("sender_id"), senderId},
        {QStringLiteral("master_enable"), true},
        {QStringLiteral("transport_file"), QJsonObject{{QStringLiteral("data"), QString()},
                                                       {QStringLiteral("type"), QStringLiteral("application/sdp")}}},
        {QStringLiteral("activation"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("activate_immediate")}}}}).toJson();
    QCOMPARE(patch(port, connectionBase + QStringLiteral("receivers/") + receiverId + QStringLiteral("/staged"), body).status, 200);

    // Written before the answer: no waiting needed.
    const QJsonObject patched = receiverState(readState(), receiverId);
    QCOMPARE(patched.value(QStringLiteral("sender_id")).toString(), senderId);
    QCOMPARE(patched.value(QStringLiteral("master_enable")).toBool(), true);
    QCOMPARE(patched.value(QStringLiteral("transport_file")).toObject().value(QStringLiteral("type")).toString(),
             QStringLiteral("application/sdp"));
    QCOMPARE(patched.value(QStringLiteral("activations")).toInt(), 1);
    // The HTTP dump tells the same.
    QCOMPARE(receiverState(QJsonObject{{QStringLiteral("nodes"), QJsonArray{get(port, QStringLiteral("/x-simnode/state")).object()}}},
                           receiverId).value(QStringLiteral("sender_id")).toString(),
             senderId);
}

void tst_SimNode::refusesBadSetup_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<bool>("inNamespace");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList{QStringLiteral("--colour")} << QByteArray() << false << "colour";
    QTest::newRow("no nodes") << QStringList{QStringLiteral("--nodes"), QStringLiteral("0")} << QByteArray() << false << "--nodes";
    QTest::newRow("negative count") << QStringList{QStringLiteral("--audio-senders"), QStringLiteral("-1")} << QByteArray() << false << "--audio-senders";
    QTest::newRow("port too large") << QStringList{QStringLiteral("--port"), QStringLiteral("70000")} << QByteArray() << false << "port";
    QTest::newRow("ports past the end") << QStringList{QStringLiteral("--port"), QStringLiteral("65535"), QStringLiteral("--nodes"), QStringLiteral("2")}
                                        << QByteArray() << false << "65536";
    QTest::newRow("config not json") << QStringList() << QByteArray("nodes:") << false << "JSON";
    QTest::newRow("config unknown key") << QStringList() << QByteArray(R"({"nodes":[{"label":"a","colour":1}]})") << false << "colour";
    QTest::newRow("config count as text") << QStringList() << QByteArray(R"({"nodes":[{"label":"a","devices":[{"groups":[{"video_senders":"1"}]}]}]})")
                                          << false << "video_senders";
    QTest::newRow("config same label twice") << QStringList() << QByteArray(R"({"nodes":[{"label":"a"},{"label":"a"}]})") << false << "\"a\"";
    QTest::newRow("announce outside namespace") << QStringList{QStringLiteral("--mdns-interface"), QStringLiteral("fl1")}
                                                << QByteArray() << false << "namespace";
    QTest::newRow("announce without interface") << QStringList{QStringLiteral("--announce"), QStringLiteral("--bind"), QStringLiteral("192.0.2.77")}
                                                << QByteArray() << true << "--mdns-interface";
}

void tst_SimNode::refusesBadSetup()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, config);
    QFETCH(bool, inNamespace);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!config.isNull()) {
        QFile file(dir.filePath(QStringLiteral("config.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config);
        arguments << QStringLiteral("--config") << file.fileName();
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("FERROLINK_NETNS"));
    if (inNamespace)
        environment.insert(QStringLiteral("FERROLINK_NETNS"), QStringLiteral("1"));

    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QString::fromLatin1(simnodePath), arguments);
    QVERIFY(process.waitForFinished(15000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!process.readAllStandardOutput().contains("ready"));
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(error.contains(message), qPrintable(error));
}

void tst_SimNode::refusesPortInUse()
{
    QList<int> ports;
    QVERIFY(startNode(cameraArgs + QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1")}, &ports));
    QProcess second;
    second.start(QString::fromLatin1(simnodePath), cameraArgs + QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                                                         QStringLiteral("--port"), QString::number(ports.value(0))});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitCode(), 1);
    const QString error = QString::fromUtf8(second.readAllStandardError());
    QVERIFY2(error.contains(QStringLiteral("cannot listen")), qPrintable(error));
    // The first node still has its port to itself.
    QCOMPARE(get(ports.value(0), nodeBase + QStringLiteral("self")).object().value(QStringLiteral("label")).toString(),
             QStringLiteral("camera"));
}

void tst_SimNode::playsNodesOnConsecutivePorts()
{
    // Find three free ports in a row; the node program must take exactly these.
    int base = 0;
    for (int attempt = 0; attempt < 20 && base == 0; ++attempt) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const int candidate = probe.serverPort();
        probe.close();
        if (candidate > 65000)
            continue;
        QTcpServer second;
        QTcpServer third;
        if (second.listen(QHostAddress::LocalHost, quint16(candidate + 1))
            && third.listen(QHostAddress::LocalHost, quint16(candidate + 2)))
            base = candidate;
    }
    QVERIFY(base != 0);

    QList<int> ports;
    QVERIFY(startNode({QStringLiteral("--label"), QStringLiteral("sim"), QStringLiteral("--nodes"), QStringLiteral("3"),
                       QStringLiteral("--port"), QString::number(base), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                       QStringLiteral("--video-senders"), QStringLiteral("1")},
                      &ports));
    QCOMPARE(ports, (QList<int>{base, base + 1, base + 2}));
    QStringList ids;
    for (int i = 0; i < 3; ++i) {
        const QJsonObject self = get(base + i, nodeBase + QStringLiteral("self")).object();
        QCOMPARE(self.value(QStringLiteral("label")).toString(), QStringLiteral("sim %1").arg(i + 1));
        ids << self.value(QStringLiteral("id")).toString();
        const QJsonArray senders = get(base + i, nodeBase + QStringLiteral("senders/")).array();
        QCOMPARE(senders.size(), 1);
        QVERIFY(senders.at(0).toObject().value(QStringLiteral("manifest_href")).toString()
                    .startsWith(QStringLiteral("http://127.0.0.1:%1/").arg(base + i)));
    }
    ids.removeDuplicates();
    QCOMPARE(ids.size(), 3);
}

void tst_SimNode::derivesIdsFromSeed()
{
    auto senderIds = [this](const QStringList &extra) {
        QList<int> ports;
        QStringList ids;
        if (!startNode(cameraArgs + extra, &ports))
            return ids;
        for (const QJsonValue &sender : get(ports.value(0), nodeBase + QStringLiteral("senders/")).array())
            ids << sender.toObject().value(QStringLiteral("id")).toString();
        cleanup();
        return ids;
    };
    const QStringList first = senderIds({});
    QCOMPARE(first.size(), 4);
    QCOMPARE(senderIds({}), first);
    const QStringList seeded = senderIds({QStringLiteral("--seed"), QStringLiteral("other")});
    QCOMPARE(seeded.size(), 4);
    for (const QString &id : seeded)
        QVERIFY(!first.contains(id));
}

void tst_SimNode::readsNodesFromJsonFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("nodes.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"nodes":[
        {"label":"studio","devices":[{"label":"Camera rack","groups":[
            {"name":"Cam 7","video_senders":1,"audio_senders":1},
            {"name":"","data_senders":1}]}]},
        {"label":"edge","count":2,"faults":{"manifest_404_until_active":true},
         "devices":[{"groups":[{"name":"Mon","video_receivers":1}]}]}]})");
    file.close();

    QList<int> ports;
    QVERIFY(startNode({QStringLiteral("--config"), file.fileName()}, &ports));
    QCOMPARE(ports.size(), 3);

    const QJsonArray devices = get(ports.at(0), nodeBase + QStringLiteral("devices/")).array();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.at(0).toObject().value(QStringLiteral("label")).toString(), QStringLiteral("Camera rack"));
    QCOMPARE(devices.at(0).toObject().value(QStringLiteral("senders")).toArray().size(), 3);
    QStringList hints;
    for (const QJsonValue &sender : get(ports.at(0), nodeBase + QStringLiteral("senders/")).array())
        hints << sender.toObject().value(QStringLiteral("tags")).toObject()
                     .value(QStringLiteral("urn:x-nmos:tag:grouphint/v1.0")).toArray().at(0).toString();
    // A group without a name carries no grouphint at all.
    QCOMPARE(hints, (QStringList{QStringLiteral("Cam 7:Video"), QStringLiteral("Cam 7:Audio 1"), QString()}));

    for (int i = 1; i <= 2; ++i) {
        const QJsonObject self = get(ports.at(i), nodeBase + QStringLiteral("self")).object();
        QCOMPARE(self.value(QStringLiteral("label")).toString(), QStringLiteral("edge %1").arg(i));
        QCOMPARE(get(ports.at(i), nodeBase + QStringLiteral("receivers/")).array().size(), 1);
    }
}

void tst_SimNode::groupsAsTheClientExpects()
{
    QList<int> ports;
    QVERIFY(startNode(cameraArgs + QStringList{QStringLiteral("--fault-manifest-404")}, &ports));
    const QString address = QStringLiteral("127.0.0.1:%1").arg(ports.value(0));

    NmosClient client;
    NmosClient::SenderGroup sender;
    NmosClient::ReceiverGroup receiver;
    QVERIFY(client.findSender(address, NmosClient::Video, &sender));
    QVERIFY(client.findReceiver(address, NmosClient::Video, &receiver));
    client.fillSenderGroup(&sender);
    client.fillReceiverGroup(&receiver);
    QCOMPARE(sender.audioIds.size(), 2);
    QCOMPARE(sender.dataIds.size(), 1);
    QCOMPARE(receiver.audioIds.size(), 2);
    QCOMPARE(receiver.dataIds.size(), 1);

    // The manifest is missing until the client activates the sender, as the fault asks.
    QString error;
    QVERIFY2(client.connectReceiver(sender, receiver, &error), qPrintable(error));
    const QJsonObject active = get(ports.value(0), connectionBase + QStringLiteral("receivers/") + receiver.id
                                                       + QStringLiteral("/active")).object();
    QCOMPARE(active.value(QStringLiteral("sender_id")).toString(), sender.id);
    QVERIFY(active.value(QStringLiteral("transport_file")).toObject().value(QStringLiteral("data")).toString()
                .startsWith(QStringLiteral("v=0")));
    QVERIFY2(client.disconnectReceiver(receiver, &error), qPrintable(error));
    QCOMPARE(get(ports.value(0), connectionBase + QStringLiteral("receivers/") + receiver.id + QStringLiteral("/active"))
                 .object().value(QStringLiteral("master_enable")).toBool(), false);
}

void tst_SimNode::matchesOfficialSchemas()
{
    const QString schemas = QDir::cleanPath(QStringLiteral(FERROLINK_SOURCE_DIR "/../shared/amwa"));
    if (!QFile::exists(schemas + QStringLiteral("/is-04-v1.3/schemas/node.json")))
        QSKIP("the NMOS schemas are not beside the checkout");
    QProcess probe;
    probe.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import jsonschema")});
    if (!probe.waitForFinished(15000) || probe.exitCode() != 0)
        QSKIP("python3-jsonschema is not installed");

    QList<int> ports;
    QVERIFY(startNode(cameraArgs, &ports));
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral(FERROLINK_SOURCE_DIR "/tests/simnode_validate.py"),
                     QStringLiteral("http://127.0.0.1:%1").arg(ports.value(0)), schemas});
    QVERIFY(validator.waitForFinished(120000));
    const QByteArray output = validator.readAll();
    QVERIFY2(validator.exitCode() == 0, output.constData());
    QVERIFY2(output.contains(" 0 failures"), output.constData());
}

void tst_SimNode::announcesAndWithdraws()
{
    SKIP_UNLESS_PRIVATE_NETNS();

    QProcess browser;
    // The browser runs until its stdin closes; a failed check must not leave it behind.
    struct BrowserStopper
    {
        QProcess *process;
        ~BrowserStopper()
        {
            process->closeWriteChannel();
            if (!process->waitForFinished(15000))
                process->kill();
            process->waitForFinished(5000);
        }
    } stopper{&browser};
    browser.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(FERROLINK_SOURCE_DIR "/tests/simnode_browse.py"), QStringLiteral("10.77.0.1")});
    QVERIFY(browser.waitForStarted(10000));
    QList<QJsonObject> events;
    // Only the node started here counts, whatever else the namespace announces.
    const QString name = QStringLiteral("camera._nmos-node._tcp.local.");
    auto waitFor = [&browser, &events, &name](const QString &event, const QString &txtKey = QString(),
                                              const QString &txtValue = QString()) {
        for (;;) {
            for (const QJsonObject &line : events) {
                if (line.value(QStringLiteral("event")).toString() == event
                    && (event == QLatin1String("browsing") || line.value(QStringLiteral("name")).toString() == name)
                    && (txtKey.isEmpty()
                        || line.value(QStringLiteral("txt")).toObject().value(txtKey).toString() == txtValue))
                    return line;
            }
            if (!browser.waitForReadyRead(20000))
                return QJsonObject();
            while (browser.canReadLine())
                events << QJsonDocument::fromJson(browser.readLine()).object();
        }
    };
    QVERIFY2(!waitFor(QStringLiteral("browsing")).isEmpty(), browser.readAllStandardError().constData());

    QList<int> ports;
    QProcess *node = startNode(cameraArgs + QStringList{QStringLiteral("--bind"), QStringLiteral("10.77.0.2"),
                                                        QStringLiteral("--mdns-interface"), QStringLiteral("fl1"),
                                                        QStringLiteral("--api-ver"), QStringLiteral("v1.2,v1.3")},
                               &ports);
    QVERIFY(node);
    const QJsonObject added = waitFor(QStringLiteral("added"));
    QVERIFY2(!added.isEmpty(), browser.readAllStandardError().constData());
    QCOMPARE(added.value(QStringLiteral("server")).toString(), QStringLiteral("camera.local."));
    QCOMPARE(added.value(QStringLiteral("port")).toInt(), ports.value(0));
    QCOMPARE(added.value(QStringLiteral("addresses")).toArray(), QJsonArray{QStringLiteral("10.77.0.2")});
    const QJsonObject txt = added.value(QStringLiteral("txt")).toObject();
    QCOMPARE(txt.value(QStringLiteral("api_proto")).toString(), QStringLiteral("http"));
    QCOMPARE(txt.value(QStringLiteral("api_ver")).toString(), QStringLiteral("v1.2,v1.3"));
    QCOMPARE(txt.value(QStringLiteral("api_auth")).toString(), QStringLiteral("false"));
    QCOMPARE(txt.value(QStringLiteral("ver_rcv")).toString(), QStringLiteral("0"));

    // An activation changes a receiver: the counter goes up in a fresh announcement.
    const QString base = QStringLiteral("http://10.77.0.2:%1").arg(ports.value(0));
    QString receiverId;
    for (const QJsonValue &receiver : request("GET", base + nodeBase + QStringLiteral("receivers/")).array())
        receiverId = receiver.toObject().value(QStringLiteral("id")).toString();
    QVERIFY(!receiverId.isEmpty());
    QCOMPARE(request("PATCH", base + connectionBase + QStringLiteral("receivers/") + receiverId + QStringLiteral("/staged"),
                     R"({"master_enable":true,"activation":{"mode":"activate_immediate"}})").status,
             200);
    QVERIFY(!waitFor(QStringLiteral("updated"), QStringLiteral("ver_rcv"), QStringLiteral("1")).isEmpty());

    // Goodbyes on the way out.
    node->terminate();
    QVERIFY(node->waitForFinished(15000));
    QVERIFY(!waitFor(QStringLiteral("removed")).isEmpty());
}

QTEST_MAIN(tst_SimNode)
#include "tst_simnode.moc"
