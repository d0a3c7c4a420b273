#include "activesenderreader.h"

#include "nmos/nmosclient.h"

#include <QNetworkReply>

#include <algorithm>

ActiveSenderReader::ActiveSenderReader(NmosClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
}

ActiveSenderReader::~ActiveSenderReader()
{
    forget();
}

QString ActiveSenderReader::keyOf(const Entry &receiver)
{
    const NmosClient::NodeEndpoint &node = receiver.record.node;
    return receiver.record.id + QLatin1Char('\n') + node.address + QLatin1Char('\n') + node.connectionApi;
}

void ActiveSenderReader::forget()
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
    m_waitingPerNode.clear();
    m_answers.clear();
    m_round.clear();
    m_reported = 0;
    m_inRound = false;
    ++m_generation;
}

void ActiveSenderReader::queue(const Entry &receiver)
{
    const QString key = keyOf(receiver);
    if (m_answers.contains(key))
        return;
    m_answers.insert(key, Answer());
    m_waiting.append(receiver);
    ++m_waitingPerNode[receiver.record.node.address];
}

void ActiveSenderReader::readAhead(const QList<Entry> &receivers)
{
    for (const Entry &receiver : receivers)
        queue(receiver);
    sendReads();
}

void ActiveSenderReader::start(const QList<Entry> &receivers)
{
    m_round = receivers;
    m_reported = 0;
    m_inRound = true;
    for (const Entry &receiver : receivers)
        queue(receiver);
    sendReads();
    report();
}

void ActiveSenderReader::sendReads()
{
    for (int i = 0; i < m_waiting.size() && i < LookAhead && m_running.size() < Parallel;) {
        const NmosClient::NodeEndpoint &node = m_waiting.at(i).record.node;
        if (m_busyNodes.contains(node.address)) {
            ++i;
            continue;
        }
        const Entry receiver = m_waiting.takeAt(i);
        // The node's next receiver is read over the same connection; the last closes it.
        NmosClient::ConnectionAfter after = NmosClient::KeepConnection;
        const QString address = receiver.record.node.address;
        if (--m_waitingPerNode[address] <= 0) {
            m_waitingPerNode.remove(address);
            after = NmosClient::CloseConnection;
        }
        NmosClient::ReceiverGroup group;
        group.id = receiver.record.id;
        group.node = receiver.record.node;
        Answer &answer = m_answers[keyOf(receiver)];
        QNetworkReply *reply = m_client->requestActiveSender(group, &answer.error, after);
        if (!reply) {
            answer.done = true;
            continue;
        }
        m_running.append({reply, keyOf(receiver), group.node.address});
        m_busyNodes.insert(group.node.address);
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
    Answer &answer = m_answers[running->key];
    m_busyNodes.remove(running->node);
    m_running.erase(running);
    answer.read = NmosClient::activeSenderOf(reply, &answer.enabled, &answer.senderId, &answer.error);
    answer.done = true;
    sendReads();
    report();
}

void ActiveSenderReader::report()
{
    if (!m_inRound)
        return;
    const int generation = m_generation;
    while (m_reported < m_round.size()) {
        const Entry receiver = m_round.at(m_reported);
        const Answer answer = m_answers.value(keyOf(receiver));
        if (!answer.done)
            return;
        ++m_reported;
        emit receiverRead(receiver, answer.read, answer.enabled, answer.senderId, answer.error);
        if (generation != m_generation)
            return;
    }
    m_inRound = false;
    emit finished();
}
