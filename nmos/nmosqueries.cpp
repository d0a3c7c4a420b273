#include "nmosclient.h"
#include "nmosclient_p.h"

#include <QJsonValue>
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

bool NmosClient::hasSenders(const NodeEndpoint &node)
{
    return !getJsonArray(nodeUrl(node, QStringLiteral("/senders/"))).isEmpty();
}

bool NmosClient::hasReceivers(const NodeEndpoint &node)
{
    return !getJsonArray(nodeUrl(node, QStringLiteral("/receivers/"))).isEmpty();
}

QList<NmosClient::SenderConnection> NmosClient::videoSenders(const NodeEndpoint &node,
                                                           const QString &nodeName)
{
    QStringList videoFlows;
    const QJsonArray flows = getJsonArray(nodeUrl(node, QStringLiteral("/flows/")));
    for (const QJsonValue &value : flows) {
        const QJsonObject flow = value.toObject();
        if (flow.value(QLatin1String("format")).toString() == QLatin1String(VideoFormat))
            videoFlows.append(flow.value(QLatin1String("id")).toString());
    }

    QList<SenderConnection> result;
    QSet<QString> labelsSeen;
    const QJsonArray senders = getJsonArray(nodeUrl(node, QStringLiteral("/senders/")));
    for (const QJsonValue &value : senders) {
        const QJsonObject sender = value.toObject();
        if (!videoFlows.contains(sender.value(QLatin1String("flow_id")).toString()))
            continue;
        SenderConnection connection;
        connection.id = sender.value(QLatin1String("id")).toString();
        connection.label = sender.value(QLatin1String("label")).toString();
        connection.manifestHref = sender.value(QLatin1String("manifest_href")).toString();
        if (connection.label.isEmpty() || labelsSeen.contains(connection.label))
            continue;
        labelsSeen.insert(connection.label);
        connection.node = node;
        connection.displayName = displayName(nodeName, node.address, connection.label);
        result.append(connection);
    }
    return result;
}

QList<NmosClient::ReceiverConnection> NmosClient::videoReceivers(const NodeEndpoint &node,
                                                               const QString &nodeName)
{
    QList<ReceiverConnection> result;
    QSet<QString> labelsSeen;
    const QJsonArray receivers = getJsonArray(nodeUrl(node, QStringLiteral("/receivers/")));
    for (const QJsonValue &value : receivers) {
        const QJsonObject receiver = value.toObject();
        ReceiverConnection connection;
        connection.id = receiver.value(QLatin1String("id")).toString();
        connection.label = receiver.value(QLatin1String("label")).toString();
        if (connection.label.isEmpty() || labelsSeen.contains(connection.label))
            continue;
        labelsSeen.insert(connection.label);
        if (receiver.value(QLatin1String("format")).toString() != QLatin1String(VideoFormat))
            continue;
        connection.node = node;
        connection.displayName = displayName(nodeName, node.address, connection.label);
        result.append(connection);
    }
    return result;
}

bool NmosClient::findSender(const NodeEndpoint &node, Format format, SenderGroup *group,
                            const QString &preferredId)
{
    group->id.clear();
    group->manifestHref.clear();

    QString flowId;
    if (preferredId.isEmpty()) {
        const QJsonArray flows = getJsonArray(nodeUrl(node, QStringLiteral("/flows/")));
        if (flows.isEmpty())
            return false;
        const QJsonValue urn(formatUrn(format));
        for (const QJsonValue &value : flows) {
            const QJsonObject flow = value.toObject();
            if (flow.value(QLatin1String("format")) == urn) {
                flowId = flow.value(QLatin1String("id")).toString();
                break;
            }
        }
    }

    const QJsonArray senders = getJsonArray(nodeUrl(node, QStringLiteral("/senders/")));
    if (senders.isEmpty())
        return false;
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
    return !group->id.isEmpty() && !group->manifestHref.isEmpty();
}

bool NmosClient::findReceiver(const NodeEndpoint &node, Format format, ReceiverGroup *group,
                              const QString &preferredId)
{
    const QJsonValue urn(formatUrn(format));
    group->id.clear();

    const QJsonArray receivers = getJsonArray(nodeUrl(node, QStringLiteral("/receivers/")));
    if (receivers.isEmpty())
        return false;
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
        break;
    }
    return !group->id.isEmpty();
}
