#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

namespace {

const QString Untouched = QStringLiteral("<untouched>");
const QString SdpFailure = QStringLiteral("Failed to fetch Sender SDP.");
const QByteArray SdpPath = "/sdp/s1.sdp";
const QByteArray SenderStaged = connectionPath("/single/senders/s1/staged");
const QByteArray ReceiverStaged = connectionPath("/single/receivers/r1/staged");
const QByteArray Sdp1 = "v=0\r\no=- 1 1 IN IP4 10.0.0.7\r\ns=Cam 1\r\n";
const QByteArray Sdp2 = "v=0\r\no=- 2 2 IN IP4 10.0.0.7\r\ns=Cam 1 activated\r\n";

// The expected error text: the marker for "left alone", an exact text, or "~" and a pattern.
void compareError(const QString &got, const QString &expected)
{
    if (expected.startsWith(QLatin1Char('~'))) {
        QVERIFY2(got != Untouched && QRegularExpression(expected.mid(1)).match(got).hasMatch(), qPrintable(got));
    } else {
        QCOMPARE(got, expected);
    }
}

QString line(const QByteArray &method, const QByteArray &path)
{
    return QString::fromLatin1(method + ' ' + path);
}

} // namespace

// The Connection API operations of NmosClient: what each sends, to which node, in which
// order, and how it reports the outcome.
class tst_NmosConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectsReceiver_data();
    void connectsReceiver();
    void activatesSender_data();
    void activatesSender();
    void disconnectsReceiver_data();
    void disconnectsReceiver();
    void sendsExactBodies_data();
    void sendsExactBodies();
    void bodiesMatchConnectionApiSchemas();
    void readsStagedReceiverSdp_data();
    void readsStagedReceiverSdp();
    void acceptsNullErrorString();
    void encodesIdAsOneSegment_data();
    void encodesIdAsOneSegment();

private:
    NmosClient::SenderGroup senderGroup() const;
    NmosClient::ReceiverGroup receiverGroup() const;

    std::unique_ptr<TestHttpServer> m_tx;
    std::unique_ptr<TestHttpServer> m_rx;
};

void tst_NmosConnection::init()
{
    m_tx = std::make_unique<TestHttpServer>();
    m_rx = std::make_unique<TestHttpServer>();
    QString error;
    QVERIFY2(m_tx->start(&error), qPrintable(error));
    QVERIFY2(m_rx->start(&error), qPrintable(error));
}

void tst_NmosConnection::cleanup()
{
    m_tx.reset();
    m_rx.reset();
}

NmosClient::SenderGroup tst_NmosConnection::senderGroup() const
{
    NmosClient::SenderGroup group;
    group.id = QStringLiteral("s1");
    group.label = QStringLiteral("Cam 1");
    group.manifestHref = m_tx->url(QString::fromLatin1(SdpPath));
    group.nodeAddress = m_tx->address();
    return group;
}

NmosClient::ReceiverGroup tst_NmosConnection::receiverGroup() const
{
    NmosClient::ReceiverGroup group;
    group.id = QStringLiteral("r1");
    group.label = QStringLiteral("Mon 1");
    group.nodeAddress = m_rx->address();
    return group;
}

