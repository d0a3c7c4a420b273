#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QtTest>

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

namespace {

const QString Untouched = QStringLiteral("<untouched>");
const QString SdpFailure = QStringLiteral("Failed to fetch Sender SDP.");
const QByteArray SdpPath = "/sdp/s1.sdp";
// Real resource ids, as the published schemas want them.
const QByteArray SenderId = "0b6e3c1a-5f2d-4e8b-9c47-1d2e3f4a5b6c";
const QByteArray ReceiverId = "7d9f0a2b-3c4e-4f5a-8b6c-7d8e9f0a1b2c";
const QByteArray SenderStaged = connectionPath("/single/senders/" + SenderId + "/staged");
const QByteArray ReceiverStaged = connectionPath("/single/receivers/" + ReceiverId + "/staged");
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

// The exact PATCH bodies; a connect's carries the transport file.
const QByteArray ActivateBody = R"({"activation":{"mode":"activate_immediate"}})";
const QByteArray DisconnectBody = R"({"activation":{"mode":"activate_immediate","requested_time":null},)"
                                  R"("master_enable":false,"transport_file":{"data":null,"type":null}})";
QByteArray connectBody(QByteArray sdp)
{
    return R"({"activation":{"mode":"activate_immediate","requested_time":null},"master_enable":true,"sender_id":")" +
           SenderId + R"(","transport_file":{"data":")" + sdp.replace("\r\n", "\\r\\n") + R"(","type":"application/sdp"}})";
}

} // namespace

// The Connection API operations of NmosClient: what each sends, to which node, in which
// order, and how it reports the outcome.
class tst_NmosConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void connectsReceiver_data();
    void connectsReceiver();
    void activatesSenderOrDisconnectsReceiver_data();
    void activatesSenderOrDisconnectsReceiver();
    void verifiesActiveReceiver_data();
    void verifiesActiveReceiver();
    void bodiesMatchConnectionApiSchemas();
    void readsStagedReceiverSdp_data();
    void readsStagedReceiverSdp();
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

NmosClient::SenderGroup tst_NmosConnection::senderGroup() const
{
    return {SenderId, "Cam 1", m_tx->url(SdpPath), {m_tx->address()}, {}, {}};
}

