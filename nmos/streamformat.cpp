#include "streamformat.h"

#include "nmos/jsonpool.h"

#include <QHash>
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

// "60000/1001" or "50" as a rational; undefined when it is neither.
QJsonValue rational(const QString &text)
{
    bool numeratorOk = false, denominatorOk = true;
    const qint64 numerator = text.section(QLatin1Char('/'), 0, 0).toLongLong(&numeratorOk);
    const qint64 denominator = text.contains(QLatin1Char('/')) ? text.section(QLatin1Char('/'), 1).toLongLong(&denominatorOk) : 1;
    if (!numeratorOk || !denominatorOk || numerator <= 0 || denominator <= 0)
        return QJsonValue(QJsonValue::Undefined);
    return QJsonObject{{QStringLiteral("numerator"), numerator}, {QStringLiteral("denominator"), denominator}};
}

QJsonValue integer(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? QJsonValue(value) : QJsonValue(QJsonValue::Undefined);
}

// The first media description of an SDP, as far as a stream's format goes.
struct SdpMedia
{
    QString media;    // "video"
    QString encoding; // "jxsv"
    QString clockRate;
    QString channels;
    QHash<QString, QString> fmtp; // names in lower case; a flag has an empty value
    QString bandwidth;            // b=AS, kilobits per second
    QString ptime;
    QString maxptime;
    int duplicates = 0; // media descriptions an a=group:DUP names
};

SdpMedia parseSdp(const QByteArray &sdp)
{
    SdpMedia parsed;
    QString payloadType;
    int section = 0;
    for (const QByteArray &rawLine : sdp.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.startsWith(QLatin1String("m="))) {
            if (++section > 1)
                break; // a DUP group's other legs repeat the first one's format
            const QStringList fields = line.mid(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            parsed.media = fields.value(0);
            payloadType = fields.value(3);
        } else if (line.startsWith(QLatin1String("a=group:DUP ")) && section == 0) {
            parsed.duplicates = line.mid(12).split(QLatin1Char(' '), Qt::SkipEmptyParts).size();
        } else if (section == 0) {
            continue;
        } else if (line.startsWith(QLatin1String("b=AS:"))) {
            parsed.bandwidth = line.mid(5);
        } else if (line.startsWith(QLatin1String("a=ptime:"))) {
            parsed.ptime = line.mid(8);
        } else if (line.startsWith(QLatin1String("a=maxptime:"))) {
            parsed.maxptime = line.mid(11);
        } else if (line.startsWith(QLatin1String("a=rtpmap:") + payloadType + QLatin1Char(' '))) {
            const QStringList parts = line.section(QLatin1Char(' '), 1).split(QLatin1Char('/'));
            parsed.encoding = parts.value(0);
            parsed.clockRate = parts.value(1);
            parsed.channels = parts.value(2);
        } else if (line.startsWith(QLatin1String("a=fmtp:") + payloadType + QLatin1Char(' '))) {
            for (const QString &parameter : line.section(QLatin1Char(' '), 1).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
                const QString name = parameter.section(QLatin1Char('='), 0, 0).trimmed().toLower();
                if (!name.isEmpty())
                    parsed.fmtp.insert(name, parameter.section(QLatin1Char('='), 1).trimmed());
            }
        }
    }
    return parsed;
}

// The JPEG XS packetization (K bit) and transmission (T bit, sequential when omitted) modes,
// as the Sender Attributes register names their combinations.
QString packetTransmissionMode(const QHash<QString, QString> &fmtp)
{
    if (!fmtp.contains(QStringLiteral("packetmode")))
        return QString();
    const bool slices = fmtp.value(QStringLiteral("packetmode")) == QLatin1String("1");
    const bool sequential = fmtp.value(QStringLiteral("transmode"), QStringLiteral("1")) != QLatin1String("0");
    if (!slices)
        return QStringLiteral("codestream");
    return sequential ? QStringLiteral("slice_sequential") : QStringLiteral("slice_out_of_order");
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
    stream.m_legs = sender.value(QLatin1String("interface_bindings")).toArray().size();
    stream.giveDefaults();
    stream.m_parameters = JsonPool::shared(stream.m_parameters);
    return stream;
}

