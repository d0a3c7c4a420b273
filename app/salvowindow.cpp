#include "salvowindow.h"

#include "app/runguard.h"
#include "workflow/routereader.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QString SalvoSuffix = QStringLiteral(".json");

// An entry's text names its node: "<node> (<address>-<label>)", as the console program
// keeps it apart from the text.
QString nodeOf(const QString &text, const QString &address)
{
    const int at = text.indexOf(QStringLiteral(" (") + address + QLatin1Char('-'));
    return at < 0 ? QString() : text.left(at);
}

// A name typed for a salvo becomes a file of the salvos folder and nothing else: no folder
// of its own, no way up, no drive (":"), nothing hidden, nothing a file name cannot show.
bool isPlainName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || !c.isPrint())
            return false;
    }
    return true;
}

template<typename Record>
SalvoFile::Resource resourceOf(const Record &record)
{
    return {record.id,
            record.label,
            record.displayName,
            nodeOf(record.displayName, record.node.address),
            record.node.address,
            record.node.registryNodeId};
}

template<typename Record>
QList<SalvoFile::Resource> resourcesOf(const QList<Record> &records)
{
    QList<SalvoFile::Resource> resources;
    for (const Record &record : records)
        resources.append(resourceOf(record));
    return resources;
}

} // namespace

SalvoWindow::SalvoWindow(NmosClient *client, QAbstractItemModel *senders, QAbstractItemModel *receivers,
                         const RunStarter &startRun, QWidget *parent)
    : QWidget(parent)
    , m_senderModel(senders)
    , m_receiverModel(receivers)
    , m_previewReader(new RouteReader(client, this))
    , m_saveReader(new RouteReader(client, this))
    , m_take(new SalvoTake(client, this))
    , m_startRun(startRun)
{
    setWindowTitle(tr("Salvos"));
    auto *layout = new QHBoxLayout(this);
    layout->addLayout(makeSavedColumn(), 1);
    layout->addLayout(makeTakeColumn(), 3);
    resize(1200, 480);

    connect(m_salvos, &QListWidget::currentRowChanged, this, &SalvoWindow::preview);
    connect(m_saveButton, &QPushButton::clicked, this, &SalvoWindow::saveRoutes);
    connect(m_deleteButton, &QPushButton::clicked, this, &SalvoWindow::deleteSalvo);
    connect(m_takeNowButton, &QPushButton::clicked, this, &SalvoWindow::takeNow);
    connect(m_takeInButton, &QPushButton::clicked, this, &SalvoWindow::takeLater);
    connect(m_cancelButton, &QPushButton::clicked, this, &SalvoWindow::cancelTake);
    connect(m_previewReader, &RouteReader::receiverRead, this, &SalvoWindow::showNow);
    connect(m_saveReader, &RouteReader::receiverRead, this, &SalvoWindow::keepRoute);
    connect(m_saveReader, &RouteReader::finished, this, &SalvoWindow::writeSaved);
    connect(m_take, &SalvoTake::receiverFinished, this, &SalvoWindow::showReceiverResult);
    connect(m_take, &SalvoTake::pairFinished, this, &SalvoWindow::showPairResult);
    connect(m_take, &SalvoTake::scheduled, this, [this](const QDateTime &time, int receivers) {
        m_status->setText(tr("Receivers to switch together at %1: %2. The take can be cancelled until then.")
                              .arg(time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")))
                              .arg(receivers));
    });
    connect(m_take, &SalvoTake::finished, this, [this] { endTake(tr("Taken.")); });
    connect(m_take, &SalvoTake::cancelled, this, &SalvoWindow::showCancelled);
    // A salvo the console program saves meanwhile is listed as it comes.
    QDir().mkpath(folder());
    auto *watcher = new QFileSystemWatcher({folder()}, this);
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &SalvoWindow::listSalvos);
    setTaking(false);
    listSalvos();
}

SalvoWindow::~SalvoWindow() = default;

QLayout *SalvoWindow::makeSavedColumn()
{
    m_salvos = new QListWidget;
    m_salvos->setObjectName(QStringLiteral("salvos"));
    m_receivers = new QListView;
    m_receivers->setObjectName(QStringLiteral("receivers"));
    m_receivers->setModel(m_receiverModel);
    m_receivers->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_saveButton = new QPushButton(tr("Save current routes\u2026"));
    m_deleteButton = new QPushButton(tr("Delete\u2026"));
    auto *column = new QVBoxLayout;
    column->addWidget(new QLabel(tr("Saved salvos")));
    column->addWidget(m_salvos, 1);
    column->addWidget(m_deleteButton, 0, Qt::AlignLeft);
    column->addWidget(new QLabel(tr("Receivers to save (none chosen: all)")));
    column->addWidget(m_receivers, 1);
    column->addWidget(m_saveButton);
    return column;
}

