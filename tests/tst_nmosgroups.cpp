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

QJsonObject findIn(const QJsonArray &resources, const QString &id)
{
    for (const QJsonValue &value : resources) {
        if (value.toObject().value(QStringLiteral("id")).toString() == id)
            return value.toObject();
    }
    return QJsonObject();
}

} // namespace

// Device group matching of NmosClient: which audio and data senders or receivers belong with
// a chosen video one, and in which order they are paired.
class tst_NmosGroups : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fillsSenderGroup_data();
    void fillsSenderGroup();
    void fillsReceiverGroup_data();
    void fillsReceiverGroup();

private:
    std::unique_ptr<TestHttpServer> m_node;
};

void tst_NmosGroups::init()
{
    m_node = std::make_unique<TestHttpServer>();
    QString error;
    QVERIFY2(m_node->start(&error), qPrintable(error));
}

void tst_NmosGroups::cleanup()
{
    m_node.reset();
}

void tst_NmosGroups::fillsSenderGroup_data()
{
    QTest::addColumn<QString>("chosenId");
    QTest::addColumn<Reply>("devices");
    QTest::addColumn<Reply>("chosen"); // the reply to "/senders/<chosenId>"
    QTest::addColumn<Reply>("senders");
    QTest::addColumn<Reply>("flows");
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
    const QJsonArray flows{flowJson("fv", VideoUrn), flowJson("fa2", AudioUrn), flowJson("fd", DataUrn), flowJson("fa1", AudioUrn),
                           flowJson("fb", AudioUrn), flowJson("fo", AudioUrn), flowJson("fu", AudioUrn)};
    const QJsonArray devices{deviceJson("d1", {"sv", "sa1", "sa2", "sd", "sb", "su"}, {}), deviceJson("d2", {"so"}, {})};
    const Reply chosen = Reply::json(findIn(senders, "sv"));
    const QStringList all = gets({"devices/", "senders/sv", "senders/", "flows/"});

    QTest::newRow("audio in flow order, data, same device only")
        << "sv" << Reply::json(devices) << chosen << Reply::json(senders) << Reply::json(flows)
        << QStringList{"sa2", "sa1"} << QStringList{"sd"} << all;
    QTest::newRow("first device listing the chosen id")
        << "sv" << Reply::json(QJsonArray{deviceJson("d2", {"so", "sv"}, {}), devices.at(0)}) << chosen << Reply::json(senders)
        << Reply::json(flows) << QStringList{"so"} << QStringList() << all;
    QTest::newRow("device senders not an array")
        << "sv" << Reply::json(QJsonArray{QJsonObject{{"id", "d0"}, {"senders", "sv"}}, devices.at(0)}) << chosen
        << Reply::json(senders) << Reply::json(flows) << QStringList{"sa2", "sa1"} << QStringList{"sd"} << all;
    QTest::newRow("chosen id on no device")
        << "sv" << Reply::json(QJsonArray{devices.at(1)}) << chosen << Reply::json(senders) << Reply::json(flows)
        << QStringList() << QStringList() << all;
    QTest::newRow("chosen without grouphint: untagged members")
        << "sv" << Reply::json(devices) << Reply::json(senderJson("sv", "Cam", "fv")) << Reply::json(senders) << Reply::json(flows)
        << QStringList{"su"} << QStringList() << all;
    QTest::newRow("grouphint without colon: empty name")
        << "sv" << Reply::json(devices) << Reply::json(senderJson("sv", "Cam", "fv", "", grouphint("Studio A")))
        << Reply::json(QJsonArray{senders.at(1), senderJson("su", "Mic U", "fu", "", grouphint("Mixer"))})
        << Reply::json(flows) << QStringList{"su"} << QStringList() << all;
    QTest::newRow("grouphint not an array")
        << "sv" << Reply::json(devices) << Reply::json(tagged(senderJson("sv", "Cam", "fv"), "Studio A:Video"))
        << Reply::json(QJsonArray{tagged(senders.at(1), "Studio A:Audio"), senders.at(2), senders.at(6)})
        << Reply::json(flows) << QStringList{"sa1", "su"} << QStringList() << gets({"devices/", "senders/sv", "senders/", "flows/"});
    QTest::newRow("grouphint first element not a string")
        << "sv" << Reply::json(devices) << chosen
        << Reply::json(QJsonArray{tagged(senders.at(1), QJsonArray{5, "Studio A:Audio 1"}), senders.at(2)})
        << Reply::json(flows) << QStringList{"sa2"} << QStringList() << all;
    QTest::newRow("two senders of one flow: the later one")
        << "sv" << Reply::json(QJsonArray{deviceJson("d1", {"sv", "sa1", "sa1b"}, {})}) << chosen
        << Reply::json(QJsonArray{senders.at(1), senderJson("sa1b", "Mic 1b", "fa1", "", grouphint("Studio A:Audio 1b"))})
        << Reply::json(flows) << QStringList{"sa1b"} << QStringList() << all;
    QTest::newRow("one sender id twice")
        << "sv" << Reply::json(devices) << chosen
        << Reply::json(QJsonArray{senders.at(1), senderJson("sa1", "Mic 1", "fa2", "", grouphint("Studio A:Audio 2"))})
        << Reply::json(flows) << QStringList{"sa1"} << QStringList() << all;
    QTest::newRow("one flow listed twice")
        << "sv" << Reply::json(devices) << chosen << Reply::json(senders)
        << Reply::json(QJsonArray{flowJson("fa1", AudioUrn), flowJson("fa1", AudioUrn)}) << QStringList{"sa1"} << QStringList()
        << all;
    QTest::newRow("flow missing")
        << "sv" << Reply::json(devices) << chosen << Reply::json(senders)
        << Reply::json(QJsonArray{flowJson("fv", VideoUrn), flowJson("fd", DataUrn)}) << QStringList() << QStringList{"sd"} << all;
    QTest::newRow("non-ASCII group names")
        << "sv" << Reply::json(QJsonArray{deviceJson("d1", {"sv", "sa1", "sa2"}, {})})
        << Reply::json(senderJson("sv", "Cam", "fv", "", grouphint("Bühne 1:Bild")))
        << Reply::json(QJsonArray{senderJson("sa1", "Ton", "fa1", "", grouphint("Bühne 1:Ton")),
                                  senderJson("sa2", "Ton", "fa2", "", grouphint("Buhne 1:Ton"))})
        << Reply::json(flows) << QStringList{"sa1"} << QStringList() << all;
    QTest::newRow("chosen fetch fails: empty name")
        << "sv" << Reply::json(devices) << Reply::text("no", 404) << Reply::json(senders) << Reply::json(flows)
        << QStringList{"su"} << QStringList() << all;
    QTest::newRow("chosen id encoded as one segment")
        << "cam/1" << Reply::json(QJsonArray{deviceJson("d1", {"cam/1", "sa1"}, {})})
        << Reply::json(senderJson("cam/1", "Cam", "fv", "", grouphint("Studio A:Video"))) << Reply::json(senders)
        << Reply::json(flows) << QStringList{"sa1"} << QStringList() << gets({"devices/", "senders/cam%2F1", "senders/", "flows/"});
    QTest::newRow("no flows: lists emptied")
        << "sv" << Reply::json(devices) << chosen << Reply::json(senders) << Reply::json(QJsonArray()) << QStringList()
        << QStringList() << all;
    QTest::newRow("devices fail: unchanged")
        << "sv" << Reply::text("no", 500) << chosen << Reply::json(senders) << Reply::json(flows) << OldAudio << OldData
        << gets({"devices/"});
    QTest::newRow("devices an object: unchanged")
        << "sv" << Reply::json(devices.at(0).toObject()) << chosen << Reply::json(senders) << Reply::json(flows) << OldAudio
        << OldData << gets({"devices/"});
    QTest::newRow("no senders: unchanged")
        << "sv" << Reply::json(devices) << chosen << Reply::json(QJsonArray()) << Reply::json(flows) << OldAudio << OldData
        << gets({"devices/", "senders/sv", "senders/"});
}

