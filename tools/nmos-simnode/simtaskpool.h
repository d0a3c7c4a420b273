#ifndef SIMTASKPOOL_H
#define SIMTASKPOOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Worker threads shared by the HTTP servers of all nodes, so that a thousand nodes do not
// need a thousand thread pools.
class SimTaskPool
{
public:
    explicit SimTaskPool(int threads);
    ~SimTaskPool();

    SimTaskPool(const SimTaskPool &) = delete;
    SimTaskPool &operator=(const SimTaskPool &) = delete;

    void enqueue(std::function<void()> task);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

#endif // SIMTASKPOOL_H
