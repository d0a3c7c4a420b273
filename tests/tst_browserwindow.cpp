#include "app/mainwindow.h"
#include "discovery/browserwindow.h"
#include "discovery/nmosmdnsbrowser.h"
#include "mdns/dns.h"
#include "mdns/resolver.h"
#include "tests/support/mdnsfakeserver.h"
#include "tests/support/netns.h"
#include "tests/support/privateavahi.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableWidget>
#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const QByteArray Instance = "cam-1._nmos-node._tcp.local.";
const QByteArray Host = "cam-1.local.";
const int Patience = 20000;  // python3-zeroconf probes for a couple of seconds first

using Attributes = QMap<QByteArray, QByteArray>;

// The window's widgets, found the way an operator would: by what they are.
struct Window {
    explicit Window(BrowserWindow *w)
        : window(w), typeEdit(w->findChild<QLineEdit *>()), any(w->findChild<QCheckBox *>()),
          browse(w->findChild<QPushButton *>()), services(w->findChild<QListView *>()),
          addresses(w->findChild<QListWidget *>()), attributes(w->findChild<QTableWidget *>())
    {
    }
    QStringList rows() const
    {
        QStringList texts;
        for (int row = 0; services->model() && row < services->model()->rowCount(); ++row)
            texts << services->model()->index(row, 0).data().toString();
        return texts;
    }
    void select(int row) const
    {
        services->selectionModel()->select(services->model()->index(row, 0), QItemSelectionModel::ClearAndSelect);
    }
    QStringList addressLines() const
    {
        QStringList lines;
        for (int i = 0; i < addresses->count(); ++i)
            lines << addresses->item(i)->text();
        return lines;
    }
    // Each row as "key=value".
    QStringList table() const
    {
        QStringList lines;
        for (int row = 0; row < attributes->rowCount(); ++row)
            lines << attributes->item(row, 0)->text() + '=' + attributes->item(row, 1)->text();
        return lines;
    }

    BrowserWindow *window;
    QLineEdit *typeEdit;
    QCheckBox *any;
    QPushButton *browse;
    QListView *services;
    QListWidget *addresses;
    QTableWidget *attributes;
};

Message announcement(const Attributes &attributes = {{"api_ver", "v1.3"}})
{
    return response({ptr(NodeType, Instance)}, {srv(Instance, Host, 8080), txt(Instance, attributes)});
}

Message hostAddresses()
{
    return response({address(Host, "10.77.0.2"), address(Host, "fd77::2")});
}

// python3-zeroconf on the other end of the link, announcing one service until it ends.
struct Peer {
    Peer(const QByteArray &type, const QByteArray &name, const QStringList &txt)
    {
        QStringList arguments{QStringLiteral(FERROLINK_SOURCE_DIR "/tests/zeroconf_announce.py"), "register",
                              "--type", type, "--name", name, "--port", "8081", "--host", "zc-host.local.",
                              "--address", "10.77.0.2", "--address", "fd77::2"};
        for (const QString &entry : txt)
            arguments << "--txt" << entry;
        process.start(QStringLiteral("/usr/bin/python3"), arguments);
    }
    ~Peer()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000))
            process.kill();
    }
    bool registered()
    {
        output += process.readAllStandardOutput();
        return output.contains("registered\n");
    }
    QProcess process;
    QByteArray output;
};

bool containsAll(const QStringList &list, const QStringList &wanted)
{
    return std::all_of(wanted.cbegin(), wanted.cend(), [&](const QString &item) { return list.contains(item); });
}

BrowserWindow *theBrowserWindow(int *count)
{
    BrowserWindow *found = nullptr;
    *count = 0;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<BrowserWindow *>(widget)) {
            found = window;
            ++*count;
        }
    }
    return found;
}

} // namespace

class tst_BrowserWindow : public QObject
{
    Q_OBJECT

private slots:
    void startsIdleAndAnyBrowsesEveryType();
    void showsSelectedServiceUntilDeselected_data();
    void showsSelectedServiceUntilDeselected();
    void browsingAgainStartsAFreshList();
    void listsZeroconfServicesBesideNodeDiscovery();
};

