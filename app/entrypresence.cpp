#include "entrypresence.h"

#include "nmos/nmosclient.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPalette>
#include <QStandardItemModel>

namespace {

template<typename Field>
auto recordField(const QVariant &data, Field field)
{
    if (qstrcmp(data.typeName(), "NmosClient::ReceiverConnection") == 0) {
        const auto record = data.value<NmosClient::ReceiverConnection>();
        return field(record.id, record.node);
    }
    const auto record = data.value<NmosClient::SenderConnection>();
    return field(record.id, record.node);
}

QString recordId(const QStandardItem *item)
{
    return recordField(item->data(Qt::UserRole), [](const QString &id, const NmosClient::NodeEndpoint &) { return id; });
}

bool isFromRegistry(const QComboBox *combo, int row)
{
    return recordField(combo->itemData(row), [](const QString &, const NmosClient::NodeEndpoint &node) {
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

// Kept up as the list changes, entry by entry; sorting moves items without changing them.
void EntryPresence::watch(QComboBox *combo, IdIndex *index)
{
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    if (!model)
        return;
    const auto forRows = [model, index](int first, int last, void (IdIndex::*change)(QStandardItem *)) {
        if (index->stale)
            return;
        for (int row = first; row <= last; ++row) {
            if (QStandardItem *item = model->item(row))
                (index->*change)(item);
        }
    };
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [forRows](const QModelIndex &, int first, int last) { forRows(first, last, &IdIndex::add); });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [forRows](const QModelIndex &, int first, int last) { forRows(first, last, &IdIndex::remove); });
    // Greying changes the flags, kept in a role of their own, which leaves the ids as they are.
    connect(model, &QAbstractItemModel::dataChanged, this,
            [forRows](const QModelIndex &top, const QModelIndex &bottom, const QVector<int> &roles) {
                if (roles.isEmpty() || roles.contains(Qt::UserRole)) {
                    forRows(top.row(), bottom.row(), &IdIndex::remove);
                    forRows(top.row(), bottom.row(), &IdIndex::add);
                }
            });
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [index] { index->stale = true; });
}

void EntryPresence::IdIndex::add(QStandardItem *item)
{
    const QString id = recordId(item);
    ids.insert(item, id);
    items[id] << item;
}

void EntryPresence::IdIndex::remove(QStandardItem *item)
{
    const auto found = ids.find(item);
    if (found == ids.end())
        return;
    const auto list = items.find(*found);
    if (list != items.end()) {
        list->removeOne(item);
        if (list->isEmpty())
            items.erase(list);
    }
    ids.erase(found);
}

QList<QStandardItem *> EntryPresence::itemsOf(QComboBox *combo, IdIndex *index, const QString &id)
{
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    if (!model)
        return {};
    if (index->stale) {
        index->items.clear();
        index->ids.clear();
        for (int row = 0; row < model->rowCount(); ++row)
            index->add(model->item(row));
        index->stale = false;
    }
    return index->items.value(id);
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
    IdIndex &index = senders ? m_senderIds : m_receiverIds;
    // A copy: greying an entry may run slots that change the list.
    const QList<QStandardItem *> items = itemsOf(combo, &index, id);
    for (QStandardItem *item : items) {
        if (!index.ids.contains(item) || item->isEnabled() == present)
            continue;
        item->setEnabled(present);
        // The item's row would be searched for among all of them once the list was sorted.
        auto *model = static_cast<QStandardItemModel *>(combo->model());
        if (model->item(combo->currentIndex()) == item)
            showChosen(combo);
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
