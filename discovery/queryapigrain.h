#ifndef QUERYAPIGRAIN_H
#define QUERYAPIGRAIN_H

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

// What one WebSocket message of a Query API subscription changes in a collection, worked
// out from the message and the collection as it was, touching nothing else: a whole
// facility's collection can be worked out away from the event loop.
struct QueryApiGrain
{
    struct Change
    {
        QJsonObject post;  // the resource as it is now, or empty when it went away
        QString removedId; // the id of the resource that went away
    };

    // Not a grain of events: why; nothing below then.
    QString error;
    // In the order they apply.
    QList<Change> changes;
    // Events that name no resource.
    int ignored = 0;

    // text: the message in UTF-8, let go once parsed. first: the first message on a socket.
    // When its events each hold a resource as unchanged, it holds the whole collection: what
    // `current` (the store's texts by id) holds and it leaves out went away meanwhile, and a
    // resource it holds as `current` does changes nothing.
    static QueryApiGrain decode(QByteArray text, bool first, const QHash<QString, QByteArray> &current);
};

#endif // QUERYAPIGRAIN_H
