#include "model/backgroundjob.h"

#include <QMetaObject>
#include <QThread>

namespace vrn {

// What the thread and the owner share: the thread only writes `finish`, before it ends.
struct BackgroundJob::Run
{
    std::atomic_bool cancelled = false;
    Finish finish;
};

BackgroundJob::BackgroundJob(QObject *owner)
    : m_owner(owner)
{}

BackgroundJob::~BackgroundJob()
{
    stop();
}

void BackgroundJob::start(Work work)
{
    stop();
    auto run = std::make_shared<Run>();
    m_run = run;
    m_running = true;
    m_thread.reset(QThread::create([this, work = std::move(work), run] {
        run->finish = work(run->cancelled);
        // Queued to the owner, where it counts only while this is still the latest work; when
        // the owner is gone the call goes with it. The job itself may be gone by then only
        // after stop(), which cancels.
        QMetaObject::invokeMethod(
            m_owner,
            [this, run] {
                if (!run->cancelled.load() && run == m_run)
                    finish(run);
            },
            Qt::QueuedConnection);
    }));
    m_thread->start(QThread::LowPriority);
}

void BackgroundJob::finish(std::shared_ptr<Run> run)
{
    if (m_thread) {
        m_thread->wait();
        m_thread.reset();
    }
    m_run.reset();
    m_running = false;
    if (Finish step = std::move(run->finish))
        step();
}

void BackgroundJob::stop()
{
    m_running = false;
    if (m_run)
        m_run->cancelled.store(true);
    m_run.reset();
    if (m_thread) {
        m_thread->wait();
        m_thread.reset();
    }
}

void BackgroundJob::finishNow()
{
    if (m_run && !m_run->cancelled.load())
        finish(m_run);
}

} // namespace vrn
