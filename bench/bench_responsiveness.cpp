// How long the window cannot answer while the user works: each action is driven on the real
// main window and its pages, with a 5 ms heartbeat timer on the GUI thread whose longest gap
// is the longest block. One line per action and size:
//   responsiveness <action> <size>MB longest_block_ms=<n> total_ms=<n> block_cpu_ms=<n>
// block_cpu_ms is the processor time the GUI thread itself spent in that longest block: on a
// busy machine the block's length also counts other programs' turns and waits for threads.
#include "benchutil.h"

#include "app/filecommands.h"
#include "app/mainwindow.h"
#include "document/xsdtdocument.h"
#include "history/historybrowser.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "knowledge/modules.h"
#include "knowledge/setupfile.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "views/allsettingsview.h"
#include "views/cleanupview.h"
#include "views/compareview.h"
#include "views/exportdialog.h"
#include "views/historyview.h"
#include "views/importmapdialog.h"
#include "views/modulesearchdialog.h"
#include "views/pathsview.h"
#include "views/repositoriesview.h"
#include "views/reviewdialog.h"
#include "views/searchview.h"
#include "views/unusedmodulesview.h"
#include "widgets/dialogs.h"
#include "widgets/settingstreeview.h"
#include "widgets/treefilter.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace vrn::bench {

namespace {

// The longest time between two beats is the longest the event loop could not run.
class Heartbeat
{
public:
    Heartbeat()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { beat(); });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_lastCpu = threadCpuNs();
        m_longest = 0;
        m_longestCpu = 0;
        m_timer.start();
    }
    void beat()
    {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        if (now - m_last > m_longest) {
            m_longest = now - m_last;
            m_longestCpu = cpu - m_lastCpu;
        }
        m_last = now;
        m_lastCpu = cpu;
    }
    qint64 stop()
    {
        beat();
        m_timer.stop();
        return m_longest;
    }
    qint64 longestCpuNs() const { return m_longestCpu; }
    qint64 elapsedNs() const { return m_clock.nsecsElapsed(); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastCpu = 0;
    qint64 m_longest = 0;
    qint64 m_longestCpu = 0;
};

// One action: `start` runs from the event loop; the action counts as finished when `done`
// says so (work handed to workers or timers included); blocks in the short tail after it
// still count, as painting and layouts queued by the action run there.
struct Action
{
    std::function<void()> start;
    std::function<bool()> done = [] { return true; };
};

constexpr qint64 kTailMs = 100;
constexpr qint64 kGiveUpMs = 600'000;

void run(const char *name, qint64 megabytes, const Action &action)
{
    static Heartbeat heartbeat;
    bool started = false;
    heartbeat.start();
    QTimer::singleShot(0, [&] {
        action.start();
        started = true;
    });
    qint64 totalNs = -1;
    while (true) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const qint64 now = heartbeat.elapsedNs();
        if (totalNs < 0 && started && action.done())
            totalNs = now;
        if (totalNs >= 0 && now - totalNs >= kTailMs * 1'000'000)
            break;
        if (now > kGiveUpMs * 1'000'000) {
            std::printf("responsiveness %s %lldMB gave up after %lld s\n", name,
                        static_cast<long long>(megabytes), kGiveUpMs / 1000);
            totalNs = now;
            break;
        }
    }
    const qint64 longest = heartbeat.stop();
    std::printf("responsiveness %s %lldMB longest_block_ms=%lld total_ms=%lld block_cpu_ms=%lld\n",
                name, static_cast<long long>(megabytes),
                static_cast<long long>(longest / 1'000'000),
                static_cast<long long>(totalNs / 1'000'000),
                static_cast<long long>(heartbeat.longestCpuNs() / 1'000'000));
    std::fflush(stdout);
}

// Settles what an action queued for the next turns of the event loop (zero timers included).
void flush()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

// Waits, with the event loop running, until the condition holds; for set-up between actions.
void waitFor(const std::function<bool()> &condition)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < kGiveUpMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    flush();
}

// A typist: one key every 120 ms, then done once `settled` holds after the last key.
struct Typist
{
    QWidget *target = nullptr;
    QString text;
    bool lastSent = false;

