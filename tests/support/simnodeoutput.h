#ifndef SIMNODEOUTPUT_H
#define SIMNODEOUTPUT_H

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>

// What a started nmos-simnode prints until it says "ready": one JSON object a line, each
// node's label and port, or the port of its registry or authorization server. Empty when
// it is not ready within ms.
inline QList<QJsonObject> simnodeReady(QProcess *sim, int ms = 15000)
{
    QByteArray out;
    while (!out.contains("ready\n")) {
        if (!sim->waitForReadyRead(ms))
            return {};
        out += sim->readAllStandardOutput();
    }
    QList<QJsonObject> lines;
    for (const QByteArray &line : out.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (!object.isEmpty())
            lines.append(object);
    }
    return lines;
}

#endif // SIMNODEOUTPUT_H
