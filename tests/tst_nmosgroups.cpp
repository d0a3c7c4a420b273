#include "nmos/nmosclient.h"
#include "tests/support/messagelog.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"

#include <QtTest>

using namespace NmosResources;
using Reply = TestHttpServer::Reply;

namespace {

const QStringList OldAudio{QStringLiteral("old-audio")};
const QStringList OldData{QStringLiteral("old-data")};

QStringList gets(const QStringList &paths)
{
    QStringList lines;
    for (const QString &path : paths)
        lines.append(QStringLiteral("GET /x-nmos/node/v1.3/") + path);
    return lines;
}

QJsonObject tagged(const QJsonValue &resourceValue, const QJsonValue &grouphintValue)
{
    QJsonObject resource = resourceValue.toObject();
    resource.insert(QStringLiteral("tags"), QJsonObject{{GroupHintKey, grouphintValue}});
    return resource;
}

} // namespace

// Device group matching of NmosClient: which audio and data senders or receivers belong with
// a chosen video one, and in which order they are paired.
class tst_NmosGroups : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fillsGroup_data();
    void fillsGroup();

private:
    std::unique_ptr<TestHttpServer> m_node;
};

void tst_NmosGroups::init()
{
    m_node = std::make_unique<TestHttpServer>();
    QString error;
    QVERIFY2(m_node->start(&error), qPrintable(error));
}

