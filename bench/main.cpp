// varnel-bench: run every benchmark area (or those named with --only) and print the tables.
#include "benchutil.h"
#include "stacksampler.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#ifdef VARNEL_BENCH_GUI
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#endif

#include <cstdio>
#include <cstring>
#include <memory>

namespace vrn::bench {
void benchDocument();
void benchKnowledge();
void benchCompare();
void benchStore();
void benchInstalled();
void benchHistory();
#ifdef VARNEL_BENCH_GUI
void benchModel();
void benchFilter();
void benchApp();
void benchPages();
void benchUnused();
void benchResponsiveness();
void benchMemory();
#endif
} // namespace vrn::bench

#ifdef VARNEL_BENCH_GUI
namespace {

// Whether the areas asked for include one that needs widgets. Looked up before the
// application object exists, because that decides which kind of object it is.
bool wantsArea(int argc, char **argv, const char *area)
{
    bool onlyGiven = false;
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = nullptr;
        if ((std::strcmp(arg, "--only") == 0 || std::strcmp(arg, "-only") == 0) && i + 1 < argc)
            value = argv[++i];
        else if (std::strncmp(arg, "--only=", 7) == 0)
            value = arg + 7;
        if (value) {
            onlyGiven = true;
            named = named || std::strcmp(value, area) == 0;
        }
    }
    return !onlyGiven || named;
}

// With VARNEL_BENCH_SLOW_MS=N, every event that took the GUI thread N ms of CPU or more, or 2N ms
// in all (a wait for a lock or a thread), is named on stderr (receiver's class and its parent's,
// event type), with the calls its stack was seen in while it ran: where a long block comes from,
// queued calls and timers included.
class BlameApplication : public QApplication
{
public:
    BlameApplication(int &argc, char **argv, int slowMs)
        : QApplication(argc, argv)
        , m_slowMs(slowMs)
        , m_sampler(5)
    {}

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        // Taken before: the receiver or the event may be gone after.
        const char *className = receiver->metaObject()->className();
        const char *parentName =
            receiver->parent() ? receiver->parent()->metaObject()->className() : "no parent";
        const int type = int(event->type());
        ++m_depth;
        QElapsedTimer clock;
        clock.start();
        const qint64 cpuBefore = vrn::bench::threadCpuNs();
        m_sampler.begin();
        const bool result = QApplication::notify(receiver, event);
        m_sampler.end();
        const qint64 cpuMs = (vrn::bench::threadCpuNs() - cpuBefore) / 1'000'000;
        --m_depth;
        // On a busy machine the wall time also counts the turns other programs had.
        if (cpuMs >= m_slowMs || clock.elapsed() >= 2 * m_slowMs)
            std::fprintf(stderr,
                         "  slow event: %lld ms CPU (%lld wall), %s in %s, event type %d\n%s",
                         static_cast<long long>(cpuMs), static_cast<long long>(clock.elapsed()),
                         className, parentName, type, qPrintable(m_sampler.report()));
        return result;
    }

private:
    int m_slowMs;
    int m_depth = 0;
    vrn::bench::StackSampler m_sampler;
};

} // namespace
#endif

int main(int argc, char **argv)
{
    std::unique_ptr<QCoreApplication> app;
#ifdef VARNEL_BENCH_GUI
    if (wantsArea(argc, argv, "model") || wantsArea(argc, argv, "filter") ||
        wantsArea(argc, argv, "app") || wantsArea(argc, argv, "pages") ||
        wantsArea(argc, argv, "unused") || wantsArea(argc, argv, "responsiveness")) {
        // The tree benchmarks need real widgets; without a display they paint offscreen.
        if (qEnvironmentVariableIsEmpty("DISPLAY") &&
            qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        const int slowMs = qEnvironmentVariableIntValue("VARNEL_BENCH_SLOW_MS");
        if (slowMs > 0)
            app = std::make_unique<BlameApplication>(argc, argv, slowMs);
        else
            app = std::make_unique<QApplication>(argc, argv);
    }
#endif
    if (!app)
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Varnel benchmarks (build in Release)."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("quick"), QStringLiteral("Fewer rounds and no 50 MB file.")});
    parser.addOption(
        {QStringLiteral("only"),
         QStringLiteral("Run only this area (document, knowledge, compare, store, "
                        "installed, history, model, filter, app, pages, unused, responsiveness, "
                        "memory); "
                        "repeatable."),
         QStringLiteral("area")});
    parser.addOption(
        {QStringLiteral("size"),
         QStringLiteral("File size in MB for the document, compare, app, "
                        "responsiveness and memory areas instead of their own (for example "
                        "300); repeatable."),
         QStringLiteral("MB")});
    parser.process(*app);

    vrn::bench::Options o;
    o.quick = parser.isSet(QStringLiteral("quick"));
    o.only = parser.values(QStringLiteral("only"));
    for (const QString &size : parser.values(QStringLiteral("size"))) {
        bool ok = false;
        const qint64 mb = size.toLongLong(&ok);
        if (!ok || mb < 1) {
            std::fprintf(stderr, "--size takes a whole number of megabytes\n");
            return 2;
        }
        o.sizes.append(mb);
    }
    vrn::bench::setOptions(o);
#ifndef NDEBUG
    std::printf("Warning: this is not a Release build; figures are not representative.\n");
#endif
    if (vrn::bench::wanted(QStringLiteral("document")))
        vrn::bench::benchDocument();
    if (vrn::bench::wanted(QStringLiteral("knowledge")))
        vrn::bench::benchKnowledge();
    if (vrn::bench::wanted(QStringLiteral("compare")))
        vrn::bench::benchCompare();
    if (vrn::bench::wanted(QStringLiteral("store")))
        vrn::bench::benchStore();
    if (vrn::bench::wanted(QStringLiteral("installed")))
        vrn::bench::benchInstalled();
    if (vrn::bench::wanted(QStringLiteral("history")))
        vrn::bench::benchHistory();
#ifdef VARNEL_BENCH_GUI
    if (vrn::bench::wanted(QStringLiteral("model")))
        vrn::bench::benchModel();
    if (vrn::bench::wanted(QStringLiteral("filter")))
        vrn::bench::benchFilter();
    if (vrn::bench::wanted(QStringLiteral("app")))
        vrn::bench::benchApp();
    if (vrn::bench::wanted(QStringLiteral("pages")))
        vrn::bench::benchPages();
    if (vrn::bench::wanted(QStringLiteral("unused")))
        vrn::bench::benchUnused();
    // Not part of a run of every area: it starts the whole window several times over.
    if (o.only.contains(QStringLiteral("responsiveness")))
        vrn::bench::benchResponsiveness();
    // Nor this one: a child program makes every picture of the large file.
    if (o.only.contains(QStringLiteral("memory")))
        vrn::bench::benchMemory();
#endif
    return vrn::bench::failed() ? 1 : 0;
}
