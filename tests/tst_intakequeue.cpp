#include "nmos/nodelisting.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"
#include "workflow/intakequeue.h"

#include <QJsonObject>
#include <QtTest>

using namespace NmosResources;

// The intake of discovered nodes on its own: which source a node is listed from, and what a
// hold keeps back until its release.
class tst_IntakeQueue : public QObject
{
    Q_OBJECT

private slots:
    void listsNodes_data();
    void listsNodes();
};

void tst_IntakeQueue::listsNodes_data()
{
    // Each step: "registry <node id> <name> <sender ids>", "mdns <service> <node id>" for the
    // node that answers with its sender "own", "mdns-unreadable <service> <node id>",
    // "asked" (its last list is being read), "read" (its reading ended), "gone <service>",
    // "removed <type> <id>", "hold", "release", "mark" (a "|" among the listings).
    QTest::addColumn<QStringList>("steps");
    // "<name>:<sender ids>", in order; an entry whose text names another node, by that text.
    QTest::addColumn<QStringList>("listed");

    // One node, one name: listed by a registry first, a node is not read again when it
    // announces itself; found by its announcement first, it keeps that name, and its entries
    // come from the registry, which holds what its own API did not give.
    QTest::newRow("registry first") << QStringList{"registry n1 reg s1", "mdns cam n1"} << QStringList{"reg:s1"};
    QTest::newRow("announced first") << QStringList{"mdns-unreadable mon n2", "registry n2 reg-mon s1,s2", "mdns mon n2"}
                                     << QStringList{"mon:s1,s2"};
    QTest::newRow("announced first, read, held")
        << QStringList{"mdns cam n3", "asked", "hold", "read", "registry n3 reg-cam s1", "release"} << QStringList{"cam:s1"};

    QTest::newRow("held until the release") << QStringList{"hold", "registry n1 reg s1", "mark", "release"}
                                            << QStringList{"|", "reg:s1"};
    QTest::newRow("held: a node's newest listing")
        << QStringList{"hold", "registry n1 reg s1", "registry n2 two s3", "registry n1 reg s1,s2", "release"}
        << QStringList{"reg:s1,s2", "two:s3"};
    QTest::newRow("held: a sender removed meanwhile")
        << QStringList{"hold", "registry n1 reg s1,s2", "removed senders s1", "removed receivers s2", "release"}
        << QStringList{"reg:s2"};
    QTest::newRow("held: node withdrawn before its reading")
        << QStringList{"hold", "mdns cam n3", "gone cam", "release"} << QStringList();
    QTest::newRow("node withdrawn while read") << QStringList{"mdns cam n3", "asked", "gone cam"} << QStringList();
    QTest::newRow("held: node withdrawn once read")
        << QStringList{"mdns cam n3", "asked", "hold", "read", "gone cam", "release"} << QStringList();
}

void tst_IntakeQueue::listsNodes()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, listed);

    TestHttpServer node;
    QVERIFY(node.start());
    node.setReply("GET", nodePath("/senders/"), TestHttpServer::Reply::json(QJsonArray{senderJson("own", "Own", "f")}));
    node.setReply("GET", nodePath("/flows/"), TestHttpServer::Reply::json(QJsonArray{flowJson("f", VideoUrn)}));
    node.setReply("GET", nodePath("/receivers/"), TestHttpServer::Reply::json(QJsonArray()));
    // Its last answer waits, so that a step can come while it is read.
    node.setReply("GET", nodePath("/devices/"), TestHttpServer::Reply::json(QJsonArray()).delayed(500));

    IntakeQueue intake;
    QStringList got;
    connect(&intake, &IntakeQueue::nodeListed, this,
            [&](const QString &name, const QList<NmosClient::SenderConnection> &senders) {
                QStringList ids;
                // Each entry's text names its node as listed.
                for (const auto &sender : senders)
                    ids << (sender.displayName.startsWith(name + " (") ? sender.id : sender.displayName);
                got << name + ':' + ids.join(',');
            });
    for (const QString &step : steps) {
        const QStringList words = step.split(' ');
        const QString verb = words[0];
        if (verb == "registry") {
            QList<NmosClient::SenderConnection> senders;
            for (const QString &id : words[3].split(','))
                senders << NmosClient::SenderConnection{id, id, QString(), {"10.0.0.1:80"}, words[2] + " (10.0.0.1:80-" + id + ")"};
            intake.takeListed(words[1], words[2], senders, {});
        } else if (verb.startsWith("mdns")) {
            // Nothing listens on port 1.
            const QString base = verb == "mdns" ? node.url("") : QStringLiteral("http://127.0.0.1:1");
            intake.enqueue(words[1], QUrl(base + "/x-nmos/node/v1.3/self"), QJsonDocument(QJsonObject{{"id", words[2]}}));
        } else if (verb == "asked") {
            QTRY_COMPARE(node.requestLines().filter("/devices/").size(), 1);
        } else if (verb == "read") {
            QSignalSpy read(intake.findChild<NodeListing *>(), &NodeListing::finished);
            QVERIFY(read.wait());
        } else if (verb == "gone") {
            intake.takeNodeRemoved(words[1]);
        } else if (verb == "removed") {
            intake.takeResourceRemoved(words[1], words[2]);
        } else if (verb == "hold") {
            intake.hold();
        } else if (verb == "release") {
            intake.release();
        } else {
            got << "|";
        }
    }
    // Counted until handed out: a reading left going is waited for.
    QTRY_COMPARE(intake.size(), 0);
    QCOMPARE(got, listed);
}

QTEST_GUILESS_MAIN(tst_IntakeQueue)
#include "tst_intakequeue.moc"