void tst_NmosGroups::fillsGroup_data()
{
    QTest::addColumn<QByteArray>("collection"); // "senders" or "receivers"
    QTest::addColumn<QString>("chosenId");
    QTest::addColumn<Reply>("devices"); // status 0: the node is down
    QTest::addColumn<Reply>("chosen");  // the reply to "/<collection>/<chosenId>"
    QTest::addColumn<Reply>("members"); // the reply to "/<collection>/"
    QTest::addColumn<Reply>("flows");   // senders only
    QTest::addColumn<QStringList>("audio");
    QTest::addColumn<QStringList>("data");
    QTest::addColumn<QStringList>("requests");

    const QJsonArray senders{
        senderJson("sv", "Cam", "fv", "", grouphint("Studio A:Video")),
        senderJson("sa1", "Mic 1", "fa1", "", grouphint("Studio A:Audio 1")),
        senderJson("sa2", "Mic 2", "fa2", "", grouphint("Studio A:Audio 2")),
        senderJson("sd", "Anc", "fd", "", grouphint("Studio A:Anc")),
        senderJson("sb", "Mic B", "fb", "", grouphint("Studio B:Audio")),
        senderJson("so", "Mic O", "fo", "", grouphint("Studio A:Audio 3")),
        senderJson("su", "Mic U", "fu", ""),
    };
    const Reply flows = Reply::json(QJsonArray{flowJson("fv", VideoUrn), flowJson("fa2", AudioUrn), flowJson("fd", DataUrn),
                                               flowJson("fa1", AudioUrn), flowJson("fb", AudioUrn), flowJson("fo", AudioUrn),
                                               flowJson("fu", AudioUrn)});
    const QJsonArray txDevices{deviceJson("d1", {"sv", "sa1", "sa2", "sd", "sb", "su"}, {}), deviceJson("d2", {"so"}, {})};
    const Reply sv = Reply::json(senders.at(0).toObject());
    const QStringList tx = gets({"devices/", "senders/sv", "senders/", "flows/"});
    const QByteArray s = "senders";

    QTest::newRow("senders: audio in flow order, data, same device only")
        << s << "sv" << Reply::json(txDevices) << sv << Reply::json(senders) << flows << QStringList{"sa2", "sa1"}
        << QStringList{"sd"} << tx;
    QTest::newRow("senders: first device listing the chosen id")
        << s << "sv" << Reply::json(QJsonArray{deviceJson("d2", {"so", "sv"}, {}), txDevices.at(0)}) << sv
        << Reply::json(senders) << flows << QStringList{"so"} << QStringList() << tx;
    QTest::newRow("senders: device member not an array")
        << s << "sv" << Reply::json(QJsonArray{QJsonObject{{"id", "d0"}, {"senders", "sv"}}, txDevices.at(0)}) << sv
        << Reply::json(senders) << flows << QStringList{"sa2", "sa1"} << QStringList{"sd"} << tx;
    QTest::newRow("senders: grouphint not an array")
        << s << "sv" << Reply::json(txDevices) << Reply::json(tagged(senderJson("sv", "Cam", "fv"), "Studio A:Video"))
        << Reply::json(QJsonArray{tagged(senders.at(1), "Studio A:Audio"), senders.at(2), senders.at(6)}) << flows
        << QStringList{"sa1", "su"} << QStringList() << tx;
    QTest::newRow("senders: grouphint first element not a string")
        << s << "sv" << Reply::json(txDevices) << sv
        << Reply::json(QJsonArray{tagged(senders.at(1), QJsonArray{5, "Studio A:Audio 1"}), senders.at(2)}) << flows
        << QStringList{"sa2"} << QStringList() << tx;
    QTest::newRow("senders: two of one flow, the later one")
        << s << "sv" << Reply::json(QJsonArray{deviceJson("d1", {"sv", "sa1", "sa1b"}, {})}) << sv
        << Reply::json(QJsonArray{senders.at(1), senderJson("sa1b", "Mic 1b", "fa1", "", grouphint("Studio A:Audio 1b"))})
        << flows << QStringList{"sa1b"} << QStringList() << tx;
    QTest::newRow("senders: non-ASCII group names")
        << s << "sv" << Reply::json(QJsonArray{deviceJson("d1", {"sv", "sa1", "sa2"}, {})})
        << Reply::json(senderJson("sv", "Cam", "fv", "", grouphint("Bühne 1:Bild")))
        << Reply::json(QJsonArray{senderJson("sa1", "Ton", "fa1", "", grouphint("Bühne 1:Ton")),
                                  senderJson("sa2", "Ton", "fa2", "", grouphint("Buhne 1:Ton"))})
        << flows << QStringList{"sa1"} << QStringList() << tx;
    QTest::newRow("senders: chosen id encoded as one segment")
        << s << "cam/1" << Reply::json(QJsonArray{deviceJson("d1", {"cam/1", "sa1"}, {})})
        << Reply::json(senderJson("cam/1", "Cam", "fv", "", grouphint("Studio A:Video"))) << Reply::json(senders) << flows
        << QStringList{"sa1"} << QStringList() << gets({"devices/", "senders/cam%2F1", "senders/", "flows/"});
    QTest::newRow("senders: devices an object, unchanged")
        << s << "sv" << Reply::json(txDevices.at(0).toObject()) << sv << Reply::json(senders) << flows << OldAudio << OldData
        << gets({"devices/"});
    QTest::newRow("senders: none, unchanged")
        << s << "sv" << Reply::json(txDevices) << sv << Reply::json(QJsonArray()) << flows << OldAudio << OldData
        << gets({"devices/", "senders/sv", "senders/"});

    const QJsonArray receivers{
        receiverJson("rv", "Mon", VideoUrn, grouphint("Studio A:Video")),
        receiverJson("ra2", "Ear 2", AudioUrn, grouphint("Studio A:Audio 2")),
        receiverJson("rd", "Anc", DataUrn, grouphint("Studio A:Anc")),
        receiverJson("rv2", "Mon 2", VideoUrn, grouphint("Studio A:Video 2")),
        receiverJson("ra1", "Ear 1", AudioUrn, grouphint("Studio A:Audio 1")),
        receiverJson("rb", "Ear B", AudioUrn, grouphint("Studio B:Audio")),
        receiverJson("ro", "Ear O", AudioUrn, grouphint("Studio A:Audio 3")),
    };
    const QJsonArray rxDevices{deviceJson("d1", {}, {"rv", "ra2", "rd", "rv2", "ra1", "rb"}), deviceJson("d2", {}, {"ro"})};
    const Reply rv = Reply::json(receivers.at(0).toObject());
    const QStringList rx = gets({"devices/", "receivers/rv", "receivers/"});
    const QByteArray r = "receivers";

    QTest::newRow("receivers: receiver order, same device only, video passed over")
        << r << "rv" << Reply::json(rxDevices) << rv << Reply::json(receivers) << Reply() << QStringList{"ra2", "ra1"}
        << QStringList{"rd"} << rx;
    QTest::newRow("receivers: device member not an array")
        << r << "rv" << Reply::json(QJsonArray{QJsonObject{{"id", "d0"}, {"receivers", QJsonObject{{"rv", true}}}}, rxDevices.at(0)})
        << rv << Reply::json(receivers) << Reply() << QStringList{"ra2", "ra1"} << QStringList{"rd"} << rx;
    QTest::newRow("receivers: grouphint not an array")
        << r << "rv" << Reply::json(rxDevices) << rv
        << Reply::json(QJsonArray{tagged(receivers.at(1), QJsonObject{{"0", "Studio A:Audio 2"}}), receivers.at(4)}) << Reply()
        << QStringList{"ra1"} << QStringList() << rx;
    QTest::newRow("receivers: one id twice")
        << r << "rv" << Reply::json(rxDevices) << rv << Reply::json(QJsonArray{receivers.at(4), receivers.at(1), receivers.at(4)})
        << Reply() << QStringList{"ra1", "ra2"} << QStringList() << rx;
    QTest::newRow("receivers: format missing or other")
        << r << "rv" << Reply::json(rxDevices) << rv
        << Reply::json(QJsonArray{QJsonObject{{"id", "ra1"}, {"tags", grouphint("Studio A:Audio")}},
                                  receiverJson("ra2", "Ear 2", "urn:x-nmos:format:mux", grouphint("Studio A:Mux"))})
        << Reply() << QStringList() << QStringList() << rx;
    QTest::newRow("receivers: node down, unchanged")
        << r << "rv" << Reply::empty(0) << rv << Reply::json(receivers) << Reply() << OldAudio << OldData << QStringList();
    QTest::newRow("receivers: an object, unchanged")
        << r << "rv" << Reply::json(rxDevices) << rv << Reply::json(receivers.at(1).toObject()) << Reply() << OldAudio << OldData
        << rx;
}

