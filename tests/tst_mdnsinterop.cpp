#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/resolver.h"
#include "mdns/responder.h"
#include "mdns/server.h"
#include "tests/support/netns.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

using namespace QMdnsEngine;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const int Patience = 20000;  // python3-zeroconf probes for a couple of seconds first

QString peerScript()
{
    return QStringLiteral(FERROLINK_SOURCE_DIR "/tests/zeroconf_announce.py");
}

QHostAddress linkLocalOf(const QString &interfaceName)
{
    const auto entries = QNetworkInterface::interfaceFromName(interfaceName).addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
            return entry.ip();
    }
    return QHostAddress();
}

// Lines the peer printed so far; the process is read as it goes.
QStringList linesOf(QProcess *process, QByteArray *buffer)
{
    *buffer += process->readAllStandardOutput();
    return QString::fromUtf8(*buffer).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool hasLineStarting(QProcess *process, QByteArray *buffer, const QString &start, QString *line = nullptr)
{
    for (const QString &l : linesOf(process, buffer)) {
        if (l.startsWith(start)) {
            if (line)
                *line = l;
            return true;
        }
    }
    return false;
}

const Service *findByName(const QList<Service> &services, const QByteArray &name)
{
    for (const Service &service : services) {
        if (service.name() == name)
            return &service;
    }
    return nullptr;
}

bool ip(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("ip"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QList<Service> servicesIn(const QSignalSpy &spy)
{
    QList<Service> services;
    for (const QList<QVariant> &arguments : spy)
        services.append(arguments.first().value<Service>());
    return services;
}

} // namespace

class tst_MdnsInterop : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void findsResolvesAndLosesZeroconfService();
    void zeroconfFindsOurResponder();
    void serversShareThePortWithinOneProcess();
    void dropsResponsesFromOffLinkSources();
    // Last: it adds a link for a while, and the namespace check wants exactly fl0 and fl1.
    void noticesInterfacesComingAndGoing();
};

void tst_MdnsInterop::init()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    if (!QFile::exists(QStringLiteral("/usr/bin/python3")))
        QSKIP("needs /usr/bin/python3 with python3-zeroconf");
}

