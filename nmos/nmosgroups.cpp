#include "nmosclient.h"
#include "nmosclient_p.h"

#include <QJsonValue>
#include <QMap>
#include <QVector>

using namespace NmosPrivate;

namespace {

const char GroupHintTag[] = "urn:x-nmos:tag:grouphint/v1.0";

// The grouphint of a resource split at its first ":": the group's name and the member's role
// in it ("Cam 1", "Audio 2"). Both empty when there is none.
QPair<QString, QString> groupHint(const QJsonObject &resource)
{
    const QJsonValue hint = resource.value(QLatin1String("tags")).toObject().value(QLatin1String(GroupHintTag));
    if (!hint.isArray())
        return {};
    const QJsonValue first = hint.toArray().at(0);
    if (!first.isString())
        return {};
    const QString text = first.toString();
    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return {};
    return {text.left(colon), text.mid(colon + 1).trimmed()};
}

QString groupName(const QJsonObject &resource)
{
    return groupHint(resource).first;
}

// The members of the chosen resource's device: the ids its device lists under `key`, or,
// as IS-04 v1.3 deprecates those lists and devices leave them empty, every resource of the
// collection that names the chosen one's device as its own.
QJsonArray deviceMembers(const QJsonArray &devices, const QString &key, const QJsonObject &chosen,
                         const QJsonArray &collection)
{
    const QJsonValue wanted = chosen.value(QLatin1String("id"));
    for (const QJsonValue &device : devices) {
        const QJsonArray members = device.toObject().value(key).toArray();
        if (members.contains(wanted))
            return members;
    }
    const QJsonValue deviceId = chosen.value(QLatin1String("device_id"));
    QJsonArray members;
    if (!deviceId.isString() || deviceId.toString().isEmpty())
        return members;
    for (const QJsonValue &value : collection) {
        const QJsonObject resource = value.toObject();
        if (resource.value(QLatin1String("device_id")) == deviceId)
            members.append(resource.value(QLatin1String("id")));
    }
    return members;
}

struct Members
{
    QStringList ids;
    QStringList roles;

    void append(const QString &id, const QString &role)
    {
        // A node listing one resource twice would otherwise have it patched twice, each time
        // to a different counterpart.
        if (ids.contains(id))
            return;
        ids.append(id);
        roles.append(role);
    }
};

// What every grouping reads, in the order the node is asked; the first failure ends it.
bool readGroupResources(NmosClient *client, const NmosClient::NodeEndpoint &node, const QString &collection,
                        const QString &id, QJsonArray *devices, QJsonObject *chosen, QJsonArray *resources,
                        QString *errorString)
{
    QString failure;
    *devices = client->getJsonArray(nodeUrl(node, QStringLiteral("/devices/")), &failure, node);
    if (failure.isEmpty())
        *chosen = client->getJsonObject(nodeResourceUrl(node, collection, id), &failure, node);
    if (failure.isEmpty())
        *resources = client->getJsonArray(nodeUrl(node, collection), &failure, node);
    if (failure.isEmpty())
        return true;
    if (errorString)
        *errorString = failure;
    return false;
}

} // namespace

