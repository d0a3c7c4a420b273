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
    return QJsonObject{{"id", id}, {"format", format}};
}

inline QJsonObject senderJson(const QString &id, const QString &label, const QString &flowId,
                          const QString &manifestHref = QString(), const QJsonObject &tags = QJsonObject())
{
    QJsonObject object{{"id", id}, {"label", label}, {"flow_id", flowId}, {"tags", tags}};
    if (!manifestHref.isEmpty())
        object.insert("manifest_href", manifestHref);
    return object;
}

inline QJsonObject receiverJson(const QString &id, const QString &label, const QString &format,
                            const QJsonObject &tags = QJsonObject())
{
    return QJsonObject{{"id", id}, {"label", label}, {"format", format}, {"tags", tags}};
}

inline QJsonObject deviceJson(const QString &id, const QStringList &senders, const QStringList &receivers)
{
    return QJsonObject{{"id", id}, {"senders", QJsonArray::fromStringList(senders)}, {"receivers", QJsonArray::fromStringList(receivers)}};
}

} // namespace NmosResources

#endif // NMOSRESOURCES_H