QLayout *SalvoWindow::makeTakeColumn()
{
    m_preview = new QTableWidget(0, 4);
    m_preview->setHorizontalHeaderLabels({tr("Receiver"), tr("Now"), tr("After"), tr("Result")});
    // An entry's text ends in its label, which stays in sight; each cell's tooltip is whole.
    m_preview->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_preview->setTextElideMode(Qt::ElideMiddle);
    m_preview->setWordWrap(false);
    m_preview->verticalHeader()->hide();
    m_preview->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_preview->setSelectionMode(QAbstractItemView::NoSelection);
    m_takeNowButton = new QPushButton(tr("Take now"));
    m_takeInButton = new QPushButton(tr("Take in"));
    m_leadSeconds = new QSpinBox;
    m_leadSeconds->setRange(1, 600);
    m_leadSeconds->setValue(SalvoTake::DefaultLeadTimeMs / 1000);
    m_leadSeconds->setSuffix(tr(" s"));
    m_cancelButton = new QPushButton(tr("Cancel take"));
    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("status"));
    // Node texts end up in it.
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    auto *takeBar = new QHBoxLayout;
    takeBar->addWidget(m_takeNowButton);
    takeBar->addWidget(m_takeInButton);
    takeBar->addWidget(m_leadSeconds);
    takeBar->addWidget(m_cancelButton);
    takeBar->addStretch();
    auto *column = new QVBoxLayout;
    column->addWidget(new QLabel(tr("What a take changes")));
    column->addWidget(m_preview, 1);
    column->addLayout(takeBar);
    column->addWidget(m_status);
    return column;
}

QString SalvoWindow::folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/salvos");
}

void SalvoWindow::listSalvos()
{
    const QString current = m_salvos->currentItem() ? m_salvos->currentItem()->text() : QString();
    const QSignalBlocker blocker(m_salvos);
    m_salvos->clear();
    const QStringList files = QDir(folder()).entryList({QLatin1Char('*') + SalvoSuffix}, QDir::Files, QDir::Name);
    for (const QString &file : files)
        m_salvos->addItem(file.chopped(SalvoSuffix.size()));
    const QList<QListWidgetItem *> found = m_salvos->findItems(current, Qt::MatchExactly);
    if (!found.isEmpty())
        m_salvos->setCurrentItem(found.first());
}

template<typename Record>
QList<Record> SalvoWindow::records(const QAbstractItemModel *model) const
{
    QList<Record> list;
    for (int i = 0; i < model->rowCount(); ++i)
        list.append(model->index(i, 0).data(Qt::UserRole).template value<Record>());
    return list;
}

QString SalvoWindow::senderText(const QString &senderId) const
{
    for (const NmosClient::SenderConnection &sender : records<NmosClient::SenderConnection>(m_senderModel)) {
        if (sender.id == senderId)
            return sender.displayName;
    }
    return senderId;
}

void SalvoWindow::setCell(int row, Column column, const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setToolTip(text);
    m_preview->setItem(row, column, item);
}

void SalvoWindow::preview()
{
    m_rows.clear();
    m_pairs.clear();
    m_preview->setRowCount(0);
    m_status->clear();
    m_deleteButton->setEnabled(m_salvos->currentItem() && !m_taking);
    if (!m_salvos->currentItem())
        return;
    SalvoFile salvo;
    const QString path = QDir(folder()).filePath(m_salvos->currentItem()->text() + SalvoSuffix);
    if (!SalvoFile::read(path, &salvo)) {
        m_status->setText(tr("%1 cannot be read as a salvo.").arg(path));
        return;
    }
    const QList<NmosClient::SenderConnection> senders = records<NmosClient::SenderConnection>(m_senderModel);
    const QList<NmosClient::ReceiverConnection> receivers = records<NmosClient::ReceiverConnection>(m_receiverModel);
    const QList<SalvoFile::Resource> listedSenders = resourcesOf(senders);
    const QList<SalvoFile::Resource> listedReceivers = resourcesOf(receivers);
    QList<NmosClient::ReceiverConnection> toRead;
    for (const SalvoFile::Route &route : qAsConst(salvo.routes)) {
        Row row;
        const int receiver = SalvoFile::find(route.receiver, listedReceivers);
        const int sender = route.hasSender ? SalvoFile::find(route.sender, listedSenders) : -1;
        QString after;
        if (receiver < 0) {
            after = tr("not listed now: left out");
        } else if (route.hasSender && sender < 0) {
            after = tr("sender %1 not listed now: left out").arg(route.sender.named());
        } else if (!route.hasSender && route.enabled) {
            // Its transport file is all there is to that stream: whatever runs now stays.
            after = tr("left as it is (saved receiving a stream of no NMOS sender)");
        } else {
            after = route.hasSender ? senders.at(sender).displayName : tr("off");
            row.pair = m_pairs.size();
            m_pairs.append({route.hasSender ? senders.at(sender) : NmosClient::SenderConnection(), receivers.at(receiver),
                            !route.hasSender});
        }
        if (receiver >= 0) {
            row.receiver = receivers.at(receiver);
            toRead.append(row.receiver);
        }
        const int at = m_rows.size();
        m_rows.append(row);
        m_preview->insertRow(at);
        setCell(at, ReceiverColumn, receiver >= 0 ? row.receiver.displayName : route.receiver.named());
        setCell(at, NowColumn, receiver >= 0 ? tr("reading\u2026") : QString());
        setCell(at, AfterColumn, after);
    }
    setTaking(false);
    m_previewReader->read(toRead);
}

