#ifndef QMDNSENGINE_MESSAGE_H
#define QMDNSENGINE_MESSAGE_H

#include "mdns/query.h"
#include "mdns/record.h"

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QString>

namespace QMdnsEngine {

// One DNS message together with where it came from or goes to.
class Message
{
public:
    // Peer address and port: the sender of a received message, the destination of one to send.
    QHostAddress address() const { return m_address; }
    void setAddress(const QHostAddress &address) { m_address = address; }
    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }

    // The interface the message arrived on, or the one to send it on (empty: any).
    QString interfaceName() const { return m_interfaceName; }
    void setInterfaceName(const QString &interfaceName) { m_interfaceName = interfaceName; }

    quint16 transactionId() const { return m_transactionId; }
    void setTransactionId(quint16 transactionId) { m_transactionId = transactionId; }

    bool isResponse() const { return m_response; }
    void setResponse(bool response) { m_response = response; }

    // TC: in a query, more known answers follow in further packets (RFC 6762 7.2).
    bool isTruncated() const { return m_truncated; }
    void setTruncated(bool truncated) { m_truncated = truncated; }

    QList<Query> queries() const { return m_queries; }
    void addQuery(const Query &query) { m_queries.append(query); }

    // Answer section (in a query: the known answers).
    QList<Record> records() const { return m_records; }
    void addRecord(const Record &record) { m_records.append(record); }

    QList<Record> authorityRecords() const { return m_authorityRecords; }
    void addAuthorityRecord(const Record &record) { m_authorityRecords.append(record); }

    QList<Record> additionalRecords() const { return m_additionalRecords; }
    void addAdditionalRecord(const Record &record) { m_additionalRecords.append(record); }

    // Answers and additional records, link-local IPv6 addresses scoped to the arrival interface.
    QList<Record> receivedRecords() const;

private:
    QHostAddress m_address;
    quint16 m_port = 0;
    QString m_interfaceName;
    quint16 m_transactionId = 0;
    bool m_response = false;
    bool m_truncated = false;
    QList<Query> m_queries;
    QList<Record> m_records;
    QList<Record> m_authorityRecords;
    QList<Record> m_additionalRecords;
};

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Message)

#endif // QMDNSENGINE_MESSAGE_H
