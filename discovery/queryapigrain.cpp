#include "queryapigrain.h"

#include "nmos/nmosresourcestore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace {

bool hasId(const QJsonObject &resource)
{
    const QJsonValue id = resource.value(QLatin1String("id"));
    return id.isString() && !id.toString().isEmpty();
}

} // namespace

QueryApiGrain QueryApiGrain::decode(QByteArray text, bool first, const QHash<QString, QByteArray> &current)
{
    QueryApiGrain result;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    text = QByteArray();
    const QJsonValue data = document.object().value(QLatin1String("grain")).toObject().value(QLatin1String("data"));
    if (!data.isArray()) {
        result.error = QStringLiteral("that is no grain of events");
        if (parseError.error != QJsonParseError::NoError)
            result.error += QStringLiteral(": ") + parseError.errorString();
        return result;
    }
    const QJsonArray events = data.toArray();
    bool sync = first;
    for (int i = 0; sync && i < events.size(); ++i) {
        const QJsonObject event = events.at(i).toObject();
        const QJsonValue pre = event.value(QLatin1String("pre"));
        sync = pre.isObject() && pre == event.value(QLatin1String("post"));
    }
    if (sync) {
        QSet<QString> kept;
        for (const QJsonValue &event : events) {
            const QJsonObject post = event.toObject().value(QLatin1String("post")).toObject();
            if (!hasId(post)) {
                ++result.ignored;
                continue;
            }
            const QString id = post.value(QLatin1String("id")).toString();
            kept.insert(id);
            const auto held = current.constFind(id);
            if (held == current.constEnd() || *held != NmosResourceStore::toText(post))
                result.changes << Change{post, QString()};
        }
        for (auto it = current.constBegin(); it != current.constEnd(); ++it) {
            if (!kept.contains(it.key()))
                result.changes << Change{QJsonObject(), it.key()};
        }
        return result;
    }
    for (const QJsonValue &value : events) {
        const QJsonObject event = value.toObject();
        const QJsonValue post = event.value(QLatin1String("post"));
        const QJsonObject pre = event.value(QLatin1String("pre")).toObject();
        if (post.isObject() && hasId(post.toObject()))
            result.changes << Change{post.toObject(), QString()};
        else if (!post.isObject() && hasId(pre))
            result.changes << Change{QJsonObject(), pre.value(QLatin1String("id")).toString()};
        else
            ++result.ignored;
    }
    return result;
}