void tst_NmosGroups::fillsSenderGroup()
{
    QFETCH(QString, chosenId);
    QFETCH(Reply, devices);
    QFETCH(Reply, chosen);
    QFETCH(Reply, senders);
    QFETCH(Reply, flows);
    QFETCH(QStringList, audio);
    QFETCH(QStringList, data);
    QFETCH(QStringList, requests);

    m_node->setReply("GET", nodePath("/devices/"), devices);
    m_node->setReply("GET", nodePath("/senders/" + QUrl::toPercentEncoding(chosenId)), chosen);
    m_node->setReply("GET", nodePath("/senders/"), senders);
    m_node->setReply("GET", nodePath("/flows/"), flows);

    NmosClient::SenderGroup group;
    group.id = chosenId;
    group.label = QStringLiteral("Cam");
    group.manifestHref = QStringLiteral("http://node/sdp");
    group.nodeAddress = m_node->address();
    group.audioIds = OldAudio;
    group.dataIds = OldData;
    NmosClient client;
    MessageLog log;
    client.fillSenderGroup(&group);
    QCOMPARE(group.audioIds, audio);
    QCOMPARE(group.dataIds, data);
    QCOMPARE(m_node->requestLines(), requests);
    // Only the two lists are the grouping's to write.
    QCOMPARE(group.id, chosenId);
    QCOMPARE(group.label, QStringLiteral("Cam"));
    QCOMPARE(group.manifestHref, QStringLiteral("http://node/sdp"));
    QCOMPARE(group.nodeAddress, m_node->address());
}

