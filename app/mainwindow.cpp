#include "mainwindow.h"

#include "app/authorizationbar.h"
#include "app/entryfinder.h"
#include "app/entrypresence.h"
#include "app/fitlines.h"
#include "app/lightindicator.h"
#include "app/receiverstatelabel.h"
#include "app/runguard.h"
#include "app/salvowindow.h"
#include "app/sourcestatus.h"
#include "discovery/browserwindow.h"
#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"
#include "nmos/nmosclient.h"
#include "nmos/nmosresourcestore.h"
#include "workflow/intakequeue.h"
#include "workflow/securedfacility.h"

#include <QComboBox>
#include <QDebug>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QHash>
#include <QSettings>
#include <QStatusBar>
#include <QVBoxLayout>

Q_LOGGING_CATEGORY(lcApp, "ferrolink.app", QtInfoMsg)

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    m_client = new NmosClient(this);
    m_workflow = new PatchWorkflow(m_client, this);
    m_intake = new IntakeQueue(this);
    connect(m_intake, &IntakeQueue::nodeListed, this, &MainWindow::addNodeEntries);
    // Nothing is taken in before the window is complete, even when a message box or the
    // splash below runs the event loop.
    m_intake->hold();
    m_settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                               QStringLiteral("Veltrix"), QStringLiteral("Ferrolink"), this);
    m_facility = new SecuredFacility(this);
    // The client registered at each authorization server is registered once per desk.
    m_facility->setKnownClients(m_settings->value(QStringLiteral("authorizationClients")).toMap());
    connect(m_facility, &SecuredFacility::clientsChanged, this,
            [this] { m_settings->setValue(QStringLiteral("authorizationClients"), m_facility->knownClients()); });
    // Its question, when a newer version is offered, comes before anything is shown.
    checkForUpdate();

    qRegisterMetaType<NmosClient::SenderConnection>("NmosClient::SenderConnection");
    qRegisterMetaType<NmosClient::ReceiverConnection>("NmosClient::ReceiverConnection");
    qRegisterMetaType<NmosClient::SenderConnection>("SenderConnection");
    qRegisterMetaType<NmosClient::ReceiverConnection>("ReceiverConnection");

    buildSplash();
    // Discovery starts before the window is built, so that the nodes' answers are on their
    // way meanwhile; after the splash, whose showing runs the event loop once, which would
    // take in the answers of a whole facility before the window could show.
    m_mdns = new NMOSMdnsBrowser(this);
    m_mdns->setAuthorization(m_facility->session());
    connect(m_mdns, &NMOSMdnsBrowser::nodeSelfReady, m_intake, &IntakeQueue::enqueue);
    m_mdns->start();

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    QWidget *txRow = makeEndpointRow(tr("Transmitter IP"), &m_txCombo, &m_txLamp, &m_txSdpButton);
    QWidget *rxRow = makeEndpointRow(tr("Receiver IP"), &m_rxCombo, &m_rxLamp, &m_rxSdpButton);
    m_fit = new FitLines(m_txCombo, m_rxCombo, this);
    layout->addWidget(txRow);
    layout->addWidget(m_fit->senderLine());
    layout->addWidget(rxRow);
    layout->addWidget(m_fit->receiverLine());
    m_rxState = new ReceiverStateLabel(m_txCombo, m_rxCombo);
    layout->addWidget(m_rxState);
    layout->addWidget(m_fit->fitLine());
    m_rxState->setAuthorization(m_facility->session());
    m_fit->setAuthorization(m_facility->session());
    m_presence = new EntryPresence(m_txCombo, m_rxCombo, this);
    connect(m_mdns, &NMOSMdnsBrowser::nodeRemoved, m_presence, &EntryPresence::takeNodeRemoved);
    connect(m_mdns, &NMOSMdnsBrowser::nodeRemoved, m_intake, &IntakeQueue::takeNodeRemoved);
    connect(m_mdns, &NMOSMdnsBrowser::nodeDiscovered, m_rxState,
            [this](const QString &serviceName, const QString &, quint16, const QMap<QString, QString> &txt) {
                m_rxState->takeAnnouncement(serviceName, txt);
            });
    layout->addSpacing(8);

    auto *buttonBar = new QWidget;
    auto *buttons = new QHBoxLayout(buttonBar);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(8);
    m_connectButton = new QPushButton(tr("Connect (Tx->Rx)"));
    m_disconnectButton = new QPushButton(tr("Disconnect Rx"));
    m_browseButton = new QPushButton(tr("Browse"));
    m_aboutButton = new QPushButton(tr("About"));
    // Made after the others: the buttons keep their places among the window's.
    m_salvosButton = new QPushButton(tr("Salvos\u2026"));
    buttons->addWidget(m_connectButton, 0);
    buttons->addWidget(m_disconnectButton, 0);
    buttons->addStretch();
    buttons->addWidget(m_salvosButton, 0);
    buttons->addWidget(m_browseButton, 0);
    buttons->addWidget(m_aboutButton, 0);
    layout->addWidget(buttonBar);
    // Above the buttons, made after them: the runs' buttons keep their places among the window's.
    layout->insertWidget(layout->indexOf(buttonBar), new AuthorizationBar(m_facility));

    connect(m_aboutButton, &QPushButton::clicked, this, &MainWindow::showAbout);

    setCentralWidget(central);
    setWindowTitle(QStringLiteral("Ferrolink"));

    checkTx();
    checkRx();

    connect(m_txCombo, &QComboBox::editTextChanged, this, &MainWindow::checkTx);
    connect(m_txCombo, QOverload<int>::of(&QComboBox::activated), this, &MainWindow::checkTx);
    connect(m_rxCombo, &QComboBox::editTextChanged, this, &MainWindow::checkRx);
    connect(m_rxCombo, QOverload<int>::of(&QComboBox::activated), this, &MainWindow::checkRx);
    connect(m_txSdpButton, &QPushButton::clicked, this, &MainWindow::showTxSdp);
    connect(m_rxSdpButton, &QPushButton::clicked, this, &MainWindow::showRxSdp);
    connect(m_connectButton, &QPushButton::clicked, this, &MainWindow::doConnect);
    connect(m_disconnectButton, &QPushButton::clicked, this, &MainWindow::doDisconnect);
    connect(m_browseButton, &QPushButton::clicked, this, &MainWindow::showBrowser);
    connect(m_salvosButton, &QPushButton::clicked, this, &MainWindow::showSalvos);

    // A registry's entries come with their resources; the workflows read those from its store.
    m_registry = new NMOSRegistryBrowser(this);
    m_client->setResourceStore(m_registry->store());
    connect(m_registry, &NMOSRegistryBrowser::entriesListed, m_intake, &IntakeQueue::takeListed);
    const NmosResourceStore *store = m_registry->store();
    connect(store, &NmosResourceStore::resourceRemoved, m_presence, &EntryPresence::takeResourceRemoved);
    connect(store, &NmosResourceStore::resourceRemoved, m_intake, &IntakeQueue::takeResourceRemoved);
    connect(store, &NmosResourceStore::resourceAdded, m_presence, &EntryPresence::takeResourceAdded);
    connect(store, &NmosResourceStore::receiverSubscriptionChanged, m_rxState, &ReceiverStateLabel::setSubscription);
    statusBar()->addWidget(new SourceStatus(m_mdns, m_registry));
    m_facility->attach(m_client, m_intake, m_mdns, m_registry);
    m_registry->start();
    // Once the options that name the authorization server have been given.
    QMetaObject::invokeMethod(m_facility, &SecuredFacility::start, Qt::QueuedConnection);
    m_intake->release();
}

