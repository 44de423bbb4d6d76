// Screenshot mode: renders the pages and dialogs to PNG files for layout checks, then leaves
// the settings file exactly as it was. Every change made for a picture is reverted and
// nothing is ever saved.
#include "app/mainwindow.h"

#include "app/filecommands.h"
#include "app/thememanager.h"
#include "document/additions.h"
#include "document/valuenodes.h"
#include "document/xsdtnode.h"
#include "environment/discovery.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "knowledge/modules.h"
#include "knowledge/setupfile.h"
#include "model/settingsmodel.h"
#include "privileged/installedupdates.h"
#include "views/aboutdialog.h"
#include "views/allsettingsview.h"
#include "views/backupsdialog.h"
#include "views/cleanupview.h"
#include "views/compareview.h"
#include "views/exportdialog.h"
#include "views/healthview.h"
#include "views/historyview.h"
#include "views/importmapdialog.h"
#include "views/installedupdatesdialog.h"
#include "views/modulesearchdialog.h"
#include "views/pathsview.h"
#include "views/preferencesview.h"
#include "views/repositoriesview.h"
#include "views/reviewdialog.h"
#include "views/searchview.h"
#include "views/taskpage.h"
#include "views/unusedmodulesview.h"
#include "widgets/collapsiblesection.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProgressDialog>
#include <QPushButton>
#include <QSaveFile>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace vrn {

namespace {

void settle()
{
    // Twice: layouts posted while the first round ran (lazy rows, deferred deletions) settle
    // in the second.
    for (int round = 0; round < 2; ++round) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QApplication::processEvents();
    }
}

// The open file as another PixInsight instance might have it: a few preferences changed, one
// missing and one it does not have, plus the statistics every two files differ in.
QByteArray otherInstance(const XsdtDocument &document)
{
    XsdtDocument other;
    if (!other.parse(document.serialize()))
        return {};
    if (XsdtNode *prefs = other.findPath(u"Global/Preferences")) {
        QList<XsdtNode *> values;
        collectValueNodes(prefs, values);
        int changed = 0;
        for (qsizetype i = 3; i < values.size() && changed < 8; i += 5) {
            XsdtNode *node = values.at(i);
            if (node->type == QLatin1Char('b')) {
                node->value = node->value == QLatin1String("true") ? QStringLiteral("false")
                                                                   : QStringLiteral("true");
            } else if (node->type == QLatin1Char('i') || node->type == QLatin1Char('u')) {
                node->value = QString::number(node->value.toLongLong() + 1);
            } else {
                continue;
            }
            ++changed;
        }
        if (!values.isEmpty()) {
            XsdtNode *gone = values.constLast();
            auto &siblings = gone->parent->children;
            siblings.erase(siblings.begin() + gone->indexInParent());
        }
        XsdtNode *extra = prefs->appendChild(XsdtNode::Value, QStringLiteral("ExperimentalMode"));
        extra->type = QLatin1Char('b');
        extra->value = extra->originalValue = QStringLiteral("true");
    }
    if (XsdtNode *statistics = other.findPath(u"Global/Statistics")) {
        QList<XsdtNode *> counters;
        collectValueNodes(statistics, counters);
        for (XsdtNode *counter : std::as_const(counters)) {
            if (counter->type == QLatin1Char('u') || counter->type == QLatin1Char('i'))
                counter->value = QString::number(counter->value.toLongLong() + 3);
        }
    }
    other.commit();
    return other.serialize();
}

// A made-up history of the file in the data folder now set: an older write by PixInsight, a
// save pinned with a note, a write cut short and the newest write by PixInsight, recorded one
// after the other. Returns the oldest one's id, or 0.
qint64 makeHistory(const QString &file, const XsdtDocument &document)
{
    HistoryStore store;
    if (!store.open(file))
        return 0;
    const QByteArray current = document.serialize();
    const QByteArray other = otherInstance(document);
    QDateTime time(QDate(2026, 11, 2), QTime(21, 14, 5));
    setStoreClock([&time] { return time; });
    const qint64 older = HistoryRecorder::recordAndCount(store, other, VersionAuthor::PixInsight);
    time = time.addDays(18).addSecs(-3600 * 12);
    const qint64 pinned = HistoryRecorder::recordAndCount(store, current, VersionAuthor::Varnel);
    store.setPinned(pinned, true, QStringLiteral("before the 1.9 update"));
    time = time.addDays(11).addSecs(3600 * 14);
    HistoryRecorder::recordAndCount(store, current.left(current.size() / 2),
                                    VersionAuthor::PixInsight);
    time = time.addSecs(300);
    const qint64 newest = HistoryRecorder::recordAndCount(store, other, VersionAuthor::PixInsight);
    setStoreClock({});
    return pinned && newest ? older : 0;
}

