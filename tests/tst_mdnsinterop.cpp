#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/dns.h"
#include "mdns/resolver.h"
#include "mdns/responder.h"
#include "mdns/server.h"
#include "tests/support/mdnsfakeserver.h"
#include "tests/support/netns.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

using namespace QMdnsEngine;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const int Patience = 20000;

// A service python3-zeroconf announces on the other end of the link.
struct Peer {
    explicit Peer(const QStringList &arguments) { process.start("/usr/bin/python3", QStringList{FERROLINK_SOURCE_DIR "/tests/zeroconf_announce.py"} + arguments); }
    ~Peer() { process.closeWriteChannel(), process.waitForFinished(5000); }
    QProcess process;
};

// A dbus-daemon and avahi-daemon of the test's own on fl1 (tests/support/private-avahi.sh),
// and the Avahi tools it starts, all ended with it.
struct PrivateAvahi {
    ~PrivateAvahi()
    {
        for (const auto &tool : tools)
            tool->kill(), tool->waitForFinished(1000);
        daemons.closeWriteChannel();
        if (!daemons.waitForFinished(5000))
            daemons.kill(), daemons.waitForFinished(1000);
    }
    // The script prints one line: the bus address once Avahi runs, or why it cannot.
    bool start(QString *why)
    {
        daemons.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemons.start(FERROLINK_SOURCE_DIR "/tests/support/private-avahi.sh", {dir.path(), "fl1"});
        while (!daemons.canReadLine() && daemons.waitForReadyRead(20000)) {
        }
        *why = QString::fromUtf8(daemons.readLine()).trimmed();
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", why->section('=', 1));
        return why->startsWith("DBUS_SYSTEM_BUS_ADDRESS=");
    }
    QProcess *startTool(const QStringList &command)
    {
        tools.emplace_back(new QProcess);
        tools.back()->setProcessEnvironment(environment);
        tools.back()->start(command.first(), command.mid(1));
        return tools.back().get();
    }
    QTemporaryDir dir;
    QProcess daemons;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> tools;
};

QHostAddress linkLocalOf(const QString &interfaceName)
{
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName(interfaceName).addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && entry.ip().isLinkLocal())
            return QHostAddress(entry.ip().toString().section('%', 0, 0));
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

Service ourNode(const QByteArray &type = NodeType)
{
    Service service;
    service.setType(type);
    service.setName("our-node");
    service.setHostname("our-host.local.");
    service.setPort(8082);
    service.setAttributes({{"api_ver", "v1.3"}, {"api_proto", "http"}});
    return service;
}

bool ip(const QString &arguments)
{
    return QProcess::execute("ip", arguments.split(' ')) == 0;
}

} // namespace

class tst_MdnsInterop : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void findsResolvesAndLosesZeroconfServices();
    void interoperatesWithRunningAvahi();
    void serversShareThePortAndDropOffLinkSources();
    // Last: it adds a link for a while, and the namespace check wants exactly fl0 and fl1.
    void noticesInterfacesComingAndGoing();
};

void tst_MdnsInterop::init()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    if (!QFile::exists(QStringLiteral("/usr/bin/python3")))
        QSKIP("needs /usr/bin/python3 with python3-zeroconf");
}

