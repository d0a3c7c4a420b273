#include "receivercapabilities.h"

#include <QJsonArray>

namespace {

const QString Meta = QStringLiteral("urn:x-nmos:cap:meta:");

// The parameters this program judges, in the order a reason names the first unmet one, and
// their names in words.
const QList<QPair<QString, QString>> &knownParameters()
{
    static const QList<QPair<QString, QString>> parameters{
        {QStringLiteral("urn:x-nmos:cap:format:media_type"), QStringLiteral("media type")},
        {QStringLiteral("urn:x-nmos:cap:format:frame_width"), QStringLiteral("frame width")},
        {QStringLiteral("urn:x-nmos:cap:format:frame_height"), QStringLiteral("frame height")},
        {QStringLiteral("urn:x-nmos:cap:format:interlace_mode"), QStringLiteral("interlace mode")},
        {QStringLiteral("urn:x-nmos:cap:format:grain_rate"), QStringLiteral("frame rate")},
        {QStringLiteral("urn:x-nmos:cap:format:color_sampling"), QStringLiteral("sampling")},
        {QStringLiteral("urn:x-nmos:cap:format:component_depth"), QStringLiteral("bit depth")},
        {QStringLiteral("urn:x-nmos:cap:format:colorspace"), QStringLiteral("colorspace")},
        {QStringLiteral("urn:x-nmos:cap:format:transfer_characteristic"), QStringLiteral("transfer characteristic")},
        {QStringLiteral("urn:x-nmos:cap:format:profile"), QStringLiteral("profile")},
        {QStringLiteral("urn:x-nmos:cap:format:level"), QStringLiteral("level")},
        {QStringLiteral("urn:x-nmos:cap:format:sublevel"), QStringLiteral("sublevel")},
        {QStringLiteral("urn:x-nmos:cap:format:bit_rate"), QStringLiteral("bit rate")},
        {QStringLiteral("urn:x-nmos:cap:format:sample_rate"), QStringLiteral("sample rate")},
        {QStringLiteral("urn:x-nmos:cap:format:sample_depth"), QStringLiteral("sample depth")},
        {QStringLiteral("urn:x-nmos:cap:format:channel_count"), QStringLiteral("channel count")},
        {QStringLiteral("urn:x-nmos:cap:format:event_type"), QStringLiteral("event type")},
        {QStringLiteral("urn:x-nmos:cap:transport:bit_rate"), QStringLiteral("transport bit rate")},
        {QStringLiteral("urn:x-nmos:cap:transport:packet_time"), QStringLiteral("packet time")},
        {QStringLiteral("urn:x-nmos:cap:transport:max_packet_time"), QStringLiteral("maximum packet time")},
        {QStringLiteral("urn:x-nmos:cap:transport:packet_transmission_mode"), QStringLiteral("packet transmission mode")},
        {QStringLiteral("urn:x-nmos:cap:transport:st2110_21_sender_type"), QStringLiteral("ST 2110-21 sender type")},
    };
    return parameters;
}

QString valueText(const QJsonValue &value)
{
    if (value.isObject())
        return StreamFormat::rateText(value);
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 12);
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return value.toString();
}

bool isRational(const QJsonValue &value)
{
    return value.isObject() && value[QLatin1String("numerator")].isDouble();
}

// Compares two values of one type: negative, zero or positive; rationals exactly, by
// cross-multiplication. False in *comparable when they are not of one type.
int compare(const QJsonValue &a, const QJsonValue &b, bool *comparable)
{
    *comparable = true;
    if (isRational(a) && isRational(b)) {
        const auto parts = [](const QJsonValue &r, qint64 *n, qint64 *d) {
            *n = r[QLatin1String("numerator")].toVariant().toLongLong();
            *d = r[QLatin1String("denominator")].isUndefined() ? 1 : r[QLatin1String("denominator")].toVariant().toLongLong();
            if (*d < 0) {
                *n = -*n;
                *d = -*d;
            }
        };
        qint64 n1, d1, n2, d2;
        parts(a, &n1, &d1);
        parts(b, &n2, &d2);
        if (d1 == 0 || d2 == 0) {
            *comparable = false;
            return 0;
        }
        const __int128 left = __int128(n1) * d2, right = __int128(n2) * d1;
        return left < right ? -1 : left > right ? 1 : 0;
    }
    if (a.isDouble() && b.isDouble())
        return a.toDouble() < b.toDouble() ? -1 : a.toDouble() > b.toDouble() ? 1 : 0;
    if (a.isString() && b.isString())
        return a.toString().compare(b.toString());
    if (a.isBool() && b.isBool())
        return int(a.toBool()) - int(b.toBool());
    *comparable = false;
    return 0;
}

