#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QtTest>

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

namespace {

const QString NodeName = QStringLiteral("studio-gw-1");
const QString Old = QStringLiteral("old");

// The request lines for the given collections, as the node sees them.
QStringList gets(const QStringList &collections)
{
    QStringList lines;
    for (const QString &collection : collections)
        lines.append(QStringLiteral("GET /x-nmos/node/v1.3/%1/").arg(collection));
    return lines;
}

NmosClient::SenderGroup oldSenderGroup()
{
    return {Old, Old, Old, Old, {QStringLiteral("a1")}, {QStringLiteral("d1")}};
}

NmosClient::ReceiverGroup oldReceiverGroup()
{
    return {Old, Old, Old, {QStringLiteral("a1")}, {QStringLiteral("d1")}};
}

} // namespace

// The Node API queries of NmosClient: node checks, the video listings for the combo boxes
// and the find operations of the workflows.
class tst_NmosQueries : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void checksNodeForAnyResource_data();
    void checksNodeForAnyResource();
    void listsVideoReceiversByFirstLabel_data();
    void listsVideoReceiversByFirstLabel();
    void listsVideoSendersOfVideoFlows_data();
    void listsVideoSendersOfVideoFlows();
    void findsSender_data();
    void findsSender();
    void findsReceiver_data();
    void findsReceiver();

private:
    std::unique_ptr<TestHttpServer> m_node;
};

void tst_NmosQueries::init()
{
    m_node = std::make_unique<TestHttpServer>();
    QString error;
    QVERIFY2(m_node->start(&error), qPrintable(error));
}

void tst_NmosQueries::cleanup()
{
    m_node.reset();
}

void tst_NmosQueries::checksNodeForAnyResource_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("expected");

    QTest::newRow("one resource") << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", AudioUrn)}) << true;
    QTest::newRow("elements are not looked at") << Reply::json(QJsonArray{1, QJsonValue::Null}) << true;
    QTest::newRow("empty array") << Reply::json(QJsonArray()) << false;
    QTest::newRow("object instead of array") << Reply::json(QJsonObject{{"id", "r1"}}) << false;
    QTest::newRow("not JSON") << Reply::text("[{\"id\":") << false;
    QTest::newRow("404") << Reply::json(QJsonArray{1}, 404) << false;
}

void tst_NmosQueries::checksNodeForAnyResource()
{
    QFETCH(Reply, reply);
    QFETCH(bool, expected);

    m_node->setReply("GET", nodePath("/senders/"), reply);
    m_node->setReply("GET", nodePath("/receivers/"), reply);
    NmosClient client;
    MessageLog log;
    QCOMPARE(client.hasSenders(m_node->address()), expected);
    QCOMPARE(client.hasReceivers(m_node->address()), expected);
    QCOMPARE(m_node->requestLines(), gets({"senders", "receivers"}));
}

void tst_NmosQueries::listsVideoReceiversByFirstLabel_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QStringList>("expected"); // "id|label" of each record, in order

    QTest::newRow("in node order") << Reply::json(QJsonArray{receiverJson("r2", "Cam 2", VideoUrn), receiverJson("r1", "Cam 1", VideoUrn)})
                                   << QStringList{"r2|Cam 2", "r1|Cam 1"};
    QTest::newRow("same label twice") << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", VideoUrn), receiverJson("r2", "Cam 1", VideoUrn)})
                                      << QStringList{"r1|Cam 1"};
    QTest::newRow("audio first takes the label") << Reply::json(QJsonArray{receiverJson("a1", "Cam 1", AudioUrn), receiverJson("r1", "Cam 1", VideoUrn)})
                                                 << QStringList();
    QTest::newRow("video first keeps the label") << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", VideoUrn), receiverJson("a1", "Cam 1", AudioUrn)})
                                                 << QStringList{"r1|Cam 1"};
    QTest::newRow("labels are case-sensitive") << Reply::json(QJsonArray{receiverJson("r1", "cam", VideoUrn), receiverJson("r2", "Cam", VideoUrn)})
                                               << QStringList{"r1|cam", "r2|Cam"};
    QTest::newRow("empty label") << Reply::json(QJsonArray{receiverJson("r1", "", VideoUrn)}) << QStringList();
    QTest::newRow("missing label") << Reply::json(QJsonArray{QJsonObject{{"id", "r1"}, {"format", VideoUrn}}})
                                   << QStringList();
    QTest::newRow("label not a string") << Reply::json(QJsonArray{QJsonObject{{"id", "r1"}, {"label", 7}, {"format", VideoUrn}}})
                                        << QStringList();
    QTest::newRow("non-ASCII labels") << Reply::json(QJsonArray{receiverJson("r1", "Kamera Süd", VideoUrn), receiverJson("r2", "Kamera Sud", VideoUrn),
                                                                receiverJson("r3", "カメラ 3", VideoUrn)})
                                      << QStringList{"r1|Kamera Süd", "r2|Kamera Sud", "r3|カメラ 3"};
    QTest::newRow("duplicate ids, two labels") << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", VideoUrn), receiverJson("r1", "Cam 2", VideoUrn)})
                                               << QStringList{"r1|Cam 1", "r1|Cam 2"};
    QTest::newRow("non-objects passed over") << Reply::json(QJsonArray{1, "r0", QJsonValue::Null, receiverJson("r1", "Cam 1", VideoUrn)})
                                             << QStringList{"r1|Cam 1"};
    QTest::newRow("format upper-case") << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", VideoUrn.toUpper())}) << QStringList();
    QTest::newRow("object instead of array") << Reply::json(receiverJson("r1", "Cam 1", VideoUrn)) << QStringList();
    QTest::newRow("404") << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", VideoUrn)}, 404) << QStringList();
}

