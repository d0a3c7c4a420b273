#include "salvofile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>

namespace {

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

SalvoFile::Resource resourceOf(const QJsonObject &object)
{
    return {object.value(QLatin1String("id")).toString(),      object.value(QLatin1String("label")).toString(),
            object.value(QLatin1String("text")).toString(),    object.value(QLatin1String("node")).toString(),
            object.value(QLatin1String("address")).toString(), object.value(QLatin1String("node_id")).toString()};
}

QJsonObject resourceJson(const SalvoFile::Resource &resource)
{
    // A sender no node listed when it was saved is kept by its id alone.
    if (resource.node.isEmpty() && resource.address.isEmpty() && resource.nodeId.isEmpty())
        return {{QStringLiteral("id"), resource.id},
                {QStringLiteral("label"), orNull(resource.label)},
                {QStringLiteral("text"), orNull(resource.text)}};
    return {{QStringLiteral("id"), resource.id},
            {QStringLiteral("label"), resource.label},
            {QStringLiteral("text"), resource.text},
            {QStringLiteral("node"), resource.node},
            {QStringLiteral("address"), resource.address},
            {QStringLiteral("node_id"), orNull(resource.nodeId)}};
}

} // namespace

QString SalvoFile::Resource::named() const
{
    return label.isEmpty() ? id : QStringLiteral("%1 [%2]").arg(label, id);
}

bool SalvoFile::read(const QString &path, SalvoFile *salvo)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    if (content.trimmed().isEmpty())
        return true;
    const QJsonValue saved = QJsonDocument::fromJson(content).object().value(QLatin1String("receivers"));
    if (!saved.isArray())
        return false;
    for (const QJsonValue &item : saved.toArray()) {
        Route route;
        route.receiver = resourceOf(item[QLatin1String("receiver")].toObject());
        route.hasSender = item[QLatin1String("sender")].isObject();
        route.sender = resourceOf(item[QLatin1String("sender")].toObject());
        route.enabled = item[QLatin1String("enabled")].toBool();
        salvo->routes.append(route);
    }
    return true;
}

bool SalvoFile::write(const QString &path, QString *errorString) const
{
    QJsonArray receivers;
    for (const Route &route : routes)
        receivers.append(QJsonObject{{QStringLiteral("receiver"), resourceJson(route.receiver)},
                                     {QStringLiteral("sender"), route.hasSender ? resourceJson(route.sender) : QJsonValue()},
                                     {QStringLiteral("enabled"), route.enabled}});
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)
        && file.write(QJsonDocument(QJsonObject{{QStringLiteral("receivers"), receivers}}).toJson()) >= 0 && file.commit())
        return true;
    if (errorString)
        *errorString = file.errorString();
    return false;
}

int SalvoFile::find(const Resource &saved, const QList<Resource> &listed)
{
    const auto unique = [&listed](const auto &matches) {
        int found = -1;
        for (int i = 0; i < listed.size(); ++i) {
            if (!matches(listed.at(i)) || (found >= 0 && listed.at(found).id == listed.at(i).id))
                continue;
            if (found >= 0)
                return -1;
            found = i;
        }
        return found;
    };
    // A node that restarted with new ids is found by its entry's text, which names the node
    // and its address, or by a label no other resource of that node has. Never on another
    // node: when the saved one is off, a label of another studio's receiver is not it.
    const auto onSavedNode = [&saved](const Resource &candidate) {
        return (!saved.nodeId.isEmpty() && candidate.nodeId == saved.nodeId)
               || (!saved.node.isEmpty() && candidate.node == saved.node && candidate.address == saved.address);
    };
    int found = -1;
    if (!saved.id.isEmpty())
        found = unique([&saved](const Resource &r) { return r.id == saved.id; });
    if (found < 0 && !saved.text.isEmpty())
        found = unique([&saved](const Resource &r) { return r.text == saved.text; });
    if (found < 0 && !saved.label.isEmpty())
        found = unique([&](const Resource &r) { return r.label == saved.label && onSavedNode(r); });
    return found;
}
