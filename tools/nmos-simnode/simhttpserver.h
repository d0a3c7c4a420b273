#ifndef SIMHTTPSERVER_H
#define SIMHTTPSERVER_H

#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace httplib {
class Request;
class Response;
class Server;
}

class SimNode;
class SimTaskPool;
class SimTokenCheck;

// Serves one node over HTTP on each of its bind addresses, one listening thread per address.
class SimHttpServer
{
public:
    static const size_t MaxBodySize = 1024 * 1024;

    // pool may be null: the server then keeps its own threads (for nodes told to stall).
    SimHttpServer(SimNode *node, SimTaskPool *pool);
    ~SimHttpServer();

    SimHttpServer(const SimHttpServer &) = delete;
    SimHttpServer &operator=(const SimHttpServer &) = delete;

    // A server for any API this program plays (node, registry, authorization server): https
    // with a PEM certificate (chain) and its key, http without them. Null when they cannot
    // be used.
    static std::unique_ptr<httplib::Server> makeServer(const QString &certificate, const QString &key,
                                                       QString *errorString = nullptr);
    // Binds to address on *port, or on a free port when *port is 0, which is then written back.
    static bool bindServer(httplib::Server *server, const QString &address, int *port);

    // Binds every address (the node's port, or a free one for port 0) and starts serving.
    bool start(QString *errorString = nullptr);
    // Closes the listening sockets without waiting; stop() then waits for the threads.
    // Many servers stop faster when all are told first and then waited for.
    void requestStop();
    void stop();
    int port() const { return m_port; }

    // Called on an HTTP thread after a request that may have changed the node's state.
    void setChangeHandler(std::function<void()> handler) { m_changed = std::move(handler); }
    // In a secured facility, requests without a token that allows them are turned away.
    void setTokenCheck(const SimTokenCheck *check) { m_tokenCheck = check; }

private:
    void serve(const httplib::Request &request, httplib::Response &response);

    SimNode *m_node;
    SimTaskPool *m_pool;
    int m_port = 0;
    std::function<void()> m_changed;
    const SimTokenCheck *m_tokenCheck = nullptr;
    std::vector<std::unique_ptr<httplib::Server>> m_servers;
    std::vector<std::thread> m_threads;

    // Requests to a node that never answers wait here until the server stops.
    std::mutex m_stopMutex;
    std::condition_variable m_stopWake;
    bool m_stopping = false;
};

#endif // SIMHTTPSERVER_H