void tst_NmosQueries::listsVideoReceiversByFirstLabel()
{
    QFETCH(Reply, reply);
    QFETCH(QStringList, expected);

    m_node->setReply("GET", nodePath("/receivers/"), reply);
    NmosClient client;
    MessageLog log;
    const QList<NmosClient::ReceiverConnection> records = client.videoReceivers(m_node->address(), NodeName);

    QStringList got;
    for (const NmosClient::ReceiverConnection &record : records) {
        got.append(record.id + '|' + record.label);
        QCOMPARE(record.nodeAddress, m_node->address());
        QCOMPARE(record.displayName, QStringLiteral("studio-gw-1 (127.0.0.1:%1-%2)").arg(m_node->port()).arg(record.label));
    }
    QCOMPARE(got, expected);
    QCOMPARE(m_node->requestLines(), gets({"receivers"}));
}

void tst_NmosQueries::listsVideoSendersOfVideoFlows_data()
{
    QTest::addColumn<Reply>("flows");
    QTest::addColumn<QJsonArray>("senders");
    QTest::addColumn<QStringList>("expected"); // "id|label|manifestHref" of each record, in order

    const Reply twoVideoFlows = Reply::json(QJsonArray{flowJson("fv1", VideoUrn), flowJson("fa", AudioUrn), flowJson("fv2", VideoUrn)});
    QTest::newRow("sender order, not flow order")
        << twoVideoFlows << QJsonArray{senderJson("s2", "Cam 2", "fv2", "http://n/s2.sdp"), senderJson("s1", "Cam 1", "fv1", "http://n/s1.sdp")}
        << QStringList{"s2|Cam 2|http://n/s2.sdp", "s1|Cam 1|http://n/s1.sdp"};
    QTest::newRow("audio sender passed over") << twoVideoFlows << QJsonArray{senderJson("a", "Mic", "fa"), senderJson("s1", "Cam 1", "fv1")}
                                              << QStringList{"s1|Cam 1|"};
    QTest::newRow("audio label does not hide video") << twoVideoFlows << QJsonArray{senderJson("a", "Cam 1", "fa"), senderJson("s1", "Cam 1", "fv1")}
                                                     << QStringList{"s1|Cam 1|"};
    QTest::newRow("same label twice") << twoVideoFlows << QJsonArray{senderJson("s1", "Cam", "fv1"), senderJson("s2", "Cam", "fv2")}
                                      << QStringList{"s1|Cam|"};
    QTest::newRow("flow unknown") << twoVideoFlows << QJsonArray{senderJson("s9", "Cam 9", "f-gone")} << QStringList();
    QTest::newRow("no flow_id") << twoVideoFlows << QJsonArray{QJsonObject{{"id", "s1"}, {"label", "Cam 1"}}} << QStringList();
    QTest::newRow("empty label") << twoVideoFlows << QJsonArray{senderJson("s1", "", "fv1")} << QStringList();
    QTest::newRow("non-ASCII label") << twoVideoFlows << QJsonArray{senderJson("s1", "Bühne – Kamera", "fv1")}
                                     << QStringList{"s1|Bühne – Kamera|"};
    QTest::newRow("flows fail") << Reply::json(QJsonArray{flowJson("fv1", VideoUrn)}, 500)
                                << QJsonArray{senderJson("s1", "Cam 1", "fv1")} << QStringList();
    QTest::newRow("flows an object") << Reply::json(flowJson("fv1", VideoUrn)) << QJsonArray{senderJson("s1", "Cam 1", "fv1")}
                                     << QStringList();
}