bool memoryWanted()
{
    static const bool wanted = qEnvironmentVariableIsSet("VARNEL_MEMORY_STEPS");
    return wanted;
}

// The resident size and the peak since the peak was last reset, in KiB (-1 unknown).
std::pair<qint64, qint64> residentAndPeak()
{
    QFile status(QStringLiteral("/proc/self/status"));
    qint64 rss = -1;
    qint64 peak = -1;
    if (!status.open(QIODevice::ReadOnly))
        return {rss, peak};
    for (const QByteArray &line : status.readAll().split('\n')) {
        const QByteArray value = line.mid(6).trimmed().split(' ').value(0);
        if (line.startsWith("VmRSS:"))
            rss = value.toLongLong();
        else if (line.startsWith("VmHWM:"))
            peak = value.toLongLong();
    }
    return {rss, peak};
}

// The highest peak of the stretches measured before the last reset.
qint64 s_peakBefore = -1;

// Runs what the pictures need but a user's window would never hold (another instance's file,
// a made-up history, both built from a copy of the whole document in this same process) with
// its peak left out: the peak so far is kept, and the kernel's high-water mark starts again
// from what is resident once it is freed. Otherwise the peak reported for Compare and History
// would be this scaffolding's, not the window's.
template <typename Work>
auto outsideThePeak(Work work)
{
    if (memoryWanted())
        s_peakBefore = std::max(s_peakBefore, residentAndPeak().second);
    auto result = work();
    if (memoryWanted()) {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
        QFile reset(QStringLiteral("/proc/self/clear_refs"));
        if (reset.open(QIODevice::WriteOnly))
            reset.write("5");
    }
    return result;
}

// With VARNEL_MEMORY_STEPS set, each picture's name goes to stderr with the resident size (after
// the heap hands back what it can, so what the window holds), the peak so far and the peak
// since the picture before, in KiB: where a large file's memory goes, page by page.
void reportMemory(const QString &step)
{
    if (!memoryWanted())
        return;
    const qint64 stepPeak = residentAndPeak().second;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    const qint64 rss = residentAndPeak().first;
    s_peakBefore = std::max(s_peakBefore, stepPeak);
    std::fprintf(stderr, "memory: %s %lld %lld %lld\n", qPrintable(step), rss, s_peakBefore,
                 stepPeak);
    // The next picture's peak starts from what is resident now.
    QFile reset(QStringLiteral("/proc/self/clear_refs"));
    if (reset.open(QIODevice::WriteOnly))
        reset.write("5");
}

} // namespace