void SalvoWindow::showNow(int index, bool read, bool enabled, const QString &senderId, const QString &error)
{
    // The reads are of the listed receivers alone, in the rows' order.
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).receiver.id.isEmpty() || index-- > 0)
            continue;
        setCell(row, NowColumn,
                !read      ? tr("unreadable: %1").arg(error)
                : !enabled ? tr("off")
                : senderId.isEmpty() ? tr("a stream of no NMOS sender")
                                     : senderText(senderId));
        return;
    }
}

void SalvoWindow::saveRoutes()
{
    if (m_saveReader->isReading())
        return;
    bool ok = false;
    const QString name = QInputDialog::getText(this, tr("Save current routes"), tr("Salvo name:"), QLineEdit::Normal,
                                               QString(), &ok).trimmed();
    if (!ok)
        return;
    if (!isPlainName(name)) {
        m_status->setText(tr("Not saved: a salvo's name is a plain file name: not empty, without slashes or colons, "
                             "not beginning with a dot."));
        return;
    }
    const QString path = QDir(folder()).filePath(name + SalvoSuffix);
    if (QFileInfo::exists(path) && !ask(tr("Save current routes"), tr("Replace the salvo \"%1\"?").arg(name))) {
        m_status->setText(tr("Not saved: the salvo \"%1\" was left as it was.").arg(name));
        return;
    }
    const QModelIndexList chosen = m_receivers->selectionModel()->selectedRows();
    const QList<NmosClient::ReceiverConnection> all = records<NmosClient::ReceiverConnection>(m_receiverModel);
    m_saving.clear();
    for (int i = 0; i < all.size(); ++i) {
        if (chosen.isEmpty() || m_receivers->selectionModel()->isRowSelected(i, QModelIndex()))
            m_saving.append(all.at(i));
    }
    m_savePath = path;
    m_saved = SalvoFile();
    for (const NmosClient::ReceiverConnection &receiver : qAsConst(m_saving))
        m_saved.routes.append({resourceOf(receiver)});
    m_unsaved.clear();
    m_saveButton->setEnabled(false);
    m_status->setText(tr("Reading what the receivers run\u2026"));
    m_saveReader->read(m_saving);
}

bool SalvoWindow::ask(const QString &title, const QString &question)
{
    // The console program saves here too: a salvo lost to a slip of the hand may be another's.
    QMessageBox box(QMessageBox::Question, title, question, QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

void SalvoWindow::deleteSalvo()
{
    if (!m_salvos->currentItem())
        return;
    const QString name = m_salvos->currentItem()->text();
    if (!ask(tr("Delete salvo"), tr("Delete the salvo \"%1\"?").arg(name))) {
        m_status->setText(tr("Not deleted: the salvo \"%1\" was left as it was.").arg(name));
        return;
    }
    QFile file(QDir(folder()).filePath(name + SalvoSuffix));
    if (!file.remove()) {
        m_status->setText(tr("%1 could not be deleted: %2").arg(file.fileName(), file.errorString()));
        return;
    }
    listSalvos();
    // The list was filled again in silence: the preview of the salvo gone goes too.
    preview();
    m_status->setText(tr("Deleted the salvo \"%1\".").arg(name));
}

void SalvoWindow::keepRoute(int index, bool read, bool enabled, const QString &senderId, const QString &error)
{
    SalvoFile::Route &route = m_saved.routes[index];
    if (!read) {
        m_unsaved << tr("%1: %2").arg(m_saving.at(index).displayName, error);
        route.receiver.id.clear();
        return;
    }
    route.enabled = enabled;
    route.hasSender = enabled && !senderId.isEmpty();
    if (!route.hasSender)
        return;
    route.sender.id = senderId;
    for (const NmosClient::SenderConnection &sender : records<NmosClient::SenderConnection>(m_senderModel)) {
        if (sender.id == senderId)
            route.sender = resourceOf(sender);
    }
}

void SalvoWindow::writeSaved()
{
    m_saveButton->setEnabled(!m_taking);
    // A receiver that could not be read has nothing to be recalled to.
    for (int i = m_saved.routes.size() - 1; i >= 0; --i) {
        if (m_saved.routes.at(i).receiver.id.isEmpty())
            m_saved.routes.removeAt(i);
    }
    QString error;
    if (!QDir().mkpath(folder()) || !m_saved.write(m_savePath, &error)) {
        m_status->setText(tr("%1 could not be written: %2").arg(m_savePath, error));
        return;
    }
    listSalvos();
    QString status = tr("Saved to %1; receivers: %2.").arg(m_savePath).arg(m_saved.routes.size());
    if (!m_unsaved.isEmpty())
        status += QLatin1Char('\n') + tr("Left out, as they could not be read:\n%1").arg(m_unsaved.join(QLatin1Char('\n')));
    m_status->setText(status);
}
