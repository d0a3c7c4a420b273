#ifndef ROUTEREADER_H
#define ROUTEREADER_H

#include "nmos/nmosclient.h"

#include <QList>
#include <QObject>
#include <QString>

class QNetworkReply;

// Reads what each of a list of receivers runs now, from its active parameters, all at once,
// and reports each as its answer comes. A new round abandons the one under way.
class RouteReader : public QObject
{
    Q_OBJECT

public:
    explicit RouteReader(NmosClient *client, QObject *parent = nullptr);

    void read(const QList<NmosClient::ReceiverConnection> &receivers);
    bool isReading() const { return m_waiting > 0; }

signals:
    // index: the receiver's place in the round. enabled: it is on; senderId is then empty for
    // a stream no NMOS sender describes. When it could not be read, read is false and error
    // says why.
    void receiverRead(int index, bool read, bool enabled, const QString &senderId, const QString &error);
    // Every receiver of the round was reported.
    void finished();

private:
    void report(int round, int index, bool read, bool enabled, const QString &senderId, const QString &error);

    NmosClient *m_client;
    // Counts the rounds, so that an answer of an abandoned one is dropped.
    int m_round = 0;
    int m_waiting = 0;
};

#endif // ROUTEREADER_H
