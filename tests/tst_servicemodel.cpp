#include "discovery/servicemodel.h"
#include "mdns/dns.h"
#include "tests/support/mdnsfakeserver.h"

#include <QtTest>

using namespace QMdnsEngine;
using namespace MdnsRecords;

namespace {

const QByteArray NodeType = "_nmos-node._tcp.local.";
const QByteArray Ipp = "_ipp._tcp.local.";
const QByteArray Http = "_http._tcp.local.";

Message announcement(const QByteArray &type, const QByteArray &name, quint16 port)
{
    const QByteArray instance = name + '.' + type;
    return response({ptr(type, instance)}, {srv(instance, "printer.local.", port), txt(instance, {})});
}

QStringList rows(const ServiceModel &model)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts << model.index(row).data().toString();
    return texts;
}

quint16 port(const ServiceModel &model, int row)
{
    return model.index(row).data(Qt::UserRole).value<Service>().port();
}

} // namespace

class tst_ServiceModel : public QObject
{
    Q_OBJECT

private slots:
    void tracksRowsByInstanceNameAndType();
    void showsNameAndType_data();
    void showsNameAndType();
};

void tst_ServiceModel::tracksRowsByInstanceNameAndType()
{
    // Browsing every type, one printer's two services share an instance name.
    MdnsFakeServer server;
    ServiceModel model(&server, ServicesType);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    server.deliver(response({ptr(ServicesType, Ipp), ptr(ServicesType, Http)}));
    server.deliver(announcement(Ipp, "Office", 631));
    server.deliver(announcement(Http, "Office", 80));
    server.deliver(announcement(Http, "Camera", 8080));
    QCOMPARE(rows(model), QStringList({"Office (_ipp._tcp.local.)", "Office (_http._tcp.local.)",
                                       "Camera (_http._tcp.local.)"}));

    // The web page moves: its own row changes, not the first row of that name.
    server.deliver(response({srv("Office." + Http, "printer.local.", 8000)}));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().at(0).toModelIndex(), model.index(1));
    QCOMPARE(changed.first().at(1).toModelIndex(), model.index(1));
    QCOMPARE(port(model, 0), quint16(631));
    QCOMPARE(port(model, 1), quint16(8000));

    // Services the list does not hold change nothing.
    Service stranger;
    stranger.setType(NodeType);
    stranger.setName("Office");
    QVERIFY(QMetaObject::invokeMethod(&model, "onServiceUpdated", Q_ARG(QMdnsEngine::Service, stranger)));
    QVERIFY(QMetaObject::invokeMethod(&model, "onServiceRemoved", Q_ARG(QMdnsEngine::Service, stranger)));
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(changed.count(), 1);

    // The web page goes (goodbye, then a second's grace): the printer's IPP row stays.
    server.deliver(response({ptr(Http, "Office." + Http, 0)}));
    QTRY_COMPARE(rows(model), QStringList({"Office (_ipp._tcp.local.)", "Camera (_http._tcp.local.)"}));
    QCOMPARE(port(model, 0), quint16(631));
}

void tst_ServiceModel::showsNameAndType_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("display");
    QTest::newRow("plain") << QByteArray("studio-gw-1") << "studio-gw-1 (_nmos-node._tcp.local.)";
    QTest::newRow("UTF-8") << QByteArray("Kamera S\xc3\xbc" "d") << "Kamera S\u00fcd (_nmos-node._tcp.local.)";
    // Not placeholders: the type goes in once, where the format says.
    QTest::newRow("percent signs") << QByteArray("Cam %2 %1") << "Cam %2 %1 (_nmos-node._tcp.local.)";
    // Every byte is shown, control characters as visible symbols.
    QTest::newRow("NUL and newline") << QByteArray("a\0b\nc", 5) << "a\u2400b\u240ac (_nmos-node._tcp.local.)";
}

void tst_ServiceModel::showsNameAndType()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, display);
    MdnsFakeServer server;
    ServiceModel model(&server, NodeType);
    server.deliver(announcement(NodeType, name, 8080));
    QCOMPARE(model.rowCount(), 1);

    const QModelIndex index = model.index(0);
    QCOMPARE(index.data().toString(), display);
    QCOMPARE(index.data(Qt::UserRole).value<Service>().name(), name);
    QVERIFY(!index.data(Qt::ToolTipRole).isValid());
    QVERIFY(!model.index(1).data().isValid());
}

QTEST_GUILESS_MAIN(tst_ServiceModel)
#include "tst_servicemodel.moc"
