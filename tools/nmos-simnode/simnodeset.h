#ifndef SIMNODESET_H
#define SIMNODESET_H

#include "simconfig.h"

#include <QList>
#include <QObject>

#include <memory>
#include <mutex>
#include <vector>

class SimAnnouncer;
class SimAuthServer;
class SimHttpServer;
class SimNode;
class SimRegistry;
class SimTaskPool;
class SimTokenCheck;

// Everything one process plays: the nodes, their HTTP servers, the announcer and the
// state file.
class SimNodeSet : public QObject
{
    Q_OBJECT

public:
    explicit SimNodeSet(const SimConfig &config, QObject *parent = nullptr);
    ~SimNodeSet() override;

    bool start(QString *errorString = nullptr);
    // Stops serving, then withdraws the announcements.
    void stop();

    QList<SimNode *> nodes() const { return m_nodes; }
    // The registry double's port; 0 without one.
    int registryPort() const;
    // The registry double restarts empty; registerAgain() has every node register again.
    void restartRegistry();
    void registerAgain();
    // The authorization server's port; 0 in a facility that is not secured.
    int authPort() const;
    // The interfaces announcements go out on: the ones asked for, or those that carry
    // the bind addresses.
    static bool announceInterfaces(const SimConfig &config, QStringList *names, QString *errorString = nullptr);

private:
    // The most threads the nodes that answer at once share: a kept-alive connection holds
    // one for up to a second after its last request, and a burst of a facility's
    // connections beyond these waits rather than starting hundreds more.
    static constexpr int MaxPoolThreads = 64;

    void writeState();
    bool startRegistry(QString *errorString);
    void registerNode(SimNode *node);
    // The token check of a server known by these names; null when the facility is open.
    const SimTokenCheck *tokenCheck(const QStringList &names);

    const SimConfig m_config;
    QList<SimNode *> m_nodes;
    // Before the servers, which check tokens with them until they are destroyed.
    std::unique_ptr<SimAuthServer> m_auth;
    std::vector<std::unique_ptr<SimTokenCheck>> m_tokenChecks;
    // Declared before the servers: they use the pool until they are destroyed.
    std::unique_ptr<SimTaskPool> m_pool;
    std::vector<std::unique_ptr<SimHttpServer>> m_servers;
    SimRegistry *m_registry = nullptr;
    SimAnnouncer *m_announcer = nullptr;
    std::mutex m_stateMutex;
};

#endif // SIMNODESET_H
