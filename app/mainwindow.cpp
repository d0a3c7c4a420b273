#include "mainwindow.h"

#include "app/entryfinder.h"
#include "app/intakequeue.h"
#include "app/lightindicator.h"
#include "app/sdpdialog.h"
#include "discovery/browserwindow.h"
#include "discovery/nmosmdnsbrowser.h"
#include "discovery/nmosregistrybrowser.h"
#include "nmos/nmosclient.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QHash>
#include <QSettings>
#include <QVBoxLayout>

Q_LOGGING_CATEGORY(lcApp, "ferrolink.app", QtInfoMsg)

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    m_client = new NmosClient(this);
    m_intake = new IntakeQueue(this);
    connect(m_intake, &IntakeQueue::nodeDue, this, &MainWindow::onMdnsDeviceFound);
    // Nothing is taken in before the window is complete, even when a message box or the
    // splash below runs the event loop.
    m_intake->hold();
    m_settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                               QStringLiteral("Veltrix"), QStringLiteral("Ferrolink"), this);
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
    connect(m_mdns, &NMOSMdnsBrowser::nodeSelfReady, m_intake, &IntakeQueue::enqueue);
    m_mdns->start();

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

    // Nodes from a registry are taken in as if discovery had found them.
    m_registry = new NMOSRegistryBrowser(this);
    connect(m_registry, &NMOSRegistryBrowser::nodeSelfReady, m_intake, &IntakeQueue::enqueue);
    m_registry->start();
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

void MainWindow::checkTx()
{
    // The check waits for its reply; a node taken in meanwhile would nest inside it. A newer
    // check of the row may start and end inside this one's wait: its answer is the one that
    // stands, so this one's is dropped.
    m_intake->hold();
    const int check = ++m_txCheck;
    const QString text = m_txCombo->currentText().trimmed();
    bool ok = false;
    if (!text.isEmpty())
        ok = m_client->hasSenders(currentNode(m_txCombo));
    if (check == m_txCheck) {
        if (ok)
            m_settings->setValue(QStringLiteral("lastTxIp"), text);
        m_txLamp->setOn(ok);
    }
    m_intake->release();
}

void MainWindow::checkRx()
{
    m_intake->hold();
    const int check = ++m_rxCheck;
    const QString text = m_rxCombo->currentText().trimmed();
    bool ok = false;
    if (!text.isEmpty())
        ok = m_client->hasReceivers(currentNode(m_rxCombo));
    if (check == m_rxCheck) {
        if (ok)
            m_settings->setValue(QStringLiteral("lastRxIp"), text);
        m_rxLamp->setOn(ok);
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
            continue;
        }
        listed.insert(record.displayName, combo->count());
        combo->addItem(record.displayName, QVariant::fromValue(record));
    }
    combo->model()->sort(0, Qt::AscendingOrder);
}

} // namespace

void MainWindow::onMdnsDeviceFound(QString serviceName, QUrl url, QJsonDocument selfDoc)
{
    Q_UNUSED(selfDoc)
    qDebug() << "mDNS found NMOS Node:" << serviceName << url.toString();

    // Fully decoded, a link-local host keeps its zone ("fe80::1%fl0"), which the client
    // needs to reach the node on the interface it was found on.
    // The scheme goes with the address to every later request: a node that asked for https
    // is never asked over http.
    const NmosClient::NodeEndpoint node{url.host(QUrl::FullyDecoded) + QLatin1Char(':') + QString::number(url.port()),
                                        url.scheme()};

    if (m_client->hasSenders(node))
        addRecords(m_txCombo, m_client->videoSenders(node, serviceName));
    if (m_client->hasReceivers(node))
        addRecords(m_rxCombo, m_client->videoReceivers(node, serviceName));
    // Closes the intake that "mDNS found NMOS Node:" opened: the benchmarks time the lists
    // and the nesting of intakes by the pair.
    qCDebug(lcApp) << "Listed" << serviceName << m_txCombo->count() << m_rxCombo->count();
}

