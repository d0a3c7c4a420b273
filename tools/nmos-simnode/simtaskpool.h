#ifndef SIMTASKPOOL_H
#define SIMTASKPOOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Worker threads shared by the HTTP servers of all nodes, so that a thousand nodes do not
// need a thousand thread pools. A thread is added whenever a connection would otherwise
// wait, up to maxThreads: a kept-alive connection holds its thread while idle, and a
// controller done with one node goes on to the next at once.
class SimTaskPool
{
public:
    explicit SimTaskPool(int maxThreads);
    ~SimTaskPool();

    SimTaskPool(const SimTaskPool &) = delete;
    SimTaskPool &operator=(const SimTaskPool &) = delete;

    void enqueue(std::function<void()> task);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    const std::size_t m_maxThreads;
    std::size_t m_waiting = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

#endif // SIMTASKPOOL_H
