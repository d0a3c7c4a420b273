#ifndef ACTIVESENDERREADER_H
#define ACTIVESENDERREADER_H

#include "cli/entrycatalog.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class NmosClient;
class QNetworkReply;

// Reads the sender each receiver runs now, from its active parameters: several receivers
// at once, but never more than one request to a node at a time, as the intake reads a
// facility's nodes. A round reports its receivers in its own order, whatever order the
// nodes answer in.
class ActiveSenderReader : public QObject
{
    Q_OBJECT

public:
    // Receivers read at once. Beyond this, reading a facility is bound by the processor time
    // its answers cost, not by waiting for them: more at once gains little.
    static const int Parallel = 8;
    // How far down the queue a read may start before those above it: while one node's
    // receivers are read one at a time, the next nodes' are read beside them, and a node
    // with hundreds of receivers costs each read a short search only.
    static const int LookAhead = 256;

    explicit ActiveSenderReader(NmosClient *client, QObject *parent = nullptr);
    // Abandons the reads under way.
    ~ActiveSenderReader() override;

    // Reads receivers before a round asks for them, while the facility is still being listed.
    void readAhead(const QList<Entry> &receivers);
    // Reports every receiver in this order, each read once: a receiver already read, or being
    // read, is not asked again.
    void start(const QList<Entry> &receivers);
    // Abandons the reads under way and forgets every answer: the next round asks again.
    void forget();
    bool isReading() const { return m_inRound || !m_running.isEmpty(); }

signals:
    // enabled: the receiver is on; senderId is then empty for a stream no NMOS sender
    // describes. When it could not be read, read is false and error says why.
    void receiverRead(const Entry &receiver, bool read, bool enabled, const QString &senderId, const QString &error);
    void finished();

private:
    struct Answer
    {
        bool done = false;
        bool read = false;
        bool enabled = false;
        QString senderId;
        QString error;
    };
    struct Running
    {
        // The replies belong to the client's manager, which may go first.
        QPointer<QNetworkReply> reply;
        QString key;
        QString node;
    };

    // One read per resource at one address and one Connection API.
    static QString keyOf(const Entry &receiver);
    void queue(const Entry &receiver);
    void sendReads();
    void readFinished(QNetworkReply *reply);
    void report();

    NmosClient *m_client;
    // By key: every receiver queued, being read or read.
    QHash<QString, Answer> m_answers;
    // Not sent yet, in the order queued.
    QList<Entry> m_waiting;
    QList<Running> m_running;
    // The addresses of the nodes being asked.
    QSet<QString> m_busyNodes;
    QHash<QString, int> m_waitingPerNode;  // by node address
    QList<Entry> m_round;
    int m_reported = 0;
    bool m_inRound = false;
    // Counts the forgettings, so that a report knows when a slot started afresh.
    int m_generation = 0;
};

#endif // ACTIVESENDERREADER_H