    Action action(std::function<bool()> settled)
    {
        return {[this] {
                    lastSent = false;
                    for (qsizetype i = 0; i < text.size(); ++i) {
                        QTimer::singleShot(int(i) * 120, target, [this, i] {
                            const QString ch = text.mid(i, 1);
                            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, ch);
                            QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, ch);
                            QCoreApplication::sendEvent(target, &press);
                            QCoreApplication::sendEvent(target, &release);
                            lastSent = i == text.size() - 1;
                        });
                    }
                },
                [this, settled] { return lastSent && settled(); }};
    }
};

// Steps run one after another, each from its own turn of the event loop a little later, so
// that the longest block is that of the slowest step rather than of all of them together.
Action steps(std::vector<std::function<void()>> list, int gapMs = 40)
{
    auto next = std::make_shared<size_t>(0);
    auto all = std::make_shared<std::vector<std::function<void()>>>(std::move(list));
    auto step = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> weak = step;
    *step = [next, all, weak, gapMs] {
        (*all)[(*next)++]();
        if (*next < all->size()) {
            if (auto again = weak.lock())
                QTimer::singleShot(gapMs, [again] { (*again)(); });
        }
    };
    return {[step] { (*step)(); }, [next, all, step] { return *next >= all->size(); }};
}

// Done one turn of the event loop after the action: what it queued has run by then.
Action settledAfter(std::function<void()> start)
{
    auto flag = std::make_shared<bool>(false);
    return {[start, flag] {
                *flag = false;
                start();
                QTimer::singleShot(0, [flag] { QTimer::singleShot(0, [flag] { *flag = true; }); });
            },
            [flag] { return *flag; }};
}

// Done once `action` is, and the Compare page has compared the changed document again.
Action comparedAfter(const Action &action, const CompareView *compare)
{
    return {action.start, [done = action.done, compare] {
                return done() && !compare->isComparing() && !compare->isComparisonDue();
            }};
}

// Done once the document manager's worker has handed back what it did, and that was taken in.
Action untilIdle(const MainWindow &window, std::function<void()> start)
{
    return {std::move(start), [&window] { return !window.documents().isBusy(); }};
}

