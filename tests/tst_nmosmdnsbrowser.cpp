#include "discovery/nmosmdnsbrowser.h"
#include "mdns/resolver.h"
#include "mdns/responder.h"
#include "mdns/server.h"
#include "net/replylimits.h"
#include "tests/support/messagelog.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QJsonObject>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

// A node announced by mDNS on fl1, whose host name resolves to the given addresses.
class AnnouncedNode
{
public:
    AnnouncedNode(const QByteArray &name, quint16 port, const QList<QHostAddress> &addresses,
                  const QMap<QByteArray, QByteArray> &txt = {})
        : m_server(QStringList{QStringLiteral("fl1")})
    {
        m_service.setType("_nmos-node._tcp.local.");
        m_service.setName(name);
        m_service.setHostname(name + ".local.");
        m_service.setPort(port);
        m_service.setAttributes(txt);
        m_responder.reset(new QMdnsEngine::Responder(&m_server, m_service));
        m_responder->setAddresses(addresses);
    }

    void setTxt(const QMap<QByteArray, QByteArray> &txt)
    {
        m_service.setAttributes(txt);
        m_responder->setService(m_service);
    }

    void withdraw() { m_responder->withdraw(); }

private:
    QMdnsEngine::Server m_server;
    QMdnsEngine::Service m_service;
    std::unique_ptr<QMdnsEngine::Responder> m_responder;
};

const QHostAddress Loopback4(QStringLiteral("127.0.0.1"));
const QHostAddress Loopback6(QStringLiteral("::1"));

// Serves a self resource at the path a v1.3 node has it.
bool serveSelf(TestHttpServer *http, const QJsonObject &self = QJsonObject{{"id", "n"}})
{
    if (!http->start())
        return false;
    http->setReply("GET", "/x-nmos/node/v1.3/self", TestHttpServer::Reply::json(self));
    return true;
}

QUrl selfUrl(const QString &host, quint16 port, const QString &version = QStringLiteral("v1.3"))
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(port);
    url.setPath(QStringLiteral("/x-nmos/node/%1/self").arg(version));
    return url;
}

} // namespace

class tst_NMOSMdnsBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void choosesApiVersion_data();
    void choosesApiVersion();
    void startsOnceAndStopsCleanly();
    void fetchesSelfOnEveryAddress();
    void reportsReplies_data();
    void reportsReplies();
    void refusesSchemesOtherThanHttp_data();
    void refusesSchemesOtherThanHttp();
    void keepsOneResolverPerServiceUntilRemoved();
    void reachesLinkLocalNodeWithScope();
};

void tst_NMOSMdnsBrowser::initTestCase()
{
    qRegisterMetaType<QMap<QString, QString>>();
}

void tst_NMOSMdnsBrowser::choosesApiVersion_data()
{
    QTest::addColumn<QString>("apiVer");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all four") << "v1.0,v1.1,v1.2,v1.3" << "v1.3";
    QTest::newRow("highest first") << "v1.3,v1.2" << "v1.3";
    QTest::newRow("numbers by value") << "v1.9,v1.10" << "v1.10";
    QTest::newRow("blanks around") << " v1.2 , v1.1 " << "v1.2";
    QTest::newRow("malformed first") << "x,v1.0" << "v1.0";
    QTest::newRow("malformed last") << "v1.0,x" << "v1.0";
    QTest::newRow("single malformed") << "foo" << "foo";
    QTest::newRow("capital V") << "V1.3" << "V1.3";
    QTest::newRow("empty") << "" << "v1.3";
    QTest::newRow("commas only") << ",,," << "v1.3";
    QTest::newRow("blanks and commas") << " , ,  " << "v1.3";
    QTest::newRow("major wins over minor") << "v1.9,v2.0,v1.12" << "v2.0";
    QTest::newRow("tie keeps earlier") << "v1.3,v1.03" << "v1.3";
    QTest::newRow("out of range reads as zero") << "v1.2,v99999999999.0" << "v1.2";
    QTest::newRow("blank first is passed over") << " ,v1.1" << "v1.1";
}

