#include "streamformat.h"

#include <QJsonArray>
#include <QStringList>

namespace {

const QString Cap = QStringLiteral("urn:x-nmos:cap:");

// The sampling of a video flow's components as the Capabilities register names it
// ("YCbCr-4:2:2"), or empty when the components do not say.
QString colorSampling(const QJsonArray &components)
{
    QHash<QString, QJsonObject> byName;
    for (const QJsonValue &component : components)
        byName.insert(component[QLatin1String("name")].toString(), component.toObject());
    const auto size = [&byName](const QString &name, const char *key) { return byName.value(name).value(QLatin1String(key)).toInt(); };
    if (byName.contains(QStringLiteral("R")) && byName.contains(QStringLiteral("G")) && byName.contains(QStringLiteral("B")))
        return QStringLiteral("RGB");
    const QString luma = byName.contains(QStringLiteral("Y")) ? QStringLiteral("Y") : QStringLiteral("I");
    const QString blue = luma == QLatin1String("Y") ? QStringLiteral("Cb") : QStringLiteral("Ct");
    const QString prefix = luma == QLatin1String("Y") ? QStringLiteral("YCbCr-") : QStringLiteral("ICtCp-");
    if (!byName.contains(luma) || !byName.contains(blue) || size(luma, "width") <= 0 || size(blue, "width") <= 0)
        return QString();
    const bool halfWidth = size(blue, "width") * 2 == size(luma, "width");
    const bool halfHeight = size(blue, "height") * 2 == size(luma, "height");
    if (!halfWidth && !halfHeight)
        return prefix + QStringLiteral("4:4:4");
    if (halfWidth && !halfHeight)
        return prefix + QStringLiteral("4:2:2");
    if (halfWidth && halfHeight)
        return prefix + QStringLiteral("4:2:0");
    return QString();
}

QString mediaTypeName(const QString &mediaType)
{
    static const QHash<QString, QString> names{{QStringLiteral("video/raw"), QStringLiteral("Uncompressed")},
                                               {QStringLiteral("video/jxsv"), QStringLiteral("JPEG XS")},
                                               {QStringLiteral("video/H264"), QStringLiteral("H.264")},
                                               {QStringLiteral("video/H265"), QStringLiteral("H.265")},
                                               {QStringLiteral("video/smpte291"), QStringLiteral("ANC")},
                                               {QStringLiteral("video/SMPTE2022-6"), QStringLiteral("ST 2022-6")}};
    if (names.contains(mediaType))
        return names.value(mediaType);
    return mediaType.startsWith(QLatin1String("audio/")) ? mediaType.mid(6) : mediaType;
}

} // namespace

StreamFormat StreamFormat::fromResources(const QJsonObject &sender, const QJsonObject &flow, const QJsonObject &source)
{
    StreamFormat stream;
    stream.m_transport = sender.value(QLatin1String("transport")).toString();
    stream.m_format = flow.value(QLatin1String("format")).toString();
    QJsonObject &p = stream.m_parameters;
    const auto take = [&p](const QJsonObject &from, const char *key, const QString &capability) {
        const QJsonValue value = from.value(QLatin1String(key));
        if (!value.isUndefined() && !value.isNull())
            p.insert(capability, value);
    };
    take(flow, "media_type", Cap + QStringLiteral("format:media_type"));
    take(flow.contains(QLatin1String("grain_rate")) ? flow : source, "grain_rate", Cap + QStringLiteral("format:grain_rate"));
    for (const char *key : {"frame_width", "frame_height", "interlace_mode", "colorspace", "transfer_characteristic",
                            "profile", "level", "sublevel", "bit_rate", "sample_rate", "event_type"})
        take(flow, key, Cap + QStringLiteral("format:") + QLatin1String(key));
    take(flow, "bit_depth", Cap + QStringLiteral("format:sample_depth"));
    const QJsonArray components = flow.value(QLatin1String("components")).toArray();
    const QString sampling = colorSampling(components);
    if (!sampling.isEmpty())
        p.insert(Cap + QStringLiteral("format:color_sampling"), sampling);
    if (!components.isEmpty() && components.first()[QLatin1String("bit_depth")].isDouble())
        p.insert(Cap + QStringLiteral("format:component_depth"), components.first()[QLatin1String("bit_depth")]);
    if (source.value(QLatin1String("channels")).isArray())
        p.insert(Cap + QStringLiteral("format:channel_count"), source.value(QLatin1String("channels")).toArray().size());
    take(sender, "bit_rate", Cap + QStringLiteral("transport:bit_rate"));
    take(sender, "packet_transmission_mode", Cap + QStringLiteral("transport:packet_transmission_mode"));
    take(sender, "st2110_21_sender_type", Cap + QStringLiteral("transport:st2110_21_sender_type"));
    // An attribute left out has the value IS-04 and the Sender Attributes register give it.
    const auto byDefault = [&p](const QString &capability, const QString &value) {
        if (!p.contains(Cap + capability))
            p.insert(Cap + capability, value);
    };
    if (stream.m_format == QLatin1String("urn:x-nmos:format:video")) {
        byDefault(QStringLiteral("format:interlace_mode"), QStringLiteral("progressive"));
        byDefault(QStringLiteral("format:transfer_characteristic"), QStringLiteral("SDR"));
    }
    if (stream.mediaType() == QLatin1String("video/jxsv"))
        byDefault(QStringLiteral("transport:packet_transmission_mode"), QStringLiteral("codestream"));
    stream.m_legs = qMax(1, sender.value(QLatin1String("interface_bindings")).toArray().size());
    return stream;
}