bool MainWindow::runScreenshots(const QString &directory, const QString &search)
{
    if (!QDir().mkpath(directory)) {
        std::fprintf(
            stderr, "%s\n",
            qPrintable(
                tr("Cannot create the folder %1.").arg(QDir::toNativeSeparators(directory))));
        return false;
    }
    // Nothing may change the state between pictures: no polls, no reload.
    m_docs.stopPolling();
    // A large file may still be on its way in: the pictures are of it loaded.
    m_docs.waitForIdle();
    if (!m_store.loaded && !m_docs.failedPath().isEmpty()) {
        std::fprintf(stderr, "%s\n%s\n", qPrintable(m_docs.loadError()),
                     qPrintable(tr("No pictures were made.")));
        return false;
    }
    resize(1200, 820);
    show();
    settle();
    // "Loaded <path>" would put wherever the file happens to lie into every picture.
    statusBar()->clearMessage();
    reportMemory(QStringLiteral("loaded"));

    bool allWritten = true;
    auto save = [&](QWidget *widget, const QString &name) {
        settle();
        const QString path = directory + QLatin1Char('/') + name;
        if (!widget->grab().save(path, "PNG")) {
            std::fprintf(stderr, "%s\n",
                         qPrintable(tr("Cannot write %1.").arg(QDir::toNativeSeparators(path))));
            allWritten = false;
        }
        reportMemory(name);
    };
    auto showTab = [&](QWidget *page) { m_tabs->setCurrentWidget(page); };

    showTab(m_preferences);
    m_preferences->setSearchText(search);
    for (int page = 0; page < qMin(m_preferences->pageCount(), 12); ++page) {
        if (m_preferences->showPage(page))
            save(this, QStringLiteral("prefs-%1.png").arg(page + 1, 2, 10, QLatin1Char('0')));
    }
    m_preferences->setSearchText(QString());

    // The first page again with text at 180 %: whole tab titles, larger boxes and icons,
    // nothing running into its neighbour.
    if (m_preferences->pageCount() > 0) {
        ThemeManager *theme = ThemeManager::instance();
        const double scale = theme->fontScale();
        theme->setFontScale(1.8, false);
        m_preferences->showPage(0);
        settle();
        statusBar()->clearMessage(); // "Text size ..." is not part of the page
        save(this, QStringLiteral("prefs-180.png"));
        // The largest text size on a small screen: the window keeps to 1024 pixels, the tabs
        // scroll and the fields stay in reach.
        theme->setFontScale(2.2, false);
        resize(1024, 700);
        settle();
        statusBar()->clearMessage();
        save(this, QStringLiteral("prefs-176-1024.png"));
        theme->setFontScale(scale, false);
        settle();
        statusBar()->clearMessage();
        resize(1200, 820);
    }

    showTab(m_search);
    m_search->buildIndex(); // the pictures show results, not the indexing notice
    m_search->setQuery(QStringLiteral("font"));
    save(this, QStringLiteral("search-font.png"));
    m_search->setQuery(QStringLiteral("thread"));
    save(this, QStringLiteral("search.png"));
    if (m_store.loaded) {
        const QString module = QStringLiteral("Kestrane");
        const QList<XsdtNode *> nodes =
            ModuleSearchDialog::moduleValueNodes(findModule(m_store.document, module, nullptr));
        m_search->showOnly(
            nodes,
            tr("Module search for \"%1\" (%n values)", nullptr, int(nodes.size())).arg(module));
        save(this, QStringLiteral("module-search.png"));
        m_search->clearFilter();
    }

    // Cleanup with everything that is safe to clean queued, then with it ticked only.
    if (m_store.loaded) {
        const bool wasViewOnly = m_model->isViewOnly();
        m_model->setViewOnly(false);
        m_cleanup->setViewOnly(false);
        showTab(m_cleanup);
        m_cleanup->setConfirmSavedSettings(false);
        m_cleanup->tickAll(true);
        m_cleanup->queueButton()->click();
        save(this, QStringLiteral("cleanup-queued.png"));
        m_model->revertAll();
        m_model->clearHistory(); // the next picture starts as if nothing had been done
        statusBar()->clearMessage();
        m_cleanup->tickAll(true);
        save(this, QStringLiteral("cleanup.png"));
        m_cleanup->setConfirmSavedSettings(true);
        m_cleanup->setDocument(&m_store.document); // drops the ticks
        m_model->setViewOnly(wasViewOnly);
        m_cleanup->setViewOnly(wasViewOnly);
    }

    // Unused module data with every card open, so the files part and the rows show.
    showTab(m_unusedView);
    m_unusedView->refresh();
    if (m_unusedView->isMeasuring()) {
        QEventLoop loop;
        connect(m_unusedView, &UnusedModulesView::measured, &loop, &QEventLoop::quit);
        loop.exec();
    }
    for (const UnusedModulesView::Card &card : m_unusedView->cards())
        card.section->setExpanded(true);
    save(this, QStringLiteral("unused-modules.png"));

    if (m_store.loaded) {
        showTab(m_health);
        m_health->finishCheck();
        save(this, QStringLiteral("health.png"));
    }

    if (m_store.loaded) {
        showTab(m_paths);
        m_paths->finishScan();
        QTreeWidget *folders = m_paths->tree();
        for (int i = 0; i < folders->topLevelItemCount() && i < 3; ++i)
            folders->topLevelItem(i)->setExpanded(true);
        save(this, QStringLiteral("paths.png"));
        // A home folder that moved: the example the user guide gives, in a window of the size
        // it opens with.
        resize(1100, 760);
        m_paths->preview(QStringLiteral("/home/astro"), QStringLiteral("/home/stargazer"));
        m_paths->finishPreview();
        save(this, QStringLiteral("paths-preview.png"));
        // A moved installation: its own folders are PixInsight's to record, listed apart.
        m_paths->preview(QStringLiteral("/opt/PixInsight"), QStringLiteral("/opt/PixInsight-2"));
        m_paths->finishPreview();
        save(this, QStringLiteral("paths-refused.png"));
        m_paths->clearPreview();
        resize(1200, 820);
        showTab(m_repositories);
        save(this, QStringLiteral("repositories.png"));
    }

    // The review dialog over one edit, one queued deletion and one new value, made with view-only
    // off so the picture shows the same whether PixInsight runs here or not.
    if (m_store.loaded) {
        const bool wasViewOnly = m_model->isViewOnly();
        m_model->setViewOnly(false);
        if (XsdtNode *animate =
                m_store.document.findPath(u"Global/Preferences/MainWindow/AnimateCombo")) {
            const QString flipped = animate->value == QLatin1String("true")
                                        ? QStringLiteral("false")
                                        : QStringLiteral("true");
            m_model->setData(m_model->indexForNode(animate, 1), flipped);
        }
        if (XsdtNode *statistics = m_store.document.findPath(u"Global/Statistics"))
            m_model->queueDeletion(statistics);
        // and a value the file never had, as an import that creates missing settings makes it
        m_model->addValues({{{QStringLiteral("ModuleData"), QStringLiteral("Orbiscan"),
                              QStringLiteral("Strength")},
                             QLatin1Char('F'),
                             QStringLiteral("0.75")}},
                           QString());
        {
            ReviewDialog review(m_model, &m_store.document, this);
            review.setFileNotes(m_store.replaceNotes());
            review.resize(900, 600);
            review.show();
            save(&review, QStringLiteral("review.png"));
        }

        // The advanced tree with only the changes shown, then the whole tree.
        showTab(m_allSettings);
        m_allSettings->changedOnlyBox()->setChecked(true);
        save(this, QStringLiteral("advanced-changed.png"));
        // As another program's write leaves it: the banner offers to reload keeping the changes.
        m_pretendChangedOnDisk = true;
        updateState();
        save(this, QStringLiteral("changed-on-disk.png"));
        m_pretendChangedOnDisk = false;
        updateState();
        m_allSettings->changedOnlyBox()->setChecked(false);
        m_model->revertAll();
        m_model->clearHistory(); // the next picture starts as if nothing had been done
        m_model->setViewOnly(wasViewOnly);

        BackupsDialog backups(m_store.path, this);
        backups.show();
        save(&backups, QStringLiteral("backups.png"));
    }
    if (m_store.loaded) {
        // Two modules ticked, and the file they would make arriving on a computer whose home
        // folder has another name.
        ExportDialog exporting(exportableModules(m_store.document), this);
        for (int row = 0; row < qMin(2, exporting.moduleList()->count()); ++row)
            exporting.moduleList()->item(row)->setCheckState(Qt::Checked);
        exporting.show();
        save(&exporting, QStringLiteral("export.png"));
        QList<XsdtNode *> values;
        setupValues(m_store.document, m_schema, m_policy, {true, {}, exporting.modules()}, &values);
        ImportMapDialog importing(QStringLiteral("/home/nova/varnel-setup.json"),
                                  int(values.size()), QStringLiteral("/home/astro"),
                                  QStringLiteral("/home/nova"), this);
        SetupFile setup;
        for (const XsdtNode *node : std::as_const(values))
            setup.values.append({node->path(), QString(node->type), node->value});
        importing.showFolders(setupFolders(setup, false));
        importing.show();
        save(&importing, QStringLiteral("import-map.png"));
        std::unique_ptr<QProgressDialog> checking(FileCommands::importProgress(
            FileCommands::tr("Checking %1…").arg(QStringLiteral("varnel-setup.json")), this));
        checking->show();
        save(checking.get(), QStringLiteral("import-progress.png"));
    }
    {
        AboutDialog about(m_store.loaded ? m_store.path : QString(),
                          tr("PixInsight Core (recorded in the open file)"), this);
        about.show();
        save(&about, QStringLiteral("about.png"));
    }
    // PixInsight's record of installed updates, only looked at: the dialog reads the file and
    // nothing here asks it to change anything.
    const QString records = findRecordFile();
    if (!records.isEmpty()) {
        InstalledUpdatesDialog dialog(records, this);
        dialog.setFilter(QStringLiteral("Orrinpad"));
        dialog.setAllShownChecked(true);
        dialog.show();
        save(&dialog, QStringLiteral("installed-updates.png"));
    }

    showTab(m_allSettings);
    save(this, QStringLiteral("advanced.png"));

    // Compare against another instance's file made for the pictures, in a folder of its own
    // that goes away afterwards. The file sits in a folder named as PixInsight's own, so the
    // chooser shows it as a user would see it, not under the temporary folder's made-up name.
    if (m_store.loaded) {
        QTemporaryDir folder;
        const QString otherPath =
            folder.isValid() && QDir(folder.path()).mkdir(QStringLiteral("Pleiades"))
                ? folder.filePath(QStringLiteral("Pleiades/core-2-pxi.settings"))
                : QString();
        const bool written = !otherPath.isEmpty() && outsideThePeak([&] {
            QSaveFile out(otherPath);
            const QByteArray bytes = otherInstance(m_store.document);
            return !bytes.isEmpty() && out.open(QIODevice::WriteOnly) &&
                   out.write(bytes) == bytes.size() && out.commit();
        });
        if (written && m_compare->compareWith(otherPath)) {
            m_compare->finishComparison();
            showTab(m_compare);
            save(this, QStringLiteral("compare.png"));
            m_compare->onlyHereBox()->setChecked(true);
            m_compare->onlyThereBox()->setChecked(true);
            m_compare->hideNoiseBox()->setChecked(false);
            save(this, QStringLiteral("compare-all.png"));
            m_compare->hideNoiseBox()->setChecked(true);
            m_compare->onlyHereBox()->setChecked(false);
            m_compare->onlyThereBox()->setChecked(false);
        }
        // Against the newest backup, when the file has one: what a restore would change.
        if (const QStringList backups = listBackups(m_store.path);
            !backups.isEmpty() && m_compare->compareWith(backups.first())) {
            m_compare->finishComparison();
            showTab(m_compare);
            save(this, QStringLiteral("compare-backup.png"));
        }
        m_compare->forgetOtherFile();
    }

    // The History page over a made-up history of the open file, kept in a data folder of its
    // own that goes away afterwards.
    if (m_store.loaded) {
        QTemporaryDir data;
        const QByteArray realData = qgetenv("XDG_DATA_HOME");
        const bool hadData = qEnvironmentVariableIsSet("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        const qint64 oldest =
            data.isValid()
                ? outsideThePeak([&] { return makeHistory(m_store.path, m_store.document); })
                : 0;
        if (oldest) {
            showTab(m_history);
            m_history->openHistory();
            m_history->showVersion(oldest + 1);
            m_history->finishComparison();
            save(this, QStringLiteral("history.png"));
            m_history->showVersion(oldest);
            m_history->againstChooser()->setCurrentIndex(1);
            m_history->finishComparison();
            m_history->differences()->setCurrentIndex(m_history->differences()->model()->index(
                0, 0, m_history->differences()->model()->index(0, 0)));
            save(this, QStringLiteral("history-diff.png"));
            m_history->showVersion(oldest + 2);
            save(this, QStringLiteral("history-damaged.png"));
            m_history->againstChooser()->setCurrentIndex(0);
        }
        if (hadData)
            qputenv("XDG_DATA_HOME", realData);
        else
            qunsetenv("XDG_DATA_HOME");
        m_history->openHistory();
    }

    hide();
    return allWritten;
}

} // namespace vrn