// Whether value meets one parameter constraint; the reason in words when it does not.
bool meets(const QString &name, const QJsonValue &value, const QJsonObject &constraint, QString *reason)
{
    bool comparable = true;
    if (constraint.contains(QLatin1String("enum"))) {
        const QJsonArray allowed = constraint.value(QLatin1String("enum")).toArray();
        QStringList texts;
        bool found = false;
        for (const QJsonValue &candidate : allowed) {
            found = found || (compare(value, candidate, &comparable) == 0 && comparable);
            texts << valueText(candidate);
        }
        if (!found) {
            *reason = QStringLiteral("%1 %2 is not among %3").arg(name, valueText(value), texts.join(QStringLiteral(", ")));
            return false;
        }
    }
    const QJsonValue minimum = constraint.value(QLatin1String("minimum"));
    if (!minimum.isUndefined() && compare(value, minimum, &comparable) < 0 && comparable) {
        *reason = QStringLiteral("%1 %2 is below the minimum %3").arg(name, valueText(value), valueText(minimum));
        return false;
    }
    const QJsonValue maximum = constraint.value(QLatin1String("maximum"));
    if (!maximum.isUndefined() && compare(value, maximum, &comparable) > 0 && comparable) {
        *reason = QStringLiteral("%1 %2 is above the maximum %3").arg(name, valueText(value), valueText(maximum));
        return false;
    }
    return true;
}

// Whether the stream meets every constraint of one set: known parameters in their order,
// then the others; a constraint that cannot be judged is noted in *ignored.
bool meetsSet(const QJsonObject &set, const StreamFormat &stream, QString *reason, QStringList *ignored)
{
    QStringList keys = set.keys();
    for (const auto &parameter : knownParameters()) {
        if (!keys.removeOne(parameter.first))
            continue;
        const QJsonValue value = stream.value(parameter.first);
        if (value.isUndefined()) {
            ignored->append(parameter.first);
            continue;
        }
        if (!meets(parameter.second, value, set.value(parameter.first).toObject(), reason))
            return false;
    }
    for (const QString &key : qAsConst(keys)) {
        if (!key.startsWith(Meta))
            ignored->append(key);
    }
    return true;
}

// The last part of a URN, for short texts: "urn:x-nmos:transport:rtp.mcast" → "rtp.mcast".
QString lastPart(const QString &urn)
{
    return urn.section(QLatin1Char(':'), -1);
}

} // namespace

ReceiverCapabilities::Verdict ReceiverCapabilities::judge(const QJsonObject &receiver, const StreamFormat &stream)
{
    Verdict verdict;
    const auto cannot = [&verdict](const QString &reason) {
        verdict.canTake = false;
        verdict.reason = reason;
        return verdict;
    };
    // A receiver of a transport takes its subclassifications: rtp takes rtp.mcast.
    const QString transport = receiver.value(QLatin1String("transport")).toString();
    if (!transport.isEmpty() && stream.transport() != transport && !stream.transport().startsWith(transport + QLatin1Char('.')))
        return cannot(QStringLiteral("transport %1 is not the receiver's %2").arg(lastPart(stream.transport()), lastPart(transport)));
    const QString format = receiver.value(QLatin1String("format")).toString();
    if (!format.isEmpty() && !stream.format().isEmpty() && format != stream.format())
        return cannot(QStringLiteral("a %1 stream, the receiver takes %2").arg(lastPart(stream.format()), lastPart(format)));

    const QJsonObject caps = receiver.value(QLatin1String("caps")).toObject();
    const QJsonValue mediaTypes = caps.value(QLatin1String("media_types"));
    if (mediaTypes.isArray() && !stream.mediaType().isEmpty()) {
        QStringList types;
        for (const QJsonValue &type : mediaTypes.toArray())
            types << type.toString();
        if (!types.contains(stream.mediaType(), Qt::CaseInsensitive))
            return cannot(QStringLiteral("media type %1 is not among %2").arg(stream.mediaType(), types.join(QStringLiteral(", "))));
    }

    const QJsonValue sets = caps.value(QLatin1String("constraint_sets"));
    if (!sets.isArray())
        return verdict;
    QString firstReason;
    bool anyEnabled = false;
    for (const QJsonValue &value : sets.toArray()) {
        const QJsonObject set = value.toObject();
        if (set.value(Meta + QStringLiteral("enabled")) == QJsonValue(false))
            continue;
        anyEnabled = true;
        QString reason;
        QStringList ignored;
        if (meetsSet(set, stream, &reason, &ignored)) {
            verdict.ignored = ignored;
            return verdict;
        }
        if (firstReason.isEmpty())
            firstReason = reason;
    }
    return cannot(anyEnabled ? firstReason : QStringLiteral("the receiver has no enabled constraint set"));
}

QString ReceiverCapabilities::summary(const QJsonObject &receiver)
{
    const QJsonObject caps = receiver.value(QLatin1String("caps")).toObject();
    QStringList parts;
    QStringList types;
    for (const QJsonValue &type : caps.value(QLatin1String("media_types")).toArray())
        types << type.toString();
    if (!types.isEmpty())
        parts << QStringLiteral("media types %1").arg(types.join(QStringLiteral(", ")));
    if (caps.value(QLatin1String("constraint_sets")).isArray()) {
        const int count = caps.value(QLatin1String("constraint_sets")).toArray().size();
        parts << (count == 1 ? QStringLiteral("1 constraint set") : QStringLiteral("%1 constraint sets").arg(count));
    }
    return parts.join(QStringLiteral("; "));
}
