#include "simtaskqueue.h"

#include "simtaskpool.h"

SimTaskQueue::SimTaskQueue(SimTaskPool *pool)
    : m_pool(pool)
{
}

void SimTaskQueue::enqueue(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pending;
    }
    m_pool->enqueue([this, task = std::move(task)] {
        task();
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_pending;
        m_idle.notify_all();
    });
}

void SimTaskQueue::shutdown()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_pending == 0; });
}