void tst_NmosConnection::connectsReceiver_data()
{
    QTest::addColumn<QList<Reply>>("manifest"); // one per read, the last one stays
    QTest::addColumn<Reply>("activation");
    QTest::addColumn<Reply>("receiver"); // a default Reply with status 0: the node is down
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("txRequests");
    QTest::addColumn<QByteArray>("sdp"); // "transport_file"."data" sent to the receiver

    const Reply sdp1 = Reply::text(Sdp1, 200, "application/sdp");
    const Reply sdp2 = Reply::text(Sdp2, 200, "application/sdp");
    const Reply missing = Reply::text("not here", 404);
    const Reply accepted = Reply::json(QJsonObject{{"master_enable", true}}, 200);
    const QStringList readOnce{line("GET", SdpPath)};
    const QStringList readActivateRead{line("GET", SdpPath), line("PATCH", SenderStaged), line("GET", SdpPath)};
    const QStringList readActivate{line("GET", SdpPath), line("PATCH", SenderStaged)};

    QTest::newRow("transport file at once") << QList<Reply>{sdp1} << accepted << accepted << true << Untouched << readOnce << Sdp1;
    QTest::newRow("404, activation 200, 200") << QList<Reply>{missing, sdp2} << accepted << accepted << true << Untouched
                                              << readActivateRead << Sdp2;
    QTest::newRow("empty, activation 200, 200") << QList<Reply>{Reply::empty(200), sdp2} << accepted << accepted << true
                                                << Untouched << readActivateRead << Sdp2;
    QTest::newRow("404, activation 200, 404") << QList<Reply>{missing} << accepted << accepted << false << SdpFailure
                                              << readActivateRead << QByteArray();
    QTest::newRow("404, activation refused") << QList<Reply>{missing} << Reply::empty(500) << accepted << true << SdpFailure
                                             << readActivate << QByteArray("");
    QTest::newRow("404, activation redirected") << QList<Reply>{missing} << Reply::redirect(302, "/elsewhere") << accepted
                                                << true << SdpFailure << readActivate << QByteArray("");
    QTest::newRow("404, activation refused, receiver 404") << QList<Reply>{missing} << Reply::empty(500)
                                                           << Reply::text("no", 404) << false << "~Not Found" << readActivate
                                                           << QByteArray("");
    QTest::newRow("404, activation refused, receiver 302") << QList<Reply>{missing} << Reply::empty(500)
                                                           << Reply::redirect(302, "/elsewhere") << false << SdpFailure
                                                           << readActivate << QByteArray("");
    QTest::newRow("receiver 200 with body") << QList<Reply>{sdp1} << accepted << Reply::text("[]", 200) << true << Untouched
                                            << readOnce << Sdp1;
    QTest::newRow("receiver 404") << QList<Reply>{sdp1} << accepted << Reply::text("no", 404) << false << "~Not Found"
                                  << readOnce << Sdp1;
    QTest::newRow("receiver 400") << QList<Reply>{sdp1} << accepted << Reply::json(QJsonObject{{"code", 400}}, 400) << false
                                  << "~Bad Request" << readOnce << Sdp1;
    QTest::newRow("receiver 302") << QList<Reply>{sdp1} << accepted << Reply::redirect(302, "/elsewhere") << false
                                  << Untouched << readOnce << Sdp1;
    QTest::newRow("receiver node down") << QList<Reply>{sdp1} << accepted << Reply::empty(0) << false
                                        << "~Connection refused" << readOnce << QByteArray();
}

void tst_NmosConnection::connectsReceiver()
{
    QFETCH(QList<Reply>, manifest);
    QFETCH(Reply, activation);
    QFETCH(Reply, receiver);
    QFETCH(bool, result);
    QFETCH(QString, error);
    QFETCH(QStringList, txRequests);
    QFETCH(QByteArray, sdp);

    for (const Reply &reply : manifest)
        m_tx->addReply("GET", SdpPath, reply);
    m_tx->setReply("PATCH", SenderStaged, activation);
    m_rx->setReply("PATCH", ReceiverStaged, receiver);
    const bool receiverUp = receiver.status != 0;
    const NmosClient::ReceiverGroup receiverRecord = receiverGroup();
    if (!receiverUp)
        m_rx->stop();

    NmosClient client;
    QString gotError = Untouched;
    MessageLog log;
    QCOMPARE(client.connectReceiver(senderGroup(), receiverRecord, &gotError), result);
    compareError(gotError, error);
    QCOMPARE(m_tx->requestLines(), txRequests);
    QCOMPARE(log.all(), QStringList());

    // Only a failed second read of the transport file keeps the receiver out of it.
    const bool receiverPatched = !(txRequests.size() == 3 && !result);
    if (!receiverUp || !receiverPatched) {
        QCOMPARE(m_rx->requestCount(), 0);
        return;
    }
    const QList<TestHttpServer::Request> requests = m_rx->requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(line(requests.at(0).method, requests.at(0).path), line("PATCH", ReceiverStaged));
    const QJsonObject body = QJsonDocument::fromJson(requests.at(0).body).object();
    QCOMPARE(body.value("sender_id"), QJsonValue("s1"));
    const QJsonValue data = body.value("transport_file").toObject().value("data");
    QVERIFY(data.isString()); // never null, even when no transport file could be read
    QCOMPARE(data.toString(), QString::fromUtf8(sdp));
}

void tst_NmosConnection::activatesSender_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");

    QTest::newRow("200") << Reply::json(QJsonObject()) << true << Untouched;
    QTest::newRow("202") << Reply::empty(202) << true << Untouched;
    QTest::newRow("302") << Reply::redirect(302, "/elsewhere") << false << SdpFailure;
    QTest::newRow("400") << Reply::json(QJsonObject{{"code", 400}}, 400) << false << SdpFailure;
    QTest::newRow("node down") << Reply::empty(0) << false << SdpFailure;
}

