#ifndef PATCHVALIDATOR_H
#define PATCHVALIDATOR_H

#include <QString>

class QJsonObject;
class QJsonValue;

// Checks the body of a PATCH to a staged endpoint the way the Connection API's schemas do:
// known members only, each of the right JSON type and form.
class PatchValidator
{
public:
    enum Kind {
        Sender,
        Receiver
    };

    static bool validate(const QJsonObject &body, Kind kind, int legs, QString *errorString = nullptr);

private:
    static bool validateActivation(const QJsonValue &value, QString *errorString);
    static bool validateTransportFile(const QJsonValue &value, QString *errorString);
    static bool validateTransportParams(const QJsonValue &value, Kind kind, int legs, QString *errorString);
    static bool validateParam(const QString &key, const QJsonValue &value, Kind kind, QString *errorString);
};

#endif // PATCHVALIDATOR_H
