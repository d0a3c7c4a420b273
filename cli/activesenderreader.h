#ifndef ACTIVESENDERREADER_H
#define ACTIVESENDERREADER_H

#include "cli/entrycatalog.h"

#include <algorithm>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class NmosClient;
class QNetworkReply;

// Reads the sender each of a list of receivers runs now, from its active parameters:
// several receivers at once, but never more than one request to a node at a time, as the
// intake reads a facility's nodes. Reports in the order of the list, whatever order the
// nodes answer in.
class ActiveSenderReader : public QObject
{
    Q_OBJECT

public:
    static const int DefaultParallel = 8;
    // How far down the list a read may start before those above it: a node with many
    // receivers is read one at a time, while others are read beside it.
    static const int LookAhead = 256;

    explicit ActiveSenderReader(NmosClient *client, QObject *parent = nullptr);
    // Abandons the reads under way.
    ~ActiveSenderReader() override;

    // Reads every receiver once; a round under way is abandoned first. May be called from a
    // slot connected to the reports.
    void start(const QList<Entry> &receivers);
    bool isReading() const { return m_reported < m_reads.size(); }
    // How many receivers are read at once; at least one.
    void setParallel(int reads) { m_parallel = std::max(1, reads); }

signals:
    // senderId is empty when the receiver runs nothing, or a stream of no NMOS sender; when
    // it could not be read, read is false and error says why.
    void receiverRead(const Entry &receiver, bool read, const QString &senderId, const QString &error);
    void finished();

private:
    struct Read
    {
        Entry receiver;
        bool done = false;
        bool read = false;
        QString senderId;
        QString error;
    };

    void abandon();
    void sendReads();
    void readFinished(QNetworkReply *reply);
    void report();

    NmosClient *m_client;
    int m_parallel = DefaultParallel;
    QList<Read> m_reads;
    // The reads not yet sent, by position, in order.
    QList<int> m_waiting;
    struct Running
    {
        // The replies belong to the client's manager, which may go first.
        QPointer<QNetworkReply> reply;
        int index;
    };
    QList<Running> m_running;
    // The addresses of the nodes being asked.
    QSet<QString> m_busyNodes;
    int m_reported = 0;
    // Counts the rounds, so that a report knows when a slot started another.
    int m_round = 0;
};

#endif // ACTIVESENDERREADER_H
