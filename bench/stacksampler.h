#pragma once

#include <QString>

namespace vrn::bench {

// Samples the stack of the thread that made it, every few milliseconds of an event it marks
// with begin() and end(): what a long block of the window was doing, where the event's own
// type (a queued call, a timer) does not tell. The other threads busy at each sample are
// sampled too: the one the window waits for is among them. Linux with glibc only; elsewhere it
// reports nothing.
class StackSampler
{
public:
    explicit StackSampler(int intervalMs);
    ~StackSampler();
    StackSampler(const StackSampler &) = delete;
    StackSampler &operator=(const StackSampler &) = delete;

    void begin();
    void end();
    // The samples of the last event as a call tree, outermost call first, each line with how
    // many samples passed through it, then those of each other thread seen busy; calls seen in
    // fewer than `minShare` of them, or in one alone, left out.
    QString report(double minShare = 0.1) const;

private:
    struct Private;
    Private *d;
};

} // namespace vrn::bench
