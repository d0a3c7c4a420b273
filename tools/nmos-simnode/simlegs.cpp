#include "simlegs.h"

#include <QRegularExpression>

namespace {

const QString crlf = QStringLiteral("\r\n");

// The lines of a file before its first media section, then each media section's.
QList<QStringList> splitSections(const QString &sdp)
{
    QList<QStringList> parts{QStringList()};
    for (const QString &text : sdp.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts)) {
        const QString line = text.trimmed();
        if (line.startsWith(QLatin1String("m=")))
            parts << QStringList();
        parts.last() << line;
    }
    return parts;
}

} // namespace

QStringList SimLegs::interfaces(int legs)
{
    return legs > 1 ? QStringList{QStringLiteral("eth0"), QStringLiteral("eth1")} : QStringList{QStringLiteral("eth0")};
}

QString SimLegs::secondGroup(const QString &firstGroup)
{
    return QStringLiteral("238.") + firstGroup.section(QLatin1Char('.'), 1);
}

QJsonArray SimLegs::senderParams(const QJsonObject &first, int legs)
{
    QJsonArray params{first};
    if (legs > 1) {
        QJsonObject second = first;
        second.insert(QStringLiteral("destination_ip"), secondGroup(first.value(QStringLiteral("destination_ip")).toString()));
        params << second;
    }
    return params;
}

QJsonArray SimLegs::merged(const QJsonArray &staged, const QJsonArray &patch)
{
    QJsonArray legs;
    for (int i = 0; i < staged.size(); ++i) {
        QJsonObject leg = staged.at(i).toObject();
        const QJsonObject change = patch.at(i).toObject();
        for (auto it = change.begin(); it != change.end(); ++it)
            leg.insert(it.key(), it.value());
        legs << leg;
    }
    return legs;
}

QByteArray SimLegs::duplicated(const QByteArray &sdp, int legs)
{
    const QList<QStringList> parts = splitSections(QString::fromUtf8(sdp));
    if (legs < 2 || parts.size() != 2)
        return sdp;
    QStringList session = parts.at(0);
    const QStringList media = parts.at(1);
    const QString group = media.filter(QRegularExpression(QStringLiteral("^c="))).value(0).section(QLatin1Char(' '), 2, 2).section(QLatin1Char('/'), 0, 0);
    session << QStringLiteral("a=group:DUP primary secondary");
    const QStringList second = media.join(crlf).replace(group, secondGroup(group)).split(crlf);
    const QStringList lines = session + media + QStringList{QStringLiteral("a=mid:primary")} + second
                              + QStringList{QStringLiteral("a=mid:secondary")};
    return (lines.join(crlf) + crlf).toUtf8();
}

QStringList SimLegs::legFiles(const QString &sdp, int legs)
{
    QList<QStringList> parts = splitSections(sdp);
    const QStringList session = parts.takeFirst();
    const QStringList duplicates = session.filter(QRegularExpression(QStringLiteral("^a=group:DUP ")))
                                       .value(0)
                                       .mid(12)
                                       .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QStringList files;
    for (const QStringList &section : qAsConst(parts)) {
        const QString mid = section.filter(QRegularExpression(QStringLiteral("^a=mid:"))).value(0).mid(6);
        if (!mid.isEmpty() && duplicates.contains(mid))
            files << (session + section).join(crlf);
    }
    // Without media the session part alone stands for the one leg, for the receiver to refuse.
    if (files.size() < 2)
        files = QStringList{(session + parts.value(0)).join(crlf)};
    return files.mid(0, legs);
}
