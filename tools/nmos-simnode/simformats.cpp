#include "simformats.h"

#include <QHash>
#include <QJsonArray>
#include <QRegularExpression>

namespace {

const QString Cap = QStringLiteral("urn:x-nmos:cap:");

bool fail(QString *errorString, const QString &text)
{
    if (errorString)
        *errorString = text;
    return false;
}

QJsonObject rational(qint64 numerator, qint64 denominator)
{
    return QJsonObject{{QStringLiteral("numerator"), numerator}, {QStringLiteral("denominator"), denominator}};
}

QString rateText(const SimVideoFormat &format)
{
    return format.rateDenominator == 1 ? QString::number(format.rateNumerator)
                                       : QStringLiteral("%1/%2").arg(format.rateNumerator).arg(format.rateDenominator);
}

bool isJpegXs(const SimVideoFormat &format)
{
    return format.mediaType == QLatin1String("video/jxsv");
}

// The profile, level and sublevel that are stated, under the names the flow and SDP share.
QList<QPair<QString, QString>> codingLimits(const SimVideoFormat &format)
{
    QList<QPair<QString, QString>> limits;
    for (const auto &item : {qMakePair(QStringLiteral("profile"), format.profile), qMakePair(QStringLiteral("level"), format.level),
                             qMakePair(QStringLiteral("sublevel"), format.sublevel)}) {
        if (!item.second.isEmpty())
            limits << item;
    }
    return limits;
}

// The RFC 9134 packetization (K) and transmission (T) bits of each mode, T being 1 unless said.
const QHash<QString, QPair<int, int>> &packetModes()
{
    static const QHash<QString, QPair<int, int>> modes{{QStringLiteral("codestream"), {0, 1}},
                                                       {QStringLiteral("slice_sequential"), {1, 1}},
                                                       {QStringLiteral("slice_out_of_order"), {1, 0}}};
    return modes;
}

// The values an SDP file states, under the capability URNs that target them.
QJsonObject sdpParameters(const QString &sdp)
{
    QJsonObject values;
    QHash<QString, QString> fmtp;
    QString media;
    const QStringList lines = sdp.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("m=")) && media.isEmpty()) {
            media = line.mid(2).section(QLatin1Char(' '), 0, 0);
        } else if (line.startsWith(QLatin1String("b=AS:"))) {
            values.insert(Cap + QStringLiteral("transport:bit_rate"), line.mid(5).toInt());
        } else if (line.startsWith(QLatin1String("a=rtpmap:")) && !values.contains(Cap + QStringLiteral("format:media_type"))) {
            const QString encoding = line.section(QLatin1Char(' '), 1, 1).section(QLatin1Char('/'), 0, 0);
            values.insert(Cap + QStringLiteral("format:media_type"), media + QLatin1Char('/') + encoding);
        } else if (line.startsWith(QLatin1String("a=fmtp:")) && fmtp.isEmpty()) {
            for (const QString &item : line.section(QLatin1Char(' '), 1).split(QLatin1Char(';'), Qt::SkipEmptyParts))
                fmtp.insert(item.section(QLatin1Char('='), 0, 0).trimmed(), item.section(QLatin1Char('='), 1).trimmed());
        }
    }
    const QHash<QString, QString> numbers{{QStringLiteral("width"), QStringLiteral("format:frame_width")},
                                          {QStringLiteral("height"), QStringLiteral("format:frame_height")},
                                          {QStringLiteral("depth"), QStringLiteral("format:component_depth")}};
    for (auto it = numbers.begin(); it != numbers.end(); ++it) {
        if (fmtp.contains(it.key()))
            values.insert(Cap + it.value(), fmtp.value(it.key()).toInt());
    }
    const QHash<QString, QString> texts{{QStringLiteral("sampling"), QStringLiteral("format:color_sampling")},
                                        {QStringLiteral("colorimetry"), QStringLiteral("format:colorspace")},
                                        {QStringLiteral("TCS"), QStringLiteral("format:transfer_characteristic")},
                                        {QStringLiteral("profile"), QStringLiteral("format:profile")},
                                        {QStringLiteral("level"), QStringLiteral("format:level")},
                                        {QStringLiteral("sublevel"), QStringLiteral("format:sublevel")},
                                        {QStringLiteral("TP"), QStringLiteral("transport:st2110_21_sender_type")}};
    for (auto it = texts.begin(); it != texts.end(); ++it) {
        if (fmtp.contains(it.key()))
            values.insert(Cap + it.value(), fmtp.value(it.key()));
    }
    if (fmtp.contains(QStringLiteral("exactframerate"))) {
        const QString rate = fmtp.value(QStringLiteral("exactframerate"));
        values.insert(Cap + QStringLiteral("format:grain_rate"),
                      rational(rate.section(QLatin1Char('/'), 0, 0).toLongLong(),
                               rate.contains(QLatin1Char('/')) ? rate.section(QLatin1Char('/'), 1).toLongLong() : 1));
    }
    // Which field comes first is not in the file; ST 2110-20 sends the top one first.
    const QString scan = fmtp.contains(QStringLiteral("segmented")) ? QStringLiteral("interlaced_psf")
                         : fmtp.contains(QStringLiteral("interlace")) ? QStringLiteral("interlaced_tff")
                                                                      : QStringLiteral("progressive");
    if (!fmtp.isEmpty() && values.value(Cap + QStringLiteral("format:media_type")).toString().startsWith(QLatin1String("video/")))
        values.insert(Cap + QStringLiteral("format:interlace_mode"), scan);
    if (fmtp.contains(QStringLiteral("packetmode"))) {
        const QPair<int, int> bits{fmtp.value(QStringLiteral("packetmode")).toInt(),
                                   fmtp.value(QStringLiteral("transmode"), QStringLiteral("1")).toInt()};
        values.insert(Cap + QStringLiteral("transport:packet_transmission_mode"), packetModes().key(bits));
    }
    return values;
}