void tst_MdnsInterop::findsResolvesAndLosesZeroconfService()
{
    const QHostAddress linkLocal = linkLocalOf(QStringLiteral("fl0"));
    QVERIFY(!linkLocal.isNull());
    QHostAddress unscoped = linkLocal;
    unscoped.setScopeId(QString());

    QProcess peer;
    peer.start(QStringLiteral("/usr/bin/python3"),
               {peerScript(), "register", "--type", QString::fromLatin1(NodeType), "--name", "zc-node",
                "--port", "8081", "--host", "zc-host.local.", "--address", "10.77.0.1", "--address", "fd77::1",
                "--address", unscoped.toString(), "--txt", "api_ver=v1.3", "--txt", "api_proto=http"});
    QVERIFY2(peer.waitForStarted(), qPrintable(peer.errorString()));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(hasLineStarting(&peer, &output, "registered"), Patience);

    Server server;
    QVERIFY(server.isListening());
    Cache cache;
    Browser browser(&server, NodeType, &cache);
    Browser everything(&server, ServicesType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    QSignalSpy addedAnyType(&everything, &Browser::serviceAdded);

    QTRY_VERIFY_WITH_TIMEOUT(findByName(servicesIn(added), "zc-node"), Patience);
    const Service found = *findByName(servicesIn(added), "zc-node");
    QCOMPARE(found.type(), NodeType);
    QCOMPARE(found.port(), quint16(8081));
    QVERIFY(sameName(found.hostname(), "zc-host.local."));
    QCOMPARE(found.attributes().value("api_ver"), QByteArray("v1.3"));
    QCOMPARE(found.attributes().value("api_proto"), QByteArray("http"));

    QTRY_VERIFY_WITH_TIMEOUT(findByName(servicesIn(addedAnyType), "zc-node"), Patience);
    QCOMPARE(findByName(servicesIn(addedAnyType), "zc-node")->type(), NodeType);

    Resolver resolver(&server, found.hostname(), &cache);
    QList<QHostAddress> addresses;
    connect(&resolver, &Resolver::resolved, this, [&addresses](const QHostAddress &address) { addresses << address; });
    auto has = [&addresses](const QHostAddress &wanted, bool scoped) {
        for (const QHostAddress &address : addresses) {
            QHostAddress plain = address;
            plain.setScopeId(QString());
            if (plain == wanted && (!scoped || !address.scopeId().isEmpty()))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(has(QHostAddress("10.77.0.1"), false), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(has(QHostAddress("fd77::1"), false), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(has(unscoped, true), Patience);
    for (const QHostAddress &address : qAsConst(addresses)) {
        if (address.isLinkLocal()) {
            QVERIFY2(address.scopeId() == "fl0" || address.scopeId() == "fl1", qPrintable(address.scopeId()));
        }
    }

    peer.write("txt api_ver=v1.2,v1.3 api_proto=http\n");
    QTRY_VERIFY_WITH_TIMEOUT(findByName(servicesIn(updated), "zc-node")
                                 && findByName(servicesIn(updated), "zc-node")->attributes().value("api_ver") == "v1.2,v1.3",
                             Patience);

    peer.write("quit\n");
    QTRY_VERIFY_WITH_TIMEOUT(hasLineStarting(&peer, &output, "unregistered"), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(findByName(servicesIn(removed), "zc-node"), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QProcess::NotRunning, Patience);
}

void tst_MdnsInterop::zeroconfFindsOurResponder()
{
    Server server;
    QVERIFY(server.isListening());
    QTRY_VERIFY(server.interfaceNames().size() == 2);
    Service service;
    service.setType(NodeType);
    service.setName("our-node");
    service.setHostname("our-host.local.");
    service.setPort(8082);
    service.addAttribute("api_ver", "v1.3");
    service.addAttribute("api_proto", "http");
    Responder responder(&server, service);

    QProcess peer;
    peer.start(QStringLiteral("/usr/bin/python3"),
               {peerScript(), "browse", "--type", QString::fromLatin1(NodeType), "--name", "our-node",
                "--timeout", "30", "--until-removed"});
    QVERIFY2(peer.waitForStarted(), qPrintable(peer.errorString()));
    QByteArray output;
    QString line;
    QTRY_VERIFY_WITH_TIMEOUT(hasLineStarting(&peer, &output, "found", &line), Patience);
    // found <name> <port> <server> <addresses> <txt>
    const QStringList fields = line.split(QLatin1Char(' '));
    QCOMPARE(fields.size(), 6);
    QCOMPARE(fields.at(1), QStringLiteral("our-node._nmos-node._tcp.local."));
    QCOMPARE(fields.at(2), QStringLiteral("8082"));
    QCOMPARE(fields.at(3), QStringLiteral("our-host.local."));
    const QStringList addresses = fields.at(4).split(QLatin1Char(','));
    QVERIFY2(addresses.contains("10.77.0.1") || addresses.contains("10.77.0.2"), qPrintable(fields.at(4)));
    QCOMPARE(fields.at(5), QStringLiteral("api_proto=http;api_ver=v1.3"));

    responder.withdraw();
    QTRY_VERIFY_WITH_TIMEOUT(hasLineStarting(&peer, &output, "removed our-node"), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QProcess::NotRunning, Patience);
    QCOMPARE(peer.exitCode(), 0);
}

void tst_MdnsInterop::serversShareThePortWithinOneProcess()
{
    // The application opens two servers (discovery and the browser window); each side of
    // the veth pair gets its own here, as two hosts on one link would.
    Server announcing(QStringList{QStringLiteral("fl0")});
    Server browsing(QStringList{QStringLiteral("fl1")});
    Server idle;
    QVERIFY(announcing.isListening());
    QVERIFY(browsing.isListening());
    QVERIFY(idle.isListening());
    QCOMPARE(announcing.interfaceNames(), QStringList{QStringLiteral("fl0")});
    QCOMPARE(browsing.interfaceNames(), QStringList{QStringLiteral("fl1")});

    Service service;
    service.setType("_http._tcp.local.");
    service.setName("web page");
    service.setHostname("web-host.local.");
    service.setPort(80);
    Responder responder(&announcing, service);
    Browser browser(&browsing, service.type());
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QTRY_VERIFY_WITH_TIMEOUT(added.count() >= 1, Patience);
    QVERIFY(added.first().first().value<Service>() == service);

    // Addresses learnt on fl1 are those the responder gave for fl0, link-local scoped to fl1.
    Resolver resolver(&browsing, service.hostname());
    QList<QHostAddress> addresses;
    connect(&resolver, &Resolver::resolved, this, [&addresses](const QHostAddress &address) { addresses << address; });
    QHostAddress fl0LinkLocal = linkLocalOf(QStringLiteral("fl0"));
    fl0LinkLocal.setScopeId(QStringLiteral("fl1"));
    QTRY_VERIFY_WITH_TIMEOUT(addresses.contains(QHostAddress("10.77.0.1")), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(addresses.contains(fl0LinkLocal), Patience);
    QVERIFY(!addresses.contains(QHostAddress("10.77.0.2")));
}

void tst_MdnsInterop::dropsResponsesFromOffLinkSources()
{
    // A response whose source is not on the link it arrived on was routed or forged
    // (RFC 6762 11); here it comes from an address outside fl1's subnet.
    QVERIFY(ip({"addr", "add", "192.168.50.1/32", "dev", "fl0"}));
    struct Cleanup {
        ~Cleanup() { ip({"addr", "del", "192.168.50.1/32", "dev", "fl0"}); }
    } cleanup;

    Server server(QStringList{QStringLiteral("fl1")});
    Cache cache;
    const QByteArray type = "_offlink._tcp.local.";
    Browser browser(&server, type, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);

    auto announce = [&](const char *source, const QByteArray &name) {
        Message message;
        message.setResponse(true);
        Record ptr(type, PTR, 120);
        ptr.setTarget(name + '.' + type);
        message.addRecord(ptr);
        Record srv(name + '.' + type, SRV, 120);
        srv.setTarget("far.local.");
        srv.setPort(1);
        message.addRecord(srv);
        Record txt(name + '.' + type, TXT, 120);
        message.addRecord(txt);
        QByteArray packet;
        QUdpSocket socket;
        return toPacket(message, &packet)
            && socket.bind(QHostAddress(QString::fromLatin1(source)), MdnsPort, QUdpSocket::ShareAddress)
            && (socket.setMulticastInterface(QNetworkInterface::interfaceFromName(QStringLiteral("fl0"))), true)
            && socket.writeDatagram(packet, mdnsIpv4Address(), MdnsPort) == packet.size();
    };
    QVERIFY(announce("192.168.50.1", "far"));
    QVERIFY(announce("10.77.0.1", "near"));
    QTRY_VERIFY_WITH_TIMEOUT(findByName(servicesIn(added), "near"), Patience);
    QTest::qWait(200);
    QVERIFY(!findByName(servicesIn(added), "far"));
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
