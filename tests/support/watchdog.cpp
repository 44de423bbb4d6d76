#include "support/watchdog.h"

#include <QtGlobal>

#include <chrono>

namespace vrn::testdata {

Watchdog::Watchdog(int seconds)
{
    m_thread = std::thread([this, seconds] {
        std::unique_lock lock(m_mutex);
        // qFatal goes through the test's message handler, which names the function and row.
        if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_finished; }))
            qFatal("No answer within %d s: the row hangs", seconds);
    });
}

Watchdog::~Watchdog()
{
    {
        const std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_one();
    m_thread.join();
}

} // namespace vrn::testdata
