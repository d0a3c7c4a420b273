#include "discovery/nmosmdnsbrowser.h"
#include "mdns/resolver.h"
#include "mdns/responder.h"
#include "mdns/server.h"
#include "net/replylimits.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QJsonObject>
#include <QtTest>

#include <memory>

namespace {

// A node announced by mDNS on fl1, whose host name resolves to 127.0.0.1.
struct AnnouncedNode {
    AnnouncedNode(const QByteArray &name, quint16 port, const QMap<QByteArray, QByteArray> &txt)
        : server(QStringList{QStringLiteral("fl1")}), responder(&server, QMdnsEngine::Service())
    {
        service.setType("_nmos-node._tcp.local.");
        service.setName(name);
        service.setHostname(name + ".local.");
        service.setPort(port);
        setTxt(txt);
        responder.setAddresses({QHostAddress(QHostAddress::LocalHost)});
    }
    void setTxt(const QMap<QByteArray, QByteArray> &txt)
    {
        service.setAttributes(txt);
        responder.setService(service);
    }
    QMdnsEngine::Server server;
    QMdnsEngine::Service service;
    QMdnsEngine::Responder responder;
};

using Txt = QMap<QString, QString>;
using TxtRecord = QMap<QByteArray, QByteArray>;

} // namespace

class tst_NMOSMdnsBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QMap<QString, QString>>(); }
    void choosesApiVersion_data();
    void choosesApiVersion();
    void reportsReplies_data();
    void reportsReplies();
    void keepsOneResolverPerServiceUntilRemoved();
};

void tst_NMOSMdnsBrowser::choosesApiVersion_data()
{
    QTest::addColumn<QString>("apiVer");
    QTest::addColumn<QString>("expected");
    QTest::newRow("numbers by value, blanks around") << " v1.9 , v1.10 " << "v1.10";
    QTest::newRow("major wins over minor") << "v1.9,v2.0,v1.12" << "v2.0";
    QTest::newRow("spoken before newer") << "v1.4,v1.2,v1.3,v2.0" << "v1.3";
    QTest::newRow("malformed first, out of range") << "x,v1.1,v99999999999.0" << "v1.1";
    QTest::newRow("nothing well-formed") << "x,1.3" << "v1.3";
}

void tst_NMOSMdnsBrowser::choosesApiVersion()
{
    QFETCH(QString, apiVer);
    QFETCH(QString, expected);
    QCOMPARE(NMOSMdnsBrowser::chooseApiVersion(apiVer), expected);
}

void tst_NMOSMdnsBrowser::reportsReplies_data()
{
    QTest::addColumn<TxtRecord>("txt");
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<QString>("outcome");  // "OK", "OK (non-JSON)" or a pattern of the error

    const auto json = TestHttpServer::Reply::json(QJsonObject{{"id", "x"}});
    QTest::newRow("200 json, version from api_ver") << TxtRecord{{"api_proto", "http"}, {"api_ver", "v1.2,v1.3"}} << json << "OK";
    QTest::newRow("200 html") << TxtRecord{{"api_ver", "v1.1"}} << TestHttpServer::Reply::text("<html></html>", 200, "text/html")
                              << "OK (non-JSON)";
    QTest::newRow("404") << TxtRecord() << TestHttpServer::Reply::empty(404) << "Not Found";
    // Held to the client's limits by the same call (the size cap is tst_nmosclient's).
    QTest::newRow("never answers") << TxtRecord() << TestHttpServer::Reply::neverAnswer()
                                   << "^Request timed out: no progress for 0.2 s$";
    // Only http and https are ever fetched; keys are read without regard to case.
    QTest::newRow("file, key in capitals") << TxtRecord{{"API_Proto", "file"}} << json << "not supported";
}

void tst_NMOSMdnsBrowser::reportsReplies()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    QFETCH(TxtRecord, txt);
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(QString, outcome);
    // Short only where the stall is the point: a loaded machine may pause a sound reply.
    ReplyLimits::setTransferTimeoutMs(outcome.contains("timed out") ? 200 : ReplyLimits::DefaultTransferTimeoutMs);
    const auto restore = qScopeGuard([] { ReplyLimits::setTransferTimeoutMs(ReplyLimits::DefaultTransferTimeoutMs); });
    const QString version = QString::fromLatin1(txt.value("api_ver", "v1.3").right(4));

    TestHttpServer http;
    QVERIFY(http.start());
    http.setReply("GET", "/x-nmos/node/" + version.toLatin1() + "/self", reply);
    MessageLog log;
    NMOSMdnsBrowser browser;
    QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
    QSignalSpy error(&browser, &NMOSMdnsBrowser::nodeError);
    const QByteArray name = "reply-node-" + QByteArray::number(qHash(QByteArray(QTest::currentDataTag())));
    AnnouncedNode node(name, http.port(), txt);
    browser.start();

    QTRY_COMPARE_WITH_TIMEOUT(ready.count() + error.count(), 1, 10000);
    QCOMPARE(ready.count(), outcome.startsWith("OK") ? 1 : 0);
    // A refused scheme is reported before its host name is resolved.
    const bool refused = outcome == "not supported";
    const QUrl url(QStringLiteral("%1://%2:%3/x-nmos/node/%4/self")
                       .arg(refused ? QStringLiteral("file") : QString::fromLatin1(txt.value("api_proto", "http")),
                            refused ? name + ".local." : "127.0.0.1", QString::number(http.port()), version));
    if (outcome.startsWith("OK")) {
        QCOMPARE(ready.at(0).at(1).toUrl(), url);
        QCOMPARE(ready.at(0).at(2).value<QJsonDocument>().isNull(), outcome != "OK");
        QCOMPARE(log.infos().mid(0, 2), (QStringList{"Browsing for _nmos-node._tcp.local.", outcome + ' ' + url.toString()}));
        return;
    }
    QCOMPARE(error.at(0).mid(0, 2), (QVariantList{QString::fromUtf8(name), url}));
    const QString text = error.at(0).at(2).toString();
    QVERIFY2(text.contains(QRegularExpression(outcome)), qPrintable(text));
    QVERIFY(log.warnings().contains(QStringLiteral("GET %1 failed: %2").arg(url.toString(), text)));
    if (refused)
        QVERIFY(http.requestCount() == 0 && browser.findChildren<QMdnsEngine::Resolver *>().isEmpty());
}

