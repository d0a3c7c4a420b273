#include "rtplegs.h"

#include <QHostAddress>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStringList>

namespace {

struct MediaSection
{
    QString mid;
    QJsonObject params;
    QString secondSource;          // of a source filter naming two
    bool duplicateSources = false; // "a=ssrc-group:DUP": the two sources send one leg each
};

// The address of a "c=" or "a=source-filter:" field, without the TTL or count a multicast
// address may carry ("239.1.1.1/64/2"). Empty when it is no address, such as a host name.
QString addressOf(const QString &field)
{
    const QHostAddress address(field.section(QLatin1Char('/'), 0, 0));
    return address.isNull() ? QString() : address.toString();
}

// A "c=" line's address goes where a receiver takes it: a multicast group into multicast_ip;
// a unicast one is the receiver's own, which it knows better than a sender's file.
void readConnection(const QString &value, QJsonObject *params)
{
    const QString address = addressOf(value.section(QLatin1Char(' '), 2, 2));
    if (!address.isEmpty() && QHostAddress(address).isMulticast())
        params->insert(QStringLiteral("multicast_ip"), address);
}

// "a=source-filter: incl IN IP4 <destination> <source>...": the first source is the one a
// leg is joined from; an exclusion names no source to join.
void readSourceFilter(const QString &value, MediaSection *section)
{
    const QStringList fields = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() < 5 || fields.at(0) != QLatin1String("incl"))
        return;
    const QString source = addressOf(fields.at(4));
    if (!source.isEmpty())
        section->params.insert(QStringLiteral("source_ip"), source);
    section->secondSource = addressOf(fields.value(5));
}

QString valueText(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble())
        return QString::number(value.toDouble());
    if (value.isString())
        return value.toString();
    return value.isUndefined() ? QStringLiteral("none") : QStringLiteral("null");
}

// Addresses are compared as addresses: a node may write an IPv6 one otherwise than asked.
bool sameValue(const QString &key, const QJsonValue &active, const QJsonValue &asked)
{
    if (key.endsWith(QLatin1String("_ip")) && active.isString() && asked.isString())
        return QHostAddress(active.toString()) == QHostAddress(asked.toString());
    return active == asked;
}

} // namespace

QList<QJsonObject> RtpLegs::ofSdp(const QString &sdp)
{
    // Session-level connection data and source filters hold for every section without its own.
    MediaSection session;
    QStringList duplicates;
    QList<MediaSection> sections;
    const QStringList lines = sdp.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        MediaSection &current = sections.isEmpty() ? session : sections.last();
        if (line.startsWith(QLatin1String("m="))) {
            sections << session;
            bool ok = false;
            const int port = line.section(QLatin1Char(' '), 1, 1).section(QLatin1Char('/'), 0, 0).toInt(&ok);
            if (ok && port > 0 && port < 65536)
                sections.last().params.insert(QStringLiteral("destination_port"), port);
        } else if (line.startsWith(QLatin1String("c="))) {
            readConnection(line.mid(2), &current.params);
        } else if (line.startsWith(QLatin1String("a=source-filter:"))) {
            readSourceFilter(line.mid(16), &current);
        } else if (line.startsWith(QLatin1String("a=mid:")) && !sections.isEmpty()) {
            current.mid = line.mid(6).trimmed();
        } else if (line.startsWith(QLatin1String("a=ssrc-group:DUP ")) && !sections.isEmpty()) {
            current.duplicateSources = true;
        } else if (line.startsWith(QLatin1String("a=group:DUP ")) && sections.isEmpty()) {
            duplicates = line.mid(12).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        }
    }

    QList<QJsonObject> legs;
    for (const MediaSection &section : qAsConst(sections)) {
        if (!section.mid.isEmpty() && duplicates.contains(section.mid))
            legs << section.params;
    }
    // A file that names fewer than two of its sections as duplicates sends one stream, the
    // first, on one leg, or on two from two sources to one group.
    if (legs.size() < 2 && !sections.isEmpty()) {
        const MediaSection &first = sections.first();
        legs = {first.params};
        if (first.duplicateSources && !first.secondSource.isEmpty()) {
            legs << first.params;
            legs.last().insert(QStringLiteral("source_ip"), first.secondSource);
        }
    }
    return legs;
}

QJsonArray RtpLegs::receiverParams(const QList<QJsonObject> &senderLegs, int receiverLegs, const QJsonArray &constraints)
{
    QJsonArray params;
    for (int i = 0; i < receiverLegs; ++i) {
        QJsonObject leg = i < senderLegs.size() ? senderLegs.at(i) : QJsonObject();
        leg.insert(QStringLiteral("rtp_enabled"), i < senderLegs.size());
        const QJsonObject known = constraints.at(i).toObject();
        if (!known.isEmpty()) {
            for (const QString &key : leg.keys()) {
                if (!known.contains(key))
                    leg.remove(key);
            }
        }
        params << leg;
    }
    return params;
}

bool RtpLegs::holds(const QJsonArray &active, const QJsonArray &asked, QString *errorString)
{
    // Nothing asked of any leg: the transport file alone said how to run them.
    if (asked.isEmpty())
        return true;
    QString failure;
    if (active.size() != asked.size()) {
        failure = QStringLiteral("the receiver reports %1 legs, not %2").arg(active.size()).arg(asked.size());
    } else {
        for (int i = 0; i < asked.size() && failure.isEmpty(); ++i) {
            const QJsonObject wanted = asked.at(i).toObject();
            const QJsonObject leg = active.at(i).toObject();
            // Whether the leg runs at all tells the operator most, so it is told first.
            QStringList keys = wanted.keys();
            if (keys.removeOne(QStringLiteral("rtp_enabled")))
                keys.prepend(QStringLiteral("rtp_enabled"));
            for (const QString &key : qAsConst(keys)) {
                if (!sameValue(key, leg.value(key), wanted.value(key))) {
                    failure = QStringLiteral("leg %1 of the receiver has %2 %3, not %4")
                                  .arg(i + 1)
                                  .arg(key, valueText(leg.value(key)), valueText(wanted.value(key)));
                    break;
                }
            }
        }
    }
    if (failure.isEmpty())
        return true;
    if (errorString)
        *errorString = QStringLiteral("Not active as patched: %1").arg(failure);
    return false;
}
