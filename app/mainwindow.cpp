#include "mainwindow.h"

#include "app/lightindicator.h"
#include "discovery/nmosmdnsbrowser.h"
#include "nmos/nmosclient.h"

#include <QComboBox>
#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    m_client = new NmosClient(this);
    m_settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                               QStringLiteral("Veltrix"), QStringLiteral("Ferrolink"), this);

    qRegisterMetaType<NmosClient::SenderConnection>("NmosClient::SenderConnection");
    qRegisterMetaType<NmosClient::ReceiverConnection>("NmosClient::ReceiverConnection");
    qRegisterMetaType<NmosClient::SenderConnection>("SenderConnection");
    qRegisterMetaType<NmosClient::ReceiverConnection>("ReceiverConnection");

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    layout->addWidget(makeEndpointRow(tr("Transmitter IP"), &m_txCombo, &m_txLamp, &m_txSdpButton));
    layout->addWidget(makeEndpointRow(tr("Receiver IP"), &m_rxCombo, &m_rxLamp, &m_rxSdpButton));
    layout->addSpacing(8);

    auto *buttonBar = new QWidget;
    auto *buttons = new QHBoxLayout(buttonBar);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(8);
    m_connectButton = new QPushButton(tr("Connect (Tx->Rx)"));
    m_disconnectButton = new QPushButton(tr("Disconnect Rx"));
    m_browseButton = new QPushButton(tr("Browse"));
    m_aboutButton = new QPushButton(tr("About"));
    buttons->addWidget(m_connectButton, 0);
    buttons->addWidget(m_disconnectButton, 0);
    buttons->addStretch();
    buttons->addWidget(m_browseButton, 0);
    buttons->addWidget(m_aboutButton, 0);
    layout->addWidget(buttonBar);

    setCentralWidget(central);
    setWindowTitle(QStringLiteral("Ferrolink"));

    checkTx();
    checkRx();

    connect(m_txCombo, &QComboBox::editTextChanged, this, &MainWindow::checkTx);
    connect(m_txCombo, QOverload<int>::of(&QComboBox::activated), this, &MainWindow::checkTx);
    connect(m_rxCombo, &QComboBox::editTextChanged, this, &MainWindow::checkRx);
    connect(m_rxCombo, QOverload<int>::of(&QComboBox::activated), this, &MainWindow::checkRx);

    // Last, so that discovery results arrive only once the window is complete.
    m_mdns = new NMOSMdnsBrowser(this);
    connect(m_mdns, &NMOSMdnsBrowser::nodeSelfReady, this, &MainWindow::onMdnsDeviceFound);
    m_mdns->start();
}

MainWindow::~MainWindow()
{
    if (m_mdns) {
        m_mdns->stop();
        delete m_mdns;
        m_mdns = nullptr;
    }
}

QWidget *MainWindow::makeEndpointRow(const QString &label, QComboBox **combo, LightIndicator **lamp,
                                     QPushButton **button)
{
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    auto *box = new QComboBox;
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setMinimumWidth(660);
    // Set on the combo, not its line edit: then the first item added to an empty combo
    // does not become current, so discovery never selects an entry by itself.
    box->setPlaceholderText(QStringLiteral("e.g. 10.0.0.2"));

    auto *indicator = new LightIndicator;
    auto *sdpButton = new QPushButton(QStringLiteral("Show SDP\u2026"));

    layout->addWidget(new QLabel(label), 0);
    layout->addWidget(box, 1);
    layout->addWidget(indicator, 0);
    layout->addWidget(sdpButton, 0);

    *combo = box;
    *lamp = indicator;
    *button = sdpButton;
    return row;
}

namespace {

// The record stored as item data; the receiver type is told apart by its type name.
template<typename Field>
QString currentRecordField(const QComboBox *combo, Field field)
{
    const QVariant data = combo->currentData(Qt::UserRole);
    if (qstrcmp(data.typeName(), "NmosClient::ReceiverConnection") == 0) {
        const auto record = data.value<NmosClient::ReceiverConnection>();
        return field(record.id, record.nodeAddress);
    }
    const auto record = data.value<NmosClient::SenderConnection>();
    return field(record.id, record.nodeAddress);
}

} // namespace

QString MainWindow::currentItemId(QComboBox *combo) const
{
    return currentRecordField(combo, [](const QString &id, const QString &) { return id; });
}

QString MainWindow::currentItemAddress(QComboBox *combo) const
{
    return currentRecordField(combo, [](const QString &, const QString &address) { return address; });
}

void MainWindow::checkTx()
{
    const QString text = m_txCombo->currentText().trimmed();
    bool ok = false;
    if (!text.isEmpty()) {
        ok = m_client->hasSenders(currentItemAddress(m_txCombo));
        if (ok)
            m_settings->setValue(QStringLiteral("lastTxIp"), text);
    }
    m_txLamp->setOn(ok);
}

void MainWindow::checkRx()
{
    const QString text = m_rxCombo->currentText().trimmed();
    bool ok = false;
    if (!text.isEmpty()) {
        ok = m_client->hasReceivers(currentItemAddress(m_rxCombo));
        if (ok)
            m_settings->setValue(QStringLiteral("lastRxIp"), text);
    }
    m_rxLamp->setOn(ok);
}

namespace {

// Appends each record whose display name is not listed yet. The test is made right before
// each append because a nested discovery may have added the same entry meanwhile.
template<typename Record>
void addRecords(QComboBox *combo, const QList<Record> &records)
{
    for (const Record &record : records) {
        if (combo->findText(record.displayName, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
            combo->addItem(record.displayName, QVariant::fromValue(record));
    }
}

} // namespace

void MainWindow::onMdnsDeviceFound(QString serviceName, QUrl url, QJsonDocument selfDoc)
{
    Q_UNUSED(selfDoc)
    qDebug() << "mDNS found NMOS Node:" << serviceName << url.toString();

    // Fully decoded, a link-local host keeps its zone ("fe80::1%fl0"), which the client
    // needs to reach the node on the interface it was found on.
    const QString address = url.host(QUrl::FullyDecoded) + QLatin1Char(':') + QString::number(url.port());

    if (m_client->hasSenders(address))
        addRecords(m_txCombo, m_client->videoSenders(address, serviceName));
    m_txCombo->model()->sort(0, Qt::AscendingOrder);

    if (m_client->hasReceivers(address))
        addRecords(m_rxCombo, m_client->videoReceivers(address, serviceName));
    m_rxCombo->model()->sort(0, Qt::AscendingOrder);
}