namespace {

// Holds the run controls disabled and the wait cursor up for one workflow or viewer run,
// and gives both back on every way out of the slot. release() hands them back early, so
// that the closing message box or dialog is not shown under a wait cursor.
class RunGuard
{
public:
    RunGuard(bool *running, const QList<QWidget *> &controls, IntakeQueue *intake)
        : m_running(running)
        , m_controls(controls)
        , m_intake(intake)
    {
        *m_running = true;
        // Every patch bumps the nodes' counters: their intakes wait until the run is over.
        m_intake->hold();
        for (QWidget *control : m_controls)
            control->setEnabled(false);
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
    ~RunGuard() { release(); }
    RunGuard(const RunGuard &) = delete;
    RunGuard &operator=(const RunGuard &) = delete;

    void release()
    {
        if (!m_active)
            return;
        m_active = false;
        QGuiApplication::restoreOverrideCursor();
        for (QWidget *control : m_controls)
            control->setEnabled(true);
        *m_running = false;
        m_intake->release();
    }

private:
    bool *m_running;
    QList<QWidget *> m_controls;
    IntakeQueue *m_intake;
    bool m_active = true;
};

// What a viewer shows for a sender whose transport file cannot be read. Viewing never
// changes a node, so such a sender is not activated to make it publish one.
QString unreadSdpNote(const NmosClient::SenderGroup &sender, const QString &why)
{
    return QCoreApplication::translate("MainWindow",
                                       "No transport file could be read from sender \"%1\" (%2).\n"
                                       "A sender publishes none while it is inactive; it was not activated.")
        .arg(sender.label, why);
}

QString sdpBlock(const QString &sdp)
{
    return QStringLiteral("%1\n\n\n").arg(sdp);
}

// The blocks of a group's audio members, then its data members, in list order. Each lookup
// writes the member into the group; a member that is not found is left out, and read()
// gives the text of one that is (empty: nothing to show).
template<typename Group, typename Find, typename Read>
QString memberBlocks(Group *group, Find find, Read read)
{
    QString text;
    const QList<QPair<NmosClient::Format, QStringList>> members{
        {NmosClient::Audio, group->audioIds}, {NmosClient::Data, group->dataIds}};
    for (const auto &member : members) {
        for (const QString &memberId : member.second) {
            if (!find(member.first, group, memberId))
                continue;
            const QString memberText = read(*group);
            if (!memberText.isEmpty())
                text += sdpBlock(memberText);
        }
    }
    return text;
}

} // namespace

void MainWindow::showMessage(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

QList<QWidget *> MainWindow::runControls() const
{
    return {m_txCombo, m_rxCombo, m_txSdpButton, m_rxSdpButton, m_connectButton, m_disconnectButton};
}

void MainWindow::showTxSdp()
{
    if (m_running)
        return;
    RunGuard guard(&m_running, runControls(), m_intake);

    // Read once: every request of the run goes to the node it began with, whatever happens
    // to the combo while the requests wait.
    const QString id = currentItemId(m_txCombo);
    const NmosClient::NodeEndpoint node = currentNode(m_txCombo);
    NmosClient::SenderGroup group;
    if (!m_client->findSender(node, NmosClient::Video, &group, id)) {
        guard.release();
        showMessage(QMessageBox::Warning, tr("No Sender"), tr("No sender found on transmitter node."));
        return;
    }
    const auto read = [this](const NmosClient::SenderGroup &sender) {
        QString sdp;
        QString why;
        return m_client->getManifest(sender, &sdp, &why) ? sdp : unreadSdpNote(sender, why);
    };
    // Named now: the member lookups below overwrite the group's label.
    const QString title = tr("Sender %1").arg(group.label);
    QString text = sdpBlock(read(group));

    m_client->fillSenderGroup(&group);
    text += memberBlocks(
        &group,
        [this, node](NmosClient::Format format, NmosClient::SenderGroup *member, const QString &memberId) {
            return m_client->findSender(node, format, member, memberId);
        },
        read);

    guard.release();
    SdpDialog dialog(title, text, this);
    dialog.exec();
}

void MainWindow::showRxSdp()
{
    if (m_running)
        return;
    RunGuard guard(&m_running, runControls(), m_intake);

    const QString id = currentItemId(m_rxCombo);
    const NmosClient::NodeEndpoint node = currentNode(m_rxCombo);
    NmosClient::ReceiverGroup group;
    if (!m_client->findReceiver(node, NmosClient::Video, &group, id)) {
        guard.release();
        showMessage(QMessageBox::Information, tr("Info"),
                    tr("No senders on the receiver node to display SDP from."));
        return;
    }
    QString sdp;
    if (!m_client->getReceiverSdp(group, &sdp)) {
        guard.release();
        showMessage(QMessageBox::Warning, tr("SDP"), tr("Nothing is connected/Failed to fetch SDP."));
        return;
    }
    const QString title = tr("Sender %1 (from receiver node)").arg(group.label);
    QString text = sdpBlock(sdp);

    m_client->fillReceiverGroup(&group);
    text += memberBlocks(
        &group,
        [this, node](NmosClient::Format format, NmosClient::ReceiverGroup *member, const QString &memberId) {
            return m_client->findReceiver(node, format, member, memberId);
        },
        [this](const NmosClient::ReceiverGroup &member) {
            QString sdp;
            return m_client->getReceiverSdp(member, &sdp) ? sdp : QString();
        });

    guard.release();
    SdpDialog dialog(title, text, this);
    dialog.exec();
}

void MainWindow::doConnect()
{
    if (m_running)
        return;
    RunGuard guard(&m_running, runControls(), m_intake);
    const QString title = tr("Connect");

    // Both sides read once, before the first request: the member pairs must be patched on
    // the nodes the video pair was, whatever happens to the combos meanwhile.
    const QString senderId = currentItemId(m_txCombo);
    const NmosClient::NodeEndpoint senderNode = currentNode(m_txCombo);
    const QString receiverId = currentItemId(m_rxCombo);
    const NmosClient::NodeEndpoint receiverNode = currentNode(m_rxCombo);

    NmosClient::SenderGroup sender;
    if (!m_client->findSender(senderNode, NmosClient::Video, &sender, senderId)) {
        guard.release();
        showMessage(QMessageBox::Warning, title, tr("No video sender found on transmitter node."));
        return;
    }
    NmosClient::ReceiverGroup receiver;
    if (!m_client->findReceiver(receiverNode, NmosClient::Video, &receiver, receiverId)) {
        guard.release();
        showMessage(QMessageBox::Warning, title, tr("No video receiver found on receiver node."));
        return;
    }
    // Read before the video patch, as a failure to read either group is told at the end
    // rather than ending the run.
    QString summary;
    QString error;
    const bool groupsRead = m_client->fillSenderGroup(&sender, &error) && m_client->fillReceiverGroup(&receiver, &error);
    if (!groupsRead)
        summary += tr("Audio and anc not patched: the groups could not be read:\n%1\n").arg(error);

    // One text for the whole run: a call that fails without a text of its own leaves
    // the last one standing.
    if (!m_client->connectReceiver(sender, receiver, &error) || !m_client->verifyConnected(sender, receiver, &error)) {
        guard.release();
        showMessage(QMessageBox::Critical, title, tr("Patch failed on video:\n%1").arg(error));
        return;
    }

    struct Members
    {
        NmosClient::Format format;
        NmosClient::MemberPairs pairs;
        QString entry;
    };
    const QList<Members> kinds{
        {NmosClient::Audio,
         NmosClient::pairMembers(sender.audioIds, sender.audioRoles, receiver.audioIds, receiver.audioRoles),
         tr("Patch failed on audio:\n%1\n")},
        {NmosClient::Data, NmosClient::pairMembers(sender.dataIds, sender.dataRoles, receiver.dataIds, receiver.dataRoles),
         tr("Patch failed on anc:\n%1\n")}};
    for (const Members &kind : kinds) {
        for (const auto &pair : kind.pairs.pairs) {
            NmosClient::SenderGroup memberSender;
            NmosClient::ReceiverGroup memberReceiver;
            if (!m_client->findSender(senderNode, kind.format, &memberSender, pair.first, &error)
                || !m_client->findReceiver(receiverNode, kind.format, &memberReceiver, pair.second, &error)
                || !m_client->connectReceiver(memberSender, memberReceiver, &error)
                || !m_client->verifyConnected(memberSender, memberReceiver, &error))
                summary += kind.entry.arg(error);
        }
        for (const QString &id : kind.pairs.unpairedSenders)
            summary += kind.entry.arg(tr("Sender %1 has no counterpart in the receiver's group").arg(id));
        for (const QString &id : kind.pairs.unpairedReceivers)
            summary += kind.entry.arg(tr("Receiver %1 has no counterpart in the sender's group").arg(id));
    }

    guard.release();
    if (!summary.isEmpty())
        showMessage(QMessageBox::Information, title, summary);
}

void MainWindow::doDisconnect()
{
    if (m_running)
        return;
    RunGuard guard(&m_running, runControls(), m_intake);
    const QString title = tr("Disconnect");

    // The receiver the operator chose; only an entry without a record falls back to the
    // node's first video receiver. Read once, as in doConnect.
    const QString receiverId = currentItemId(m_rxCombo);
    const NmosClient::NodeEndpoint receiverNode = currentNode(m_rxCombo);
    NmosClient::ReceiverGroup receiver;
    if (!m_client->findReceiver(receiverNode, NmosClient::Video, &receiver, receiverId)) {
        guard.release();
        showMessage(QMessageBox::Warning, title, tr("No video receiver found on receiver node."));
        return;
    }
    QString error;
    if (!m_client->disconnectReceiver(receiver, &error) || !m_client->verifyDisconnected(receiver, &error)) {
        guard.release();
        showMessage(QMessageBox::Critical, title, tr("Patch failed on video:\n%1").arg(error));
        return;
    }

    QString summary;
    if (!m_client->fillReceiverGroup(&receiver, &error))
        summary += tr("Audio and anc not taken down: the group could not be read:\n%1\n").arg(error);
    const QList<QPair<NmosClient::Format, QStringList>> kinds{
        {NmosClient::Audio, receiver.audioIds}, {NmosClient::Data, receiver.dataIds}};
    for (const auto &kind : kinds) {
        const QString entry = kind.first == NmosClient::Audio ? tr("Patch failed on audio:\n%1\n")
                                                              : tr("Patch failed on anc:\n%1\n");
        for (const QString &memberId : kind.second) {
            if (!m_client->findReceiver(receiverNode, kind.first, &receiver, memberId, &error)
                || !m_client->disconnectReceiver(receiver, &error) || !m_client->verifyDisconnected(receiver, &error))
                summary += entry.arg(error);
        }
    }

    guard.release();
    if (!summary.isEmpty())
        showMessage(QMessageBox::Information, title, summary);
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
