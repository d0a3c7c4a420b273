#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QtTest>

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

namespace {

const QString NodeName = QStringLiteral("Bühne");
const QString Old = QStringLiteral("old");

// The request lines for the given collections, as the node sees them.
QStringList gets(const QStringList &collections)
{
    QStringList lines;
    for (const QString &collection : collections)
        lines.append(QStringLiteral("GET /x-nmos/node/v1.3/%1/").arg(collection));
    return lines;
}

} // namespace

// The Node API queries of NmosClient: node checks, the video listings for the combo boxes
// and the find operations of the workflows.
class tst_NmosQueries : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void listsVideoByFirstLabelAndChecksAny_data();
    void listsVideoByFirstLabelAndChecksAny();
    void findsResource_data();
    void findsResource();

private:
    std::unique_ptr<TestHttpServer> m_node;
};

void tst_NmosQueries::init()
{
    m_node = std::make_unique<TestHttpServer>();
    QString error;
    QVERIFY2(m_node->start(&error), qPrintable(error));
}

void tst_NmosQueries::listsVideoByFirstLabelAndChecksAny_data()
{
    QTest::addColumn<QByteArray>("collection"); // "senders" or "receivers"
    QTest::addColumn<Reply>("flows");           // senders only
    QTest::addColumn<Reply>("resources");
    QTest::addColumn<QStringList>("expected"); // "id|label|manifestHref" of each record, in order
    QTest::addColumn<bool>("any");             // hasSenders or hasReceivers

    // Receivers: every format enters the label set, but only video ones are listed.
    const QByteArray r = "receivers";
    QTest::newRow("receivers, same label twice")
        << r << Reply() << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", VideoUrn), receiverJson("r2", "Cam 1", VideoUrn)})
        << QStringList{"r1|Cam 1|"} << true;
    QTest::newRow("receivers, audio first takes the label")
        << r << Reply() << Reply::json(QJsonArray{receiverJson("a1", "Cam 1", AudioUrn), receiverJson("r1", "Cam 1", VideoUrn)})
        << QStringList() << true;
    QTest::newRow("receivers, empty label") << r << Reply() << Reply::json(QJsonArray{receiverJson("r1", "", VideoUrn)})
                                            << QStringList() << true;
    QTest::newRow("receivers, non-ASCII labels")
        << r << Reply()
        << Reply::json(QJsonArray{receiverJson("r1", "Kamera Süd", VideoUrn), receiverJson("r2", "Kamera Sud", VideoUrn),
                                  receiverJson("r3", "カメラ 3", VideoUrn)})
        << QStringList{"r1|Kamera Süd|", "r2|Kamera Sud|", "r3|カメラ 3|"} << true;
    QTest::newRow("receivers, duplicate ids, two labels")
        << r << Reply() << Reply::json(QJsonArray{receiverJson("r1", "Cam 1", VideoUrn), receiverJson("r1", "Cam 2", VideoUrn)})
        << QStringList{"r1|Cam 1|", "r1|Cam 2|"} << true;
    QTest::newRow("receivers, non-objects passed over")
        << r << Reply() << Reply::json(QJsonArray{1, "r0", QJsonValue::Null, receiverJson("r1", "Cam 1", VideoUrn)})
        << QStringList{"r1|Cam 1|"} << true;
    QTest::newRow("receivers, none") << r << Reply() << Reply::json(QJsonArray()) << QStringList() << false;
    QTest::newRow("receivers, object instead of array") << r << Reply() << Reply::json(receiverJson("r1", "Cam 1", VideoUrn))
                                                        << QStringList() << false;

    // Senders: only video senders enter the label set.
    const QByteArray s = "senders";
    const Reply flows = Reply::json(QJsonArray{flowJson("fv1", VideoUrn), flowJson("fa", AudioUrn), flowJson("fv2", VideoUrn)});
    QTest::newRow("senders in sender order, not flow order")
        << s << flows
        << Reply::json(QJsonArray{senderJson("s2", "Cam 2", "fv2", "http://n/s2.sdp"), senderJson("s1", "Cam 1", "fv1", "http://n/s1.sdp")})
        << QStringList{"s2|Cam 2|http://n/s2.sdp", "s1|Cam 1|http://n/s1.sdp"} << true;
    QTest::newRow("senders, audio label does not hide video")
        << s << flows << Reply::json(QJsonArray{senderJson("a", "Cam 1", "fa"), senderJson("s1", "Cam 1", "fv1")})
        << QStringList{"s1|Cam 1|"} << true;
    QTest::newRow("senders, flow unknown") << s << flows << Reply::json(QJsonArray{senderJson("s9", "Cam 9", "f-gone")})
                                           << QStringList() << true;
    QTest::newRow("senders, non-ASCII label") << s << flows << Reply::json(QJsonArray{senderJson("s1", "Bühne – Kamera", "fv1")})
                                              << QStringList{"s1|Bühne – Kamera|"} << true;
    QTest::newRow("senders, only non-objects") << s << flows << Reply::json(QJsonArray{1, QJsonValue::Null}) << QStringList() << true;
    QTest::newRow("senders, 404") << s << flows << Reply::json(QJsonArray{senderJson("s1", "Cam 1", "fv1")}, 404) << QStringList()
                                  << false;
    QTest::newRow("senders, flows an object") << s << Reply::json(flowJson("fv1", VideoUrn))
                                              << Reply::json(QJsonArray{senderJson("s1", "Cam 1", "fv1")}) << QStringList() << true;
}

