#ifndef SIMTASKQUEUE_H
#define SIMTASKQUEUE_H

#include <httplib.h>

#include <condition_variable>
#include <mutex>

class SimTaskPool;

// The task queue one HTTP server sees: it runs connections on the shared pool, and its
// shutdown waits for this server's connections only, since they refer to the server.
class SimTaskQueue : public httplib::TaskQueue
{
public:
    explicit SimTaskQueue(SimTaskPool *pool);

    void enqueue(std::function<void()> task) override;
    void shutdown() override;

private:
    SimTaskPool *m_pool;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_pending = 0;
};

#endif // SIMTASKQUEUE_H
