#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vrn::testdata {

// Fails the running test with a fatal error when it is still in scope after `seconds`, for rows
// that could hang on a pipe or a device: such a row then fails at once instead of after the
// test's own limit of several minutes.
class Watchdog
{
public:
    explicit Watchdog(int seconds = 10);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

} // namespace vrn::testdata
