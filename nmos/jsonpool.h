#ifndef JSONPOOL_H
#define JSONPOOL_H

#include <QJsonObject>

// The formats and capabilities that a facility's listed entries carry repeat from one sender
// or receiver to the next, and a JSON object takes a kilobyte or more: equal ones are held
// once, shared, up to a bound past which an object keeps its own copy.
namespace JsonPool {

static constexpr int MaxShared = 4096;

QJsonObject shared(const QJsonObject &object);

} // namespace JsonPool

#endif // JSONPOOL_H
