#include "nmosresourcestore.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>

namespace {

const QString Nodes = QStringLiteral("nodes");
const QString Devices = QStringLiteral("devices");
const QString Receivers = QStringLiteral("receivers");

QJsonObject subscriptionOf(const QJsonObject &receiver)
{
    return receiver.value(QLatin1String("subscription")).toObject();
}

QJsonObject fromText(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

NmosResourceStore::NmosResourceStore(QObject *parent)
    : QObject(parent)
{
    for (const QString &type : types())
        m_collections.insert(type, Collection());
}

QStringList NmosResourceStore::types()
{
    // Parents first: a sender read before its device lists under no node until the device comes.
    return {Nodes, Devices, QStringLiteral("flows"), QStringLiteral("senders"), Receivers};
}

QByteArray NmosResourceStore::toText(const QJsonObject &resource)
{
    // An object's keys are kept sorted, so the text is the same for equal resources.
    return QJsonDocument(resource).toJson(QJsonDocument::Compact);
}

QString NmosResourceStore::parentOf(const QString &type, const QJsonObject &resource)
{
    if (type == Nodes)
        return QString();
    const QLatin1String key = type == Devices ? QLatin1String("node_id") : QLatin1String("device_id");
    return resource.value(key).toString();
}

bool NmosResourceStore::insert(const QString &type, const QJsonObject &resource)
{
    const auto collection = m_collections.find(type);
    const QJsonValue idValue = resource.value(QLatin1String("id"));
    if (collection == m_collections.end() || !idValue.isString() || idValue.toString().isEmpty())
        return false;
    const QString id = idValue.toString();
    const QString parent = parentOf(type, resource);
    const QByteArray text = toText(resource);
    auto existing = collection->find(id);
    if (existing == collection->end()) {
        const Entry entry{m_nextOrder++, parent, text};
        collection->insert(id, entry);
        link(type, id, parent);
        emit resourceAdded(type, id, resource);
        if (type == Receivers) {
            const QJsonObject subscription = subscriptionOf(resource);
            emit receiverSubscriptionChanged(id, subscription.value(QLatin1String("sender_id")).toString(),
                                             subscription.value(QLatin1String("active")).toBool());
        }
        notifyNode(type, id, entry);
        return true;
    }
    if (existing->text == text)
        return true;
    const Entry before = *existing;
    if (before.parent != parent) {
        unlink(type, id, before.parent);
        link(type, id, parent);
    }
    existing->parent = parent;
    existing->text = text;
    const Entry after = *existing;
    emit resourceChanged(type, id, resource);
    if (type == Receivers && subscriptionOf(fromText(before.text)) != subscriptionOf(resource)) {
        const QJsonObject subscription = subscriptionOf(resource);
        emit receiverSubscriptionChanged(id, subscription.value(QLatin1String("sender_id")).toString(),
                                         subscription.value(QLatin1String("active")).toBool());
    }
    // A resource moved to another device leaves its old node's lists too.
    if (before.parent != parent)
        notifyNode(type, id, before);
    notifyNode(type, id, after);
    return true;
}

void NmosResourceStore::remove(const QString &type, const QString &id)
{
    const auto collection = m_collections.find(type);
    if (collection == m_collections.end())
        return;
    const auto existing = collection->constFind(id);
    if (existing == collection->constEnd())
        return;
    const Entry entry = existing.value();
    // The node is named while the resource is still linked to it.
    const QString nodeId = type == Nodes ? id : nodeOf(type, id);
    collection->remove(id);
    unlink(type, id, entry.parent);
    emit resourceRemoved(type, id, fromText(entry.text));
    if (!nodeId.isEmpty())
        emit nodeChanged(nodeId);
}

void NmosResourceStore::keepOnly(const QString &type, const QSet<QString> &ids)
{
    QStringList gone;
    const Collection current = m_collections.value(type);
    for (auto it = current.constBegin(); it != current.constEnd(); ++it) {
        if (!ids.contains(it.key()))
            gone << it.key();
    }
    for (const QString &id : qAsConst(gone))
        remove(type, id);
}

void NmosResourceStore::clear()
{
    // Children first, so that each removal can still name its node.
    QStringList order = types();
    std::reverse(order.begin(), order.end());
    for (const QString &type : qAsConst(order))
        keepOnly(type, {});
}

bool NmosResourceStore::contains(const QString &type, const QString &id) const
{
    return m_collections.value(type).contains(id);
}

QJsonObject NmosResourceStore::resource(const QString &type, const QString &id) const
{
    const Collection entries = m_collections.value(type);
    const auto entry = entries.constFind(id);
    return entry == entries.constEnd() ? QJsonObject() : fromText(entry->text);
}

QHash<QString, QByteArray> NmosResourceStore::texts(const QString &type) const
{
    const Collection entries = m_collections.value(type);
    QHash<QString, QByteArray> result;
    result.reserve(entries.size());
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it)
        result.insert(it.key(), it->text);
    return result;
}

QJsonArray NmosResourceStore::collection(const QString &type, const QString &nodeId) const
{
    const Collection entries = m_collections.value(type);
    QStringList ids;
    if (type == Nodes) {
        if (entries.contains(nodeId))
            ids << nodeId;
    } else if (type == Devices) {
        ids = m_children.value(Devices).value(nodeId).values();
    } else {
        const QHash<QString, QSet<QString>> &byDevice = m_children.value(type);
        for (const QString &deviceId : m_children.value(Devices).value(nodeId))
            ids += byDevice.value(deviceId).values();
    }
    std::sort(ids.begin(), ids.end(), [&entries](const QString &a, const QString &b) {
        return entries.value(a).order < entries.value(b).order;
    });
    // One parse of the texts joined as a list costs less than one per resource.
    QByteArray list("[");
    for (const QString &id : qAsConst(ids)) {
        if (list.size() > 1)
            list += ',';
        list += entries.value(id).text;
    }
    list += ']';
    return QJsonDocument::fromJson(list).array();
}

QString NmosResourceStore::nodeOf(const QString &type, const QString &id) const
{
    if (type == Nodes)
        return contains(Nodes, id) ? id : QString();
    const QString parent = m_collections.value(type).value(id).parent;
    if (type == Devices || parent.isEmpty())
        return parent;
    return m_collections.value(Devices).value(parent).parent;
}

int NmosResourceStore::count(const QString &type) const
{
    return m_collections.value(type).size();
}

void NmosResourceStore::link(const QString &type, const QString &id, const QString &parent)
{
    if (!parent.isEmpty())
        m_children[type][parent].insert(id);
}

void NmosResourceStore::unlink(const QString &type, const QString &id, const QString &parent)
{
    auto byParent = m_children.find(type);
    if (byParent == m_children.end())
        return;
    auto siblings = byParent->find(parent);
    if (siblings == byParent->end())
        return;
    siblings->remove(id);
    if (siblings->isEmpty())
        byParent->erase(siblings);
}

void NmosResourceStore::notifyNode(const QString &type, const QString &id, const Entry &entry)
{
    QString nodeId;
    if (type == Nodes)
        nodeId = id;
    else if (type == Devices)
        nodeId = entry.parent;
    else
        nodeId = m_collections.value(Devices).value(entry.parent).parent;
    if (!nodeId.isEmpty())
        emit nodeChanged(nodeId);
}