void tst_NmosQueries::listsVideoSendersOfVideoFlows()
{
    QFETCH(Reply, flows);
    QFETCH(QJsonArray, senders);
    QFETCH(QStringList, expected);

    m_node->setReply("GET", nodePath("/flows/"), flows);
    m_node->setReply("GET", nodePath("/senders/"), Reply::json(senders));
    NmosClient client;
    MessageLog log;
    const QList<NmosClient::SenderConnection> records = client.videoSenders(m_node->address(), QStringLiteral("Bühne"));

    QStringList got;
    for (const NmosClient::SenderConnection &record : records) {
        got.append(record.id + '|' + record.label + '|' + record.manifestHref);
        QCOMPARE(record.nodeAddress, m_node->address());
        QCOMPARE(record.displayName, QStringLiteral("Bühne (127.0.0.1:%1-%2)").arg(m_node->port()).arg(record.label));
    }
    QCOMPARE(got, expected);
    QCOMPARE(m_node->requestLines(), gets({"flows", "senders"}));
}

void tst_NmosQueries::findsSender_data()
{
    QTest::addColumn<QJsonArray>("flows");
    QTest::addColumn<QJsonArray>("senders");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("preferredId");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("manifestHref");
    QTest::addColumn<QStringList>("requests");

    const QJsonArray flows{flowJson("fa", AudioUrn), flowJson("fv1", VideoUrn), flowJson("fd", DataUrn), flowJson("fv2", VideoUrn)};
    const QJsonArray senders{senderJson("sa", "Mic", "fa", "http://n/sa.sdp"), senderJson("sv2", "Cam 2", "fv2", "http://n/sv2.sdp"),
                             senderJson("sv1", "Cam 1", "fv1", "http://n/sv1.sdp"), senderJson("sd", "Anc", "fd", "http://n/sd.sdp")};
    const QStringList both = gets({"flows", "senders"});
    const QStringList sendersOnly = gets({"senders"});

    QTest::newRow("first video flow") << flows << senders << int(NmosClient::Video) << "" << true << "sv1" << "Cam 1" << "http://n/sv1.sdp" << both;
    QTest::newRow("audio") << flows << senders << int(NmosClient::Audio) << "" << true << "sa" << "Mic" << "http://n/sa.sdp" << both;
    QTest::newRow("data") << flows << senders << int(NmosClient::Data) << "" << true << "sd" << "Anc" << "http://n/sd.sdp" << both;
    QTest::newRow("unknown format is video") << flows << senders << 3 << "" << true << "sv1" << "Cam 1" << "http://n/sv1.sdp" << both;
    QTest::newRow("first video flow without sender")
        << flows << QJsonArray{senders.at(0), senders.at(1)} << int(NmosClient::Video) << "" << false << "" << Old << "" << both;
    QTest::newRow("preferred id of an audio sender")
        << flows << senders << int(NmosClient::Video) << "sa" << true << "sa" << "Mic" << "http://n/sa.sdp" << sendersOnly;
    QTest::newRow("preferred id is case-sensitive") << flows << senders << int(NmosClient::Video) << "SV1" << false << "" << Old << "" << sendersOnly;
    QTest::newRow("preferred id twice: first wins")
        << flows << QJsonArray{senderJson("s", "One", "fv1", "http://n/1.sdp"), senderJson("s", "Two", "fv1", "http://n/2.sdp")}
        << int(NmosClient::Video) << "s" << true << "s" << "One" << "http://n/1.sdp" << sendersOnly;
    QTest::newRow("preferred id not a string on the node")
        << flows << QJsonArray{QJsonObject{{"id", 5}, {"label", "Five"}, {"manifest_href", "http://n/5.sdp"}}}
        << int(NmosClient::Video) << "5" << false << "" << Old << "" << sendersOnly;
    QTest::newRow("match without manifest_href")
        << flows << QJsonArray{senderJson("sv1", "Cam 1", "fv1")} << int(NmosClient::Video) << "" << false << "sv1" << "Cam 1" << "" << both;
    QTest::newRow("no flow of the format: empty flow_id matches")
        << QJsonArray{flowJson("fa", AudioUrn)} << QJsonArray{senderJson("s0", "Odd", "", "http://n/0.sdp"), senderJson("sa", "Mic", "fa", "http://n/sa.sdp")}
        << int(NmosClient::Video) << "" << true << "s0" << "Odd" << "http://n/0.sdp" << both;
    QTest::newRow("no flows") << QJsonArray() << senders << int(NmosClient::Video) << "" << false << "" << Old << "" << gets({"flows"});
    QTest::newRow("no senders") << flows << QJsonArray() << int(NmosClient::Video) << "" << false << "" << Old << "" << both;
    QTest::newRow("no senders, preferred id") << flows << QJsonArray() << int(NmosClient::Video) << "sv1" << false << "" << Old << "" << sendersOnly;
}

