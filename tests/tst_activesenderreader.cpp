#include "cli/activesenderreader.h"
#include "nmos/nmosclient.h"
#include "tests/support/testhttpserver.h"

#include <QtTest>

// Receivers read together: a node is never asked two things at once, and each answer is
// reported for its own receiver, in the order asked, whatever order the nodes answer in.
class tst_ActiveSenderReader : public QObject
{
    Q_OBJECT

private slots:
    void readsNodesTogetherAndEachNodeInTurn();
};

namespace {

QByteArray activePath(const QString &id)
{
    return "/x-nmos/connection/v1.1/single/receivers/" + id.toUtf8() + "/active";
}

Entry receiver(const TestHttpServer &node, const QString &id)
{
    Entry entry;
    entry.kind = Entry::Receiver;
    entry.record.id = id;
    entry.record.node.address = node.address();
    return entry;
}

TestHttpServer::Reply running(const QString &senderId, bool enabled = true)
{
    return TestHttpServer::Reply::json(QJsonObject{{"master_enable", enabled},
                                                   {"sender_id", senderId.isEmpty() ? QJsonValue() : QJsonValue(senderId)}});
}

} // namespace

void tst_ActiveSenderReader::readsNodesTogetherAndEachNodeInTurn()
{
    TestHttpServer slow, fast;
    QVERIFY(slow.start());
    QVERIFY(fast.start());
    // The slow node's first receiver answers late and its second not at all.
    slow.setReply("GET", activePath("r1"), running("s1").delayed(1500));
    slow.setReply("GET", activePath("r2"), TestHttpServer::Reply::json(QJsonObject{{"error", "gone"}}, 500));
    fast.setReply("GET", activePath("r3"), running("s3"));
    // On with a stream no NMOS sender describes is not off.
    fast.setReply("GET", activePath("r4"), running(""));
    fast.setReply("GET", activePath("r5"), running("", false));
    NmosClient client;
    ActiveSenderReader reader(&client);
    QStringList reports;
    connect(&reader, &ActiveSenderReader::receiverRead, this,
            [&reports](const Entry &entry, bool read, bool enabled, const QString &senderId, const QString &error) {
                reports << entry.record.id + '=' + (!read ? '!' + error.section(": ", -1) : enabled ? "on " + senderId : "off");
            });
    QSignalSpy finished(&reader, &ActiveSenderReader::finished);
    reader.start({receiver(slow, "r1"), receiver(slow, "r2"), receiver(fast, "r3"), receiver(fast, "r4"), receiver(fast, "r5")});

    QTRY_COMPARE(fast.requestCount(), 3);
    QCOMPARE(slow.requestCount(), 1);
    QVERIFY(reports.isEmpty());
    QVERIFY(finished.wait(10000));
    QCOMPARE(slow.requestCount(), 2);
    QCOMPARE(reports, QStringList({"r1=on s1", "r2=!gone", "r3=on s3", "r4=on ", "r5=off"}));
}

QTEST_GUILESS_MAIN(tst_ActiveSenderReader)
#include "tst_activesenderreader.moc"