NmosClient::ReceiverGroup tst_NmosConnection::receiverGroup() const
{
    return {ReceiverId, "Mon 1", {m_rx->address()}, {}, {}};
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
    QTest::newRow("404, activation 200, 404") << QList<Reply>{missing} << accepted << accepted << false << SdpFailure
                                              << readActivateRead << QByteArray();
    QTest::newRow("404, activation refused") << QList<Reply>{missing} << Reply::empty(500) << accepted << true << SdpFailure
                                             << readActivate << QByteArray("");
    QTest::newRow("404, activation refused, receiver 404") << QList<Reply>{missing} << Reply::empty(500)
                                                           << Reply::text("no", 404) << false << "HTTP 404" << readActivate
                                                           << QByteArray("");
    // A refusal is named by its status and the node's own reason, never left to an earlier text.
    const QJsonObject badSdp{{"code", 400}, {"error", " Unsupported transport file "}, {"debug", QJsonValue()}};
    QTest::newRow("receiver 400") << QList<Reply>{sdp1} << accepted << Reply::json(badSdp, 400) << false
                                  << "HTTP 400: Unsupported transport file" << readOnce << Sdp1;
    QTest::newRow("receiver 400, long reason")
        << QList<Reply>{sdp1} << accepted << Reply::json(QJsonObject{{"error", QString(100000, 'x')}}, 400) << false
        << "HTTP 400: " + QString(300, 'x') + "\u2026" << readOnce << Sdp1;
    QTest::newRow("receiver 302") << QList<Reply>{sdp1} << accepted << Reply::redirect(302, "/elsewhere") << false
                                  << "HTTP 302" << readOnce << Sdp1;
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
    const NmosClient::ReceiverGroup receiverRecord = receiverGroup();
    if (receiver.status == 0)
        m_rx->stop();

    NmosClient client;
    QString gotError = Untouched;
    MessageLog log;
    QCOMPARE(client.connectReceiver(senderGroup(), receiverRecord, &gotError), result);
    compareError(gotError, error);
    QCOMPARE(m_tx->requestLines(), txRequests);
    QCOMPARE(log.all(), QStringList());
    // A null sdp: the receiver is not patched (node down, or the second read failed); "data"
    // is never null otherwise, even when no transport file could be read.
    const QList<TestHttpServer::Request> requests = m_rx->requests();
    QCOMPARE(requests.size(), sdp.isNull() ? 0 : 1);
    if (!sdp.isNull()) {
        QCOMPARE(line(requests.at(0).method, requests.at(0).path), line("PATCH", ReceiverStaged));
        QCOMPARE(requests.at(0).header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(requests.at(0).body, connectBody(sdp));
    }
    if (manifest.size() == 1) // once more, with nowhere to write a failure text
        QCOMPARE(client.connectReceiver(senderGroup(), receiverRecord), result);
}

void tst_NmosConnection::activatesSenderOrDisconnectsReceiver_data()
{
    QTest::addColumn<bool>("activate"); // else disconnect
    QTest::addColumn<Reply>("reply");   // status 0: the node is down
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("error");

    QTest::newRow("activate 202") << true << Reply::empty(202) << true << Untouched;
    QTest::newRow("activate 302") << true << Reply::redirect(302, "/elsewhere") << false << SdpFailure;
    QTest::newRow("activate 400") << true << Reply::json(QJsonObject{{"code", 400}}, 400) << false << SdpFailure;
    QTest::newRow("activate, node down") << true << Reply::empty(0) << false << SdpFailure;
    QTest::newRow("disconnect 200") << false << Reply::json(QJsonObject{{"master_enable", false}}) << true << Untouched;
    QTest::newRow("disconnect 302") << false << Reply::redirect(302, "/elsewhere") << false << "HTTP 302";
    QTest::newRow("disconnect 500") << false << Reply::empty(500) << false << "HTTP 500";
    QTest::newRow("disconnect 500, reason not a string")
        << false << Reply::json(QJsonObject{{"code", 500}, {"error", 7}}, 500) << false << "HTTP 500";
    QTest::newRow("disconnect, node down") << false << Reply::empty(0) << false << "~Connection refused";
}

void tst_NmosConnection::activatesSenderOrDisconnectsReceiver()
{
    QFETCH(bool, activate);
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, error);

    TestHttpServer *node = activate ? m_tx.get() : m_rx.get();
    const QByteArray path = activate ? SenderStaged : ReceiverStaged;
    const NmosClient::SenderGroup sender = senderGroup();
    const NmosClient::ReceiverGroup receiver = receiverGroup();
    node->setReply("PATCH", path, reply);
    if (reply.status == 0)
        node->stop();
    NmosClient client;
    QString gotError = Untouched;
    QCOMPARE(activate ? client.activateSender(sender, &gotError) : client.disconnectReceiver(receiver, &gotError), result);
    compareError(gotError, error);
    QCOMPARE(m_tx->requestCount() + m_rx->requestCount(), reply.status == 0 ? 0 : 1);
    if (reply.status != 0) {
        const TestHttpServer::Request request = node->requests().at(0);
        QCOMPARE(line(request.method, request.path), line("PATCH", path));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.body, activate ? ActivateBody : DisconnectBody);
    }
    // Once more, with nowhere to write a failure text.
    QCOMPARE(activate ? client.activateSender(sender) : client.disconnectReceiver(receiver), result);
}

void tst_NmosConnection::verifiesActiveReceiver_data()
{
    QTest::addColumn<bool>("connected"); // else disconnected
    QTest::addColumn<Reply>("active");   // status 0: the node is down
    QTest::addColumn<QString>("error");  // Untouched: the check passes

    const auto active = [](const QJsonValue &senderId, const QJsonValue &masterEnable) {
        return Reply::json(QJsonObject{{"sender_id", senderId}, {"master_enable", masterEnable}});
    };
    const QString sender = QString::fromLatin1(SenderId);
    QTest::newRow("connected") << true << active(sender, true) << Untouched;
    QTest::newRow("connected, other sender") << true << active("other", true)
                                             << "Not active: the receiver reports sender other with master_enable true";
    QTest::newRow("connected, not enabled") << true << active(sender, false)
                                            << "Not active: the receiver reports sender " + sender + " with master_enable false";
    QTest::newRow("connected, nothing active") << true << active(QJsonValue(), false)
                                               << "Not active: the receiver reports sender none with master_enable false";
    QTest::newRow("disconnected") << false << active(sender, false) << Untouched;
    QTest::newRow("disconnected, still on") << false << active(QJsonValue(), true)
                                            << "Not active: the receiver reports sender none with master_enable true";
    QTest::newRow("active 500") << true << Reply::empty(500) << "~/active.*Internal Server Error";
    QTest::newRow("active 302") << false << Reply::redirect(302, "/elsewhere") << "~^HTTP 302 from .*/active$";
    QTest::newRow("no master_enable") << false << Reply::json(QJsonObject{{"sender_id", QJsonValue()}})
                                      << "~^No active parameters in the answer from .*/active$";
    QTest::newRow("node down") << false << Reply::empty(0) << "~Connection refused";
}

