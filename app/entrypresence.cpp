#include "entrypresence.h"

#include "nmos/nmosclient.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPalette>
#include <QStandardItemModel>

namespace {

template<typename Field>
auto recordField(const QComboBox *combo, int row, Field field)
{
    const QVariant data = combo->itemData(row);
    if (qstrcmp(data.typeName(), "NmosClient::ReceiverConnection") == 0) {
        const auto record = data.value<NmosClient::ReceiverConnection>();
        return field(record.id, record.node);
    }
    const auto record = data.value<NmosClient::SenderConnection>();
    return field(record.id, record.node);
}

QString recordId(const QComboBox *combo, int row)
{
    return recordField(combo, row, [](const QString &id, const NmosClient::NodeEndpoint &) { return id; });
}

bool isFromRegistry(const QComboBox *combo, int row)
{
    return recordField(combo, row, [](const QString &, const NmosClient::NodeEndpoint &node) {
        return !node.registryNodeId.isEmpty();
    });
}

// The chosen entry's text is greyed as its list item is, so that a vanished choice shows
// without opening the list.
void showChosen(QComboBox *combo)
{
    if (!combo->lineEdit())
        return;
    QPalette palette = combo->palette();
    if (EntryPresence::isChosenGone(combo))
        palette.setColor(QPalette::Text, palette.color(QPalette::Disabled, QPalette::Text));
    combo->lineEdit()->setPalette(palette);
}

} // namespace

EntryPresence::EntryPresence(QComboBox *senders, QComboBox *receivers, QObject *parent)
    : QObject(parent)
    , m_senders(senders)
    , m_receivers(receivers)
{
    for (QComboBox *combo : {m_senders, m_receivers})
        connect(combo, &QComboBox::editTextChanged, this, [combo] { showChosen(combo); });
    watch(m_senders, &m_senderIds);
    watch(m_receivers, &m_receiverIds);
}

void EntryPresence::watch(QComboBox *combo, IdIndex *index)
{
    QAbstractItemModel *model = combo->model();
    const auto stale = [index] { index->stale = true; };
    connect(model, &QAbstractItemModel::rowsInserted, this, stale);
    connect(model, &QAbstractItemModel::rowsRemoved, this, stale);
    connect(model, &QAbstractItemModel::rowsMoved, this, stale);
    connect(model, &QAbstractItemModel::layoutChanged, this, stale);
    connect(model, &QAbstractItemModel::modelReset, this, stale);
    // Greying changes the flags, kept in a role of their own, which leaves the ids as they are.
    connect(model, &QAbstractItemModel::dataChanged, this,
            [index](const QModelIndex &, const QModelIndex &, const QVector<int> &roles) {
                if (roles.isEmpty() || roles.contains(Qt::UserRole))
                    index->stale = true;
            });
}

const QList<QPersistentModelIndex> &EntryPresence::rowsOf(QComboBox *combo, IdIndex *index, const QString &id)
{
    if (index->stale) {
        index->rows.clear();
        for (int row = 0; row < combo->count(); ++row)
            index->rows[recordId(combo, row)] << QPersistentModelIndex(combo->model()->index(row, 0));
        index->stale = false;
    }
    static const QList<QPersistentModelIndex> none;
    const auto found = index->rows.constFind(id);
    return found == index->rows.constEnd() ? none : *found;
}

bool EntryPresence::isPresent(const QComboBox *combo, int row)
{
    return combo->model()->flags(combo->model()->index(row, 0)) & Qt::ItemIsEnabled;
}

bool EntryPresence::isChosenGone(const QComboBox *combo)
{
    const int row = combo->currentIndex();
    return row >= 0 && combo->currentText() == combo->itemText(row) && !isPresent(combo, row);
}

void EntryPresence::setPresent(QComboBox *combo, int row, bool present)
{
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    if (!model || !model->item(row) || isPresent(combo, row) == present)
        return;
    model->item(row)->setEnabled(present);
    if (row == combo->currentIndex())
        showChosen(combo);
}

void EntryPresence::takeNodeRemoved(const QString &serviceName)
{
    // Entries read through discovery are named "<service> (<address>-<label>)"; a registry's
    // entry of a node by that name stays as long as the registry holds it.
    const QString prefix = serviceName + QStringLiteral(" (");
    setPresentWhere(
        [&prefix](const QComboBox *combo, int row) {
            return combo->itemText(row).startsWith(prefix) && !isFromRegistry(combo, row);
        },
        false);
}

void EntryPresence::takeResourceRemoved(const QString &type, const QString &id)
{
    setPresentById(type, id, false);
}

void EntryPresence::takeResourceAdded(const QString &type, const QString &id)
{
    setPresentById(type, id, true);
}

void EntryPresence::setPresentById(const QString &type, const QString &id, bool present)
{
    if (type != QLatin1String("senders") && type != QLatin1String("receivers"))
        return;
    const bool senders = type == QLatin1String("senders");
    QComboBox *combo = senders ? m_senders : m_receivers;
    // Copied: greying a row may run slots that change the list.
    const QList<QPersistentModelIndex> rows = rowsOf(combo, senders ? &m_senderIds : &m_receiverIds, id);
    for (const QPersistentModelIndex &row : rows) {
        if (row.isValid())
            setPresent(combo, row.row(), present);
    }
}

void EntryPresence::setPresentWhere(const std::function<bool(const QComboBox *, int)> &match, bool present)
{
    for (QComboBox *combo : {m_senders, m_receivers}) {
        for (int row = 0; row < combo->count(); ++row) {
            if (match(combo, row))
                setPresent(combo, row, present);
        }
    }
}