void tst_NMOSMdnsBrowser::choosesApiVersion()
{
    QFETCH(QString, apiVer);
    QFETCH(QString, expected);
    QCOMPARE(NMOSMdnsBrowser::chooseApiVersion(apiVer), expected);
}

void tst_NMOSMdnsBrowser::startsOnceAndStopsCleanly()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    MessageLog log;
    NMOSMdnsBrowser browser;
    QVERIFY(!browser.isStarted());
    QVERIFY(browser.findChildren<QObject *>().isEmpty());

    browser.start();
    browser.start();
    QVERIFY(browser.isStarted());
    QCOMPARE(log.infos(), QStringList{QStringLiteral("Browsing for _nmos-node._tcp.local.")});

    browser.stop();
    QVERIFY(!browser.isStarted());
    browser.stop();
    // Browsing again after a stop works: a node is found.
    TestHttpServer http;
    QVERIFY(serveSelf(&http));
    AnnouncedNode node("restart-node", http.port(), {Loopback4});
    QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
    browser.start();
    QVERIFY(ready.wait(10000));
}

void tst_NMOSMdnsBrowser::fetchesSelfOnEveryAddress()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    const QJsonObject self{{"id", "3b8d1e5c-0000-4000-8000-000000000001"}, {"label", "gw"}};
    TestHttpServer http;
    QVERIFY(serveSelf(&http, self));

    NMOSMdnsBrowser browser;
    QSignalSpy discovered(&browser, &NMOSMdnsBrowser::nodeDiscovered);
    QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
    AnnouncedNode node("studio-gw-1", http.port(), {Loopback4, Loopback6});
    browser.start();

    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 10000);
    QCOMPARE(discovered.count(), 1);
    QCOMPARE(discovered.at(0).at(0).toString(), QStringLiteral("studio-gw-1"));
    QCOMPARE(discovered.at(0).at(1).toString(), QStringLiteral("studio-gw-1.local."));
    QCOMPARE(discovered.at(0).at(2).value<quint16>(), http.port());
    const auto txt = discovered.at(0).at(3).value<QMap<QString, QString>>();
    QVERIFY(txt.isEmpty());

    QSet<QUrl> urls;
    for (const auto &args : ready) {
        QCOMPARE(args.at(0).toString(), QStringLiteral("studio-gw-1"));
        urls.insert(args.at(1).toUrl());
        QCOMPARE(args.at(2).value<QJsonDocument>().object(), self);
    }
    const QSet<QUrl> expected{selfUrl("127.0.0.1", http.port()), selfUrl("::1", http.port())};
    QCOMPARE(urls, expected);
    // One plain GET per address and nothing more.
    QCOMPARE(http.requestLines(), (QStringList{"GET /x-nmos/node/v1.3/self", "GET /x-nmos/node/v1.3/self"}));
}

void tst_NMOSMdnsBrowser::reportsReplies_data()
{
    QTest::addColumn<QByteArray>("apiVer");
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("failure"); // a pattern of the error text

    const QJsonObject self{{"id", "x"}};
    QTest::newRow("200 json, version from api_ver") << QByteArray("v1.2,v1.3") << TestHttpServer::Reply::json(self)
                                                    << true << true << "/x-nmos/node/v1.3/self" << QString();
    QTest::newRow("200 html") << QByteArray("v1.1") << TestHttpServer::Reply::text("<html></html>", 200, "text/html")
                              << true << false << "/x-nmos/node/v1.1/self" << QString();
    QTest::newRow("200 empty") << QByteArray() << TestHttpServer::Reply::empty(200) << true << false
                               << "/x-nmos/node/v1.3/self" << QString();
    QTest::newRow("404") << QByteArray() << TestHttpServer::Reply::empty(404) << false << false
                         << "/x-nmos/node/v1.3/self" << "Not Found";
    // Held to the same limits as the client's requests.
    QTest::newRow("never answers") << QByteArray() << TestHttpServer::Reply::neverAnswer() << false << false
                                   << "/x-nmos/node/v1.3/self" << "^Request timed out: no progress for 1 s$";
    QTest::newRow("body twice the cap") << QByteArray() << TestHttpServer::Reply::generated(2 * ReplyLimits::MaxReplySize, true) << false
                                  << false << "/x-nmos/node/v1.3/self" << "^Reply larger than 16777216 bytes";
}

