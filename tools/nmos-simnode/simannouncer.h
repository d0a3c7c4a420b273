#ifndef SIMANNOUNCER_H
#define SIMANNOUNCER_H

#include <QList>
#include <QObject>
#include <QStringList>

namespace QMdnsEngine {
class Responder;
class Server;
}

class SimNode;

namespace QMdnsEngine {
class Service;
}

// Announces nodes as "_nmos-node._tcp", registry doubles as "_nmos-query._tcp" and
// authorization servers as "_nmos-auth._tcp" on the
// given interfaces only, and re-announces a node's TXT counters when its resources change.
// Goodbyes go out when it is destroyed.
class SimAnnouncer : public QObject
{
    Q_OBJECT

public:
    explicit SimAnnouncer(const QStringList &interfaceNames, QObject *parent = nullptr);
    ~SimAnnouncer() override;

    void addNode(SimNode *node);
    void addRegistry(const QString &label, const QString &bindAddress, int port, int priority, const QString &proto,
                     bool secured);
    void addAuthServer(const QString &label, const QString &bindAddress, int port, int priority, const QString &proto);

private:
    QMdnsEngine::Responder *announce(const QMdnsEngine::Service &service, const QStringList &bindAddresses);
    void refresh(SimNode *node, QMdnsEngine::Responder *responder);

    QMdnsEngine::Server *m_server;
    QList<QMdnsEngine::Responder *> m_responders;
};

#endif // SIMANNOUNCER_H