void tst_NmosConnection::activatesSender()
{
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, error);

    m_tx->setReply("PATCH", SenderStaged, reply);
    const NmosClient::SenderGroup sender = senderGroup();
    if (reply.status == 0)
        m_tx->stop();
    NmosClient client;
    QString gotError = Untouched;
    QCOMPARE(client.activateSender(sender, &gotError), result);
    QCOMPARE(gotError, error);
    QCOMPARE(m_tx->requestLines(), reply.status == 0 ? QStringList() : QStringList{line("PATCH", SenderStaged)});
    QCOMPARE(m_rx->requestCount(), 0);
}

void tst_NmosConnection::disconnectsReceiver_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");

    QTest::newRow("200") << Reply::json(QJsonObject{{"master_enable", false}}) << true << Untouched;
    QTest::newRow("204") << Reply::empty(204) << true << Untouched;
    QTest::newRow("302") << Reply::redirect(302, "/elsewhere") << false << Untouched;
    QTest::newRow("404") << Reply::text("no", 404) << false << "~Not Found";
    QTest::newRow("500") << Reply::empty(500) << false << "~Internal Server Error";
    QTest::newRow("node down") << Reply::empty(0) << false << "~Connection refused";
}

void tst_NmosConnection::disconnectsReceiver()
{
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, error);

    m_rx->setReply("PATCH", ReceiverStaged, reply);
    const NmosClient::ReceiverGroup receiver = receiverGroup();
    if (reply.status == 0)
        m_rx->stop();
    NmosClient client;
    QString gotError = Untouched;
    QCOMPARE(client.disconnectReceiver(receiver, &gotError), result);
    compareError(gotError, error);
    QCOMPARE(m_rx->requestLines(), reply.status == 0 ? QStringList() : QStringList{line("PATCH", ReceiverStaged)});
}

void tst_NmosConnection::sendsExactBodies_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("activate") << "activate" << SenderStaged << QByteArray(R"({"activation":{"mode":"activate_immediate"}})");
    QTest::newRow("connect")
        << "connect" << ReceiverStaged
        << QByteArray(R"({"activation":{"mode":"activate_immediate","requested_time":null},"master_enable":true,)"
                      R"("sender_id":"s1","transport_file":{"data":"v=0\r\no=- 1 1 IN IP4 10.0.0.7\r\ns=Cam 1\r\n",)"
                      R"("type":"application/sdp"}})");
    QTest::newRow("disconnect")
        << "disconnect" << ReceiverStaged
        << QByteArray(R"({"activation":{"mode":"activate_immediate","requested_time":null},"master_enable":false,)"
                      R"("transport_file":{"data":null,"type":null}})");
}

void tst_NmosConnection::sendsExactBodies()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);

    m_tx->setReply("GET", SdpPath, Reply::text(Sdp1, 200, "application/sdp"));
    m_tx->setReply("PATCH", SenderStaged, Reply::json(QJsonObject()));
    m_rx->setReply("PATCH", ReceiverStaged, Reply::json(QJsonObject()));
    NmosClient client;
    if (operation == "activate")
        QVERIFY(client.activateSender(senderGroup()));
    else if (operation == "connect")
        QVERIFY(client.connectReceiver(senderGroup(), receiverGroup()));
    else
        QVERIFY(client.disconnectReceiver(receiverGroup()));

    QList<TestHttpServer::Request> patches;
    for (const TestHttpServer::Request &request : m_tx->requests() + m_rx->requests()) {
        if (request.method == "PATCH")
            patches.append(request);
    }
    QCOMPARE(patches.size(), 1);
    QCOMPARE(patches.at(0).path, path);
    QCOMPARE(patches.at(0).header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(patches.at(0).body, body);
}