void tst_NmosQueries::listsVideoByFirstLabelAndChecksAny()
{
    QFETCH(QByteArray, collection);
    QFETCH(Reply, flows);
    QFETCH(Reply, resources);
    QFETCH(QStringList, expected);
    QFETCH(bool, any);

    m_node->setReply("GET", nodePath("/flows/"), flows);
    m_node->setReply("GET", nodePath("/" + collection + "/"), resources);
    NmosClient client;
    MessageLog log;
    QStringList got;
    const auto record = [&](const auto &connection, const QString &manifestHref) {
        got.append(connection.id + '|' + connection.label + '|' + manifestHref);
        QCOMPARE(connection.node.address, m_node->address());
        QCOMPARE(connection.displayName, QStringLiteral("Bühne (127.0.0.1:%1-%2)").arg(m_node->port()).arg(connection.label));
    };
    const bool senders = collection == "senders";
    if (senders) {
        for (const NmosClient::SenderConnection &connection : client.videoSenders(NmosClient::NodeEndpoint{m_node->address()}, NodeName))
            record(connection, connection.manifestHref);
    } else {
        for (const NmosClient::ReceiverConnection &connection : client.videoReceivers(NmosClient::NodeEndpoint{m_node->address()}, NodeName))
            record(connection, QString());
    }
    QCOMPARE(got, expected);
    QCOMPARE(senders ? client.hasSenders(NmosClient::NodeEndpoint{m_node->address()}) : client.hasReceivers(NmosClient::NodeEndpoint{m_node->address()}), any);
    QCOMPARE(m_node->requestLines(), senders ? gets({"flows", "senders", "senders"}) : gets({"receivers", "receivers"}));
}

