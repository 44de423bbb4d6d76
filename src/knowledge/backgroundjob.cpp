#include "knowledge/backgroundjob.h"

#include "store/heap.h"

#include <QMetaObject>
#include <QThread>
#include <QThreadPool>

#include <mutex>
#include <utility>

namespace vrn {

// What the thread and the owner share: the thread only writes `finish`, before it ends. The
// thread hands the result over under `lock`, so that once abandon() has set `cancelled` it no
// longer reaches for an owner that may be gone.
struct BackgroundJob::Run
{
    std::atomic_bool cancelled = false;
    std::mutex lock;
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
    m_thread.reset(QThread::create([this, owner = m_owner, work = std::move(work), run] {
        run->finish = work(run->cancelled);
        tidyHeap();
        const std::lock_guard lock(run->lock);
        if (run->cancelled.load()) {
            // Not here either: stop() may be waiting for this thread on the owner's.
            freeAside(std::exchange(run->finish, nullptr));
            return;
        }
        // Queued to the owner, where it counts only while this is still the latest work; when
        // the owner is gone the call goes with it. The job itself may be gone by then only
        // after stop() or abandon(), which cancel.
        QMetaObject::invokeMethod(
            owner,
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
    const std::shared_ptr<Run> run = std::exchange(m_run, nullptr);
    if (run)
        run->cancelled.store(true);
    if (m_thread) {
        m_thread->wait();
        m_thread.reset();
    }
    // Work that got to the end before it was stopped left its result for the owner's thread,
    // which would let go of it when the queued call is dropped.
    if (run && run->finish)
        freeAside(std::exchange(run->finish, nullptr));
}

void BackgroundJob::finishNow()
{
    if (m_run && !m_run->cancelled.load())
        finish(m_run);
}

void BackgroundJob::abandon()
{
    m_running = false;
    if (m_run) {
        const std::lock_guard lock(m_run->lock);
        m_run->cancelled.store(true);
    }
    m_run.reset();
    if (QThread *thread = m_thread.release()) {
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        if (thread->isFinished())
            thread->deleteLater();
    }
}

void BackgroundJob::waitForWork()
{
    if (m_thread)
        m_thread->wait();
}

namespace {

// Not Qt's shared pool: the window's painting hands parts of large fills to that one and waits
// for them, behind whatever this work holds its threads with.
Q_GLOBAL_STATIC(QThreadPool, asidePool)

} // namespace

void runAside(std::function<void()> work)
{
    // What the work holds goes before the heap is tidied: freeing it is often the work.
    asidePool()->start([work = std::move(work)]() mutable {
        std::exchange(work, nullptr)();
        tidyHeap();
    });
}

void waitForAside()
{
    asidePool()->waitForDone();
}

} // namespace vrn
