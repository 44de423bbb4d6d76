#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

class QObject;
class QThread;

namespace vrn {

// One piece of work at a time on a thread of its own, for work that would hold up the window.
// The work reads only what nobody changes while it runs and returns the step that puts its
// result in place; that step runs later on the owner's thread, unless the work was stopped or
// replaced by newer work first, so a result for a document that is gone is never used.
// stop() waits for the thread: the work must look at `cancelled` often.
class BackgroundJob
{
public:
    using Finish = std::function<void()>;
    using Work = std::function<Finish(const std::atomic_bool &cancelled)>;

    // The finishing steps run on the thread of `owner`, which must outlive this object.
    explicit BackgroundJob(QObject *owner);
    ~BackgroundJob();
    BackgroundJob(const BackgroundJob &) = delete;
    BackgroundJob &operator=(const BackgroundJob &) = delete;

    // Stops any earlier work first.
    void start(Work work);
    // Asks the work to give up and waits until its thread has ended; its result is dropped.
    void stop();
    // Waits for the work to end and puts its result in place now, for callers that cannot go
    // on without it.
    void finishNow();
    // Like stop(), without waiting: the thread ends on its own and its result is dropped. Only
    // for work that owns everything it reads, since it may outlive its owner.
    void abandon();
    // Waits for the work to end and leaves its result to be put in place as usual, from the
    // owner's event loop: lets tests replace or stop work whose result is already on its way.
    void waitForWork();
    // Started and its result not yet in place.
    bool isRunning() const { return m_running; }

private:
    struct Run;
    void finish(std::shared_ptr<Run> run);

    QObject *m_owner;
    std::unique_ptr<QThread> m_thread;
    std::shared_ptr<Run> m_run;
    bool m_running = false;
};

// Runs `work` on a pool thread, for work the window should not wait for.
void runAside(std::function<void()> work);
// Waits until all work run aside so far has ended.
void waitForAside();

// Lets go of `value` on a pool thread: a large file's lists take longer to free than the window
// may wait, whether it waits for them directly or for a worker that frees them. Only for values
// whose freeing reads nothing that may go meanwhile: plain strings, pointers never followed, and
// things owned by the value alone (rows already taken out of their view).
template <typename T>
void freeAside(T value)
{
    // Shared, so that a value that cannot be copied still fits a std::function.
    runAside([held = std::make_shared<T>(std::move(value))]() mutable { held.reset(); });
}

} // namespace vrn