void tst_NmosGroups::fillsGroup()
{
    QFETCH(QByteArray, collection);
    QFETCH(QString, chosenId);
    QFETCH(Reply, devices);
    QFETCH(Reply, chosen);
    QFETCH(Reply, members);
    QFETCH(Reply, flows);
    QFETCH(QStringList, audio);
    QFETCH(QStringList, data);
    QFETCH(QStringList, requests);

    m_node->setReply("GET", nodePath("/devices/"), devices);
    m_node->setReply("GET", nodePath("/" + collection + "/" + QUrl::toPercentEncoding(chosenId)), chosen);
    m_node->setReply("GET", nodePath("/" + collection + "/"), members);
    m_node->setReply("GET", nodePath("/flows/"), flows);
    const QString address = m_node->address();
    if (devices.status == 0)
        m_node->stop();

    NmosClient client;
    MessageLog log;
    // Only the two lists are the grouping's to write.
    if (collection == "senders") {
        NmosClient::SenderGroup group{chosenId, "Cam", "http://node/sdp", {address}, OldAudio, OldData};
        client.fillSenderGroup(&group);
        QCOMPARE(QStringList({group.id, group.label, group.manifestHref, group.node.address}),
                 QStringList({chosenId, "Cam", "http://node/sdp", address}));
        QCOMPARE(group.audioIds, audio);
        QCOMPARE(group.dataIds, data);
    } else {
        NmosClient::ReceiverGroup group{chosenId, "Mon", {address}, OldAudio, OldData};
        client.fillReceiverGroup(&group);
        QCOMPARE(QStringList({group.id, group.label, group.node.address}), QStringList({chosenId, "Mon", address}));
        QCOMPARE(group.audioIds, audio);
        QCOMPARE(group.dataIds, data);
    }
    QCOMPARE(m_node->requestLines(), requests);
}

QTEST_GUILESS_MAIN(tst_NmosGroups)
#include "tst_nmosgroups.moc"