bool isRational(const QJsonValue &value)
{
    return value.isObject() && value[QLatin1String("numerator")].isDouble();
}

// Negative, zero or positive as a is below, equal to or above b; rationals by cross-multiplication.
int compare(const QJsonValue &a, const QJsonValue &b)
{
    if (isRational(a) && isRational(b)) {
        const auto terms = [](const QJsonValue &r, qint64 *n, qint64 *d) {
            *n = qint64(r[QLatin1String("numerator")].toDouble());
            *d = r[QLatin1String("denominator")].isDouble() ? qint64(r[QLatin1String("denominator")].toDouble()) : 1;
            if (*d < 0) {
                *n = -*n;
                *d = -*d;
            }
        };
        qint64 n1, d1, n2, d2;
        terms(a, &n1, &d1);
        terms(b, &n2, &d2);
        return n1 * d2 < n2 * d1 ? -1 : n1 * d2 > n2 * d1 ? 1 : 0;
    }
    if (a.isDouble() && b.isDouble())
        return a.toDouble() < b.toDouble() ? -1 : a.toDouble() > b.toDouble() ? 1 : 0;
    return a == b ? 0 : 2; // 2: not equal and not ordered
}

QString valueText(const QJsonValue &value)
{
    if (isRational(value))
        return QStringLiteral("%1/%2").arg(value[QLatin1String("numerator")].toInt()).arg(value[QLatin1String("denominator")].toInt(1));
    return value.isDouble() ? QString::number(value.toDouble()) : value.toString();
}