MainWindow::~MainWindow()
{
    if (m_mdns) {
        m_mdns->stop();
        delete m_mdns;
        m_mdns = nullptr;
    }
    delete m_splash;
    m_splash = nullptr;
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
    new EntryFinder(box);

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
auto currentRecordField(const QComboBox *combo, Field field)
{
    const QVariant data = combo->currentData(Qt::UserRole);
    if (qstrcmp(data.typeName(), "NmosClient::ReceiverConnection") == 0) {
        const auto record = data.value<NmosClient::ReceiverConnection>();
        return field(record.id, record.node);
    }
    const auto record = data.value<NmosClient::SenderConnection>();
    return field(record.id, record.node);
}

// The node of a combo's current item, with the scheme discovery found it under.
NmosClient::NodeEndpoint currentNode(const QComboBox *combo)
{
    return currentRecordField(combo, [](const QString &, const NmosClient::NodeEndpoint &node) { return node; });
}

} // namespace

QString MainWindow::currentItemId(QComboBox *combo) const
{
    return currentRecordField(combo, [](const QString &id, const NmosClient::NodeEndpoint &) { return id; });
}

QString MainWindow::currentItemAddress(QComboBox *combo) const
{
    return currentNode(combo).address;
}

// Read once, before the first request: every request of a run goes to the nodes it began
// with, whatever happens to the combos while the requests wait.
NmosClient::SenderConnection MainWindow::chosenSender() const
{
    NmosClient::SenderConnection sender;
    sender.id = currentItemId(m_txCombo);
    sender.node = currentNode(m_txCombo);
    return sender;
}

