#include "jsonpool.h"

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>

QJsonObject JsonPool::shared(const QJsonObject &object)
{
    static QMutex mutex;
    static QHash<QByteArray, QJsonObject> pool;
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    QMutexLocker locker(&mutex);
    const auto known = pool.constFind(text);
    if (known != pool.constEnd())
        return known.value();
    if (pool.size() >= MaxShared)
        return object;
    // Read back from its text, the object takes no more room than it needs.
    const QJsonObject compact = QJsonDocument::fromJson(text).object();
    pool.insert(text, compact);
    return compact;
}
