#include "browserwindow.h"

#include "discovery/servicemodel.h"
#include "mdns/resolver.h"
#include "mdns/server.h"
#include "mdns/service.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const char NodeType[] = "_nmos-node._tcp.local.";
// The DNS-SD meta-query: the library's browser then reports the services of every type.
const char AnyType[] = "_services._dns-sd._udp.local.";

} // namespace

BrowserWindow::BrowserWindow(QMdnsEngine::AbstractServer *server)
{
    setWindowTitle(tr("mDNS Browser"));
    resize(640, 480);

    if (!server) {
        m_ownServer = std::make_unique<QMdnsEngine::Server>();
        server = m_ownServer.get();
    }
    m_server = server;

    m_typeEdit = new QLineEdit(QString::fromLatin1(NodeType));
    m_startButton = new QPushButton(tr("Browse"));
    m_serviceView = new QListView;
    m_addressList = new QListWidget;
    m_attributeTable = new QTableWidget;
    m_attributeTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    // A viewer: what the network said is not to be edited here.
    m_attributeTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto *anyBox = new QCheckBox(tr("Any"));

    auto *layout = new QVBoxLayout(this);
    auto *typeRow = new QHBoxLayout;
    typeRow->addWidget(m_typeEdit, 1);
    typeRow->addWidget(anyBox, 0);
    typeRow->addWidget(m_startButton, 0);
    layout->addLayout(typeRow);

    auto *detailSplitter = new QSplitter(Qt::Vertical);
    detailSplitter->addWidget(m_addressList);
    detailSplitter->addWidget(m_attributeTable);
    auto *splitter = new QSplitter(Qt::Horizontal);
    splitter->addWidget(m_serviceView);
    splitter->addWidget(detailSplitter);
    auto *listRow = new QHBoxLayout;
    listRow->addWidget(splitter);
    layout->addLayout(listRow);

    connect(anyBox, &QCheckBox::toggled, this, &BrowserWindow::onToggled);
    connect(m_startButton, &QPushButton::clicked, this, &BrowserWindow::onClicked);
}

BrowserWindow::~BrowserWindow()
{
    // The resolver is a child and the model is not, and both work on m_server, which as a
    // member would otherwise be gone before the children are deleted.
    delete m_resolver;
    m_resolver = nullptr;
    m_serviceView->setModel(nullptr);
    m_model.reset();
}

void BrowserWindow::onToggled(bool checked)
{
    if (checked)
        m_typeEdit->setText(QString::fromLatin1(AnyType));
    m_typeEdit->setEnabled(!checked);
}

void BrowserWindow::onClicked()
{
    // The old selection model is left to us by setModel(); it must go before its model.
    QItemSelectionModel *oldSelection = m_serviceView->selectionModel();
    auto model = std::make_unique<ServiceModel>(m_server, m_typeEdit->text().toUtf8());
    m_serviceView->setModel(model.get());
    delete oldSelection;
    clearAttributes();
    m_model = std::move(model);
    connect(m_serviceView->selectionModel(), &QItemSelectionModel::selectionChanged,
            this, &BrowserWindow::onSelectionChanged);
}

void BrowserWindow::onSelectionChanged(const QItemSelection &selected, const QItemSelection &)
{
    m_addressList->clear();
    clearAttributes();
    delete m_resolver;
    m_resolver = nullptr;
    if (selected.isEmpty())
        return;

    const QVariant value = selected.first().topLeft().data(Qt::UserRole);
    const auto service = value.canConvert<QMdnsEngine::Service>() ? value.value<QMdnsEngine::Service>()
                                                                  : QMdnsEngine::Service();
    // A snapshot: a later update of the service does not refresh the table.
    const auto attributes = service.attributes();
    m_attributeTable->setRowCount(attributes.size());
    m_attributeTable->setColumnCount(2);
    m_attributeTable->setHorizontalHeaderLabels({tr("Key"), tr("Value")});
    m_attributeTable->horizontalHeader()->setStretchLastSection(true);
    m_attributeTable->verticalHeader()->hide();
    int row = 0;
    for (auto it = attributes.constBegin(); it != attributes.constEnd(); ++it, ++row) {
        m_attributeTable->setItem(row, 0, new QTableWidgetItem(ServiceModel::displayText(it.key())));
        m_attributeTable->setItem(row, 1, new QTableWidgetItem(ServiceModel::displayText(it.value())));
    }

    // Without a shared cache the resolver keeps a private one.
    m_resolver = new QMdnsEngine::Resolver(m_server, service.hostname(), nullptr, this);
    connect(m_resolver, &QMdnsEngine::Resolver::resolved, m_resolver,
            [this](const QHostAddress &address) { m_addressList->addItem(address.toString()); },
            Qt::DirectConnection);
}

void BrowserWindow::clearAttributes()
{
    m_attributeTable->clear();
    m_attributeTable->setRowCount(0);
    m_attributeTable->setColumnCount(0);
}
