#ifndef INTAKEQUEUE_H
#define INTAKEQUEUE_H

#include "nmos/nmosclient.h"
#include "workflow/pendinglistings.h"

#include <QHash>
#include <QJsonDocument>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <functional>

class AuthorizationSession;
class AuthorizingNetworkAccessManager;
class NodeListing;

// Takes in discovered nodes: reads the entries of several nodes at once, each node's
// requests one after the other, and hands each node's entries out when its reading ends.
// A node that does not answer holds up only its own reading. Nothing starts, and nothing is
// handed out, while held (during a run or a check); readings already under way go on, and
// their entries wait for the release, each node's newest, without what went away meanwhile.
class IntakeQueue : public QObject
{
    Q_OBJECT

public:
    static const int DefaultParallel = 8;

    explicit IntakeQueue(QObject *parent = nullptr);
    ~IntakeQueue() override;

    // Where the node that answered at url serves its APIs.
    // hostName: the one the node announced, which its certificate names.
    static NmosClient::NodeEndpoint endpointOf(const QUrl &url, const QString &hostName = QString());

    // A node already waiting is not queued twice: it is taken in once, with its last document.
    void enqueue(const QString &serviceName, const QUrl &url, const QJsonDocument &selfDoc,
                 const QString &hostName = QString());
    // A node a registry lists, whose entries come read from the registry: listed at once,
    // or at the release when held. One node, one name: a node a registry lists is not read
    // from its own answers any more, and one found by its announcement first keeps that name.
    void takeListed(const QString &nodeId, const QString &nodeName, const QList<NmosClient::SenderConnection> &senders,
                    const QList<NmosClient::ReceiverConnection> &receivers);
    // A node's service went away: what was taken in from its own answers and not listed yet,
    // and any reading of it, go with it.
    void takeNodeRemoved(const QString &serviceName);
    // A registry's sender or receiver went away: it is left out of the listings waiting.
    void takeResourceRemoved(const QString &type, const QString &id);
    // A secured facility's session: its token goes with the nodes' readings, and the APIs of
    // the entries listed become the facility's, which the token may go to.
    void setAuthorization(AuthorizationSession *session);
    void hold();
    void release();
    // How many nodes may be read at once; at least one.
    void setParallel(int nodes);
    // Nodes waiting, being read, or read and waiting for the release.
    int size() const { return m_waiting.size() + m_reading.size() + m_pending.size(); }

signals:
    void nodeListed(const QString &serviceName, const QList<NmosClient::SenderConnection> &senders,
                    const QList<NmosClient::ReceiverConnection> &receivers);

private:
    struct Node
    {
        QString serviceName;
        QUrl url;
        QJsonDocument selfDoc;
        QString hostName;
    };
    static QString nodeIdOf(const QJsonDocument &selfDoc);
    void scheduleHandOut();
    void list(const PendingListings::Listing &listing);
    void handOut();
    bool isReading(const Node &node) const;
    void startReading(const Node &node);
    void readingFinished(NodeListing *listing);
    // Forgets what was taken in of the node from its own answers and not listed yet.
    void dropAnswersOf(const QString &nodeId);
    // Ends the readings for which match() is true; their nodes give no entries.
    void abortReadings(const std::function<bool(const Node &)> &match);

    AuthorizingNetworkAccessManager *m_manager;
    QList<Node> m_waiting;
    QList<QPair<NodeListing *, Node>> m_reading;
    PendingListings m_pending;
    // The nodes taken in from their own answers, by id, with the name they were found under;
    // the ids of those a registry lists.
    QHash<QString, QString> m_answeredNames;
    QSet<QString> m_registryNodes;
    int m_parallel = DefaultParallel;
    int m_holds = 0;
    bool m_scheduled = false;
};

#endif // INTAKEQUEUE_H