void tst_MdnsInterop::findsResolvesAndLosesZeroconfServices()
{
    // One host per family set, all at once: a host of one family makes python3-zeroconf add to
    // every answer an NSEC that Debian 12's version writes malformed, and each family makes
    // its own answers.
    const QHostAddress v4("10.77.0.1"), v6("fd77::1"), linkLocal = linkLocalOf("fl0");
    const QMap<QByteArray, QList<QHostAddress>> hosts{{"zc4", {v4}}, {"zc6", {v6, linkLocal}}, {"zc46", {v4, v6, linkLocal}}};
    std::vector<std::unique_ptr<Peer>> peers;
    for (auto host = hosts.begin(); host != hosts.end(); ++host) {
        QStringList arguments{"--type", NodeType, "--name", host.key(), "--port", "8081",
                              "--host", host.key() + ".local.", "--txt", "api_ver=v1.3", "--txt", "api_proto=http"};
        for (const QHostAddress &address : host.value())
            arguments << "--address" << address.toString();
        peers.emplace_back(new Peer(arguments));
    }
    Server server;
    Cache cache;
    Browser browser(&server, NodeType, &cache);
    Browser everything(&server, ServicesType, &cache);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    QSignalSpy addedAnyType(&everything, &Browser::serviceAdded);

    for (auto host = hosts.begin(); host != hosts.end(); ++host) {
        QTRY_VERIFY2_WITH_TIMEOUT(!named(added, host.key()).name().isEmpty(), host.key(), Patience);
        const Service found = named(added, host.key());
        QCOMPARE(found.port(), quint16(8081));
        QVERIFY(sameName(found.hostname(), host.key() + ".local."));
        QCOMPARE(found.attributes(), (QMap<QByteArray, QByteArray>{{"api_ver", "v1.3"}, {"api_proto", "http"}}));
        QTRY_COMPARE_WITH_TIMEOUT(named(addedAnyType, host.key()).type(), NodeType, Patience);

        // Link-local addresses must come scoped to the link they were heard on (== ignores the scope).
        Resolver resolver(&server, found.hostname(), &cache);
        QList<QHostAddress> resolved;
        connect(&resolver, &Resolver::resolved, this, [&resolved](const QHostAddress &address) { resolved << address; });
        for (const QHostAddress &address : host.value())
            QTRY_VERIFY2_WITH_TIMEOUT(resolved.contains(address), qPrintable(host.key() + ' ' + address.toString()), Patience);
        for (const QHostAddress &address : qAsConst(resolved)) {
            QVERIFY2(host.value().contains(address), qPrintable(host.key() + ' ' + address.toString()));
            QVERIFY2(!address.isLinkLocal() || (QStringList{"fl0", "fl1"}).contains(address.scopeId()), qPrintable(address.toString()));
        }
    }

    for (const auto &peer : peers)
        peer->process.write("txt api_ver=v1.2,v1.3 api_proto=http\n");
    for (const QByteArray &name : hosts.keys())
        QTRY_COMPARE_WITH_TIMEOUT(named(updated, name).attributes().value("api_ver"), QByteArray("v1.2,v1.3"), Patience);
    for (const auto &peer : peers)
        peer->process.write("quit\n");
    for (const QByteArray &name : hosts.keys())
        QTRY_VERIFY2_WITH_TIMEOUT(!named(removed, name).name().isEmpty(), name, Patience);
}

void tst_MdnsInterop::interoperatesWithRunningAvahi()
{
    // Avahi first, as on a desktop: it holds port 5353 on fl1 before our server opens it there.
    PrivateAvahi avahi;
    QString why;
    if (!avahi.start(&why)) {
        // CI sets FERROLINK_REQUIRE_AVAHI: there it must run.
        if (qgetenv("FERROLINK_REQUIRE_AVAHI") == "1")
            QFAIL(qPrintable(why));
        QSKIP(qPrintable(why));
    }
    avahi.startTool({"avahi-publish-service", "-s", "avahi-node", "_nmos-node._tcp", "8090", "api_proto=http", "api_auth=false"});
    Server server;
    Cache cache;
    Browser browser(&server, NodeType, &cache);
    Responder responder(&server, ourNode());
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QTRY_VERIFY_WITH_TIMEOUT(!named(added, "avahi-node").name().isEmpty(), Patience);
    const Service found = named(added, "avahi-node");
    QCOMPARE(found.port(), quint16(8090));
    QVERIFY2(sameName(found.hostname(), "avahi-peer.local."), found.hostname().constData());
    QCOMPARE(found.attributes(), (QMap<QByteArray, QByteArray>{{"api_proto", "http"}, {"api_auth", "false"}}));
    Resolver resolver(&server, found.hostname(), &cache);
    QTRY_VERIFY_WITH_TIMEOUT(resolver.addresses().contains(QHostAddress("10.77.0.2"))
                                 && resolver.addresses().contains(QHostAddress("fd77::2")), Patience);

    // Avahi's own clients find our responder beside it: avahi-browse is asked until it has it.
    QStringList fields;
    QElapsedTimer timer;
    timer.start();
    while (fields.isEmpty() && timer.elapsed() < Patience) {
        QProcess *browse = avahi.startTool({"avahi-browse", "-r", "-p", "-t", "_nmos-node._tcp"});
        QVERIFY(browse->waitForFinished(Patience));
        // =;interface;protocol;name;type;domain;host;address;port;txt
        for (const QString &line : QString::fromUtf8(browse->readAllStandardOutput()).split('\n')) {
            if (line.startsWith("=;") && line.contains(";IPv4;our-node;"))
                fields = line.split(';');
        }
    }
    QCOMPARE(fields.mid(4, 3), (QStringList{"_nmos-node._tcp", "local", "our-host.local"}));
    QVERIFY2(QNetworkInterface::allAddresses().contains(QHostAddress(fields.value(7))) && fields.value(8) == "8082",
             qPrintable(fields.join(';')));
    QVERIFY2(fields.value(9).contains("\"api_ver=v1.3\"") && fields.value(9).contains("\"api_proto=http\""),
             qPrintable(fields.value(9)));
}

