#include "patchvalidator.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace {

enum ParamType {
    IpOrAuto,
    IpOrNull,
    PortOrAuto,       // 1..65535 or "auto"
    SourcePortOrAuto, // 0..65535 or "auto"
    Boolean,
    FecBlockSize,     // 4..200
    SenderFecMode,
    ReceiverFecMode,
    FecType
};

bool fail(QString *errorString, const QString &text)
{
    if (errorString)
        *errorString = text;
    return false;
}

const QHash<QString, ParamType> &senderParams()
{
    static const QHash<QString, ParamType> params = {
        {QStringLiteral("source_ip"), IpOrAuto},
        {QStringLiteral("destination_ip"), IpOrAuto},
        {QStringLiteral("source_port"), SourcePortOrAuto},
        {QStringLiteral("destination_port"), PortOrAuto},
        {QStringLiteral("fec_enabled"), Boolean},
        {QStringLiteral("fec_destination_ip"), IpOrAuto},
        {QStringLiteral("fec_type"), FecType},
        {QStringLiteral("fec_mode"), SenderFecMode},
        {QStringLiteral("fec_block_width"), FecBlockSize},
        {QStringLiteral("fec_block_height"), FecBlockSize},
        {QStringLiteral("fec1D_destination_port"), PortOrAuto},
        {QStringLiteral("fec2D_destination_port"), PortOrAuto},
        {QStringLiteral("fec1D_source_port"), SourcePortOrAuto},
        {QStringLiteral("fec2D_source_port"), SourcePortOrAuto},
        {QStringLiteral("rtcp_enabled"), Boolean},
        {QStringLiteral("rtcp_destination_ip"), IpOrAuto},
        {QStringLiteral("rtcp_destination_port"), PortOrAuto},
        {QStringLiteral("rtcp_source_port"), SourcePortOrAuto},
        {QStringLiteral("rtp_enabled"), Boolean},
    };
    return params;
}

const QHash<QString, ParamType> &receiverParams()
{
    static const QHash<QString, ParamType> params = {
        {QStringLiteral("source_ip"), IpOrNull},
        {QStringLiteral("multicast_ip"), IpOrNull},
        {QStringLiteral("interface_ip"), IpOrAuto},
        {QStringLiteral("destination_port"), PortOrAuto},
        {QStringLiteral("fec_enabled"), Boolean},
        {QStringLiteral("fec_destination_ip"), IpOrAuto},
        {QStringLiteral("fec_mode"), ReceiverFecMode},
        {QStringLiteral("fec1D_destination_port"), PortOrAuto},
        {QStringLiteral("fec2D_destination_port"), PortOrAuto},
        {QStringLiteral("rtcp_destination_ip"), IpOrAuto},
        {QStringLiteral("rtcp_enabled"), Boolean},
        {QStringLiteral("rtcp_destination_port"), PortOrAuto},
        {QStringLiteral("rtp_enabled"), Boolean},
    };
    return params;
}

bool isIp(const QString &text)
{
    QHostAddress address;
    return !text.contains(QLatin1Char('%')) && address.setAddress(text);
}

bool isWholeNumberIn(const QJsonValue &value, int minimum, int maximum)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::floor(number) == number && number >= minimum && number <= maximum;
}

const QRegularExpression &uuidPattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        "^[0-9a-f]{8}-[0-9a-f]{4}-[1-5][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    return pattern;
}

const QRegularExpression &timestampPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]+:[0-9]+$"));
    return pattern;
}

} // namespace

bool PatchValidator::validate(const QJsonObject &body, Kind kind, int legs, QString *errorString)
{
    const QString idKey = kind == Sender ? QStringLiteral("receiver_id") : QStringLiteral("sender_id");
    for (auto it = body.begin(); it != body.end(); ++it) {
        const QString &key = it.key();
        const QJsonValue value = it.value();
        if (key == idKey) {
            if (!value.isNull() && !(value.isString() && uuidPattern().match(value.toString()).hasMatch()))
                return fail(errorString, QStringLiteral("\"%1\" must be a UUID or null").arg(key));
        } else if (key == QLatin1String("master_enable")) {
            if (!value.isBool())
                return fail(errorString, QStringLiteral("\"master_enable\" must be a boolean"));
        } else if (key == QLatin1String("activation")) {
            if (!validateActivation(value, errorString))
                return false;
        } else if (key == QLatin1String("transport_file") && kind == Receiver) {
            if (!validateTransportFile(value, errorString))
                return false;
        } else if (key == QLatin1String("transport_params")) {
            if (!validateTransportParams(value, kind, legs, errorString))
                return false;
        } else {
            return fail(errorString, QStringLiteral("unknown member \"%1\"").arg(key));
        }
    }
    return true;
}