QAction *actionNamed(MainWindow &window, const QString &text)
{
    for (QAction *action : window.findChildren<QAction *>()) {
        if (action->text() == text)
            return action;
    }
    std::fprintf(stderr, "no action named %s\n", qPrintable(text));
    return nullptr;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The file with every 200th value of a plain type changed, as a backup made some edits ago.
QByteArray editedCopy(const QByteArray &bytes)
{
    XsdtDocument doc;
    if (!doc.parse(bytes))
        return bytes;
    int counter = 0;
    std::function<void(XsdtNode *)> walk = [&](XsdtNode *node) {
        for (const auto &child : node->children) {
            if (child->isValue() && child->type == QLatin1Char('s') && ++counter % 200 == 0)
                child->value += QLatin1Char('x');
            walk(child.get());
        }
    };
    walk(&doc.root);
    return doc.serialize();
}

// The first string value the user could edit.
XsdtNode *firstString(const SettingsModel &model, XsdtNode *node)
{
    for (const auto &child : node->children) {
        if (child->isValue() && child->type == QLatin1Char('s') &&
            model.whyNotEditable(child.get()).isEmpty() &&
            model.refusal(child.get(), child->value + QLatin1Char('y')).isEmpty())
            return child.get();
        if (XsdtNode *found = firstString(model, child.get()))
            return found;
    }
    return nullptr;
}

bool searchSettled(SearchView *search)
{
    return search->isIndexBuilt() && !search->rows().isEmpty() && !search->isMakingRows();
}

void responsivenessAt(qint64 megabytes)
{
    QTemporaryDir home;
    const QString dir = home.path() + QStringLiteral("/.PixInsight");
    QDir().mkpath(dir);
    const QString path = dir + QStringLiteral("/core-1-pxi.settings");
    const QString other = dir + QStringLiteral("/core-2-pxi.settings");
    const QString backup = path + QStringLiteral(".bak-20260101-000000");
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000, 1);
    const QByteArray edited = editedCopy(bytes);
    if (!writeFile(path, bytes) || !writeFile(other, generatedFile(megabytes * 1000 * 1000, 2)) ||
        !writeFile(backup, edited)) {
        std::fprintf(stderr, "cannot write the files\n");
        return;
    }
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toLocal8Bit());
    Dialogs::setTestMode(true);
    {
        // Start-up: the window is built and shown while the file is read on the worker.
        std::unique_ptr<MainWindow> made;
        run("startup", megabytes,
            {[&] {
                 made = std::make_unique<MainWindow>(nullptr, path);
                 made->resize(1280, 860);
                 made->show();
             },
             [&] { return made && !made->documents().isBusy(); }});
        MainWindow &window = *made;
        flush();
        if (window.isPixInsightRunning())
            std::fprintf(stderr, "PixInsight counts as running: figures are of a view-only "
                                 "window. Run the benchmark in its own process namespace.\n");
        QTabWidget *tabs = window.tabs();
        SearchView *search = window.searchView();
        auto *compare = window.findChild<CompareView *>();
        auto *treeFilter = window.findChild<TreeFilter *>();
        if (!compare || !treeFilter) {
            std::fprintf(stderr, "pages not found\n");
            return;
        }
        const auto showPage = [&](QWidget *page) {
            tabs->setCurrentWidget(page);
            flush();
        };

        run("load", megabytes, untilIdle(window, [&] { window.loadFile(path); }));

        // The first search right after loading, pasted in one go.
        showPage(search);
        run("first-search", megabytes,
            {[&] { search->searchEdit()->setText(QStringLiteral("geometry width")); },
             [&] { return searchSettled(search); }});

        search->searchEdit()->clear();
        flush();
        Typist searchTypist{search->searchEdit(), QStringLiteral("maxprocessors")};
        run("search-typing", megabytes, searchTypist.action([&] {
            return searchSettled(search) &&
                   search->statusLabel()->text() != search->tr("No matching settings.");
        }));

        // Find module right after a reload, before anything was looked up on the new document.
        QStringList modules = registeredModules(window.store().document);
        const QString module = modules.isEmpty() ? QStringLiteral("Geometry") : modules.first();
        run("reload", megabytes, untilIdle(window, [&] { window.reloadAction()->trigger(); }));
        Dialogs::setNextDialogHandler([module](QDialog *dialog) {
            if (auto *find = qobject_cast<ModuleSearchDialog *>(dialog)) {
                find->nameEdit()->setText(module);
                return int(QDialog::Accepted);
            }
            return int(QDialog::Rejected);
        });
        QAction *findModule = actionNamed(window, MainWindow::tr("Find &module data..."));
        run("find-module", megabytes,
            {[&] { findModule->trigger(); },
             [&] { return search->banner()->isVisibleTo(search) && searchSettled(search); }});
        search->clearFilter();

        // The pages that list what a file holds, shown for the first time since the reload.
        auto *cleanup = window.findChild<CleanupView *>();
        UnusedModulesView *unused = window.unusedModulesView();
        run("cleanup-page", megabytes,
            {[&] { tabs->setCurrentWidget(cleanup); }, [&] { return !cleanup->isBuilding(); }});
        // What is safe to clean ticked from the keyboard, queued, and the queueing undone.
        QTreeView *cleanupTree = cleanup->tree();
        const auto tickAll = [&] {
            cleanupTree->setCurrentIndex(cleanupTree->model()->index(0, 0));
            QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
            QCoreApplication::sendEvent(cleanupTree, &space);
        };
        run("cleanup-tick", megabytes, settledAfter(tickAll));
        std::printf("  %s\n", qPrintable(cleanup->statusLabel()->text()));
        run("cleanup-queue", megabytes, settledAfter([&] { cleanup->queueButton()->click(); }));
        std::printf("  pending changes after cleanup-queue: %d\n", window.pendingCount());
        run("cleanup-undo", megabytes, settledAfter([&] { window.undoAction()->trigger(); }));
        std::printf("  pending changes after cleanup-undo: %d\n", window.pendingCount());
        // Queued again and taken back with the page's own button, everything ticked.
        tickAll();
        flush();
        cleanup->queueButton()->click();
        flush();
        tickAll();
        flush();
        run("cleanup-unqueue", megabytes, settledAfter([&] { cleanup->undoButton()->click(); }));
        std::printf("  pending changes after cleanup-unqueue: %d\n", window.pendingCount());
        window.undoAction()->trigger();
        window.undoAction()->trigger();
        flush();
        run("unused-page", megabytes,
            {[&] { tabs->setCurrentWidget(unused); }, [&] { return !unused->isBuilding(); }});

        std::vector<std::function<void()>> pageSteps;
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < tabs->count(); ++i)
                pageSteps.push_back([tabs, i] { tabs->setCurrentIndex(i); });
        }
        run("switch-pages", megabytes, steps(pageSteps, 60));

        // The advanced tree is the last tab.
        tabs->setCurrentIndex(tabs->count() - 1);
        flush();
        Typist filterTypist{window.allSettingsView()->filterEdit(), QStringLiteral("width")};
        run("tree-filter-typing", megabytes,
            filterTypist.action([&] { return !treeFilter->isBusy(); }));
        window.allSettingsView()->filterEdit()->clear();
        waitFor([&] { return !treeFilter->isBusy(); });
        // Done once every group is open.
        const Action expandAll =
            settledAfter([&] { actionNamed(window, MainWindow::tr("&Expand all"))->trigger(); });
        run("expand-all", megabytes,
            {expandAll.start,
             [&] { return expandAll.done() && !window.allSettingsView()->tree()->isExpanding(); }});
        {
            // Checked outside the timing: every group with rows is open.
            const SettingsTreeView *tree = window.allSettingsView()->tree();
            qint64 groups = 0;
            qint64 closed = 0;
            std::function<void(const XsdtNode *)> count = [&](const XsdtNode *node) {
                for (const auto &child : node->children) {
                    if (!child->isGroup() || child->children.empty())
                        continue;
                    ++groups;
                    const QModelIndex source = window.model()->indexForNode(child.get());
                    if (!tree->isExpanded(tree->fromSource(source)))
                        ++closed;
                    count(child.get());
                }
            };
            count(&window.model()->document()->root);
            std::printf("  groups left closed after expand all: %lld of %lld\n",
                        static_cast<long long>(closed), static_cast<long long>(groups));
        }
        // A filter typed into the tree opened all the way, which lets go of every open group;
        // then everything is opened again for the actions below.
        run("tree-filter-expanded", megabytes,
            filterTypist.action([&] { return !treeFilter->isBusy(); }));
        window.allSettingsView()->filterEdit()->clear();
        waitFor([&] { return !treeFilter->isBusy(); });
        expandAll.start();
        waitFor(
            [&] { return expandAll.done() && !window.allSettingsView()->tree()->isExpanding(); });

        run("health-check", megabytes, settledAfter([&] {
                actionNamed(window, MainWindow::tr("Run &health check"))->trigger();
            }));

        // The Paths page made again for the open file: the search runs on a worker, the
        // window lays out the folders it found. Then a replacement previewed from its result.
        PathsView *paths = window.pathsView();
        run("paths-page", megabytes,
            {[&] {
                 window.tabs()->setCurrentWidget(paths);
                 paths->setDocument(window.model()->document());
             },
             [&] { return !paths->isScanning(); }});
        run("paths-preview", megabytes,
            {[&] {
                 paths->preview(QStringLiteral("/home/astro"), QStringLiteral("/home/stargazer"));
             },
             [&] { return !paths->isPreviewing(); }});
        // The previewed replacement made, then taken back: each ends when the page has
        // searched the changed document again.
        run("paths-replace", megabytes,
            {[&] { paths->confirmReplacement(); }, [&] { return !paths->isScanning(); }});
        std::printf("  pending changes after paths-replace: %d\n", window.pendingCount());
        run("paths-undo", megabytes,
            {[&] { window.undoAction()->trigger(); }, [&] { return !paths->isScanning(); }});
        paths->clearPreview();
        RepositoriesView *repositories = window.repositoriesView();
        run("repos-page", megabytes, settledAfter([&] {
                window.tabs()->setCurrentWidget(repositories);
                repositories->setDocument(window.model()->document());
            }));
        // Three versions of the file kept (another instance's, a small edit of it, the file as
        // it is): the page compares the newest with the one before; picking another version and
        // a moment later the newest again leaves a version being read for another one.
        auto *history = window.findChild<HistoryView *>();
        qint64 newest = 0;
        {
            HistoryStore store;
            if (store.open(path)) {
                for (const QByteArray *version : {&generatedFile(megabytes * 1000 * 1000, 2),
                                                  &edited, &bytes})
                    newest = HistoryRecorder::recordAndCount(store, *version,
                                                             VersionAuthor::PixInsight);
            }
            if (newest <= 0)
                std::fprintf(stderr, "cannot keep the versions of the file\n");
        }
        const auto historyDone = [history] { return !history->browser()->isRunning(); };
        run("history-page", megabytes,
            {[&] {
                 window.tabs()->setCurrentWidget(history);
                 history->openHistory();
                 history->showVersion(newest);
             },
             historyDone});
        run("history-switch", megabytes,
            {[&] {
                 history->showVersion(newest - 1);
                 QTimer::singleShot(300, history, [&] { history->showVersion(newest); });
             },
             [&] { return history->browser()->shownId() == newest && historyDone(); }});

        showPage(compare);
        const auto choose = [compare](const QString &file) {
            QComboBox *chooser = compare->fileChooser();
            for (int i = 0; i < chooser->count(); ++i) {
                if (chooser->itemData(i).toString() == file) {
                    chooser->setCurrentIndex(i);
                    emit chooser->activated(i);
                    return;
                }
            }
            std::fprintf(stderr, "%s is not offered\n", qPrintable(file));
        };
        const auto compared = [compare](const QString &file) {
            return [compare, file] {
                return !compare->isComparing() && compare->otherPath() == file &&
                       compare->tree()->model()->rowCount() > 0;
            };
        };
        run("compare-backup", megabytes, {[&] { choose(backup); }, compared(backup)});
        run("compare-other", megabytes, {[&] { choose(other); }, compared(other)});
        std::vector<std::function<void()>> filterSteps;
        for (QCheckBox *box : {compare->onlyHereBox(), compare->onlyThereBox(),
                               compare->hideNoiseBox(), compare->differentBox()}) {
            filterSteps.push_back([box] { box->toggle(); });
            filterSteps.push_back([box] { box->toggle(); });
        }
        // Done once the last toggle's rows are in.
        Action filters = steps(filterSteps);
        filters.done = [done = filters.done, compare] {
            return done() && !compare->isSearchPending();
        };
        run("compare-filters", megabytes, filters);
        Typist compareTypist{compare->searchEdit(), QStringLiteral("width")};
        run("compare-search-typing", megabytes,
            compareTypist.action([&] { return !compare->isSearchPending(); }));
        compare->searchEdit()->clear();

        const auto undoSettled = [&] {
            window.undoAction()->trigger();
            waitFor([&] { return !compare->isComparing() && !compare->isComparisonDue(); });
        };

        // The preferences and every module's and script's data written out through File >
        // Export..., on the worker.
        const QString exportPath = home.path() + QStringLiteral("/exported.json");
        Dialogs::setNextFileName(exportPath);
        Dialogs::setNextDialogHandler([](QDialog *dialog) {
            if (auto *choose = qobject_cast<ExportDialog *>(dialog))
                choose->tickAllButton()->click();
            return int(QDialog::Accepted);
        });
        run("export-setup", megabytes, untilIdle(window, [&] {
                actionNamed(window, QStringLiteral("E&xport..."))->trigger();
            }));
        std::printf("  exported: %lld bytes\n",
                    static_cast<long long>(QFileInfo(exportPath).size()));
        QFile::remove(exportPath);
        Dialogs::reset();

        // Every module's data and the preferences exported from the backup (this file with a
        // value in 200 edited) and imported into this file with its home folder mapped
        // elsewhere, as File > Import... does it, while Compare shows the other file.
        const QString setupPath = home.path() + QStringLiteral("/setup.json");
        {
            XsdtDocument source;
            source.parse(edited);
            SetupChoice choice;
            if (XsdtNode *data = source.findPath(u"ModuleData"))
                choice.subtrees.append(data);
            QList<XsdtNode *> values;
            QString error;
            if (!setupValues(source, *window.model()->schema(), *window.model()->policy(), choice,
                             &values, &error) ||
                !writeFile(setupPath, writeSetupFile(values, backup, choice.modules)))
                std::fprintf(stderr, "cannot export the setup: %s\n", qPrintable(error));
            std::printf("  setup exported: %lld values\n", static_cast<long long>(values.size()));
        }
        const int beforeImport = window.pendingCount();
        Dialogs::clearShown();
        Dialogs::setNextFileName(setupPath);
        Dialogs::setNextDialogHandler([](QDialog *dialog) {
            if (auto *mapping = qobject_cast<ImportMapDialog *>(dialog)) {
                mapping->setMapping(0, QStringLiteral("/home/astro"),
                                    QStringLiteral("/home/stargazer"));
                return int(QDialog::Accepted);
            }
            return int(QDialog::Rejected);
        });
        // The review that follows the import is turned down: the import is what is measured.
        Dialogs::setNextDialogHandler([](QDialog *) { return int(QDialog::Rejected); });
        // Read and checked on the worker, then applied here.
        run("import-setup", megabytes,
            comparedAfter(
                untilIdle(window,
                          [&] { actionNamed(window, QStringLiteral("&Import..."))->trigger(); }),
                compare));
        std::printf("  pending changes: %d before import-setup, %d after\n", beforeImport,
                    window.pendingCount());
        for (const Dialogs::Record &shown : Dialogs::shown()) {
            if (!shown.text.isEmpty())
                std::printf("  import said: %s\n%s\n", qPrintable(shown.text),
                            qPrintable(shown.informativeText));
        }
        Dialogs::reset(); // the review's answer when the import was refused
        if (window.pendingCount() != beforeImport)
            undoSettled();
        waitFor(
            [&] { return !compare->isSearchPending() && compare->copyAllButton()->isEnabled(); });

        const int before = window.pendingCount();
        std::printf("  copy all shown: %s\n", qPrintable(compare->copyAllButton()->text()));
        Dialogs::setNextAnswer(QMessageBox::Yes);
        run("copy-all", megabytes,
            comparedAfter(settledAfter([&] { compare->copyAllButton()->click(); }), compare));
        std::printf("  pending changes: %d before, %d after\n", before, window.pendingCount());
        // The review a save opens with them: shown, its first picture drawn, then turned down
        // once every change is listed.
        int reviewRows = -1;
        Dialogs::setNextDialogHandler([&reviewRows](QDialog *dialog) {
            dialog->show();
            dialog->grab();
            QCoreApplication::processEvents();
            if (auto *review = qobject_cast<ReviewDialog *>(dialog)) {
                while (review->isListing())
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
                review->grab();
                reviewRows = review->tree()->model()->rowCount();
            }
            return int(QDialog::Rejected);
        });
        run("review-open", megabytes, settledAfter([&] { window.saveAction()->trigger(); }));
        std::printf("  review listed %d rows\n", reviewRows);
        run("undo-batch", megabytes,
            comparedAfter(settledAfter([&] { window.undoAction()->trigger(); }), compare));
        run("redo-batch", megabytes,
            comparedAfter(settledAfter([&] { window.redoAction()->trigger(); }), compare));

        // One value typed in the advanced tree while Compare shows the other file.
        tabs->setCurrentIndex(tabs->count() - 1);
        flush();
        run("tree-edit", megabytes,
            comparedAfter(settledAfter([&] {
                              if (XsdtNode *node =
                                      firstString(*window.model(), window.model()->rootNode()))
                                  window.model()->setData(window.model()->indexForNode(node, 1),
                                                          QString(node->value + QLatin1Char('y')));
                          }),
                          compare));
        std::printf("  pending changes after tree-edit: %d\n", window.pendingCount());

        // A repository removed on its page while Compare shows the other file, then taken back.
        tabs->setCurrentWidget(repositories);
        flush();
        QPushButton *removeRepository = nullptr;
        for (QPushButton *button : repositories->findChildren<QPushButton *>()) {
            if (button->text() == RepositoriesView::tr("Remove repository...")) {
                removeRepository = button;
                break;
            }
        }
        if (removeRepository) {
            Dialogs::setNextAnswer(QMessageBox::Yes);
            run("repos-remove", megabytes,
                comparedAfter(settledAfter([&] { removeRepository->click(); }), compare));
            std::printf("  pending changes after repos-remove: %d\n", window.pendingCount());
            undoSettled();
        } else {
            std::fprintf(stderr, "no repository to remove\n");
        }

        // Another program writes the file meanwhile: the edited copy, so that most changes
        // are made again and a few meet a value changed on disk.
        if (!writeFile(path, edited))
            std::fprintf(stderr, "cannot change the file\n");
        window.pollEnvironment();
        // A large file's content is hashed on the worker: the verdict follows.
        waitFor([&] { return window.documents().isIdle(); });
        if (!window.reloadKeepAction()->isEnabled())
            std::fprintf(stderr, "reload keeping changes is not offered\n");
        run("reload-keep", megabytes,
            comparedAfter(untilIdle(window, [&] { window.reloadKeepAction()->trigger(); }),
                          compare));
        std::printf("  pending changes after reload-keep: %d\n", window.pendingCount());

        // Save with one edit.
        window.model()->revertAll();
        window.model()->clearHistory();
        if (XsdtNode *node = firstString(*window.model(), window.model()->rootNode()))
            window.model()->setData(window.model()->indexForNode(node, 1),
                                    QString(node->value + QLatin1Char('y')));
        flush();
        std::printf("  pending changes before save: %d\n", window.pendingCount());
        Dialogs::setNextDialogHandler([](QDialog *) { return int(QDialog::Accepted); });
        // Until Compare has taken in the saved document too, so that the poll below is measured
        // alone.
        run("save", megabytes,
            comparedAfter(untilIdle(window, [&] { window.saveAction()->trigger(); }), compare));
        std::printf("  pending changes after save: %d\n", window.pendingCount());
        // The next poll looks at the file just written: only its content can tell.
        run("poll-after-save", megabytes,
            {[&] { window.pollEnvironment(); }, [&] { return window.documents().isIdle(); }});
        std::printf("  changed on disk after save: %s\n",
                    window.documents().isChangedOnDisk() ? "yes (wrong)" : "no");

        // Restore the backup the save just made (the newest). A restore that was refused or
        // failed would leave nothing measured but a dialog.
        window.model()->revertAll();
        Dialogs::clearShown();
        Dialogs::setNextItem(0);
        Dialogs::setNextAnswer(QMessageBox::Yes);
        int restored = -1;
        const QMetaObject::Connection restoreDone =
            QObject::connect(window.findChild<FileCommands *>(), &FileCommands::restoreDone,
                             [&restored](bool ok) { restored = ok; });
        bool neverStarted = false; // turned down before anything was read
        run("restore", megabytes,
            comparedAfter(
                {[&] {
                     window.restoreAction()->trigger();
                     neverStarted = restored < 0 && !window.documents().isBusy();
                 },
                 [&] { return neverStarted || (restored >= 0 && !window.documents().isBusy()); }},
                compare));
        QObject::disconnect(restoreDone);
        if (restored != 1 || !window.documents().isLoaded()) {
            QString said;
            for (const Dialogs::Record &shown : Dialogs::shown())
                said += QStringLiteral(" [%1: %2]").arg(shown.title, shown.text);
            fail(QStringLiteral("the restore %1 and left %2 loaded.%3")
                     .arg(restored < 0 ? QStringLiteral("never ended")
                          : restored   ? QStringLiteral("succeeded")
                                       : QStringLiteral("failed"),
                          window.documents().isLoaded() ? QStringLiteral("a file")
                                                        : QStringLiteral("no file"),
                          said));
        }
        // A reload now, with every page filled: what the pages' taking in a new document costs,
        // apart from reading it.
        run("reload-late", megabytes,
            comparedAfter(untilIdle(window, [&] { window.reloadAction()->trigger(); }), compare));
    }
    Dialogs::reset();
    qputenv("HOME", savedHome);
    qputenv("XDG_CONFIG_HOME", savedConfig);
}

} // namespace

void benchResponsiveness()
{
    std::printf("\nResponsiveness (longest block of the GUI thread per action)\n");
    // For comparison: every step on the file done on the GUI thread, none on the worker.
    if (qEnvironmentVariableIsSet("VARNEL_BENCH_INLINE"))
        DocumentManager::setWorkerThreshold(qint64(1) << 60);
    QList<qint64> sizes = options().sizes;
    if (sizes.isEmpty())
        sizes = options().quick ? QList<qint64>{10} : QList<qint64>{10, 50};
    for (qint64 mb : sizes)
        responsivenessAt(mb);
}

} // namespace vrn::bench
