#ifndef NMOSRESOURCES_H
#define NMOSRESOURCES_H

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Builders for the Node API resources that the NMOS client tests script on a TestHttpServer.
namespace NmosResources {

inline const QString VideoUrn = QStringLiteral("urn:x-nmos:format:video");
inline const QString AudioUrn = QStringLiteral("urn:x-nmos:format:audio");
inline const QString DataUrn = QStringLiteral("urn:x-nmos:format:data");
inline const QString GroupHintKey = QStringLiteral("urn:x-nmos:tag:grouphint/v1.0");

inline QByteArray nodePath(const QByteArray &path)
{
    return QByteArrayLiteral("/x-nmos/node/v1.3") + path;
}

inline QByteArray connectionPath(const QByteArray &path)
{
    return QByteArrayLiteral("/x-nmos/connection/v1.1") + path;
}

// Tags holding one grouphint value.
inline QJsonObject grouphint(const QString &value)
{
    return QJsonObject{{GroupHintKey, QJsonArray{value}}};
}

inline QJsonObject flowJson(const QString &id, const QString &format)
{
    return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("format"), format}};
}

inline QJsonObject senderJson(const QString &id, const QString &label, const QString &flowId,
                          const QString &manifestHref = QString(), const QJsonObject &tags = QJsonObject())
{
    QJsonObject object{{QStringLiteral("id"), id}, {QStringLiteral("label"), label},
                       {QStringLiteral("flow_id"), flowId}, {QStringLiteral("tags"), tags}};
    if (!manifestHref.isEmpty())
        object.insert(QStringLiteral("manifest_href"), manifestHref);
    return object;
}

inline QJsonObject receiverJson(const QString &id, const QString &label, const QString &format,
                            const QJsonObject &tags = QJsonObject())
{
    return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("label"), label},
                       {QStringLiteral("format"), format}, {QStringLiteral("tags"), tags}};
}

inline QJsonObject deviceJson(const QString &id, const QStringList &senders, const QStringList &receivers)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("senders"), QJsonArray::fromStringList(senders)},
                       {QStringLiteral("receivers"), QJsonArray::fromStringList(receivers)}};
}

} // namespace NmosResources

#endif // NMOSRESOURCES_H