NmosClient::ReceiverConnection MainWindow::chosenReceiver() const
{
    NmosClient::ReceiverConnection receiver;
    receiver.id = currentItemId(m_rxCombo);
    receiver.node = currentNode(m_rxCombo);
    return receiver;
}

bool MainWindow::isPatchable(QComboBox *combo, const QString &collection, QString *why)
{
    const NmosClient::NodeEndpoint node = currentNode(combo);
    if (node.registryNodeId.isEmpty())
        return collection == QLatin1String("senders") ? m_client->hasSenders(node, why) : m_client->hasReceivers(node, why);
    // A registry's entry is listed from what the registry holds; what a patch needs is its
    // device's Connection API answering for it.
    const QUrl url = NmosClient::connectionApiUrl(node, collection, currentItemId(combo), QStringLiteral("/"));
    return !url.isEmpty() && !m_client->getJsonArray(url.toString(), why, node).isEmpty();
}

void MainWindow::checkTx()
{
    // The check waits for its reply; a node taken in meanwhile would nest inside it. A newer
    // check of the row may start and end inside this one's wait: its answer is the one that
    // stands, so this one's is dropped.
    m_intake->hold();
    const int check = ++m_txCheck;
    const QString text = m_txCombo->currentText().trimmed();
    bool ok = false;
    QString why;
    if (!text.isEmpty())
        ok = isPatchable(m_txCombo, QStringLiteral("senders"), &why);
    if (check == m_txCheck) {
        if (ok)
            m_settings->setValue(QStringLiteral("lastTxIp"), text);
        m_txLamp->setOn(ok);
        // An unlit lamp says why, a refused token among the reasons.
        m_txLamp->setToolTip(ok ? QString() : why);
    }
    m_intake->release();
}

void MainWindow::checkRx()
{
    m_intake->hold();
    const int check = ++m_rxCheck;
    const QString text = m_rxCombo->currentText().trimmed();
    bool ok = false;
    QString why;
    if (!text.isEmpty())
        ok = isPatchable(m_rxCombo, QStringLiteral("receivers"), &why);
    if (check == m_rxCheck) {
        if (ok)
            m_settings->setValue(QStringLiteral("lastRxIp"), text);
        m_rxLamp->setOn(ok);
        m_rxLamp->setToolTip(ok ? QString() : why);
    }
    m_intake->release();
}