void tst_NmosGroups::fillsReceiverGroup_data()
{
    QTest::addColumn<QString>("chosenId");
    QTest::addColumn<Reply>("devices");
    QTest::addColumn<Reply>("chosen"); // the reply to "/receivers/<chosenId>"
    QTest::addColumn<Reply>("receivers");
    QTest::addColumn<QStringList>("audio");
    QTest::addColumn<QStringList>("data");
    QTest::addColumn<QStringList>("requests");

    const QJsonArray receivers{
        receiverJson("rv", "Mon", VideoUrn, grouphint("Studio A:Video")),
        receiverJson("ra2", "Ear 2", AudioUrn, grouphint("Studio A:Audio 2")),
        receiverJson("rd", "Anc", DataUrn, grouphint("Studio A:Anc")),
        receiverJson("rv2", "Mon 2", VideoUrn, grouphint("Studio A:Video 2")),
        receiverJson("ra1", "Ear 1", AudioUrn, grouphint("Studio A:Audio 1")),
        receiverJson("rb", "Ear B", AudioUrn, grouphint("Studio B:Audio")),
        receiverJson("ro", "Ear O", AudioUrn, grouphint("Studio A:Audio 3")),
        receiverJson("ru", "Ear U", AudioUrn),
    };
    const QJsonArray devices{deviceJson("d1", {}, {"rv", "ra2", "rd", "rv2", "ra1", "rb", "ru"}), deviceJson("d2", {}, {"ro"})};
    const Reply chosen = Reply::json(findIn(receivers, "rv"));
    const QStringList all = gets({"devices/", "receivers/rv", "receivers/"});

    QTest::newRow("receiver order, same device only, video passed over")
        << "rv" << Reply::json(devices) << chosen << Reply::json(receivers) << QStringList{"ra2", "ra1"} << QStringList{"rd"} << all;
    QTest::newRow("first device listing the chosen id")
        << "rv" << Reply::json(QJsonArray{deviceJson("d2", {}, {"ro", "rv"}), devices.at(0)}) << chosen << Reply::json(receivers)
        << QStringList{"ro"} << QStringList() << all;
    QTest::newRow("device receivers not an array")
        << "rv" << Reply::json(QJsonArray{QJsonObject{{"id", "d0"}, {"receivers", QJsonObject{{"rv", true}}}}, devices.at(0)})
        << chosen << Reply::json(receivers) << QStringList{"ra2", "ra1"} << QStringList{"rd"} << all;
    QTest::newRow("chosen id on no device")
        << "rv" << Reply::json(QJsonArray{devices.at(1)}) << chosen << Reply::json(receivers) << QStringList() << QStringList() << all;
    QTest::newRow("chosen without grouphint: untagged members")
        << "rv" << Reply::json(devices) << Reply::json(receiverJson("rv", "Mon", VideoUrn)) << Reply::json(receivers)
        << QStringList{"ru"} << QStringList() << all;
    QTest::newRow("grouphint without colon: empty name")
        << "rv" << Reply::json(devices) << Reply::json(receiverJson("rv", "Mon", VideoUrn, grouphint("Studio A")))
        << Reply::json(QJsonArray{receivers.at(1), receiverJson("ru", "Ear U", DataUrn, grouphint("Mixer"))}) << QStringList()
        << QStringList{"ru"} << all;
    QTest::newRow("grouphint not an array")
        << "rv" << Reply::json(devices) << chosen
        << Reply::json(QJsonArray{tagged(receivers.at(1), QJsonObject{{"0", "Studio A:Audio 2"}}), receivers.at(4)})
        << QStringList{"ra1"} << QStringList() << all;
    QTest::newRow("grouphint first element not a string")
        << "rv" << Reply::json(devices) << Reply::json(tagged(receiverJson("rv", "Mon", VideoUrn), QJsonArray{QJsonValue::Null}))
        << Reply::json(receivers) << QStringList{"ru"} << QStringList() << all;
    QTest::newRow("one receiver id twice")
        << "rv" << Reply::json(devices) << chosen << Reply::json(QJsonArray{receivers.at(4), receivers.at(1), receivers.at(4)})
        << QStringList{"ra1", "ra2"} << QStringList() << all;
    QTest::newRow("format missing or other")
        << "rv" << Reply::json(devices) << chosen
        << Reply::json(QJsonArray{QJsonObject{{"id", "ra1"}, {"tags", grouphint("Studio A:Audio")}},
                                  receiverJson("ra2", "Ear 2", "urn:x-nmos:format:mux", grouphint("Studio A:Mux"))})
        << QStringList() << QStringList() << all;
    QTest::newRow("non-ASCII group names")
        << "rv" << Reply::json(devices) << Reply::json(receiverJson("rv", "Mon", VideoUrn, grouphint("Régie 2:Bild")))
        << Reply::json(QJsonArray{receiverJson("ra2", "Ton", AudioUrn, grouphint("Régie 2:Ton")),
                                  receiverJson("ra1", "Ton", AudioUrn, grouphint("Regie 2:Ton"))})
        << QStringList{"ra2"} << QStringList() << all;
    QTest::newRow("chosen fetch fails: empty name")
        << "rv" << Reply::json(devices) << Reply::empty(503) << Reply::json(receivers) << QStringList{"ru"} << QStringList() << all;
    QTest::newRow("devices fail: unchanged")
        << "rv" << Reply::empty(0) << chosen << Reply::json(receivers) << OldAudio << OldData << gets({"devices/"});
    QTest::newRow("no receivers: unchanged")
        << "rv" << Reply::json(devices) << chosen << Reply::json(QJsonArray()) << OldAudio << OldData << all;
    QTest::newRow("receivers an object: unchanged")
        << "rv" << Reply::json(devices) << chosen << Reply::json(receivers.at(1).toObject()) << OldAudio << OldData << all;
}

