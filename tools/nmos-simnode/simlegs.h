#ifndef SIMLEGS_H
#define SIMLEGS_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The legs of a simulated sender or receiver, two under ST 2022-7: one interface and one
// set of transport parameters each, and a transport file of one media section per leg.
namespace SimLegs {

// The interfaces of a node whose resources have up to legs legs, and the bindings of one.
QStringList interfaces(int legs);

// The multicast group a sender's second leg sends to: the first one's, in 238/8.
QString secondGroup(const QString &firstGroup);

// A sender's transport_params of legs legs, the first as given, the second sending to
// the second group.
QJsonArray senderParams(const QJsonObject &first, int legs);

// The staged transport_params after a PATCH's: each leg takes the members the entry in the
// same place names, "{}" none.
QJsonArray merged(const QJsonArray &staged, const QJsonArray &patch);

// A one-leg sender's file made a file of legs legs: its media section once for each leg,
// the second to the second leg's group, grouped by DUP.
QByteArray duplicated(const QByteArray &sdp, int legs);

// What a receiver of legs legs reads of a file for each leg it runs from it: the session
// part and one media section, the sections of the DUP group in order, else the first alone.
QStringList legFiles(const QString &sdp, int legs);

} // namespace SimLegs

#endif // SIMLEGS_H