void tst_NmosConnection::verifiesActiveReceiver()
{
    QFETCH(bool, connected);
    QFETCH(Reply, active);
    QFETCH(QString, error);

    const QByteArray path = connectionPath("/single/receivers/" + ReceiverId + "/active");
    m_rx->setReply("GET", path, active);
    if (active.status == 0)
        m_rx->stop();
    NmosClient client;
    QString gotError = Untouched;
    const bool ok = connected ? client.verifyConnected(senderGroup(), receiverGroup(), &gotError)
                              : client.verifyDisconnected(receiverGroup(), &gotError);
    QCOMPARE(ok, error == Untouched);
    compareError(gotError, error);
    QCOMPARE(m_rx->requestLines(), active.status == 0 ? QStringList() : QStringList{line("GET", path)});
    QCOMPARE(m_tx->requestCount(), 0);
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

    // Arguments: the schema folder, then pairs of schema file and body.
    QStringList arguments{"-c", R"(
import json, pathlib, sys
import jsonschema
base = pathlib.Path(sys.argv[1]).resolve()
failed = 0
for name, body in zip(sys.argv[2::2], sys.argv[3::2]):
    schema = json.loads((base / name).read_text())
    resolver = jsonschema.RefResolver(base_uri=base.as_uri() + "/", referrer=schema)
    try:
        jsonschema.validate(json.loads(body), schema, resolver=resolver)
    except jsonschema.ValidationError as error:
        print(name, body, error.message)
        failed += 1
sys.exit(failed)
)", schemas};
    const auto validate = [&](const QStringList &bodies) {
        QProcess validator;
        validator.setProcessChannelMode(QProcess::ForwardedChannels);
        validator.start(python, arguments + bodies);
        return validator.waitForFinished(60000) ? validator.exitCode() : -1;
    };
    // The bodies the other tests hold the client to, byte for byte.
    const QStringList bodies{"sender-stage-schema.json", ActivateBody, "receiver-stage-schema.json", connectBody(Sdp1),
                             "receiver-stage-schema.json", DisconnectBody};
    QCOMPARE(validate(bodies), 0);
    // The check itself must be able to fail: a body the schema forbids.
    QCOMPARE(validate({"receiver-stage-schema.json", R"({"master_enable":"yes","activation":{"mode":"now"}})"}), 1);
}

void tst_NmosConnection::readsStagedReceiverSdp_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("sdp");

    auto staged = [](const QJsonValue &transportFile) {
        return Reply::json(QJsonObject{{"master_enable", true}, {"transport_file", transportFile}});
    };
    QTest::newRow("SDP staged") << staged(QJsonObject{{"data", QString::fromLatin1(Sdp1)}, {"type", "application/sdp"}}) << true
                                << QString::fromLatin1(Sdp1);
    QTest::newRow("data null") << staged(QJsonObject{{"data", QJsonValue::Null}, {"type", QJsonValue::Null}}) << false << Untouched;
    QTest::newRow("data empty") << staged(QJsonObject{{"data", ""}, {"type", "application/sdp"}}) << true << "";
    QTest::newRow("data not a string") << staged(QJsonObject{{"data", 5}}) << true << "";
    QTest::newRow("transport_file not an object") << staged(QJsonValue("v=0")) << true << "";
    QTest::newRow("empty object") << Reply::json(QJsonObject()) << false << Untouched;
    QTest::newRow("array") << Reply::json(QJsonArray{QJsonObject{{"transport_file", QJsonObject{{"data", "v=0"}}}}}) << false
                           << Untouched;
    QTest::newRow("404") << Reply::text("no", 404) << false << Untouched;
}

void tst_NmosConnection::readsStagedReceiverSdp()
{
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, sdp);

    m_rx->setReply("GET", ReceiverStaged, reply);
    NmosClient client;
    QString gotSdp = Untouched;
    MessageLog log;
    QCOMPARE(client.getReceiverSdp(receiverGroup(), &gotSdp), result);
    QCOMPARE(gotSdp, sdp);
    QCOMPARE(log.warnings().size(), reply.status == 404 ? 1 : 0);
    QCOMPARE(m_rx->requestLines(), QStringList{line("GET", ReceiverStaged)});
}

void tst_NmosConnection::encodesIdAsOneSegment_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("segment"); // empty: no request may be sent at all

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
