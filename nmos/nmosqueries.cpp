#include "nmosclient.h"
#include "nmosclient_p.h"
#include "nmos/jsonpool.h"

#include <QJsonValue>
#include <QHash>
#include <QSet>

using namespace NmosPrivate;

namespace {

QString formatUrn(NmosClient::Format format)
{
    switch (format) {
    case NmosClient::Audio:
        return QLatin1String(AudioFormat);
    case NmosClient::Data:
        return QLatin1String(DataFormat);
    case NmosClient::Video:
        break;
    }
    // The selector may come from an int cast; anything unknown means video.
    return QLatin1String(VideoFormat);
}

bool isDirectionMark(QChar c)
{
    switch (c.direction()) {
    case QChar::DirLRE:
    case QChar::DirLRO:
    case QChar::DirRLE:
    case QChar::DirRLO:
    case QChar::DirPDF:
    case QChar::DirLRI:
    case QChar::DirRLI:
    case QChar::DirFSI:
    case QChar::DirPDI:
        return true;
    default:
        // The left-to-right, right-to-left and Arabic letter marks.
        return c.unicode() == 0x200E || c.unicode() == 0x200F || c.unicode() == 0x061C;
    }
}

// The text of a combo entry. Node name and label come from the network: a line break would
// split the entry, and a direction mark (such as U+202E) could make it read as another
// node's address, so control characters become spaces and direction marks are dropped.
QString displayName(const QString &nodeName, const QString &address, const QString &label)
{
    QString text = QStringLiteral("%1 (%2-%3)").arg(nodeName, address, label);
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            shown += QLatin1Char(' ');
        else if (!isDirectionMark(c))
            shown += c;
    }
    return shown;
}

} // namespace

bool NmosClient::hasSenders(const NodeEndpoint &node, QString *errorString)
{
    return !getJsonArray(nodeUrl(node, QStringLiteral("/senders/")), errorString, node).isEmpty();
}

bool NmosClient::hasReceivers(const NodeEndpoint &node, QString *errorString)
{
    return !getJsonArray(nodeUrl(node, QStringLiteral("/receivers/")), errorString, node).isEmpty();
}

QString NmosClient::entryText(const QString &nodeName, const QString &address, const QString &label)
{
    return displayName(nodeName, address, label);
}

QList<NmosClient::SenderConnection> NmosClient::videoSenders(const NodeEndpoint &node,
                                                           const QString &nodeName)
{
    const QJsonArray flows = getJsonArray(nodeUrl(node, QStringLiteral("/flows/")), nullptr, node);
    return videoSendersOf(flows, getJsonArray(nodeUrl(node, QStringLiteral("/senders/")), nullptr, node), node, nodeName);
}

QList<NmosClient::ReceiverConnection> NmosClient::videoReceivers(const NodeEndpoint &node,
                                                               const QString &nodeName)
{
    return videoReceiversOf(getJsonArray(nodeUrl(node, QStringLiteral("/receivers/")), nullptr, node), node, nodeName);
}

namespace {

// Real devices label every stream of an input alike, and some two inputs alike: each video
// resource is listed, and a label already listed for the node gets its count, so that every
// entry text stays unique in its combo and the first keeps the text it always had.
QString entryLabel(QHash<QString, int> *labelsSeen, const QString &label)
{
    const int count = ++(*labelsSeen)[label];
    return count == 1 ? label : QStringLiteral("%1 #%2").arg(label).arg(count);
}

} // namespace

QList<NmosClient::SenderConnection> NmosClient::videoSendersOf(const QJsonArray &flows, const QJsonArray &senders,
                                                             const NodeEndpoint &node, const QString &nodeName)
{
    QHash<QString, QJsonObject> videoFlows;
    for (const QJsonValue &value : flows) {
        const QJsonObject flow = value.toObject();
        if (flow.value(QLatin1String("format")).toString() == QLatin1String(VideoFormat))
            videoFlows.insert(flow.value(QLatin1String("id")).toString(), flow);
    }

    QList<SenderConnection> result;
    QHash<QString, int> labelsSeen;
    QSet<QString> idsSeen;
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        const auto flow = videoFlows.constFind(sender.value(QLatin1String("flow_id")).toString());
        if (flow == videoFlows.constEnd())
            continue;
        SenderConnection connection;
        connection.id = sender.value(QLatin1String("id")).toString();
        connection.label = sender.value(QLatin1String("label")).toString();
        connection.manifestHref = sender.value(QLatin1String("manifest_href")).toString();
        // A resource listed twice is one entry.
        if (connection.label.isEmpty() || connection.id.isEmpty() || idsSeen.contains(connection.id))
            continue;
        idsSeen.insert(connection.id);
        connection.node = node;
        connection.displayName = displayName(nodeName, node.address, entryLabel(&labelsSeen, connection.label));
        connection.format = StreamFormat::fromResources(sender, flow.value());
        connection.version = sender.value(QLatin1String("version")).toString() + QLatin1Char('/')
                             + flow->value(QLatin1String("version")).toString();
        result.append(connection);
    }
    return result;
}

