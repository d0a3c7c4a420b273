#include "workflow/intakequeue.h"

#include <QJsonObject>
#include <QtTest>

// The intake of discovered nodes on its own: which source a node is listed from.
class tst_IntakeQueue : public QObject
{
    Q_OBJECT

private slots:
    void listsEachNodeFromOneSource();
};

void tst_IntakeQueue::listsEachNodeFromOneSource()
{
    IntakeQueue intake;
    QStringList listed;
    connect(&intake, &IntakeQueue::nodeListed, this, [&](const QString &name) { listed << name; });
    const NmosClient::SenderConnection sender{"s1", "Cam", QString(), {"10.0.0.1:80"}, "reg (10.0.0.1:80-Cam)"};
    // Nothing listens there: the node's own answers list nothing, but it is listed.
    const QUrl self("http://127.0.0.1:1/x-nmos/node/v1.3/self");

    // Listed by a registry first, a node is not read again when it announces itself...
    intake.takeListed("node-1", "reg", {sender}, {});
    intake.enqueue("cam", self, QJsonDocument(QJsonObject{{"id", "node-1"}}));
    // ...and one found by its announcement first is not listed again from a registry.
    intake.enqueue("mon", self, QJsonDocument(QJsonObject{{"id", "node-2"}}));
    intake.takeListed("node-2", "reg-mon", {sender}, {});
    QTRY_COMPARE(intake.size(), 0);
    QCOMPARE(listed, (QStringList{"reg", "mon"}));
}

QTEST_GUILESS_MAIN(tst_IntakeQueue)
#include "tst_intakequeue.moc"