void tst_NmosConnection::bodiesMatchConnectionApiSchemas()
{
    // The published schemas sit beside the checkout, not in it.
    const QString schemas = QDir::cleanPath(QStringLiteral(FERROLINK_SOURCE_DIR "/../shared/amwa/is-05-v1.1/schemas"));
    if (!QFileInfo::exists(schemas + QStringLiteral("/receiver-stage-schema.json")))
        QSKIP("the Connection API schemas are not beside the checkout (../shared/amwa)");
    const QString python = QStringLiteral("/usr/bin/python3");
    if (QProcess::execute(python, {"-c", "import jsonschema"}) != 0)
        QSKIP("needs /usr/bin/python3 with jsonschema (python3-jsonschema)");

    // The schemas want real resource ids.
    NmosClient::SenderGroup sender = senderGroup();
    sender.id = QStringLiteral("0b6e3c1a-5f2d-4e8b-9c47-1d2e3f4a5b6c");
    NmosClient::ReceiverGroup receiver = receiverGroup();
    receiver.id = QStringLiteral("7d9f0a2b-3c4e-4f5a-8b6c-7d8e9f0a1b2c");
    const QByteArray senderStaged = connectionPath("/single/senders/" + sender.id.toLatin1() + "/staged");
    m_tx->setReply("GET", SdpPath, Reply::text(Sdp1, 200, "application/sdp"));
    m_tx->setReply("PATCH", senderStaged, Reply::json(QJsonObject()));
    m_rx->setReply("PATCH", connectionPath("/single/receivers/" + receiver.id.toLatin1() + "/staged"), Reply::json(QJsonObject()));
    NmosClient client;
    QVERIFY(client.activateSender(sender));
    QVERIFY(client.connectReceiver(sender, receiver));
    QVERIFY(client.disconnectReceiver(receiver));
    const QList<TestHttpServer::Request> received = m_tx->requests() + m_rx->requests();

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList arguments{"-c", R"(
import json, pathlib, sys
import jsonschema
base = pathlib.Path(sys.argv[1]).resolve()
failed = 0
for schema_name, body_path in zip(sys.argv[2::2], sys.argv[3::2]):
    schema = json.loads((base / schema_name).read_text())
    resolver = jsonschema.RefResolver(base_uri=base.as_uri() + "/", referrer=schema)
    body = json.loads(pathlib.Path(body_path).read_text())
    try:
        jsonschema.validate(body, schema, resolver=resolver)
    except jsonschema.ValidationError as error:
        print(body_path, schema_name, error.message)
        failed += 1
sys.exit(failed)
)", schemas};
    auto addBody = [&](const QString &name, const QString &schema, const QByteArray &body) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(body);
        arguments << schema << file.fileName();
    };
    for (const TestHttpServer::Request &request : received) {
        if (request.method != "PATCH")
            continue;
        const bool toSender = request.path == senderStaged;
        addBody(QStringLiteral("body%1.json").arg(arguments.size()), toSender ? "sender-stage-schema.json" : "receiver-stage-schema.json", request.body);
    }
    QCOMPARE(arguments.size(), 3 + 2 * 3);

    QProcess validator;
    validator.start(python, arguments);
    QVERIFY(validator.waitForFinished(60000));
    QVERIFY2(validator.exitCode() == 0, validator.readAll().constData());

    // The check itself must be able to fail: a body the schema forbids.
    arguments = arguments.mid(0, 3);
    addBody("bad", "receiver-stage-schema.json", R"({"master_enable":"yes","activation":{"mode":"now"}})");
    validator.start(python, arguments);
    QVERIFY(validator.waitForFinished(60000));
    QCOMPARE(validator.exitCode(), 1);
}

void tst_NmosConnection::readsStagedReceiverSdp_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("sdp");
    QTest::addColumn<bool>("warned");

    auto staged = [](const QJsonValue &transportFile) {
        return Reply::json(QJsonObject{{"master_enable", true}, {"transport_file", transportFile}});
    };
    QTest::newRow("SDP staged") << staged(QJsonObject{{"data", QString::fromLatin1(Sdp1)}, {"type", "application/sdp"}}) << true
                                << QString::fromLatin1(Sdp1) << false;
    QTest::newRow("data null") << staged(QJsonObject{{"data", QJsonValue::Null}, {"type", QJsonValue::Null}}) << false
                               << Untouched << false;
    QTest::newRow("data empty") << staged(QJsonObject{{"data", ""}, {"type", "application/sdp"}}) << true << "" << false;
    QTest::newRow("data not a string") << staged(QJsonObject{{"data", 5}}) << true << "" << false;
    QTest::newRow("data absent") << staged(QJsonObject{{"type", "application/sdp"}}) << true << "" << false;
    QTest::newRow("transport_file not an object") << staged(QJsonValue("v=0")) << true << "" << false;
    QTest::newRow("no transport_file") << Reply::json(QJsonObject{{"master_enable", false}}) << true << "" << false;
    QTest::newRow("empty object") << Reply::json(QJsonObject()) << false << Untouched << false;
    QTest::newRow("array") << Reply::json(QJsonArray{QJsonObject{{"transport_file", QJsonObject{{"data", "v=0"}}}}}) << false
                           << Untouched << false;
    QTest::newRow("404") << Reply::text("no", 404) << false << Untouched << true;
}

