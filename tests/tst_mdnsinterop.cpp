#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/resolver.h"
#include "mdns/responder.h"
#include "mdns/server.h"
#include "tests/support/mdnsfakeserver.h"
#include "tests/support/netns.h"
#include "tests/support/privateavahi.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

using namespace QMdnsEngine;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const int Patience = 20000;  // python3-zeroconf probes for a couple of seconds first

// python3-zeroconf on the other end of the link, read line by line as it prints.
struct Peer {
    explicit Peer(const QStringList &arguments)
    {
        process.start(QStringLiteral("/usr/bin/python3"),
                      QStringList{QStringLiteral(FERROLINK_SOURCE_DIR "/tests/zeroconf_announce.py")} + arguments);
    }
    bool printed(const QString &start, QString *line = nullptr)
    {
        output += process.readAllStandardOutput();
        for (const QString &l : QString::fromUtf8(output).split(QLatin1Char('\n'))) {
            if (l.startsWith(start))
                return line ? (*line = l, true) : true;
        }
        return false;
    }
    QProcess process;
    QByteArray output;
};

QHostAddress linkLocalOf(const QString &interfaceName)
{
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName(interfaceName).addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
            return entry.ip();
    }
    return QHostAddress();
}

// The service of that name among those a browser signal reported, or a nameless one.
Service named(const QSignalSpy &spy, const QByteArray &name)
{
    for (const QList<QVariant> &arguments : spy) {
        if (arguments.first().value<Service>().name() == name)
            return arguments.first().value<Service>();
    }
    return Service();
}

Service makeService(const QByteArray &type, const QByteArray &name, const QByteArray &host, quint16 port)
{
    Service service;
    service.setType(type);
    service.setName(name);
    service.setHostname(host);
    service.setPort(port);
    return service;
}

bool ip(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("ip"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}


// Where Avahi cannot run the Avahi tests skip; CI sets FERROLINK_REQUIRE_AVAHI, as it
// must run them.
#define skipWithoutAvahi(why)                                                              \
    do {                                                                                  \
        if (qgetenv("FERROLINK_REQUIRE_AVAHI") == "1")                                    \
            QFAIL(qPrintable(why));                                                       \
        QSKIP(qPrintable(why));                                                           \
    } while (0)

// The resolved IPv4 line of avahi-browse -r -p -t for that instance, split at ";"; asked
// again until it comes (each run ends when Avahi's cache has nothing more for now).
QStringList browseWithAvahi(PrivateAvahi *avahi, const QString &instance)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < Patience) {
        QProcess *browse = avahi->startTool({"avahi-browse", "-r", "-p", "-t", "_nmos-node._tcp"});
        if (!browse->waitForFinished(Patience))
            break;
        const QStringList lines = QString::fromUtf8(browse->readAllStandardOutput()).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            const QStringList fields = line.split(QLatin1Char(';'));
            if (fields.value(0) == "=" && fields.value(2) == "IPv4" && fields.value(3) == instance)
                return fields;
        }
        QTest::qWait(200);
    }
    return QStringList();
}

} // namespace

class tst_MdnsInterop : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void findsResolvesAndLosesZeroconfService_data();
    void findsResolvesAndLosesZeroconfService();
    void zeroconfFindsOurResponder();
    void findsAvahiServiceBesideRunningAvahi();
    void avahiFindsOurResponder();
    void serversShareThePortAndDropOffLinkSources();
    void receivesUnicastAnswerToOneShotQuery();
    // Last: it adds a link for a while, and the namespace check wants exactly fl0 and fl1.
    void noticesInterfacesComingAndGoing();
};

void tst_MdnsInterop::init()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    if (!QFile::exists(QStringLiteral("/usr/bin/python3")))
        QSKIP("needs /usr/bin/python3 with python3-zeroconf");
}

void tst_MdnsInterop::findsResolvesAndLosesZeroconfService_data()
{
    // "link-local": fl0's own. A host of one family makes python3-zeroconf add an NSEC
    // that Debian 12's version writes malformed, to every answer.
    QTest::addColumn<QStringList>("addresses");
    QTest::newRow("IPv4 only") << QStringList{"10.77.0.1"};
    QTest::newRow("IPv6 only") << QStringList{"fd77::1", "link-local"};
    QTest::newRow("IPv4 and IPv6") << QStringList{"10.77.0.1", "fd77::1", "link-local"};
}