void tst_NMOSMdnsBrowser::keepsOneResolverPerServiceUntilRemoved()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    TestHttpServer http;
    QVERIFY(http.start());
    http.setReply("GET", "/x-nmos/node/v1.3/self", TestHttpServer::Reply::json(QJsonObject{{"id", "n"}}));
    NMOSMdnsBrowser browser;
    QSignalSpy discovered(&browser, &NMOSMdnsBrowser::nodeDiscovered);
    QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
    QSignalSpy removed(&browser, &NMOSMdnsBrowser::nodeRemoved);
    AnnouncedNode node("busy-node", http.port(), {{"ver_rcv", "0"}});
    browser.start();
    QVERIFY(ready.wait(10000));

    // A counter of nothing the window lists is reported but not fetched: a fetch would have
    // replaced the resolver.
    const QPointer<QMdnsEngine::Resolver> first = browser.findChild<QMdnsEngine::Resolver *>();
    node.setTxt({{"ver_rcv", "0"}, {"ver_flw", "1"}});
    // A slow machine may see the first announcements repeated: wait for what the update carries.
    QTRY_COMPARE_WITH_TIMEOUT(discovered.last().at(3).value<Txt>().value("ver_flw"), QStringLiteral("1"), 10000);
    QVERIFY(first);
    QCOMPARE(ready.count(), 1);

    // Every patch bumps a peer-to-peer counter; each update is reported and fetched anew,
    // at most one fetch under way and one waiting, and the resolvers do not pile up.
    for (int i = 1; i <= 4; ++i) {
        node.setTxt({{"ver_rcv", QByteArray::number(i)}, {"ver_flw", "1"}});
        // A responder may repeat an announcement, so reports are checked by what they carry.
        QTRY_COMPARE_WITH_TIMEOUT(discovered.last().at(3).value<Txt>().value("ver_rcv"),
                                  QString::number(i), 10000);
        QVERIFY(browser.findChildren<QMdnsEngine::Resolver *>().size() <= 1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(ready.count() >= 2 && http.requestCount() == ready.count(), 10000);
    // Every change is announced twice; neither announcement may fetch more than once.
    QVERIFY(ready.count() <= 10);

    // A withdrawal ends the node's resolver (fetches already under way may still land).
    node.responder.withdraw();
    QVERIFY(removed.wait(10000));
    QCOMPARE(removed.at(0).at(0).toString(), QStringLiteral("busy-node"));
    QVERIFY(browser.findChildren<QMdnsEngine::Resolver *>().isEmpty());

    // Withdrawn and found again while its GET is under way, the node is a new one: the old
    // GET ending does not count as the new one's, so an update meanwhile still waits.
    const auto self = TestHttpServer::Reply::json(QJsonObject{{"id", "n"}});
    http.setReply("GET", "/x-nmos/node/v1.3/self", self.delayed(2000));
    http.addReply("GET", "/x-nmos/node/v1.3/self", self.delayed(2000));
    http.clearRequests();
    const int readyBefore = ready.count();
    auto back = std::make_unique<AnnouncedNode>("busy-node", http.port(), TxtRecord{{"ver_rcv", "10"}});
    QTRY_COMPARE_WITH_TIMEOUT(http.requestCount(), 1, 10000);
    back->responder.withdraw();
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 2, 10000);
    back = std::make_unique<AnnouncedNode>("busy-node", http.port(), TxtRecord{{"ver_rcv", "11"}});
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), readyBefore + 1, 10000);
    QCOMPARE(http.requestCount(), 2);
    back->setTxt({{"ver_rcv", "12"}});
    QTRY_COMPARE_WITH_TIMEOUT(http.requestCount(), 3, 10000);
    QCOMPARE(ready.count(), readyBefore + 2);
}

QTEST_MAIN(tst_NMOSMdnsBrowser)
#include "tst_nmosmdnsbrowser.moc"
