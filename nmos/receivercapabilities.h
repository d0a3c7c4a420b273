#ifndef RECEIVERCAPABILITIES_H
#define RECEIVERCAPABILITIES_H

#include "nmos/streamformat.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// Whether a receiver can take a stream, by its IS-04 transport, format and caps: the media
// types it lists, and its BCP-004-01 constraint sets, of which one enabled set must be met by
// every parameter constraint it names. A constraint on a parameter this program does not know,
// or the stream does not state, is passed over and noted.
class ReceiverCapabilities
{
public:
    struct Verdict
    {
        bool canTake = true;
        QString reason;      // the first unmet constraint, in words, when it cannot
        QStringList ignored; // the constraints that could not be judged
    };

    static Verdict judge(const QJsonObject &receiver, const StreamFormat &stream);
    // "media types video/raw; 2 constraint sets", for listings.
    static QString summary(const QJsonObject &receiver);
};

#endif // RECEIVERCAPABILITIES_H