void tst_MdnsInterop::findsResolvesAndLosesZeroconfService()
{
    QFETCH(QStringList, addresses);
    QHostAddress linkLocal = linkLocalOf(QStringLiteral("fl0"));
    QVERIFY(!linkLocal.isNull());
    linkLocal.setScopeId(QString());
    QStringList arguments{"register", "--type", NodeType, "--name", "zc-node", "--port", "8081", "--host", "zc-host.local.",
                          "--txt", "api_ver=v1.3", "--txt", "api_proto=http"};
    QList<QHostAddress> expected;
    for (const QString &address : qAsConst(addresses)) {
        expected << (address == "link-local" ? linkLocal : QHostAddress(address));
        arguments << "--address" << expected.last().toString();
    }
    Peer peer(arguments);
    QVERIFY2(peer.process.waitForStarted(), qPrintable(peer.process.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(peer.printed("registered"), Patience);

    Server server;
    QVERIFY(server.isListening());
    Cache cache;
    Browser browser(&server, NodeType, &cache);
    Browser everything(&server, ServicesType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    QSignalSpy addedAnyType(&everything, &Browser::serviceAdded);

    QTRY_VERIFY_WITH_TIMEOUT(!named(added, "zc-node").name().isEmpty(), Patience);
    const Service found = named(added, "zc-node");
    QCOMPARE(found.type(), NodeType);
    QCOMPARE(found.port(), quint16(8081));
    QVERIFY(sameName(found.hostname(), "zc-host.local."));
    QCOMPARE(found.attributes().value("api_ver"), QByteArray("v1.3"));
    QCOMPARE(found.attributes().value("api_proto"), QByteArray("http"));
    QTRY_COMPARE_WITH_TIMEOUT(named(addedAnyType, "zc-node").type(), NodeType, Patience);

    // Link-local addresses must come scoped to the link they were heard on (== ignores the scope).
    Resolver resolver(&server, found.hostname(), &cache);
    QList<QHostAddress> resolved;
    connect(&resolver, &Resolver::resolved, this, [&resolved](const QHostAddress &address) { resolved << address; });
    for (const QHostAddress &address : qAsConst(expected))
        QTRY_VERIFY2_WITH_TIMEOUT(resolved.contains(address), qPrintable(address.toString()), Patience);
    for (const QHostAddress &address : qAsConst(resolved)) {
        QVERIFY2(expected.contains(address), qPrintable(address.toString()));
        QVERIFY2(!address.isLinkLocal() || address.scopeId() == "fl0" || address.scopeId() == "fl1", qPrintable(address.toString()));
    }

    peer.process.write("txt api_ver=v1.2,v1.3 api_proto=http\n");
    QTRY_COMPARE_WITH_TIMEOUT(named(updated, "zc-node").attributes().value("api_ver"), QByteArray("v1.2,v1.3"), Patience);
    peer.process.write("quit\n");
    QTRY_VERIFY_WITH_TIMEOUT(peer.printed("unregistered"), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(!named(removed, "zc-node").name().isEmpty(), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(peer.process.state(), QProcess::NotRunning, Patience);
}

void tst_MdnsInterop::zeroconfFindsOurResponder()
{
    Server server;
    QVERIFY(server.isListening());
    QTRY_VERIFY(server.interfaceNames().size() == 2);
    Service service = makeService(NodeType, "our-node", "our-host.local.", 8082);
    service.addAttribute("api_ver", "v1.3");
    service.addAttribute("api_proto", "http");
    Responder responder(&server, service);

    Peer peer({"browse", "--type", NodeType, "--name", "our-node", "--timeout", "30", "--until-removed"});
    QVERIFY2(peer.process.waitForStarted(), qPrintable(peer.process.errorString()));
    QString line;
    QTRY_VERIFY_WITH_TIMEOUT(peer.printed("found", &line), Patience);
    // found <name> <port> <server> <addresses> <txt>
    const QStringList fields = line.split(QLatin1Char(' '));
    QCOMPARE(fields.size(), 6);
    QCOMPARE(fields.mid(1, 3), (QStringList{"our-node._nmos-node._tcp.local.", "8082", "our-host.local."}));
    const QStringList addresses = fields.at(4).split(QLatin1Char(','));
    QVERIFY2(addresses.contains("10.77.0.1") || addresses.contains("10.77.0.2"), qPrintable(fields.at(4)));
    QCOMPARE(fields.at(5), QStringLiteral("api_proto=http;api_ver=v1.3"));

    responder.withdraw();
    QTRY_VERIFY_WITH_TIMEOUT(peer.printed("removed our-node"), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(peer.process.state(), QProcess::NotRunning, Patience);
    QCOMPARE(peer.process.exitCode(), 0);
}

void tst_MdnsInterop::findsAvahiServiceBesideRunningAvahi()
{
    // Avahi first, as on a desktop: it holds port 5353 on fl1 before our server opens it there.
    PrivateAvahi avahi;
    QString why;
    if (!avahi.start(&why))
        skipWithoutAvahi(why);
    avahi.startTool({"avahi-publish-service", "-s", "avahi-node", "_nmos-node._tcp", "8090", "api_proto=http",
                     "api_ver=v1.3", "api_auth=false"});

    Server server;
    QVERIFY(server.isListening());
    Cache cache;
    Browser browser(&server, NodeType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QTRY_VERIFY_WITH_TIMEOUT(!named(added, "avahi-node").name().isEmpty(), Patience);
    const Service found = named(added, "avahi-node");
    QCOMPARE(found.port(), quint16(8090));
    QVERIFY2(sameName(found.hostname(), "avahi-peer.local."), found.hostname().constData());
    const auto attributes = found.attributes();
    QCOMPARE(attributes.value("api_proto"), QByteArray("http"));
    QCOMPARE(attributes.value("api_ver"), QByteArray("v1.3"));
    QCOMPARE(attributes.value("api_auth"), QByteArray("false"));

    Resolver resolver(&server, found.hostname(), &cache);
    QList<QHostAddress> resolved;
    connect(&resolver, &Resolver::resolved, this, [&resolved](const QHostAddress &address) { resolved << address; });
    QTRY_VERIFY_WITH_TIMEOUT(resolved.contains(QHostAddress("10.77.0.2")), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(resolved.contains(QHostAddress("fd77::2")), Patience);

    // And Avahi still answers its own clients with our server beside it.
    QCOMPARE(browseWithAvahi(&avahi, "avahi-node").value(7), QStringLiteral("10.77.0.2"));
}

void tst_MdnsInterop::avahiFindsOurResponder()
{
    PrivateAvahi avahi;
    QString why;
    if (!avahi.start(&why))
        skipWithoutAvahi(why);
    // As nmos-simnode announces: a server on one interface, here the far end of Avahi's link.
    Server server(QStringList{QStringLiteral("fl0")});
    Service service = makeService(NodeType, "our-node", "our-host.local.", 8082);
    service.addAttribute("api_ver", "v1.3");
    service.addAttribute("api_proto", "http");
    Responder responder(&server, service);

    const QStringList fields = browseWithAvahi(&avahi, "our-node");
    // =;interface;protocol;name;type;domain;host;address;port;txt
    QCOMPARE(fields.mid(4, 5), (QStringList{"_nmos-node._tcp", "local", "our-host.local", "10.77.0.1", "8082"}));
    QVERIFY2(fields.value(9).contains("\"api_ver=v1.3\"") && fields.value(9).contains("\"api_proto=http\""),
             qPrintable(fields.value(9)));
}

void tst_MdnsInterop::serversShareThePortAndDropOffLinkSources()
{
    // A response whose source is not on the link it arrived on was routed or forged
    // (RFC 6762 11); here it comes from an address outside fl1's subnet.
    QVERIFY(ip({"addr", "add", "192.168.50.1/32", "dev", "fl0"}));
    struct Cleanup {
        ~Cleanup() { ip({"addr", "del", "192.168.50.1/32", "dev", "fl0"}); }
    } cleanup;
    // The application opens two servers (discovery and the browser window); each side of
    // the veth pair gets its own here, as two hosts on one link would.
    Server announcing(QStringList{QStringLiteral("fl0")});
    Server browsing(QStringList{QStringLiteral("fl1")});
    Server idle;
    QVERIFY(announcing.isListening() && browsing.isListening() && idle.isListening());
    QCOMPARE(announcing.interfaceNames(), QStringList{QStringLiteral("fl0")});
    QCOMPARE(browsing.interfaceNames(), QStringList{QStringLiteral("fl1")});

    const Service service = makeService("_http._tcp.local.", "web page", "web-host.local.", 80);
    Browser browser(&browsing, service.type());
    QSignalSpy added(&browser, &Browser::serviceAdded);
    const QByteArray far = "far." + service.type();
    QByteArray packet;
    QVERIFY(toPacket(MdnsRecords::response({MdnsRecords::ptr(service.type(), far), MdnsRecords::srv(far, "far.local.", 1),
                                            MdnsRecords::txt(far, {})}), &packet));
    QUdpSocket socket;
    QVERIFY(socket.bind(QHostAddress("192.168.50.1"), MdnsPort, QUdpSocket::ShareAddress));
    socket.setMulticastInterface(QNetworkInterface::interfaceFromName(QStringLiteral("fl0")));
    QCOMPARE(socket.writeDatagram(packet, mdnsIpv4Address(), MdnsPort), qint64(packet.size()));

    Responder responder(&announcing, service);
    QTRY_VERIFY_WITH_TIMEOUT(added.count() >= 1, Patience);
    QVERIFY(added.first().first().value<Service>() == service);
    QTest::qWait(200);
    QCOMPARE(added.count(), 1);

    // Addresses learnt on fl1 are those the responder gave for fl0, link-local scoped to fl1.
    Resolver resolver(&browsing, service.hostname());
    QList<QHostAddress> addresses;
    connect(&resolver, &Resolver::resolved, this, [&addresses](const QHostAddress &address) { addresses << address; });
    const QHostAddress fl0LinkLocal = linkLocalOf(QStringLiteral("fl0"));
    QTRY_VERIFY_WITH_TIMEOUT(addresses.contains(QHostAddress("10.77.0.1")), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(addresses.contains(fl0LinkLocal), Patience);
    QCOMPARE(addresses.at(addresses.indexOf(fl0LinkLocal)).scopeId(), QStringLiteral("fl1"));
    QVERIFY(!addresses.contains(QHostAddress("10.77.0.2")));
}

void tst_MdnsInterop::receivesUnicastAnswerToOneShotQuery()
{
    // The responder is on this host, as Avahi is on a desktop: its unicast answer is
    // delivered locally and must still count as heard on the link the query went out on.
    Peer peer({"register", "--type", NodeType, "--name", "one-shot", "--port", "8083", "--host", "one-shot-host.local.",
               "--address", "10.77.0.1"});
    QVERIFY2(peer.process.waitForStarted(), qPrintable(peer.process.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(peer.printed("registered"), Patience);
    Server asking(QStringList{QStringLiteral("fl1")});
    QList<Message> answers;
    connect(&asking, &AbstractServer::messageReceived, this, [&answers](const Message &message) {
        if (message.isResponse() && message.transactionId() == 0x4242)
            answers << message;
    });
    Message query;
    query.setTransactionId(0x4242);
    query.addQuery(Query(NodeType, PTR));
    // python3-zeroconf ignores a packet identical to the one before: one query is enough.
    QTRY_VERIFY(!asking.interfaceNames().isEmpty());
    asking.sendOneShotQuery(query);
    QTRY_VERIFY_WITH_TIMEOUT(!answers.isEmpty(), Patience);
    const Message answer = answers.first();
    QCOMPARE(answer.interfaceName(), QStringLiteral("fl1"));
    QCOMPARE(answer.port(), MdnsPort);
    QCOMPARE(answer.records().value(0).target(), QByteArray("one-shot." + NodeType));
    peer.process.write("quit\n");
    QTRY_COMPARE_WITH_TIMEOUT(peer.process.state(), QProcess::NotRunning, Patience);
}

void tst_MdnsInterop::noticesInterfacesComingAndGoing()
{
    Server server(QStringList{QStringLiteral("fl8")});
    QSignalSpy appeared(&server, &AbstractServer::interfaceAppeared);
    QVERIFY(server.interfaceNames().isEmpty());

    QVERIFY(ip({"link", "add", "fl8", "type", "veth", "peer", "name", "fl9"}));
    const bool ok = ip({"addr", "add", "10.78.0.1/24", "dev", "fl8"}) && ip({"link", "set", "fl8", "up"})
        && ip({"link", "set", "fl9", "up"});
    if (ok) {
        QTRY_COMPARE_WITH_TIMEOUT(appeared.count(), 1, Patience);
        QCOMPARE(appeared.first().first().toString(), QStringLiteral("fl8"));
        QCOMPARE(server.interfaceNames(), QStringList{QStringLiteral("fl8")});
    }
    QVERIFY(ip({"link", "delete", "fl8"}));
    QVERIFY(ok);
    QTRY_VERIFY_WITH_TIMEOUT(server.interfaceNames().isEmpty(), Patience);
}

QTEST_GUILESS_MAIN(tst_MdnsInterop)
#include "tst_mdnsinterop.moc"