bool NmosClient::fillSenderGroup(SenderGroup *group, QString *errorString)
{
    QJsonArray devices;
    QJsonObject chosen;
    QJsonArray senders;
    if (!readGroupResources(this, group->node, QStringLiteral("/senders/"), group->id, &devices, &chosen, &senders,
                            errorString))
        return false;
    QString failure;
    const QJsonArray flows = getJsonArray(nodeUrl(group->node, QStringLiteral("/flows/")), &failure, group->node);
    if (!failure.isEmpty()) {
        if (errorString)
            *errorString = failure;
        return false;
    }
    const QJsonArray members = deviceMembers(devices, QStringLiteral("senders"), chosen, senders);
    const QString chosenGroup = groupName(chosen);

    QMap<QString, QJsonObject> senderOfFlow;
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        const QJsonValue id = sender.value(QLatin1String("id"));
        const QString flowId = sender.value(QLatin1String("flow_id")).toString();
        if (!id.isString() || flowId.isEmpty() || !members.contains(id))
            continue;
        if (groupName(sender) == chosenGroup)
            senderOfFlow.insert(flowId, sender);
    }

    Members audio;
    Members data;
    for (const QJsonValue &value : flows) {
        const QJsonObject flow = value.toObject();
        const auto entry = senderOfFlow.constFind(flow.value(QLatin1String("id")).toString());
        if (entry == senderOfFlow.constEnd())
            continue;
        const QString id = entry.value().value(QLatin1String("id")).toString();
        const QString role = groupHint(entry.value()).second;
        const QString format = flow.value(QLatin1String("format")).toString();
        if (format == QLatin1String(AudioFormat))
            audio.append(id, role);
        else if (format == QLatin1String(DataFormat))
            data.append(id, role);
    }
    group->audioIds = audio.ids;
    group->audioRoles = audio.roles;
    group->dataIds = data.ids;
    group->dataRoles = data.roles;
    return true;
}

bool NmosClient::fillReceiverGroup(ReceiverGroup *group, QString *errorString)
{
    QJsonArray devices;
    QJsonObject chosen;
    QJsonArray receivers;
    if (!readGroupResources(this, group->node, QStringLiteral("/receivers/"), group->id, &devices, &chosen,
                            &receivers, errorString))
        return false;
    const QJsonArray members = deviceMembers(devices, QStringLiteral("receivers"), chosen, receivers);
    const QString chosenGroup = groupName(chosen);

    Members audio;
    Members data;
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        const QJsonValue id = receiver.value(QLatin1String("id"));
        if (!id.isString() || !members.contains(id) || groupName(receiver) != chosenGroup)
            continue;
        const QString role = groupHint(receiver).second;
        const QString format = receiver.value(QLatin1String("format")).toString();
        if (format == QLatin1String(AudioFormat))
            audio.append(id.toString(), role);
        else if (format == QLatin1String(DataFormat))
            data.append(id.toString(), role);
    }
    group->audioIds = audio.ids;
    group->audioRoles = audio.roles;
    group->dataIds = data.ids;
    group->dataRoles = data.roles;
    return true;
}

NmosClient::MemberPairs NmosClient::pairMembers(const QStringList &senderIds, const QStringList &senderRoles,
                                                const QStringList &receiverIds, const QStringList &receiverRoles)
{
    const auto roleAt = [](const QStringList &roles, int i) { return roles.value(i).trimmed().toCaseFolded(); };
    MemberPairs result;
    QVector<bool> receiverTaken(receiverIds.size(), false);
    QStringList restSenders;
    for (int i = 0; i < senderIds.size(); ++i) {
        const QString role = roleAt(senderRoles, i);
        int match = -1;
        for (int j = 0; !role.isEmpty() && j < receiverIds.size() && match < 0; ++j) {
            if (!receiverTaken.at(j) && roleAt(receiverRoles, j) == role)
                match = j;
        }
        if (match < 0) {
            restSenders.append(senderIds.at(i));
            continue;
        }
        receiverTaken[match] = true;
        result.pairs.append({senderIds.at(i), receiverIds.at(match)});
    }
    QStringList restReceivers;
    for (int j = 0; j < receiverIds.size(); ++j) {
        if (!receiverTaken.at(j))
            restReceivers.append(receiverIds.at(j));
    }
    const int byOrder = qMin(restSenders.size(), restReceivers.size());
    for (int i = 0; i < byOrder; ++i)
        result.pairs.append({restSenders.at(i), restReceivers.at(i)});
    result.unpairedSenders = restSenders.mid(byOrder);
    result.unpairedReceivers = restReceivers.mid(byOrder);
    return result;
}