namespace {

// Up to this many records go straight to their sorted places; more are appended and sorted
// once, as inserting each would move the rest of the list every time.
const int SortedInsertLimit = 64;

// The first item whose text does not sort before text, in the order the model's sort gives.
int lowerBound(const QComboBox *combo, const QString &text)
{
    int low = 0;
    int high = combo->count();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (combo->itemText(middle).compare(text) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// Whether the record behind an item is one of the same node's, so that a newer one may take
// its place: a node that restarts comes back with new ids, or on https, under the same texts.
template<typename Record>
bool sameNode(const QComboBox *combo, int index, const Record &record)
{
    return combo->itemData(index, Qt::UserRole).template value<Record>().node.address == record.node.address;
}

// Adds each record whose display name is not listed yet, and leaves the list sorted; a record
// whose name is listed for the same node replaces the one behind it, the item's text, place
// and choice unchanged. The names are looked at right before the additions, after the fetch,
// because a nested discovery may have added the same entries meanwhile; nothing between here
// and the last addition runs an event loop. A node's few entries are placed by binary search:
// at a thousand nodes, gathering and sorting the whole list for each node cost seconds. Many
// entries are checked against one index: a node listing 100,000 senders made a search per
// record quadratic.
template<typename Record>
void addRecords(QComboBox *combo, const QList<Record> &records)
{
    if (records.size() <= SortedInsertLimit) {
        for (const Record &record : records) {
            const int at = lowerBound(combo, record.displayName);
            if (at < combo->count() && combo->itemText(at) == record.displayName) {
                if (sameNode(combo, at, record))
                    combo->setItemData(at, QVariant::fromValue(record), Qt::UserRole);
                EntryPresence::setPresent(combo, at, true);
                continue;
            }
            combo->insertItem(at, record.displayName, QVariant::fromValue(record));
        }
        return;
    }
    QHash<QString, int> listed;
    for (int i = 0; i < combo->count(); ++i)
        listed.insert(combo->itemText(i), i);
    for (const Record &record : records) {
        const auto item = listed.constFind(record.displayName);
        if (item != listed.constEnd()) {
            if (sameNode(combo, item.value(), record))
                combo->setItemData(item.value(), QVariant::fromValue(record), Qt::UserRole);
            // Listed again by its node: an entry that went away is back.
            EntryPresence::setPresent(combo, item.value(), true);
            continue;
        }
        listed.insert(record.displayName, combo->count());
        combo->addItem(record.displayName, QVariant::fromValue(record));
    }
    combo->model()->sort(0, Qt::AscendingOrder);
}

} // namespace

void MainWindow::addNodeEntries(const QString &serviceName, const QList<NmosClient::SenderConnection> &senders,
                                const QList<NmosClient::ReceiverConnection> &receivers)
{
    addRecords(m_txCombo, senders);
    addRecords(m_rxCombo, receivers);
    // Closes the intake that "mDNS found NMOS Node:" opened: the benchmarks time the lists
    // and count the intakes under way by the pair.
    qCDebug(lcApp) << "Listed" << serviceName << m_txCombo->count() << m_rxCombo->count();
}

void MainWindow::showSalvos()
{
    if (!m_salvos)
        m_salvos = std::make_unique<SalvoWindow>(m_client, m_txCombo->model(), m_rxCombo->model(),
                                                 [this]() -> std::unique_ptr<RunGuard> {
                                                     if (m_running)
                                                         return nullptr;
                                                     return std::make_unique<RunGuard>(&m_running, runControls(), m_intake);
                                                 });
    m_salvos->setWindowState(m_salvos->windowState() & ~Qt::WindowMinimized);
    m_salvos->show();
    m_salvos->raise();
    m_salvos->activateWindow();
}

void MainWindow::showBrowser()
{
    if (!m_browser)
        m_browser = std::make_unique<BrowserWindow>();
    // Already open but minimised or behind the main window: bring it to the operator.
    m_browser->setWindowState(m_browser->windowState() & ~Qt::WindowMinimized);
    m_browser->show();
    m_browser->raise();
    m_browser->activateWindow();
}