void tst_NmosConnection::readsStagedReceiverSdp()
{
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, sdp);
    QFETCH(bool, warned);

    m_rx->setReply("GET", ReceiverStaged, reply);
    NmosClient client;
    QString gotSdp = Untouched;
    MessageLog log;
    QCOMPARE(client.getReceiverSdp(receiverGroup(), &gotSdp), result);
    QCOMPARE(gotSdp, sdp);
    QCOMPARE(log.warnings().size(), warned ? 1 : 0);
    QCOMPARE(m_rx->requestLines(), QStringList{line("GET", ReceiverStaged)});
}

void tst_NmosConnection::acceptsNullErrorString()
{
    m_tx->setReply("GET", SdpPath, Reply::text("no", 404));
    m_tx->setReply("PATCH", SenderStaged, Reply::json(QJsonObject()));
    m_rx->setReply("PATCH", ReceiverStaged, Reply::text("no", 404));
    NmosClient client;
    // Every path that writes a failure text, once with nowhere to write it.
    QVERIFY(!client.connectReceiver(senderGroup(), receiverGroup(), nullptr)); // second read fails
    m_tx->setReply("PATCH", SenderStaged, Reply::empty(500));
    QVERIFY(!client.activateSender(senderGroup(), nullptr));
    QVERIFY(!client.connectReceiver(senderGroup(), receiverGroup(), nullptr)); // receiver 404
    QVERIFY(!client.disconnectReceiver(receiverGroup(), nullptr));
    QCOMPARE(m_rx->requestCount(), 2);
}

void tst_NmosConnection::encodesIdAsOneSegment_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("segment"); // empty: no request may be sent at all

    QTest::newRow("UUID unchanged") << "3fa85f64-5717-4562-b3fc-2c963f66afa6" << QByteArray("3fa85f64-5717-4562-b3fc-2c963f66afa6");
    QTest::newRow("slash") << "a/b" << QByteArray("a%2Fb");
    QTest::newRow("query and fragment") << "x?y#z" << QByteArray("x%3Fy%23z");
    QTest::newRow("percent") << "50%25" << QByteArray("50%2525");
    QTest::newRow("climbing out") << "../../bulk/receivers" << QByteArray("..%2F..%2Fbulk%2Freceivers");
    QTest::newRow("space and non-ASCII") << "Kamera Süd" << QByteArray("Kamera%20S%C3%BCd");
    QTest::newRow("dot-dot") << ".." << QByteArray();
    QTest::newRow("dot") << "." << QByteArray();
}

void tst_NmosConnection::encodesIdAsOneSegment()
{
    QFETCH(QString, id);
    QFETCH(QByteArray, segment);

    const QByteArray senderPath = connectionPath("/single/senders/" + segment + "/staged");
    const QByteArray receiverPath = connectionPath("/single/receivers/" + segment + "/staged");
    m_tx->setReply("PATCH", senderPath, Reply::json(QJsonObject()));
    m_rx->setReply("PATCH", receiverPath, Reply::json(QJsonObject()));
    m_rx->setReply("GET", receiverPath, Reply::json(QJsonObject{{"transport_file", QJsonObject{{"data", "v=0"}}}}));

    NmosClient::SenderGroup sender = senderGroup();
    sender.id = id;
    NmosClient::ReceiverGroup receiver = receiverGroup();
    receiver.id = id;
    NmosClient client;
    MessageLog log;
    QString sdp;
    const bool sent = !segment.isEmpty();
    QCOMPARE(client.activateSender(sender), sent);
    QCOMPARE(client.disconnectReceiver(receiver), sent);
    QCOMPARE(client.getReceiverSdp(receiver, &sdp), sent);

    QCOMPARE(m_tx->requestLines(), sent ? QStringList{line("PATCH", senderPath)} : QStringList());
    QCOMPARE(m_rx->requestLines(), sent ? QStringList({line("PATCH", receiverPath), line("GET", receiverPath)}) : QStringList());
}

QTEST_GUILESS_MAIN(tst_NmosConnection)
#include "tst_nmosconnection.moc"
