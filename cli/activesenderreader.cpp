#include "activesenderreader.h"

#include "nmos/nmosclient.h"

#include <QNetworkReply>

ActiveSenderReader::ActiveSenderReader(NmosClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
}

ActiveSenderReader::~ActiveSenderReader()
{
    abandon();
}

void ActiveSenderReader::abandon()
{
    for (const Running &running : qAsConst(m_running)) {
        if (!running.reply)
            continue;
        // Aborting finishes the reply at once: it is not to be reported.
        running.reply->disconnect(this);
        running.reply->abort();
        running.reply->deleteLater();
    }
    m_running.clear();
    m_busyNodes.clear();
    m_waiting.clear();
    m_reads.clear();
    m_reported = 0;
    ++m_round;
}

void ActiveSenderReader::start(const QList<Entry> &receivers)
{
    abandon();
    for (const Entry &receiver : receivers) {
        m_waiting.append(m_reads.size());
        m_reads.append({receiver});
    }
    sendReads();
    report();
}

void ActiveSenderReader::sendReads()
{
    for (int i = 0; i < m_waiting.size() && i < LookAhead && m_running.size() < m_parallel;) {
        Read &read = m_reads[m_waiting.at(i)];
        const NmosClient::NodeEndpoint &node = read.receiver.record.node;
        if (m_busyNodes.contains(node.address)) {
            ++i;
            continue;
        }
        const int index = m_waiting.takeAt(i);
        NmosClient::ReceiverGroup group;
        group.id = read.receiver.record.id;
        group.node = node;
        QNetworkReply *reply = m_client->requestActiveSender(group, &read.error);
        if (!reply) {
            read.done = true;
            continue;
        }
        m_running.append({reply, index});
        m_busyNodes.insert(node.address);
        connect(reply, &QNetworkReply::finished, this, [this, reply] { readFinished(reply); });
    }
}

void ActiveSenderReader::readFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    const auto running = std::find_if(m_running.begin(), m_running.end(),
                                      [reply](const Running &r) { return r.reply == reply; });
    if (running == m_running.end())
        return;
    Read &read = m_reads[running->index];
    m_running.erase(running);
    m_busyNodes.remove(read.receiver.record.node.address);
    read.read = NmosClient::activeSenderOf(reply, &read.senderId, &read.error);
    read.done = true;
    sendReads();
    report();
}

void ActiveSenderReader::report()
{
    const int round = m_round;
    while (m_reported < m_reads.size() && m_reads.at(m_reported).done) {
        const Read read = m_reads.at(m_reported++);
        emit receiverRead(read.receiver, read.read, read.senderId, read.error);
        if (round != m_round)
            return;
    }
    if (m_reported == m_reads.size())
        emit finished();
}