QList<NmosClient::ReceiverConnection> NmosClient::videoReceiversOf(const QJsonArray &receivers,
                                                                 const NodeEndpoint &node, const QString &nodeName)
{
    QList<ReceiverConnection> result;
    QHash<QString, int> labelsSeen;
    QSet<QString> idsSeen;
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        if (receiver.value(QLatin1String("format")).toString() != QLatin1String(VideoFormat))
            continue;
        ReceiverConnection connection;
        connection.id = receiver.value(QLatin1String("id")).toString();
        connection.label = receiver.value(QLatin1String("label")).toString();
        // A resource listed twice is one entry.
        if (connection.label.isEmpty() || connection.id.isEmpty() || idsSeen.contains(connection.id))
            continue;
        idsSeen.insert(connection.id);
        connection.node = node;
        connection.displayName = displayName(nodeName, node.address, entryLabel(&labelsSeen, connection.label));
        QJsonObject capabilities;
        for (const char *key : {"transport", "format", "caps", "interface_bindings"})
            capabilities.insert(QLatin1String(key), receiver.value(QLatin1String(key)));
        connection.capabilities = JsonPool::shared(capabilities);
        connection.version = receiver.value(QLatin1String("version")).toString();
        result.append(connection);
    }
    return result;
}

bool NmosClient::findSender(const NodeEndpoint &node, Format format, SenderGroup *group,
                            const QString &preferredId, QString *errorString)
{
    group->id.clear();
    group->manifestHref.clear();
    QString failure;

    QString flowId;
    if (preferredId.isEmpty()) {
        const QJsonArray flows = getJsonArray(nodeUrl(node, QStringLiteral("/flows/")), &failure, node);
        const QJsonValue urn(formatUrn(format));
        for (const QJsonValue &value : flows) {
            const QJsonObject flow = value.toObject();
            if (flow.value(QLatin1String("format")) == urn) {
                flowId = flow.value(QLatin1String("id")).toString();
                break;
            }
        }
        if (flows.isEmpty()) {
            if (errorString)
                *errorString = failure.isEmpty() ? QStringLiteral("The node lists no flows") : failure;
            return false;
        }
    }

    const QJsonArray senders = getJsonArray(nodeUrl(node, QStringLiteral("/senders/")), &failure, node);
    const QJsonValue wantedId(preferredId);
    const QJsonValue wantedFlow(flowId);
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        const bool matches = preferredId.isEmpty()
                                 ? sender.value(QLatin1String("flow_id")) == wantedFlow
                                 : sender.value(QLatin1String("id")) == wantedId;
        if (!matches)
            continue;
        group->id = sender.value(QLatin1String("id")).toString();
        group->label = sender.value(QLatin1String("label")).toString();
        group->manifestHref = sender.value(QLatin1String("manifest_href")).toString();
        group->node = node;
        break;
    }
    if (!group->id.isEmpty() && !group->manifestHref.isEmpty())
        return true;
    if (errorString) {
        if (!failure.isEmpty())
            *errorString = failure;
        else if (!group->id.isEmpty())
            *errorString = QStringLiteral("Sender %1 gives no transport file address").arg(group->id);
        else
            *errorString = QStringLiteral("Sender %1 is not listed by the node").arg(preferredId);
    }
    return false;
}

bool NmosClient::findReceiver(const NodeEndpoint &node, Format format, ReceiverGroup *group,
                              const QString &preferredId, QString *errorString)
{
    const QJsonValue urn(formatUrn(format));
    group->id.clear();
    QString failure;

    const QJsonArray receivers = getJsonArray(nodeUrl(node, QStringLiteral("/receivers/")), &failure, node);
    const QJsonValue wantedId(preferredId);
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        if (receiver.value(QLatin1String("format")) != urn)
            continue;
        if (!preferredId.isEmpty() && receiver.value(QLatin1String("id")) != wantedId)
            continue;
        group->id = receiver.value(QLatin1String("id")).toString();
        group->label = receiver.value(QLatin1String("label")).toString();
        group->node = node;
        group->legs = qMax(1, receiver.value(QLatin1String("interface_bindings")).toArray().size());
        break;
    }
    if (!group->id.isEmpty())
        return true;
    if (errorString)
        *errorString = !failure.isEmpty() ? failure : QStringLiteral("Receiver %1 is not listed by the node").arg(preferredId);
    return false;
}