void tst_BrowserWindow::startsIdleAndAnyBrowsesEveryType()
{
    MdnsFakeServer server;
    BrowserWindow browser(&server);
    Window w(&browser);
    QCOMPARE(browser.windowTitle(), QStringLiteral("mDNS Browser"));
    QCOMPARE(w.typeEdit->text(), QString::fromLatin1(NodeType));
    QVERIFY(w.typeEdit->isEnabled());
    QVERIFY(!w.any->isChecked());
    QVERIFY(!w.services->model());
    QCOMPARE(w.addresses->count(), 0);
    QCOMPARE(w.attributes->columnCount(), 0);

    // Unchecking leaves the meta-query type in the field, editable again.
    w.any->setChecked(true);
    QCOMPARE(w.typeEdit->text(), QString::fromLatin1(ServicesType));
    QVERIFY(!w.typeEdit->isEnabled());
    w.any->setChecked(false);
    QCOMPARE(w.typeEdit->text(), QString::fromLatin1(ServicesType));
    QVERIFY(w.typeEdit->isEnabled());

    QCOMPARE(server.questionCount(ServicesType, PTR), 0);
    w.browse->click();
    QTRY_COMPARE(server.questionCount(ServicesType, PTR), 1);
    QCOMPARE(server.questionCount(NodeType, PTR), 0);
}

void tst_BrowserWindow::showsSelectedServiceUntilDeselected_data()
{
    QTest::addColumn<Attributes>("attributes");
    QTest::addColumn<QStringList>("table");
    // Byte order of the keys; network text is never taken as markup.
    QTest::newRow("TXT") << Attributes{{"b", "2"}, {"a", "1"}, {"flag", QByteArray()},
                                                         {"<i>k</i>", QByteArray("x\0y", 3)}}
                         << QStringList{"<i>k</i>=x\u2400y", "a=1", "b=2", "flag="};
    QTest::newRow("no TXT") << Attributes() << QStringList();
}

void tst_BrowserWindow::showsSelectedServiceUntilDeselected()
{
    QFETCH(Attributes, attributes);
    QFETCH(QStringList, table);
    MdnsFakeServer server;
    BrowserWindow browser(&server);
    Window w(&browser);
    w.browse->click();
    server.deliver(announcement(attributes));
    QCOMPARE(w.rows(), QStringList{"cam-1 (_nmos-node._tcp.local.)"});

    w.select(0);
    QCOMPARE(w.attributes->columnCount(), 2);
    QCOMPARE(w.attributes->horizontalHeaderItem(0)->text(), QStringLiteral("Key"));
    QCOMPARE(w.attributes->horizontalHeaderItem(1)->text(), QStringLiteral("Value"));
    QCOMPARE(w.table(), table);

    // The selected host is asked for; both its addresses are listed as they come.
    QTRY_VERIFY(server.questionCount(Host, A) > 0);
    server.deliver(hostAddresses());
    QCOMPARE(w.addressLines(), QStringList({"10.77.0.2", "fd77::2"}));

    w.services->selectionModel()->clearSelection();
    QCOMPARE(w.addresses->count(), 0);
    QCOMPARE(w.attributes->columnCount(), 0);
    QCOMPARE(w.attributes->rowCount(), 0);
    QVERIFY(browser.findChildren<Resolver *>().isEmpty());
    server.deliver(hostAddresses());
    QCOMPARE(w.addresses->count(), 0);
}

void tst_BrowserWindow::browsingAgainStartsAFreshList()
{
    MdnsFakeServer server;
    BrowserWindow browser(&server);
    Window w(&browser);
    w.browse->click();
    server.deliver(announcement());
    w.select(0);
    server.deliver(hostAddresses());
    QCOMPARE(w.addresses->count(), 2);
    QTRY_COMPARE(server.questionCount(NodeType, PTR), 1);

    QPointer<QAbstractItemModel> first = w.services->model();
    w.browse->click();
    QVERIFY(first.isNull());
    QVERIFY(w.rows().isEmpty());
    QCOMPARE(w.attributes->columnCount(), 0);
    // The resolver of the old selection goes on until the selection changes.
    QCOMPARE(w.addresses->count(), 2);

    // A new browser asks afresh, and the list fills again.
    QTRY_COMPARE(server.questionCount(NodeType, PTR), 2);
    server.deliver(announcement());
    QCOMPARE(w.rows(), QStringList{"cam-1 (_nmos-node._tcp.local.)"});
    w.select(0);
    QCOMPARE(w.table(), QStringList{"api_ver=v1.3"});
    QCOMPARE(w.addresses->count(), 0);
}