QString StreamFormat::rateText(const QJsonValue &rational)
{
    const qint64 numerator = rational[QLatin1String("numerator")].toVariant().toLongLong();
    const qint64 denominator = rational[QLatin1String("denominator")].isUndefined()
                                   ? 1
                                   : rational[QLatin1String("denominator")].toVariant().toLongLong();
    if (denominator == 0)
        return QStringLiteral("?");
    if (numerator % denominator == 0)
        return QString::number(numerator / denominator);
    return QString::number(double(numerator) / double(denominator), 'f', 2);
}

QString StreamFormat::text() const
{
    QStringList parts;
    const QString media = mediaType();
    if (!media.isEmpty())
        parts << mediaTypeName(media);
    const QJsonValue width = value(Cap + QStringLiteral("format:frame_width"));
    const QJsonValue height = value(Cap + QStringLiteral("format:frame_height"));
    if (width.isDouble() && height.isDouble())
        parts << QStringLiteral("%1\u00d7%2").arg(width.toInt()).arg(height.toInt());
    const QJsonValue rate = value(Cap + QStringLiteral("format:grain_rate"));
    if (rate.isObject() && m_format == QLatin1String("urn:x-nmos:format:video")) {
        const QString mode = value(Cap + QStringLiteral("format:interlace_mode")).toString();
        // Interlaced video is named by its field rate, as in 1080i50.
        if (mode.startsWith(QLatin1String("interlaced_tff")) || mode.startsWith(QLatin1String("interlaced_bff"))) {
            QJsonObject fields = rate.toObject();
            fields.insert(QStringLiteral("numerator"), fields.value(QLatin1String("numerator")).toInt() * 2);
            parts << rateText(fields) + QLatin1Char('i');
        } else {
            parts << rateText(rate) + (mode == QLatin1String("interlaced_psf") ? QStringLiteral("psf") : QStringLiteral("p"));
        }
    }
    const QString sampling = value(Cap + QStringLiteral("format:color_sampling")).toString();
    if (!sampling.isEmpty())
        parts << (sampling.startsWith(QLatin1String("YCbCr-")) ? sampling.mid(6) : sampling);
    const QJsonValue depth = value(Cap + QStringLiteral("format:component_depth"));
    if (depth.isDouble())
        parts << QStringLiteral("%1-bit").arg(depth.toInt());
    const QJsonValue sampleRate = value(Cap + QStringLiteral("format:sample_rate"));
    if (sampleRate.isObject())
        parts << QString::number(rateText(sampleRate).toDouble() / 1000.0, 'g', 6) + QStringLiteral(" kHz");
    const QJsonValue channels = value(Cap + QStringLiteral("format:channel_count"));
    if (channels.isDouble())
        parts << QStringLiteral("%1 ch").arg(channels.toInt());
    QString text = parts.join(QLatin1Char(' '));
    if (m_legs > 1)
        text += QStringLiteral(", %1 legs").arg(m_legs);
    return text;
}
