#pragma once

#include "knowledge/deletionpolicy.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <vector>

namespace vrn::bench {

// A group of timed items run interleaved (item A, item B, ..., then again) so that a slow
// moment of the machine hits every item alike; reports median and minimum.
class Suite
{
public:
    explicit Suite(QString title)
        : m_title(std::move(title))
    {}

    // bytes > 0 adds a MB/s column; reference names the item the ratio column compares with;
    // untimed runs after each timed run (for example to destroy what the item built).
    void add(const QString &name, qint64 bytes, std::function<void()> run,
             const QString &reference = QString(), std::function<void()> untimed = {});
    // prepare runs, untimed, before every timed run (to bring about the state it starts from).
    void addPrepared(const QString &name, qint64 bytes, std::function<void()> prepare,
                     std::function<void()> run, const QString &reference = QString());
    void run(int repetitions);
    void print() const;
    double medianMs(const QString &name) const;
    double minMs(const QString &name) const;

private:
    struct Item
    {
        QString name;
        qint64 bytes;
        std::function<void()> run;
        QString reference;
        std::function<void()> untimed;
        std::function<void()> prepare;
        std::vector<double> ms;
    };
    const Item *find(const QString &name) const;

    QString m_title;
    std::vector<Item> m_items;
};

double median(std::vector<double> values);

// Processor time the calling thread has used, in nanoseconds.
qint64 threadCpuNs();

// Resident set of this process in bytes, after returning free heap memory to the system.
qint64 residentBytes();

// Heap bytes in use: what a structure keeps, free of the allocator's slack and of pages the
// allocator has not handed back yet.
qint64 heapBytes();

// Generated compact settings file of about the given size (cached per size in one run).
const QByteArray &generatedFile(qint64 bytes, quint64 seed = 7);

// The deletion rules the program ships with.
DeletionPolicy shippedPolicy();

struct Options
{
    bool quick = false;
    QStringList only;
    QList<qint64> sizes; // file sizes in MB asked for with --size; empty for each area's own
};
const Options &options();
void setOptions(const Options &o);
bool wanted(const QString &area);
// A step the figures depend on did not happen: said on stderr, and the run exits with 1.
void fail(const QString &what);
bool failed();

} // namespace vrn::bench