void tst_NMOSMdnsBrowser::reportsReplies()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    QFETCH(QByteArray, apiVer);
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(bool, ok);
    QFETCH(bool, json);
    QFETCH(QString, path);
    QFETCH(QString, failure);
    ReplyLimits::setTransferTimeoutMs(1000);
    const auto restore = qScopeGuard([] { ReplyLimits::setTransferTimeoutMs(ReplyLimits::DefaultTransferTimeoutMs); });

    TestHttpServer http;
    QVERIFY(http.start());
    http.setReply("GET", path.toUtf8(), reply);
    QMap<QByteArray, QByteArray> txt{{"api_proto", "http"}};
    if (!apiVer.isNull())
        txt.insert("api_ver", apiVer);

    MessageLog log;
    NMOSMdnsBrowser browser;
    QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
    QSignalSpy error(&browser, &NMOSMdnsBrowser::nodeError);
    const QByteArray name = "reply-node-" + QByteArray(QTest::currentDataTag()).replace(' ', '-').replace(',', '-');
    AnnouncedNode node(name, http.port(), {Loopback4}, txt);
    browser.start();

    QTRY_COMPARE_WITH_TIMEOUT(ready.count() + error.count(), 1, 10000);
    QUrl url;
    url.setScheme("http");
    url.setHost("127.0.0.1");
    url.setPort(http.port());
    url.setPath(path);
    if (ok) {
        QCOMPARE(ready.at(0).at(1).toUrl(), url);
        const auto doc = ready.at(0).at(2).value<QJsonDocument>();
        QCOMPARE(doc.isNull(), !json);
        const QString line = (json ? QStringLiteral("OK ") : QStringLiteral("OK (non-JSON) ")) + url.toString();
        QVERIFY2(log.infos().contains(line), qPrintable(log.infos().join('\n')));
    } else {
        QCOMPARE(error.at(0).at(0).toString(), QString::fromUtf8(name));
        QCOMPARE(error.at(0).at(1).toUrl(), url);
        const QString text = error.at(0).at(2).toString();
        QVERIFY2(text.contains(QRegularExpression(failure)), qPrintable(text));
        QVERIFY(log.warnings().contains(QStringLiteral("GET %1 failed: %2").arg(url.toString(), text)));
    }
}

void tst_NMOSMdnsBrowser::refusesSchemesOtherThanHttp_data()
{
    QTest::addColumn<QByteArray>("scheme");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("file") << QByteArray("file") << false;
    QTest::newRow("ftp") << QByteArray("ftp") << false;
    QTest::newRow("qrc") << QByteArray("qrc") << false;
    QTest::newRow("upper-case HTTP") << QByteArray("HTTP") << false;
    QTest::newRow("https") << QByteArray("https") << true;
}

void tst_NMOSMdnsBrowser::refusesSchemesOtherThanHttp()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    QFETCH(QByteArray, scheme);
    QFETCH(bool, allowed);

    // Something listens where a refused scheme would be sent: a plain TCP port.
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    QSignalSpy connections(&listener, &QTcpServer::newConnection);

    MessageLog log;
    NMOSMdnsBrowser browser;
    QSignalSpy error(&browser, &NMOSMdnsBrowser::nodeError);
    AnnouncedNode node("scheme-node-" + scheme, listener.serverPort(), {Loopback4}, {{"api_proto", scheme}});
    browser.start();

    if (allowed) {
        // The listener speaks no TLS, so the handshake never ends; reaching it is enough.
        QTRY_VERIFY_WITH_TIMEOUT(connections.count() > 0, 10000);
        QCOMPARE(error.count(), 0);
        return;
    }
    QVERIFY(error.wait(10000));
    const QString text = error.at(0).at(2).toString();
    const QUrl url = error.at(0).at(1).toUrl();
    QCOMPARE(url.scheme(), QString::fromUtf8(scheme).toLower());
    QCOMPARE(url.path(), QStringLiteral("/x-nmos/node/v1.3/self"));
    QVERIFY(log.warnings().contains(QStringLiteral("GET %1 failed: %2").arg(url.toString(), text)));
    QVERIFY2(text.contains("not supported"), qPrintable(text));
    QTest::qWait(300);
    QCOMPARE(connections.count(), 0);
    QVERIFY(browser.findChildren<QMdnsEngine::Resolver *>().isEmpty());
}