// The first constraint of the set the values do not meet, in words; empty when all are met.
QString unmet(const QJsonObject &set, const QJsonObject &values)
{
    for (auto it = set.begin(); it != set.end(); ++it) {
        const QJsonValue value = values.value(it.key());
        if (value.isUndefined())
            continue;
        const QJsonObject constraint = it.value().toObject();
        const QString name = QStringLiteral("%1 %2").arg(it.key().mid(Cap.size()), valueText(value));
        if (constraint.contains(QLatin1String("enum"))) {
            const QJsonArray allowed = constraint.value(QLatin1String("enum")).toArray();
            if (std::none_of(allowed.begin(), allowed.end(), [&value](const QJsonValue &v) { return compare(value, v) == 0; }))
                return name + QStringLiteral(" is not allowed");
        }
        const int low = constraint.contains(QLatin1String("minimum")) ? compare(value, constraint.value(QLatin1String("minimum"))) : 0;
        const int high = constraint.contains(QLatin1String("maximum")) ? compare(value, constraint.value(QLatin1String("maximum"))) : 0;
        if (low == -1)
            return name + QStringLiteral(" is below the minimum");
        if (high == 1)
            return name + QStringLiteral(" is above the maximum");
    }
    return QString();
}

} // namespace

bool SimFormats::readVideoFormat(const QJsonObject &object, SimVideoFormat *format, QString *errorString)
{
    SimVideoFormat f = *format;
    struct Text
    {
        const char *key;
        QString *out;
        QStringList allowed; // empty: any text without spaces
    };
    const QList<Text> texts{
        {"media_type", &f.mediaType, {QStringLiteral("video/raw"), QStringLiteral("video/jxsv")}},
        {"transport", &f.transport, {QStringLiteral("urn:x-nmos:transport:rtp"), QStringLiteral("urn:x-nmos:transport:rtp.mcast"),
                                     QStringLiteral("urn:x-nmos:transport:rtp.ucast")}},
        {"interlace_mode", &f.interlaceMode, {QStringLiteral("progressive"), QStringLiteral("interlaced_tff"),
                                              QStringLiteral("interlaced_bff"), QStringLiteral("interlaced_psf")}},
        {"colorspace", &f.colorspace, {}},
        {"transfer_characteristic", &f.transferCharacteristic, {}},
        {"sampling", &f.sampling, {QStringLiteral("YCbCr-4:4:4"), QStringLiteral("YCbCr-4:2:2"), QStringLiteral("YCbCr-4:2:0"),
                                   QStringLiteral("RGB")}},
        {"profile", &f.profile, {}},
        {"level", &f.level, {}},
        {"sublevel", &f.sublevel, {}},
        {"packet_transmission_mode", &f.packetTransmissionMode, packetModes().keys()},
        {"st2110_21_sender_type", &f.senderType, {QStringLiteral("2110TPN"), QStringLiteral("2110TPNL"), QStringLiteral("2110TPW")}}};
    const QList<QPair<const char *, int *>> numbers{{"frame_width", &f.width}, {"frame_height", &f.height}, {"depth", &f.depth},
                                                    {"bit_rate", &f.bitRate}, {"transport_bit_rate", &f.transportBitRate}};
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString key = it.key();
        const QJsonValue value = it.value();
        const auto text = std::find_if(texts.begin(), texts.end(), [&key](const Text &t) { return key == QLatin1String(t.key); });
        const auto number = std::find_if(numbers.begin(), numbers.end(), [&key](const auto &n) { return key == QLatin1String(n.first); });
        if (text != texts.end()) {
            if (!value.isString() || value.toString().contains(QLatin1Char(' ')) || value.toString().isEmpty()
                || (!text->allowed.isEmpty() && !text->allowed.contains(value.toString())))
                return fail(errorString, QStringLiteral("\"%1\" in a video format must be %2").arg(key, text->allowed.isEmpty()
                                                                                                   ? QStringLiteral("a word")
                                                                                                   : text->allowed.join(QStringLiteral(", "))));
            *text->out = value.toString();
        } else if (number != numbers.end()) {
            if (!value.isDouble() || value.toDouble() != double(value.toInt()) || value.toInt() < 1)
                return fail(errorString, QStringLiteral("\"%1\" in a video format must be a whole number above 0").arg(key));
            *number->second = value.toInt();
        } else if (key == QLatin1String("grain_rate")) {
            const QJsonObject rate = value.toObject();
            f.rateNumerator = rate.value(QLatin1String("numerator")).toInt();
            f.rateDenominator = rate.value(QLatin1String("denominator")).toInt(1);
            if (f.rateNumerator < 1 || f.rateDenominator < 1)
                return fail(errorString, QStringLiteral("\"grain_rate\" must be {\"numerator\": N, \"denominator\": D} above 0"));
        } else if (key == QLatin1String("grain_rate_on_source_only")) {
            if (!value.isBool())
                return fail(errorString, QStringLiteral("\"%1\" must be true or false").arg(key));
            f.rateOnSourceOnly = value.toBool();
        } else {
            return fail(errorString, QStringLiteral("unknown key \"%1\" in a video format").arg(key));
        }
    }
    *format = f;
    return true;
}