void tst_NmosQueries::findsSender()
{
    QFETCH(QJsonArray, flows);
    QFETCH(QJsonArray, senders);
    QFETCH(int, format);
    QFETCH(QString, preferredId);
    QFETCH(bool, result);
    QFETCH(QString, id);
    QFETCH(QString, label);
    QFETCH(QString, manifestHref);
    QFETCH(QStringList, requests);

    m_node->setReply("GET", nodePath("/flows/"), Reply::json(flows));
    m_node->setReply("GET", nodePath("/senders/"), Reply::json(senders));
    NmosClient client;
    MessageLog log;
    NmosClient::SenderGroup group = oldSenderGroup();
    QCOMPARE(client.findSender(m_node->address(), NmosClient::Format(format), &group, preferredId), result);
    QCOMPARE(group.id, id);
    QCOMPARE(group.label, label);
    QCOMPARE(group.manifestHref, manifestHref);
    QCOMPARE(group.nodeAddress, label == Old ? Old : m_node->address());
    // The grouping lists belong to the group matching, not to the lookup.
    QCOMPARE(group.audioIds, QStringList{"a1"});
    QCOMPARE(group.dataIds, QStringList{"d1"});
    QCOMPARE(m_node->requestLines(), requests);
}

void tst_NmosQueries::findsReceiver_data()
{
    QTest::addColumn<Reply>("receivers");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("preferredId");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("label");

    const Reply receivers = Reply::json(QJsonArray{receiverJson("ra", "Mic", AudioUrn), receiverJson("rv1", "Mon 1", VideoUrn),
                                                   receiverJson("rd", "Anc", DataUrn), receiverJson("rv2", "Mon 2", VideoUrn)});
    QTest::newRow("first video") << receivers << int(NmosClient::Video) << "" << true << "rv1" << "Mon 1";
    QTest::newRow("audio") << receivers << int(NmosClient::Audio) << "" << true << "ra" << "Mic";
    QTest::newRow("data") << receivers << int(NmosClient::Data) << "" << true << "rd" << "Anc";
    QTest::newRow("unknown format is video") << receivers << 3 << "" << true << "rv1" << "Mon 1";
    QTest::newRow("preferred video id") << receivers << int(NmosClient::Video) << "rv2" << true << "rv2" << "Mon 2";
    QTest::newRow("preferred id of an audio receiver") << receivers << int(NmosClient::Video) << "ra" << false << "" << Old;
    QTest::newRow("preferred id unknown") << receivers << int(NmosClient::Video) << "rx" << false << "" << Old;
    QTest::newRow("no format member")
        << Reply::json(QJsonArray{QJsonObject{{"id", "r0"}, {"label", "?"}}}) << int(NmosClient::Video) << "" << false << "" << Old;
    QTest::newRow("no receivers") << Reply::json(QJsonArray()) << int(NmosClient::Video) << "" << false << "" << Old;
    QTest::newRow("object instead of array") << Reply::json(receiverJson("rv1", "Mon 1", VideoUrn)) << int(NmosClient::Video) << "" << false << "" << Old;
    QTest::newRow("node fails") << Reply::empty(503) << int(NmosClient::Video) << "" << false << "" << Old;
}

void tst_NmosQueries::findsReceiver()
{
    QFETCH(Reply, receivers);
    QFETCH(int, format);
    QFETCH(QString, preferredId);
    QFETCH(bool, result);
    QFETCH(QString, id);
    QFETCH(QString, label);

    m_node->setReply("GET", nodePath("/receivers/"), receivers);
    NmosClient client;
    MessageLog log;
    NmosClient::ReceiverGroup group = oldReceiverGroup();
    QCOMPARE(client.findReceiver(m_node->address(), NmosClient::Format(format), &group, preferredId), result);
    QCOMPARE(group.id, id);
    QCOMPARE(group.label, label);
    QCOMPARE(group.nodeAddress, result ? m_node->address() : Old);
    QCOMPARE(group.audioIds, QStringList{"a1"});
    QCOMPARE(group.dataIds, QStringList{"d1"});
    QCOMPARE(m_node->requestLines(), gets({"receivers"}));
}

QTEST_GUILESS_MAIN(tst_NmosQueries)
#include "tst_nmosqueries.moc"
