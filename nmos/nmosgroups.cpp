#include "nmosclient.h"
#include "nmosclient_p.h"

#include <QJsonValue>
#include <QMap>

using namespace NmosPrivate;

namespace {

const char GroupHintTag[] = "urn:x-nmos:tag:grouphint/v1.0";

// The name before the first ":" of the resource's grouphint tag; empty when there is none.
QString groupName(const QJsonObject &resource)
{
    const QJsonValue hint = resource.value(QLatin1String("tags")).toObject().value(QLatin1String(GroupHintTag));
    if (!hint.isArray())
        return QString();
    const QJsonValue first = hint.toArray().at(0);
    if (!first.isString())
        return QString();
    const QString text = first.toString();
    const int colon = text.indexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : text.left(colon);
}

// The ids listed under `key` by the first device that lists `id` there.
QJsonArray deviceMembers(const QJsonArray &devices, const QString &key, const QString &id)
{
    const QJsonValue wanted(id);
    for (const QJsonValue &device : devices) {
        const QJsonArray members = device.toObject().value(key).toArray();
        if (members.contains(wanted))
            return members;
    }
    return QJsonArray();
}

void appendOnce(QStringList *list, const QString &id)
{
    // A node listing one resource twice would otherwise have it patched twice, each time
    // to a different counterpart.
    if (!list->contains(id))
        list->append(id);
}

} // namespace

void NmosClient::fillSenderGroup(SenderGroup *group)
{
    const QJsonArray devices = getJsonArray(nodeUrl(group->node, QStringLiteral("/devices/")));
    if (devices.isEmpty())
        return;
    const QJsonArray members = deviceMembers(devices, QStringLiteral("senders"), group->id);
    const QString chosenGroup =
        groupName(getJsonObject(nodeResourceUrl(group->node, QStringLiteral("/senders/"), group->id)));

    const QJsonArray senders = getJsonArray(nodeUrl(group->node, QStringLiteral("/senders/")));
    if (senders.isEmpty())
        return;
    QMap<QString, QString> senderOfFlow;
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        const QJsonValue id = sender.value(QLatin1String("id"));
        const QString flowId = sender.value(QLatin1String("flow_id")).toString();
        if (!id.isString() || flowId.isEmpty() || !members.contains(id))
            continue;
        if (groupName(sender) == chosenGroup)
            senderOfFlow.insert(flowId, id.toString());
    }

    QStringList audio;
    QStringList data;
    const QJsonArray flows = getJsonArray(nodeUrl(group->node, QStringLiteral("/flows/")));
    for (const QJsonValue &value : flows) {
        const QJsonObject flow = value.toObject();
        const auto entry = senderOfFlow.constFind(flow.value(QLatin1String("id")).toString());
        if (entry == senderOfFlow.constEnd())
            continue;
        const QString format = flow.value(QLatin1String("format")).toString();
        if (format == QLatin1String(AudioFormat))
            appendOnce(&audio, entry.value());
        else if (format == QLatin1String(DataFormat))
            appendOnce(&data, entry.value());
    }
    group->audioIds = audio;
    group->dataIds = data;
}

void NmosClient::fillReceiverGroup(ReceiverGroup *group)
{
    const QJsonArray devices = getJsonArray(nodeUrl(group->node, QStringLiteral("/devices/")));
    if (devices.isEmpty())
        return;
    const QJsonArray members = deviceMembers(devices, QStringLiteral("receivers"), group->id);
    const QString chosenGroup = groupName(
        getJsonObject(nodeResourceUrl(group->node, QStringLiteral("/receivers/"), group->id)));

    const QJsonArray receivers = getJsonArray(nodeUrl(group->node, QStringLiteral("/receivers/")));
    if (receivers.isEmpty())
        return;
    QStringList audio;
    QStringList data;
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        const QJsonValue id = receiver.value(QLatin1String("id"));
        if (!id.isString() || !members.contains(id) || groupName(receiver) != chosenGroup)
            continue;
        const QString format = receiver.value(QLatin1String("format")).toString();
        if (format == QLatin1String(AudioFormat))
            appendOnce(&audio, id.toString());
        else if (format == QLatin1String(DataFormat))
            appendOnce(&data, id.toString());
    }
    group->audioIds = audio;
    group->dataIds = data;
}