void tst_NMOSMdnsBrowser::keepsOneResolverPerServiceUntilRemoved()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    TestHttpServer http;
    QVERIFY(serveSelf(&http));
    NMOSMdnsBrowser browser;
    QSignalSpy discovered(&browser, &NMOSMdnsBrowser::nodeDiscovered);
    QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
    QSignalSpy removed(&browser, &NMOSMdnsBrowser::nodeRemoved);
    AnnouncedNode node("busy-node", http.port(), {Loopback4}, {{"ver_rcv", "0"}});
    browser.start();
    QVERIFY(ready.wait(10000));

    // A counter of nothing the window lists is reported but not fetched: a fetch would have
    // replaced the resolver.
    const QPointer<QMdnsEngine::Resolver> first = browser.findChild<QMdnsEngine::Resolver *>();
    node.setTxt({{"ver_rcv", "0"}, {"ver_flw", "1"}});
    QTRY_COMPARE_WITH_TIMEOUT(discovered.count(), 2, 10000);
    QVERIFY(first);
    QCOMPARE(ready.count(), 1);

    // Every patch bumps a peer-to-peer counter; each update is reported and fetched anew,
    // at most one fetch under way and one waiting, and the resolvers do not pile up.
    for (int i = 1; i <= 10; ++i) {
        node.setTxt({{"ver_rcv", QByteArray::number(i)}, {"ver_flw", "1"}});
        // A responder may repeat an announcement, so reports are checked by what they carry.
        const auto lastRcv = [&discovered] {
            return discovered.last().at(3).value<QMap<QString, QString>>().value("ver_rcv");
        };
        QTRY_COMPARE_WITH_TIMEOUT(lastRcv(), QString::number(i), 10000);
        QVERIFY(browser.findChildren<QMdnsEngine::Resolver *>().size() <= 1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(ready.count() >= 2 && http.requestCount() == ready.count(), 10000);
    // The responder announces every change twice; neither announcement may fetch more than once.
    QVERIFY(ready.count() <= 22);
    QCOMPARE(browser.findChildren<QMdnsEngine::Resolver *>().size(), 1);

    // A withdrawal ends the node's resolver (fetches already under way may still land).
    node.withdraw();
    QVERIFY(removed.wait(10000));
    QCOMPARE(removed.at(0).at(0).toString(), QStringLiteral("busy-node"));
    QVERIFY(browser.findChildren<QMdnsEngine::Resolver *>().isEmpty());
}

void tst_NMOSMdnsBrowser::reachesLinkLocalNodeWithScope()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    // The node listens on fl1's link-local address; it is reached from fl0's side.
    QHostAddress linkLocal;
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName("fl1").addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
            linkLocal = entry.ip();
    }
    QVERIFY(!linkLocal.isNull());
    linkLocal.setScopeId(QStringLiteral("fl1"));

    TestHttpServer http;
    QString why;
    QVERIFY2(http.start(QStringList{linkLocal.toString()}, &why), qPrintable(why));
    http.setReply("GET", "/x-nmos/node/v1.3/self", TestHttpServer::Reply::json(QJsonObject{{"id", "ll"}}));

    NMOSMdnsBrowser browser;
    QSignalSpy ready(&browser, &NMOSMdnsBrowser::nodeSelfReady);
    QSignalSpy error(&browser, &NMOSMdnsBrowser::nodeError);
    AnnouncedNode node("link-local-node", http.port(), {linkLocal});
    browser.start();

    QVERIFY(ready.wait(10000));
    QCOMPARE(error.count(), 0);
    const QUrl url = ready.at(0).at(1).toUrl();
    // The zone survives in the URL, so the main window's node address keeps it too.
    QVERIFY2(url.host().contains('%'), qPrintable(url.toString()));
    QVERIFY(http.requestCount() >= 1);
}

QTEST_MAIN(tst_NMOSMdnsBrowser)
#include "tst_nmosmdnsbrowser.moc"