void tst_NmosGroups::fillsReceiverGroup()
{
    QFETCH(QString, chosenId);
    QFETCH(Reply, devices);
    QFETCH(Reply, chosen);
    QFETCH(Reply, receivers);
    QFETCH(QStringList, audio);
    QFETCH(QStringList, data);
    QFETCH(QStringList, requests);

    // A status 0 reply stands for a node that cannot be reached at all.
    const bool reachable = devices.status != 0;
    m_node->setReply("GET", nodePath("/devices/"), devices);
    m_node->setReply("GET", nodePath("/receivers/" + QUrl::toPercentEncoding(chosenId)), chosen);
    m_node->setReply("GET", nodePath("/receivers/"), receivers);
    const QString address = m_node->address();
    if (!reachable)
        m_node->stop();

    NmosClient::ReceiverGroup group;
    group.id = chosenId;
    group.label = QStringLiteral("Mon");
    group.nodeAddress = address;
    group.audioIds = OldAudio;
    group.dataIds = OldData;
    NmosClient client;
    MessageLog log;
    client.fillReceiverGroup(&group);
    QCOMPARE(group.audioIds, audio);
    QCOMPARE(group.dataIds, data);
    QCOMPARE(m_node->requestLines(), reachable ? requests : QStringList());
    QCOMPARE(group.id, chosenId);
    QCOMPARE(group.label, QStringLiteral("Mon"));
    QCOMPARE(group.nodeAddress, address);
}

QTEST_GUILESS_MAIN(tst_NmosGroups)
#include "tst_nmosgroups.moc"