bool PatchValidator::validateActivation(const QJsonValue &value, QString *errorString)
{
    if (!value.isObject())
        return fail(errorString, QStringLiteral("\"activation\" must be an object"));
    const QJsonObject activation = value.toObject();
    if (!activation.contains(QStringLiteral("mode")))
        return fail(errorString, QStringLiteral("\"activation\" needs a \"mode\""));
    for (auto it = activation.begin(); it != activation.end(); ++it) {
        if (it.key() == QLatin1String("mode")) {
            static const QStringList modes = {QStringLiteral("activate_immediate"),
                                              QStringLiteral("activate_scheduled_absolute"),
                                              QStringLiteral("activate_scheduled_relative")};
            if (!it.value().isNull() && !(it.value().isString() && modes.contains(it.value().toString())))
                return fail(errorString, QStringLiteral("\"activation\".\"mode\" must be one of %1 or null")
                                             .arg(modes.join(QStringLiteral(", "))));
        } else if (it.key() == QLatin1String("requested_time")) {
            if (!it.value().isNull()
                && !(it.value().isString() && timestampPattern().match(it.value().toString()).hasMatch()))
                return fail(errorString, QStringLiteral("\"activation\".\"requested_time\" must be <seconds>:<nanoseconds> or null"));
        } else {
            return fail(errorString, QStringLiteral("unknown member \"activation\".\"%1\"").arg(it.key()));
        }
    }
    return true;
}

bool PatchValidator::validateTransportFile(const QJsonValue &value, QString *errorString)
{
    if (!value.isObject())
        return fail(errorString, QStringLiteral("\"transport_file\" must be an object"));
    const QJsonObject file = value.toObject();
    for (auto it = file.begin(); it != file.end(); ++it) {
        if (it.key() != QLatin1String("data") && it.key() != QLatin1String("type"))
            return fail(errorString, QStringLiteral("unknown member \"transport_file\".\"%1\"").arg(it.key()));
    }
    if (!file.contains(QStringLiteral("data")) || !file.contains(QStringLiteral("type")))
        return fail(errorString, QStringLiteral("\"transport_file\" needs both \"data\" and \"type\""));
    const QJsonValue data = file.value(QStringLiteral("data"));
    const QJsonValue type = file.value(QStringLiteral("type"));
    if (!(data.isString() || data.isNull()) || !(type.isString() || type.isNull()))
        return fail(errorString, QStringLiteral("\"transport_file\" members must be strings or null"));
    // A file without a type (or a type without a file) cannot be interpreted.
    if (data.isNull() != type.isNull())
        return fail(errorString, QStringLiteral("\"transport_file\".\"data\" and \"type\" must both be strings or both be null"));
    return true;
}

bool PatchValidator::validateTransportParams(const QJsonValue &value, Kind kind, int legs, QString *errorString)
{
    if (!value.isArray())
        return fail(errorString, QStringLiteral("\"transport_params\" must be an array"));
    const QJsonArray array = value.toArray();
    if (array.size() != legs)
        return fail(errorString, QStringLiteral("\"transport_params\" must have %1 element(s), one per leg").arg(legs));
    for (const QJsonValue &leg : array) {
        if (!leg.isObject())
            return fail(errorString, QStringLiteral("each leg of \"transport_params\" must be an object"));
        const QJsonObject params = leg.toObject();
        for (auto it = params.begin(); it != params.end(); ++it) {
            if (!validateParam(it.key(), it.value(), kind, errorString))
                return false;
        }
    }
    return true;
}

bool PatchValidator::validateParam(const QString &key, const QJsonValue &value, Kind kind, QString *errorString)
{
    static const QRegularExpression extension(QStringLiteral("^ext_[a-zA-Z0-9_]+$"));
    if (extension.match(key).hasMatch()) {
        if (value.isArray() || value.isObject())
            return fail(errorString, QStringLiteral("\"%1\" must be a string, number, boolean or null").arg(key));
        return true;
    }
    const QHash<QString, ParamType> &known = kind == Sender ? senderParams() : receiverParams();
    const auto it = known.constFind(key);
    if (it == known.constEnd())
        return fail(errorString, QStringLiteral("unknown transport parameter \"%1\"").arg(key));

    const bool isAuto = value.isString() && value.toString() == QLatin1String("auto");
    bool ok = false;
    switch (it.value()) {
    case IpOrAuto:
        ok = isAuto || (value.isString() && isIp(value.toString()));
        break;
    case IpOrNull:
        ok = value.isNull() || (value.isString() && isIp(value.toString()));
        break;
    case PortOrAuto:
        ok = isAuto || isWholeNumberIn(value, 1, 65535);
        break;
    case SourcePortOrAuto:
        ok = isAuto || isWholeNumberIn(value, 0, 65535);
        break;
    case Boolean:
        ok = value.isBool();
        break;
    case FecBlockSize:
        ok = isWholeNumberIn(value, 4, 200);
        break;
    case SenderFecMode:
        ok = value.isString() && (value.toString() == QLatin1String("1D") || value.toString() == QLatin1String("2D"));
        break;
    case ReceiverFecMode:
        ok = isAuto || (value.isString() && (value.toString() == QLatin1String("1D") || value.toString() == QLatin1String("2D")));
        break;
    case FecType:
        ok = value.isString() && (value.toString() == QLatin1String("XOR") || value.toString() == QLatin1String("Reed-Solomon"));
        break;
    }
    if (!ok)
        return fail(errorString, QStringLiteral("transport parameter \"%1\" has a value of the wrong type or form").arg(key));
    return true;
}