bool SimFormats::readCaps(const QJsonObject &object, QJsonObject *caps, QString *errorString)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != QLatin1String("media_types") && it.key() != QLatin1String("constraint_sets"))
            return fail(errorString, QStringLiteral("unknown key \"%1\" in receiver caps").arg(it.key()));
    }
    const QJsonArray types = object.value(QLatin1String("media_types")).toArray();
    if (types.isEmpty() || std::any_of(types.begin(), types.end(), [](const QJsonValue &t) { return !t.toString().contains(QLatin1Char('/')); }))
        return fail(errorString, QStringLiteral("receiver caps need \"media_types\", such as [\"video/raw\"]"));
    const QJsonValue sets = object.value(QLatin1String("constraint_sets"));
    if (!sets.isUndefined()) {
        const QJsonArray array = sets.toArray();
        if (!sets.isArray() || std::any_of(array.begin(), array.end(), [](const QJsonValue &s) { return !s.isObject(); }))
            return fail(errorString, QStringLiteral("\"constraint_sets\" must be an array of objects"));
    }
    *caps = object;
    return true;
}

QJsonObject SimFormats::grainRate(const SimVideoFormat &format)
{
    return rational(format.rateNumerator, format.rateDenominator);
}

void SimFormats::addFlowAttributes(QJsonObject *flow, const SimVideoFormat &format)
{
    if (!format.rateOnSourceOnly)
        flow->insert(QStringLiteral("grain_rate"), grainRate(format));
    flow->insert(QStringLiteral("media_type"), format.mediaType);
    flow->insert(QStringLiteral("frame_width"), format.width);
    flow->insert(QStringLiteral("frame_height"), format.height);
    flow->insert(QStringLiteral("interlace_mode"), format.interlaceMode);
    flow->insert(QStringLiteral("colorspace"), format.colorspace);
    flow->insert(QStringLiteral("transfer_characteristic"), format.transferCharacteristic);
    const bool rgb = format.sampling == QLatin1String("RGB");
    const bool halfWidth = format.sampling.endsWith(QLatin1String("4:2:2")) || format.sampling.endsWith(QLatin1String("4:2:0"));
    const bool halfHeight = format.sampling.endsWith(QLatin1String("4:2:0"));
    QJsonArray components;
    const QStringList names = rgb ? QStringList{QStringLiteral("R"), QStringLiteral("G"), QStringLiteral("B")}
                                  : QStringList{QStringLiteral("Y"), QStringLiteral("Cb"), QStringLiteral("Cr")};
    for (const QString &name : names) {
        const bool chroma = name.startsWith(QLatin1Char('C'));
        components << QJsonObject{{QStringLiteral("name"), name},
                                  {QStringLiteral("width"), chroma && halfWidth ? format.width / 2 : format.width},
                                  {QStringLiteral("height"), chroma && halfHeight ? format.height / 2 : format.height},
                                  {QStringLiteral("bit_depth"), format.depth}};
    }
    flow->insert(QStringLiteral("components"), components);
    if (!isJpegXs(format))
        return;
    for (const auto &item : codingLimits(format))
        flow->insert(item.first, item.second);
    if (format.bitRate > 0)
        flow->insert(QStringLiteral("bit_rate"), format.bitRate);
}