void tst_BrowserWindow::listsZeroconfServicesBesideNodeDiscovery()
{
    SKIP_UNLESS_PRIVATE_NETNS();
    if (!QFile::exists(QStringLiteral("/usr/bin/python3")))
        QSKIP("needs /usr/bin/python3 with python3-zeroconf");
    QStandardPaths::setTestModeEnabled(true);
    // Avahi first, as on a desktop: it holds port 5353 on fl1 before our servers open it.
    PrivateAvahi avahi;
    QString why;
    const bool withAvahi = avahi.start(&why);
    if (!withAvahi && qgetenv("FERROLINK_REQUIRE_AVAHI") == "1")
        QFAIL(qPrintable(why));
    QStringList expected{"zc-printer (_ipp._tcp.local.)", "zc-printer (_http._tcp.local.)",
                         "zc-node (_nmos-node._tcp.local.)"};
    if (withAvahi) {
        avahi.startTool({"avahi-publish-service", "-s", "avahi-web", "_http._tcp", "8090", "path=/avahi"});
        expected << "avahi-web (_http._tcp.local.)";
    } else {
        qWarning("Avahi left out: %s", qPrintable(why));
    }
    // One printer under one name with two types, and a node for the main window's discovery.
    Peer ipp("_ipp._tcp.local.", "zc-printer", {"rp=ipp/print"});
    Peer web("_http._tcp.local.", "zc-printer", {"path=/", "note=<b>hi</b>"});
    Peer node(NodeType, "zc-node", {"api_ver=v1.3", "api_proto=http"});
    QTRY_VERIFY_WITH_TIMEOUT(ipp.registered() && web.registered() && node.registered(), Patience);

    MainWindow main;
    auto *discovery = main.findChild<NMOSMdnsBrowser *>();
    QVERIFY(discovery);
    qRegisterMetaType<QMap<QString, QString>>();
    QSignalSpy discovered(discovery, &NMOSMdnsBrowser::nodeDiscovered);
    QPushButton *mainBrowse = nullptr;
    for (QPushButton *button : main.findChildren<QPushButton *>()) {
        if (button->text() == QStringLiteral("Browse"))
            mainBrowse = button;
    }
    QVERIFY(mainBrowse);
    int count = 0;
    QVERIFY(!theBrowserWindow(&count));
    mainBrowse->click();
    mainBrowse->click();
    BrowserWindow *browser = theBrowserWindow(&count);
    QCOMPARE(count, 1);
    QVERIFY(browser->isVisible());

    Window w(browser);
    w.any->setChecked(true);
    w.browse->click();
    // Every announced service is listed (Avahi may announce more of its own).
    QTRY_VERIFY_WITH_TIMEOUT(containsAll(w.rows(), expected), Patience);
    // The main window's own discovery hears the node on its own server meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(!discovered.isEmpty(), Patience);
    QCOMPARE(discovered.first().first().toString(), QStringLiteral("zc-node"));

    if (withAvahi) {
        w.select(w.rows().indexOf(expected.last()));
        QCOMPARE(w.table(), QStringList{"path=/avahi"});
    }
    // The zeroconf host has an IPv4 and an IPv6 address on the link.
    w.select(w.rows().indexOf(expected.at(1)));
    QCOMPARE(w.table(), QStringList({"note=<b>hi</b>", "path=/"}));
    QTRY_VERIFY2_WITH_TIMEOUT(w.addressLines().contains("10.77.0.2") && w.addressLines().contains("fd77::2"),
                              qPrintable(w.addressLines().join(' ')), Patience);

    // Closing only hides the window; the next press shows it as it was.
    browser->close();
    QVERIFY(!browser->isVisible());
    mainBrowse->click();
    QCOMPARE(theBrowserWindow(&count), browser);
    QCOMPARE(count, 1);
    QVERIFY(browser->isVisible());
    QVERIFY(containsAll(w.rows(), expected));
    QCOMPARE(w.table(), QStringList({"note=<b>hi</b>", "path=/"}));
}

QTEST_MAIN(tst_BrowserWindow)
#include "tst_browserwindow.moc"
