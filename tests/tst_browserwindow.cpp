#include "discovery/browserwindow.h"
#include "discovery/servicemodel.h"
#include "mdns/dns.h"
#include "mdns/resolver.h"
#include "tests/support/mdnsfakeserver.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";

Message announcement(const QByteArray &name, const QByteArray &type = NodeType, quint16 port = 8080,
                     const QMap<QByteArray, QByteArray> &attributes = {})
{
    const QByteArray instance = name + '.' + type;
    return response({ptr(type, instance)}, {srv(instance, name + ".local.", port), txt(instance, attributes)});
}

// Each row's text, and a service's port after a colon.
QStringList texts(const QAbstractItemModel *model)
{
    QStringList lines;
    for (int row = 0; model && row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        const int port = index.data(Qt::UserRole).value<Service>().port();
        lines << index.data().toString() + (port ? ':' + QString::number(port) : QString());
    }
    return lines;
}

// The addresses, then each attribute row as "key=value".
QStringList shown(const BrowserWindow &browser)
{
    QStringList lines = texts(browser.findChild<QListWidget *>()->model());
    auto *table = browser.findChild<QTableWidget *>();
    for (int row = 0; row < table->rowCount(); ++row)
        lines << table->item(row, 0)->text() + '=' + table->item(row, 1)->text();
    return lines;
}

} // namespace

class tst_BrowserWindow : public QObject
{
    Q_OBJECT

private slots:
    void showsSelectedServiceUntilDeselected();
    void listsServices_data();
    void listsServices();
};

void tst_BrowserWindow::showsSelectedServiceUntilDeselected()
{
    MdnsFakeServer server;
    BrowserWindow browser(&server);
    // The window's widgets, found the way an operator would: by what they are.
    auto *type = browser.findChild<QLineEdit *>();
    auto *any = browser.findChild<QCheckBox *>();
    auto *browse = browser.findChild<QPushButton *>();
    auto *services = browser.findChild<QListView *>();
    QCOMPARE(browser.windowTitle() + ' ' + type->text(), QString("mDNS Browser " + NodeType));
    // "Any" browses the meta-query type; unchecked, the field is editable again.
    any->setChecked(true);
    QVERIFY(!type->isEnabled());
    any->setChecked(false);
    QCOMPARE(type->text() + ' ' + QString::number(type->isEnabled()), QString::fromLatin1(ServicesType) + " 1");
    type->setText(NodeType);
    browse->click();
    QTRY_COMPARE(server.questionCount(NodeType, PTR), 1);
    // Network text is never taken as markup; keys in byte order.
    server.deliver(announcement("cam-1", NodeType, 8080, {{"b", "2"}, {"flag", {}}, {"<i>k</i>", QByteArray("x\0y", 3)}}));
    services->selectionModel()->select(services->model()->index(0, 0), QItemSelectionModel::ClearAndSelect);
    QCOMPARE(shown(browser), (QStringList{"<i>k</i>=x\u2400y", "b=2", "flag="}));
    // The selected host is asked for; its addresses are listed as they come.
    QTRY_VERIFY(server.questionCount("cam-1.local.", A) > 0);
    server.deliver(response({address("cam-1.local.", "10.77.0.2"), address("cam-1.local.", "fd77::2")}));
    QCOMPARE(shown(browser).mid(0, 3), (QStringList{"10.77.0.2", "fd77::2", "<i>k</i>=x\u2400y"}));
    services->selectionModel()->clearSelection();
    QVERIFY(shown(browser).isEmpty() && browser.findChildren<Resolver *>().isEmpty());
    // Browsing again starts a fresh list, which fills again.
    browse->click();
    QVERIFY(texts(services->model()).isEmpty());
    QTRY_COMPARE(server.questionCount(NodeType, PTR), 2);
    server.deliver(announcement("cam-1"));
    QCOMPARE(texts(services->model()), QStringList{"cam-1 (_nmos-node._tcp.local.):8080"});
}

void tst_BrowserWindow::listsServices_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QList<Message>>("messages");
    QTest::addColumn<QStringList>("rows");  // "text:port"
    using M = QList<Message>;
    QTest::newRow("UTF-8") << NodeType << M{announcement("Kamera S\xc3\xbc" "d")} << QStringList{"Kamera S\u00fcd (_nmos-node._tcp.local.):8080"};
    // Not placeholders: the type goes in once, where the format says.
    QTest::newRow("percent signs") << NodeType << M{announcement("Cam %2 %1")} << QStringList{"Cam %2 %1 (_nmos-node._tcp.local.):8080"};
    // Every byte is shown, control characters as visible symbols.
    QTest::newRow("NUL and newline") << NodeType << M{announcement(QByteArray("a\0b\nc", 5))}
                                     << QStringList{"a\u2400b\u240ac (_nmos-node._tcp.local.):8080"};
    // Browsing every type, one printer's services share an instance name: an update moves
    // the row of its own type.
    const QByteArray ipp = "_ipp._tcp.local.", http = "_http._tcp.local.";
    QTest::newRow("one name, two types") << QByteArray(ServicesType)
        << M{response({ptr(ServicesType, ipp), ptr(ServicesType, http)}), announcement("Office", ipp, 631), announcement("Office", http, 80),
             announcement("Cam", http, 8080), response({srv("Office." + http, "Office.local.", 8000)})}
        << QStringList{"Office (_ipp._tcp.local.):631", "Office (_http._tcp.local.):8000", "Cam (_http._tcp.local.):8080"};
}

void tst_BrowserWindow::listsServices()
{
    QFETCH(QByteArray, type);
    QFETCH(QList<Message>, messages);
    QFETCH(QStringList, rows);
    MdnsFakeServer server;
    ServiceModel model(&server, type);
    for (const Message &message : messages)
        server.deliver(message);
    QCOMPARE(texts(&model), rows);
}

QTEST_MAIN(tst_BrowserWindow)
#include "tst_browserwindow.moc"