void tst_MdnsInterop::serversShareThePortAndDropOffLinkSources()
{
    // A response whose source is not on the link it arrived on was routed or forged
    // (RFC 6762 11); here it comes from an address outside fl1's subnet. One from an IPv4
    // link-local address is on the link, whatever the subnet.
    QVERIFY(ip("addr add 192.168.50.1/32 dev fl0") && ip("addr add 169.254.7.1/32 dev fl0"));
    const auto cleanup = qScopeGuard([] { ip("addr del 192.168.50.1/32 dev fl0"), ip("addr del 169.254.7.1/32 dev fl0"); });
    // Each side of the veth pair gets its own server, as two hosts on one link would.
    Server announcing(QStringList{QStringLiteral("fl0")});
    Server browsing(QStringList{QStringLiteral("fl1")});
    const Service service = ourNode("_http._tcp.local.");
    Browser browser(&browsing, service.type());
    QSignalSpy added(&browser, &Browser::serviceAdded);
    for (const QByteArray &source : {QByteArray("192.168.50.1"), QByteArray("169.254.7.1")}) {
        const QByteArray name = (source.startsWith("169") ? "near." : "far.") + service.type();
        QByteArray packet;
        QVERIFY(toPacket(MdnsRecords::response({MdnsRecords::ptr(service.type(), name), MdnsRecords::srv(name, "far.local.", 1),
                                                MdnsRecords::txt(name, {})}), &packet));
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress(QString::fromLatin1(source)), MdnsPort, QUdpSocket::ShareAddress));
        socket.setMulticastInterface(QNetworkInterface::interfaceFromName(QStringLiteral("fl0")));
        QCOMPARE(socket.writeDatagram(packet, mdnsIpv4Address(), MdnsPort), qint64(packet.size()));
    }
    Responder responder(&announcing, service);
    // The forged one, sent first, is not among what was found.
    QTRY_VERIFY_WITH_TIMEOUT(added.count() == 2, Patience);
    QStringList found;
    for (const QList<QVariant> &report : added)
        found << QString::fromUtf8(report.first().value<Service>().name());
    found.sort();
    QCOMPARE(found, (QStringList{"near", QString::fromUtf8(service.name())}));

    // Addresses learnt on fl1 are those the responder gave for fl0, link-local scoped to fl1.
    Resolver resolver(&browsing, service.hostname());
    const QHostAddress fl0LinkLocal = linkLocalOf(QStringLiteral("fl0"));
    QTRY_VERIFY_WITH_TIMEOUT(resolver.addresses().contains(QHostAddress("10.77.0.1"))
                                 && resolver.addresses().contains(fl0LinkLocal), Patience);
    QCOMPARE(resolver.addresses().at(resolver.addresses().indexOf(fl0LinkLocal)).scopeId(), QStringLiteral("fl1"));
    QVERIFY(!resolver.addresses().contains(QHostAddress("10.77.0.2")));
}

void tst_MdnsInterop::noticesInterfacesComingAndGoing()
{
    Server server(QStringList{QStringLiteral("fl8")});
    QSignalSpy appeared(&server, &AbstractServer::interfaceAppeared);
    QVERIFY(server.interfaceNames().isEmpty());
    QVERIFY(ip("link add fl8 type veth peer name fl9"));
    const bool ok = ip("addr add 10.78.0.1/24 dev fl8") && ip("link set fl8 up") && ip("link set fl9 up");
    // Polled by the test, rather than waited for.
    if (ok)
        QTRY_VERIFY_WITH_TIMEOUT((server.refreshInterfaces(), appeared.count() == 1), Patience);
    QVERIFY(ip("link delete fl8") && ok);
    QCOMPARE(appeared.first().first().toString() + ' ' + server.interfaceNames().join(' '), QStringLiteral("fl8 fl8"));
    QTRY_VERIFY_WITH_TIMEOUT((server.refreshInterfaces(), server.interfaceNames().isEmpty()), Patience);
}

QTEST_GUILESS_MAIN(tst_MdnsInterop)
#include "tst_mdnsinterop.moc"
