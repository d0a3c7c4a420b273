#include "simtaskpool.h"

#include <algorithm>

SimTaskPool::SimTaskPool(int maxThreads)
    : m_maxThreads(std::size_t(std::max(1, maxThreads)))
{
}

SimTaskPool::~SimTaskPool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void SimTaskPool::enqueue(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
        if (m_tasks.size() > m_waiting && m_threads.size() < m_maxThreads)
            m_threads.emplace_back([this] { run(); });
    }
    m_wake.notify_one();
}

void SimTaskPool::run()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_waiting;
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            --m_waiting;
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}