void StreamFormat::completeFromSdp(const QByteArray &sdp)
{
    const SdpMedia media = parseSdp(sdp);
    if (media.media.isEmpty() || media.encoding.isEmpty())
        return;
    const auto fill = [this](const QString &capability, const QJsonValue &value) {
        if (value.isUndefined() || (value.isString() && value.toString().isEmpty()))
            return;
        if (!m_parameters.contains(Cap + capability) || m_defaulted.remove(Cap + capability))
            m_parameters.insert(Cap + capability, value);
    };
    const QString mediaType = media.media + QLatin1Char('/') + media.encoding;
    fill(QStringLiteral("format:media_type"), mediaType);
    if (m_transport.isEmpty())
        m_transport = QStringLiteral("urn:x-nmos:transport:rtp");
    if (m_format.isEmpty()) {
        if (mediaType.compare(QLatin1String("video/smpte291"), Qt::CaseInsensitive) == 0)
            m_format = QStringLiteral("urn:x-nmos:format:data");
        else if (mediaType.compare(QLatin1String("video/SMPTE2022-6"), Qt::CaseInsensitive) == 0)
            m_format = QStringLiteral("urn:x-nmos:format:mux");
        else
            m_format = QStringLiteral("urn:x-nmos:format:") + media.media;
    }
    if (m_legs == 0)
        m_legs = media.duplicates;

    const QHash<QString, QString> &fmtp = media.fmtp;
    fill(QStringLiteral("format:frame_width"), integer(fmtp.value(QStringLiteral("width"))));
    fill(QStringLiteral("format:frame_height"), integer(fmtp.value(QStringLiteral("height"))));
    fill(QStringLiteral("format:grain_rate"), rational(fmtp.value(QStringLiteral("exactframerate"))));
    fill(QStringLiteral("format:color_sampling"), fmtp.value(QStringLiteral("sampling")));
    fill(QStringLiteral("format:component_depth"), integer(fmtp.value(QStringLiteral("depth"))));
    fill(QStringLiteral("format:colorspace"), fmtp.value(QStringLiteral("colorimetry")));
    fill(QStringLiteral("format:transfer_characteristic"), fmtp.value(QStringLiteral("tcs")));
    // The SDP cannot tell which field comes first; top field first is the one in use.
    if (media.media == QLatin1String("video") && fmtp.contains(QStringLiteral("width"))) {
        const bool interlaced = fmtp.contains(QStringLiteral("interlace"));
        const bool segmented = fmtp.contains(QStringLiteral("segmented"));
        fill(QStringLiteral("format:interlace_mode"), !interlaced ? QStringLiteral("progressive")
                                                      : segmented ? QStringLiteral("interlaced_psf")
                                                                  : QStringLiteral("interlaced_tff"));
    }
    for (const char *name : {"profile", "level", "sublevel"})
        fill(QStringLiteral("format:") + QLatin1String(name), fmtp.value(QLatin1String(name)));
    fill(QStringLiteral("transport:packet_transmission_mode"), packetTransmissionMode(fmtp));
    fill(QStringLiteral("transport:st2110_21_sender_type"), fmtp.value(QStringLiteral("tp")));
    fill(QStringLiteral("transport:bit_rate"), integer(media.bandwidth));
    bool ok = false;
    if (media.ptime.toDouble(&ok) > 0 && ok)
        fill(QStringLiteral("transport:packet_time"), media.ptime.toDouble());
    if (media.maxptime.toDouble(&ok) > 0 && ok)
        fill(QStringLiteral("transport:max_packet_time"), media.maxptime.toDouble());
    if (media.media == QLatin1String("audio")) {
        fill(QStringLiteral("format:sample_rate"), rational(media.clockRate));
        // RFC 4566: an audio rtpmap without encoding parameters is one channel.
        fill(QStringLiteral("format:channel_count"), media.channels.isEmpty() ? QJsonValue(1) : integer(media.channels));
    }
    giveDefaults();
}

void StreamFormat::giveDefaults()
{
    // An attribute left out has the value IS-04 and the Sender Attributes register give it;
    // an SDP that says otherwise is taken over it.
    const auto byDefault = [this](const QString &capability, const QString &value) {
        if (m_parameters.contains(Cap + capability))
            return;
        m_parameters.insert(Cap + capability, value);
        m_defaulted.insert(Cap + capability);
    };
    if (m_format == QLatin1String("urn:x-nmos:format:video")) {
        byDefault(QStringLiteral("format:interlace_mode"), QStringLiteral("progressive"));
        byDefault(QStringLiteral("format:transfer_characteristic"), QStringLiteral("SDR"));
    }
    if (mediaType() == QLatin1String("video/jxsv"))
        byDefault(QStringLiteral("transport:packet_transmission_mode"), QStringLiteral("codestream"));
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