void SimFormats::addSenderAttributes(QJsonObject *sender, const SimVideoFormat &format)
{
    sender->insert(QStringLiteral("transport"), format.transport);
    if (format.transportBitRate > 0)
        sender->insert(QStringLiteral("bit_rate"), format.transportBitRate);
    if (!format.packetTransmissionMode.isEmpty())
        sender->insert(QStringLiteral("packet_transmission_mode"), format.packetTransmissionMode);
    if (!format.senderType.isEmpty())
        sender->insert(QStringLiteral("st2110_21_sender_type"), format.senderType);
}

QStringList SimFormats::sdpBandwidthLines(const SimVideoFormat &format)
{
    if (format.transportBitRate <= 0)
        return QStringList();
    return QStringList{QStringLiteral("b=AS:%1").arg(format.transportBitRate)};
}

QStringList SimFormats::sdpFormatLines(const SimVideoFormat &format, int payloadType)
{
    QStringList fmtp;
    if (isJpegXs(format)) {
        const QPair<int, int> bits = packetModes().value(format.packetTransmissionMode, {0, 1});
        fmtp << QStringLiteral("packetmode=%1").arg(bits.first);
        if (bits.second == 0)
            fmtp << QStringLiteral("transmode=0");
        for (const auto &item : codingLimits(format))
            fmtp << item.first + QLatin1Char('=') + item.second;
    }
    fmtp << QStringLiteral("sampling=%1").arg(format.sampling) << QStringLiteral("width=%1").arg(format.width)
         << QStringLiteral("height=%1").arg(format.height) << QStringLiteral("exactframerate=%1").arg(rateText(format))
         << QStringLiteral("depth=%1").arg(format.depth) << QStringLiteral("TCS=%1").arg(format.transferCharacteristic)
         << QStringLiteral("colorimetry=%1").arg(format.colorspace);
    if (!isJpegXs(format))
        fmtp << QStringLiteral("PM=2110GPM") << QStringLiteral("SSN=ST2110-20:2017");
    else if (!format.senderType.isEmpty())
        fmtp << QStringLiteral("SSN=ST2110-22:2019");
    if (!isJpegXs(format) || !format.senderType.isEmpty())
        fmtp << QStringLiteral("TP=%1").arg(format.senderType.isEmpty() ? QStringLiteral("2110TPN") : format.senderType);
    if (format.interlaceMode != QLatin1String("progressive"))
        fmtp << QStringLiteral("interlace");
    if (format.interlaceMode == QLatin1String("interlaced_psf"))
        fmtp << QStringLiteral("segmented");
    return QStringList{QStringLiteral("a=rtpmap:%1 %2/90000").arg(payloadType).arg(format.mediaType.section(QLatin1Char('/'), 1)),
                       QStringLiteral("a=fmtp:%1 %2").arg(payloadType).arg(fmtp.join(QStringLiteral("; ")))};
}

bool SimFormats::sdpFitsCaps(const QString &sdp, const QJsonObject &caps, QString *errorString)
{
    if (!caps.value(QLatin1String("constraint_sets")).isArray())
        return true;
    const QJsonObject values = sdpParameters(sdp);
    QString first;
    for (const QJsonValue &value : caps.value(QLatin1String("constraint_sets")).toArray()) {
        const QJsonObject set = value.toObject();
        if (set.value(Cap + QStringLiteral("meta:enabled")) == QJsonValue(false))
            continue;
        const QString reason = unmet(set, values);
        if (reason.isEmpty())
            return true;
        if (first.isEmpty())
            first = reason;
    }
    return fail(errorString, first.isEmpty() ? QStringLiteral("no constraint set of the receiver is enabled") : first);
}