void tst_NmosQueries::findsResource_data()
{
    QTest::addColumn<QByteArray>("collection"); // "senders" or "receivers"
    QTest::addColumn<QJsonArray>("flows");      // senders only
    QTest::addColumn<Reply>("resources");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("preferredId");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("group"); // id, label, manifestHref of the group afterwards
    QTest::addColumn<QStringList>("requests");

    const QByteArray s = "senders", r = "receivers";
    const int video = NmosClient::Video, audio = NmosClient::Audio;
    const QStringList untouched{"", Old, ""}; // a failed lookup clears only the id
    const QJsonArray flows{flowJson("fa", AudioUrn), flowJson("fv1", VideoUrn), flowJson("fd", DataUrn), flowJson("fv2", VideoUrn)};
    const QJsonArray senders{senderJson("sa", "Mic", "fa", "http://n/sa.sdp"), senderJson("sv2", "Cam 2", "fv2", "http://n/sv2.sdp"),
                             senderJson("sv1", "Cam 1", "fv1", "http://n/sv1.sdp"), senderJson("sd", "Anc", "fd", "http://n/sd.sdp")};
    const Reply all = Reply::json(senders);
    const QStringList both = gets({"flows", "senders"});
    const QStringList sendersOnly = gets({"senders"});

    QTest::newRow("sender of the first video flow") << s << flows << all << video << "" << true
                                                    << QStringList{"sv1", "Cam 1", "http://n/sv1.sdp"} << both;
    QTest::newRow("audio sender") << s << flows << all << audio << "" << true << QStringList{"sa", "Mic", "http://n/sa.sdp"} << both;
    QTest::newRow("data sender") << s << flows << all << int(NmosClient::Data) << "" << true
                                 << QStringList{"sd", "Anc", "http://n/sd.sdp"} << both;
    QTest::newRow("sender, unknown format is video") << s << flows << all << 3 << "" << true
                                                     << QStringList{"sv1", "Cam 1", "http://n/sv1.sdp"} << both;
    QTest::newRow("first video flow without sender")
        << s << flows << Reply::json(QJsonArray{senders.at(0), senders.at(1)}) << video << "" << false << untouched << both;
    QTest::newRow("preferred id of an audio sender")
        << s << flows << all << video << "sa" << true << QStringList{"sa", "Mic", "http://n/sa.sdp"} << sendersOnly;
    QTest::newRow("preferred sender id twice: first wins")
        << s << flows
        << Reply::json(QJsonArray{senderJson("s", "One", "fv1", "http://n/1.sdp"), senderJson("s", "Two", "fv1", "http://n/2.sdp")})
        << video << "s" << true << QStringList{"s", "One", "http://n/1.sdp"} << sendersOnly;
    QTest::newRow("sender without manifest_href")
        << s << flows << Reply::json(QJsonArray{senderJson("sv1", "Cam 1", "fv1")}) << video << "" << false
        << QStringList{"sv1", "Cam 1", ""} << both;
    QTest::newRow("no flow of the format: empty flow_id matches")
        << s << QJsonArray{flowJson("fa", AudioUrn)}
        << Reply::json(QJsonArray{senderJson("s0", "Odd", "", "http://n/0.sdp"), senderJson("sa", "Mic", "fa", "http://n/sa.sdp")})
        << video << "" << true << QStringList{"s0", "Odd", "http://n/0.sdp"} << both;
    QTest::newRow("no flows") << s << QJsonArray() << all << video << "" << false << untouched << gets({"flows"});

    const Reply receivers = Reply::json(QJsonArray{receiverJson("ra", "Mic", AudioUrn), receiverJson("rv1", "Mon 1", VideoUrn),
                                                   receiverJson("rd", "Anc", DataUrn), receiverJson("rv2", "Mon 2", VideoUrn)});
    const QStringList rx = gets({"receivers"});
    QTest::newRow("first video receiver") << r << flows << receivers << video << "" << true << QStringList{"rv1", "Mon 1", ""} << rx;
    QTest::newRow("audio receiver") << r << flows << receivers << audio << "" << true << QStringList{"ra", "Mic", ""} << rx;
    QTest::newRow("preferred video receiver id") << r << flows << receivers << video << "rv2" << true
                                                 << QStringList{"rv2", "Mon 2", ""} << rx;
    QTest::newRow("preferred id of an audio receiver") << r << flows << receivers << video << "ra" << false << untouched << rx;
    QTest::newRow("no receivers") << r << flows << Reply::json(QJsonArray()) << video << "" << false << untouched << rx;
    QTest::newRow("receivers an object") << r << flows << Reply::json(receiverJson("rv1", "Mon 1", VideoUrn)) << video << ""
                                         << false << untouched << rx;
}

void tst_NmosQueries::findsResource()
{
    QFETCH(QByteArray, collection);
    QFETCH(QJsonArray, flows);
    QFETCH(Reply, resources);
    QFETCH(int, format);
    QFETCH(QString, preferredId);
    QFETCH(bool, result);
    QFETCH(QStringList, group);
    QFETCH(QStringList, requests);

    m_node->setReply("GET", nodePath("/flows/"), Reply::json(flows));
    m_node->setReply("GET", nodePath("/" + collection + "/"), resources);
    NmosClient client;
    MessageLog log;
    QStringList got;
    QStringList lists; // the grouping lists belong to the group matching, not to the lookup
    if (collection == "senders") {
        NmosClient::SenderGroup found{Old, Old, Old, {Old}, {"a1"}, {"d1"}};
        QCOMPARE(client.findSender(NmosClient::NodeEndpoint{m_node->address()}, NmosClient::Format(format), &found, preferredId), result);
        got = QStringList{found.id, found.label, found.manifestHref, found.node.address};
        lists = found.audioIds + found.dataIds;
    } else {
        NmosClient::ReceiverGroup found{Old, Old, {Old}, {"a1"}, {"d1"}};
        QCOMPARE(client.findReceiver(NmosClient::NodeEndpoint{m_node->address()}, NmosClient::Format(format), &found, preferredId), result);
        got = QStringList{found.id, found.label, QString(), found.node.address};
        lists = found.audioIds + found.dataIds;
    }
    QCOMPARE(got, group + QStringList{group.at(1) == Old ? Old : m_node->address()});
    QCOMPARE(lists, QStringList({"a1", "d1"}));
    QCOMPARE(m_node->requestLines(), requests);
}

QTEST_GUILESS_MAIN(tst_NmosQueries)
#include "tst_nmosqueries.moc"
