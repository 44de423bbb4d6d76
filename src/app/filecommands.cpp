#include "app/filecommands.h"

#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/backgroundjob.h"
#include "knowledge/schema.h"
#include "knowledge/setupfile.h"
#include "model/reapply.h"
#include "model/settingsmodel.h"
#include "privileged/installedupdates.h"
#include "store/documentmanager.h"
#include "store/files.h"
#include "store/memoryfit.h"
#include "store/nativepath.h"
#include "views/backupsdialog.h"
#include "views/compareview.h"
#include "views/exportdialog.h"
#include "views/importmapdialog.h"
#include "views/installedupdatesdialog.h"
#include "views/reviewdialog.h"
#include "views/unusedmodulesview.h"
#include "widgets/dialogs.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMainWindow>
#include <QProgressDialog>
#include <QScopeGuard>
#include <QStatusBar>
#include <QUndoStack>

#include <memory>
#include <utility>

namespace vrn {

namespace {} // namespace

FileCommands::FileCommands(const Parts &parts)
    : QObject(parts.window)
    , m_window(parts.window)
    , m_docs(parts.docs)
    , m_model(parts.model)
    , m_unusedView(parts.unusedView)
    , m_compare(parts.compare)
    , m_schema(parts.schema)
{
    connect(m_docs, &DocumentManager::saved, this, &FileCommands::onSaved);
    connect(m_docs, &DocumentManager::restored, this, &FileCommands::onRestored);
}

bool FileCommands::reloadUnderWay()
{
    if (!m_docs->isKeepingChanges())
        return false;
    Dialogs::information(m_window, tr("Reload under way"),
                         tr("Your changes are being made again on the file just read. Try "
                            "again when that is done."));
    return true;
}

void FileCommands::offerSaveThen(const std::function<void()> &then)
{
    if (reloadUnderWay())
        return;
    const int count = m_docs->pendingCount();
    if (m_docs->store().loaded && count > 0) {
        const auto answer = Dialogs::question(
            m_window, tr("Unsaved changes"),
            tr("You have %n unsaved changes. Save them before opening another file?", nullptr,
               count),
            QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
        if (answer != QMessageBox::Discard && (answer != QMessageBox::Save || !save()))
            return;
        if (answer == QMessageBox::Save && m_saving) {
            connect(
                this, &FileCommands::saveDone, this,
                [then](bool ok) {
                    if (ok)
                        then();
                },
                Qt::SingleShotConnection);
            return;
        }
    }
    then();
}

bool FileCommands::mayOpen(const QString &path)
{
    const MemoryFit fit = MemoryFit::forFile(path, MemoryFit::kWindowFactor);
    if (fit.fits() ||
        Dialogs::goDespiteShortage(
            m_window, fit.shortage(path),
            tr("Opened anyway, it may make the computer slow to respond, or the system may end "
               "Varnel to free memory. Close other programs first, or open it anyway."),
            QMessageBox::Open))
        return true;
    m_window->statusBar()->showMessage(tr("%1 was not opened.").arg(nativePath(path)), 8000);
    emit fileListChanged(); // the file row goes back to the file that is open
    return false;
}

bool FileCommands::confirmDiscard(const QString &reason)
{
    if (reloadUnderWay())
        return false;
    const int count = m_docs->pendingCount();
    if (!m_docs->store().loaded || count == 0)
        return true;
    const auto answer =
        Dialogs::question(m_window, tr("Discard changes?"),
                          tr("You have %n unsaved changes. %1", nullptr, count).arg(reason),
                          QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel);
    return answer == QMessageBox::Discard;
}

void FileCommands::reloadKeepingChanges()
{
    if (!m_docs->fileState().canReloadKeep)
        return;
    const QString path = m_docs->store().path;
    // The new version is read and checked while the document and its changes are still held.
    const MemoryFit fit = MemoryFit::forFile(path, MemoryFit::kReadFactor);
    if (!fit.fits() &&
        !Dialogs::goDespiteShortage(
            m_window, fit.shortage(path),
            tr("Reloaded anyway, it may make the computer slow to respond, or the system may end "
               "Varnel to free memory, and your changes with it. Close other programs first, or "
               "reload anyway."),
            QMessageBox::Yes))
        return;
    auto pending = std::make_shared<QList<PendingChange>>();
    auto outcomes = std::make_shared<QList<ReapplyOutcome>>();
    DocumentManager::KeepChanges keep;
    // The lookups run on the thread that reads the file: the changes before the read, where
    // they lead and what the rules say of them on the document read. The window only writes.
    keep.onReader = [pending, outcomes, refusal = refusalCheck(m_schema, m_model->policy()),
                     viewOnly = m_model->isViewOnly()](const XsdtDocument &document, bool fresh) {
        if (fresh) {
            *outcomes = resolvePending(*pending, document, refusal);
            if (!viewOnly)
                makeResolvedEdits(*outcomes);
            *pending = {}; // freed here rather than by the window
        } else {
            *pending = pendingChanges(document);
        }
    };
    keep.makeAgain = [this, outcomes] {
        m_docs->busyWhile([this, outcomes] { applyResolved(*outcomes, *m_model); });
    };
    keep.finished = [this, path, outcomes](bool ok, const QString &error) {
        const auto done = qScopeGuard([this] { emit reloadKeptDone(); });
        if (!ok) {
            // A load that failed has told the user already; a file that did not read was left
            // alone, and so were the changes.
            if (m_docs->store().loaded)
                Dialogs::critical(
                    m_window, tr("Cannot reload"),
                    tr("%1\nNothing was reloaded; your changes are kept.").arg(error));
            return;
        }
        const ReloadReport report = describeReload(*outcomes, nativePath(path));
        // Thousands of them are freed on a pool thread rather than by the window.
        freeAside(std::exchange(*outcomes, {}));
        if (report.warn) {
            Dialogs::Message box;
            box.icon = QMessageBox::Warning;
            box.title = report.title;
            box.text = report.text;
            box.informativeText = report.list;
            box.detailedText = report.details;
            box.buttons = QMessageBox::Ok;
            box.defaultButton = QMessageBox::Ok;
            Dialogs::message(m_window, box);
        }
        m_window->statusBar()->showMessage(report.status, 8000);
    };
    m_docs->startReloadKeepingChanges(keep);
}

bool FileCommands::save()
{
    if (!m_docs->store().loaded)
        return true;
    if (m_docs->isBusy())
        return false;
    const QList<LeftoverItem> files = m_unusedView->queuedFiles();
    if (m_docs->documentPendingCount() == 0 && files.isEmpty())
        return true;
    {
        ReviewDialog review(m_model, &m_docs->store().document, m_window);
        review.setLeftoverItems(files);
        review.setFileNotes(m_docs->store().replaceNotes());
        if (Dialogs::execDialog(&review) != QDialog::Accepted)
            return false;
    }
    if (m_docs->documentPendingCount() > 0 &&
        !allowReadOnly(tr("Save anyway? The new file is read-only too.")))
        return false;
    m_saving = true;
    m_savedOk = false;
    m_docs->startSave();
    // A small file is saved by now; a large one is written on the worker and reported later.
    return m_saving || m_savedOk;
}

bool FileCommands::allowReadOnly(const QString &question)
{
    SettingsStore &store = m_docs->store();
    store.replaceReadOnly = false;
    if (!store.fileReadOnly())
        return true;
    store.replaceReadOnly =
        Dialogs::question(m_window, tr("Read-only file"),
                          tr("%1 is read-only: its owner may not write it.\n\n%2")
                              .arg(nativePath(store.path), question),
                          QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    return store.replaceReadOnly;
}

void FileCommands::onSaved(const DocumentManager::SaveResult &saved)
{
    if (!std::exchange(m_saving, false))
        return;
    m_savedOk = saved.ok;
    if (!saved.ok) {
        Dialogs::critical(m_window, tr("Save failed"), saved.error);
        m_docs->poll();
        emit saveDone(false);
        return;
    }
    QString backupName;
    if (saved.wrote) {
        m_model->refreshAll();
        emit fileListChanged();  // the file row shows the new size and time
        m_model->clearHistory(); // what was saved is the new starting point
        backupName = QFileInfo(saved.backupPath).fileName();
        // Compare offers the backup just made.
        m_compare->refreshFileChoices();
    }
    QString deleted;
    if (saved.filesDone) {
        // What is still there can be found and queued again.
        m_unusedView->refresh();
        if (!saved.files.problems.isEmpty())
            Dialogs::warning(m_window, tr("Some files were not deleted"),
                             saved.files.problems.join(QStringLiteral("\n\n")));
        deleted = tr("Deleted %n files or folders from disk.", nullptr, saved.files.deleted);
    }
    // The backup's name ends the message: a sentence after it would read as part of the name.
    QString message = deleted;
    if (!backupName.isEmpty())
        message = deleted.isEmpty() ? tr("Saved. Backup: %1").arg(backupName)
                                    : tr("Saved. %1 Backup: %2").arg(deleted, backupName);
    m_window->statusBar()->showMessage(message, 10000);
    emit stateChanged();
    emit saveDone(true);
}

void FileCommands::restoreBackup()
{
    const QString target = m_docs->currentFile();
    if (target.isEmpty())
        return;
    const QStringList backups = listBackups(target);
    if (backups.isEmpty()) {
        Dialogs::information(m_window, tr("Restore backup"),
                             tr("No backups were found next to the settings file."));
        return;
    }
    // The backup just compared with is the one the user is most likely weighing up.
    const QString compared = m_compare->otherPath();
    int current = 0;
    QStringList items;
    for (const QString &backup : backups) {
        if (sameFile(backup, compared))
            current = int(items.size());
        const QFileInfo info(backup);
        items.append(tr("%1   (%2, %L3 KiB)")
                         .arg(info.fileName(),
                              info.lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                         .arg(info.size() / 1024));
    }
    bool ok = false;
    const QString chosen =
        Dialogs::getItem(m_window, tr("Restore backup"), tr("Backup to restore (newest first):"),
                         items, current, &ok);
    const int index = items.indexOf(chosen);
    if (!ok || index < 0)
        return;
    restoreBackupFile(backups.at(index));
}

bool FileCommands::restoreBackupFile(const QString &backup)
{
    if (m_docs->isBusy())
        return false;
    if (!confirmDiscard(tr("Restoring discards them.")) || !mayOpen(backup))
        return false;
    const QString shown = m_restoreCopy ? m_restoringName : nativePath(backup);
    if (Dialogs::question(m_window, m_restoreCopy ? tr("Restore version") : tr("Restore backup"),
                          tr("Replace the current settings file with\n%1\n\nThe current file is "
                             "backed up first.")
                              .arg(shown),
                          QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes ||
        !allowReadOnly(m_restoreCopy
                           ? tr("Restore the version anyway? The restored file is read-only too.")
                           : tr("Restore the backup anyway? The restored file is read-only too.")))
        return false;
    // Files queued against the file being replaced go with the changes just discarded.
    m_restoring = backup;
    m_docs->startRestore(backup);
    return true;
}

bool FileCommands::restoreVersion(const QByteArray &bytes, const QString &name)
{
    if (m_docs->isBusy())
        return false;
    // The version goes through the same guarded restore as a backup, from a copy of its own
    // that stays until the restore is done.
    auto copy = std::make_unique<QTemporaryFile>();
    if (!copy->open() || copy->write(bytes) != bytes.size() || !copy->flush()) {
        Dialogs::critical(
            m_window, tr("Restore failed"),
            tr("Cannot make a copy of %1 to restore: %2").arg(name, copy->errorString()));
        return false;
    }
    m_restoreCopy = std::move(copy);
    m_restoringName = name;
    if (restoreBackupFile(m_restoreCopy->fileName()))
        return true;
    m_restoreCopy.reset();
    return false;
}

void FileCommands::onRestored(bool ok, const QString &error)
{
    const QString backup = std::exchange(m_restoring, QString());
    const QString name =
        m_restoreCopy ? std::exchange(m_restoringName, QString()) : QFileInfo(backup).fileName();
    m_restoreCopy.reset();
    if (backup.isEmpty())
        return;
    if (!ok) {
        Dialogs::critical(m_window, tr("Restore failed"), error);
    } else {
        emit fileListChanged();
        m_window->statusBar()->showMessage(tr("Restored %1").arg(name), 8000);
    }
    emit stateChanged();
    emit restoreDone(ok);
}

void FileCommands::manageBackups()
{
    const QString file = m_docs->currentFile();
    if (file.isEmpty())
        return;
    BackupsDialog dialog(file, m_window);
    dialog.selectBackup(m_compare->otherPath());
    const auto allow = [this, &dialog] {
        dialog.setActionsAllowed(m_docs->store().loaded, m_docs->fileState().canRestore);
    };
    allow();
    connect(&dialog, &BackupsDialog::message, this,
            [this](const QString &text) { m_window->statusBar()->showMessage(text, 10000); });
    connect(&dialog, &BackupsDialog::compareRequested, this, [this, &dialog](const QString &path) {
        QString error;
        if (!m_compare->compareWith(path, &error)) {
            Dialogs::warning(&dialog, tr("Compare"), error);
            return;
        }
        // The comparison is shown on its page, which the dialog would cover.
        emit compareShown();
        dialog.accept();
    });
    connect(&dialog, &BackupsDialog::restoreRequested, this, &FileCommands::restoreBackupFile);
    // The restore adds the replaced file's backup, and may have changed what is allowed.
    connect(this, &FileCommands::restoreDone, &dialog, [&dialog, allow] {
        dialog.refresh();
        allow();
    });
    Dialogs::execDialog(&dialog);
}

void FileCommands::installedUpdates()
{
    const QString path = findRecordFile();
    if (path.isEmpty()) {
        Dialogs::information(m_window, tr("Installed updates"),
                             tr("PixInsight's installed.xri was not found on this computer."));
        return;
    }
    InstalledUpdatesDialog dialog(path, m_window);
    Dialogs::execDialog(&dialog);
}

struct FileCommands::WorkerRun
{
    std::atomic<bool> cancelled{false}; // what the worker hands back is dropped
    bool handedBack = false;
};

void FileCommands::exportSetup()
{
    if (!m_docs->store().loaded || !m_schema)
        return;
    // A large file's hundred thousand names take a tenth of a second and more to sort.
    auto modules = std::make_shared<QStringList>();
    m_docs->startReadOnly(
        tr("Listing modules…"), 0,
        [modules, document = &m_docs->store().document] {
            *modules = exportableModules(*document);
        },
        [this, modules] { chooseExport(std::exchange(*modules, {})); });
}

void FileCommands::chooseExport(const QStringList &modules)
{
    ExportDialog choose(modules, m_window);
    if (Dialogs::execDialog(&choose) != QDialog::Accepted)
        return;
    const QString path = Dialogs::getSaveFileName(
        m_window, tr("Export setup"), QDir::home().filePath(QStringLiteral("varnel-setup.json")),
        tr("Varnel setups (*.json);;All files (*)"));
    if (path.isEmpty())
        return;
    SetupChoice choice;
    choice.preferences = choose.preferences();
    choice.modules = choose.modules();
    // Every module's data of a large file runs to seconds of writing: on the worker, with the
    // values as the window shows them (unsaved changes included) held still meanwhile.
    struct Export
    {
        QString error;
        qsizetype count = 0;
        bool ok = false;
    };
    auto result = std::make_shared<Export>();
    auto run = std::make_shared<WorkerRun>();
    const QString busy = tr("Exporting to %1…").arg(QFileInfo(path).fileName());
    m_docs->startReadOnly(
        busy, 0,
        [=, document = &m_docs->store().document, schema = m_schema, policy = m_model->policy(),
         source = m_docs->store().path] {
            QList<XsdtNode *> values;
            if (!setupValues(*document, *schema, *policy, choice, &values, &result->error))
                return;
            const QByteArray bytes = writeSetupFile(values, source, choice.modules);
            result->count = values.size();
            // Cancelled while it was written: nothing is left on disk.
            result->ok = run->cancelled || writeFileVerified(path, bytes, &result->error);
        },
        [this, path, result, run] {
            run->handedBack = true;
            if (run->cancelled)
                return;
            if (!result->ok) {
                Dialogs::critical(
                    m_window, tr("Export failed"),
                    tr("%1 was not written: %2").arg(nativePath(path), result->error));
                return;
            }
            m_window->statusBar()->showMessage(
                tr("Exported %n values to %1.", nullptr, int(result->count)).arg(nativePath(path)),
                10000);
        });
    offerCancel(tr("Export setup"), busy, run);
}

void FileCommands::importSetup()
{
    if (!m_docs->store().loaded || !m_schema)
        return;
    if (m_model->isViewOnly()) {
        Dialogs::information(m_window, tr("Import setup"),
                             tr("The file is view-only while PixInsight runs. Close PixInsight, "
                                "then import again."));
        return;
    }
    const QString path = Dialogs::getOpenFileName(m_window, tr("Import setup"), QDir::homePath(),
                                                  tr("Varnel setups (*.json);;All files (*)"));
    if (path.isEmpty())
        return;
    // A setup exported with every module's data runs to megabytes of JSON: it is read on the
    // worker when large, like the settings file, and so is going through its paths for the
    // folders the mapping dialog names.
    struct Read
    {
        SetupFile setup;
        QString error;
        bool ok = false;
        QString oldHome;
        QList<SetupFolder> folders;
    };
    auto read = std::make_shared<Read>();
    auto run = std::make_shared<WorkerRun>();
    const qint64 size = QFileInfo(path).size();
    const bool windowsPaths = HealthEnv::system().windowsPaths;
    const QString busy = tr("Reading %1…").arg(QFileInfo(path).fileName());
    m_docs->startReadOnly(
        busy, size,
        [path, read, run, windowsPaths] {
            QByteArray bytes;
            read->ok = readFile(path, bytes, &read->error) && !run->cancelled &&
                       readSetupFile(std::move(bytes), &read->setup, &read->error);
            if (read->ok && !run->cancelled) {
                read->oldHome = suggestedOldHome(read->setup, windowsPaths, [](const QString &f) {
                    return QFileInfo::exists(f);
                });
                read->folders = setupFolders(read->setup, windowsPaths);
            }
            if (run->cancelled)
                read->setup = SetupFile();
        },
        [this, path, read, run, size] {
            run->handedBack = true;
            if (run->cancelled)
                return;
            if (!read->ok) {
                Dialogs::critical(
                    m_window, tr("Import failed"),
                    tr("%1 cannot be imported: %2").arg(nativePath(path), read->error));
                return;
            }
            mapSetup(path, std::make_shared<SetupFile>(std::move(read->setup)), size, read->oldHome,
                     read->folders);
        });
    offerCancel(tr("Import setup"), busy, run);
}

QProgressDialog *FileCommands::importProgress(const QString &text, QWidget *parent)
{
    return progressDialog(tr("Import setup"), text, parent);
}

QProgressDialog *FileCommands::progressDialog(const QString &title, const QString &text,
                                              QWidget *parent)
{
    auto *progress = new QProgressDialog(text, tr("Cancel"), 0, 0, parent);
    progress->setWindowTitle(title);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(0);
    return progress;
}

void FileCommands::offerCancel(const QString &title, const QString &busyText,
                               const std::shared_ptr<WorkerRun> &run)
{
    // Done at once for a small setup, or waiting behind other work (the status bar says so).
    if (run->handedBack || !m_docs->isBusy() || m_docs->busyText() != busyText)
        return;
    delete m_progress;
    QProgressDialog *progress = progressDialog(title, busyText, m_window);
    progress->setWindowModality(Qt::WindowModal);
    connect(progress, &QProgressDialog::canceled, this, [run] { run->cancelled = true; });
    // Gone when the step ends, whether or not its result is still wanted.
    connect(m_docs, &DocumentManager::busyChanged, progress, [progress](bool busy) {
        if (!busy) {
            progress->hide();
            progress->deleteLater();
        }
    });
    progress->show();
    m_progress = progress;
}

void FileCommands::mapSetup(const QString &path, const std::shared_ptr<SetupFile> &setup,
                            qint64 size, const QString &oldHome, const QList<SetupFolder> &folders)
{
    const bool windowsPaths = HealthEnv::system().windowsPaths;
    ImportMapDialog mapping(path, int(setup->values.size()), oldHome,
                            oldHome.isEmpty() ? QString() : QDir::homePath(), m_window);
    mapping.showFolders(folders);
    if (Dialogs::execDialog(&mapping) != QDialog::Accepted)
        return;
    QList<PathMap> maps;
    QString error;
    if (!parsePathMaps(mapping.mappings(), windowsPaths, &maps, &error)) {
        Dialogs::critical(m_window, tr("Import failed"), tr("%1 Nothing was imported.").arg(error));
        return;
    }
    // Checking every value against a large file takes a good part of a second: on the worker,
    // with the document held still until the plan is applied.
    auto plan = std::make_shared<ImportPlan>();
    auto run = std::make_shared<WorkerRun>();
    const XsdtDocument *document = &m_docs->store().document;
    const QString busy = tr("Checking %1…").arg(QFileInfo(path).fileName());
    m_docs->startReadOnly(
        busy, size,
        [=, schema = m_schema, policy = m_model->policy(), settingsPath = m_docs->store().path,
         addMissing = mapping.addMissing()] {
            *plan = planImport(*document, *setup, maps, windowsPaths, *schema, policy, settingsPath,
                               addMissing, &run->cancelled);
            // Nothing needs the setup after this: its many values are freed here rather than
            // by the window.
            *setup = SetupFile();
        },
        [this, path, plan, run] {
            run->handedBack = true;
            if (!run->cancelled)
                applyImport(path, *plan);
        });
    offerCancel(tr("Import setup"), busy, run);
}

void FileCommands::applyImport(const QString &path, const ImportPlan &plan)
{
    if (!plan.problems.isEmpty()) {
        QStringList lines;
        for (const ImportProblem &problem : plan.problems)
            lines.append(problem.path.isEmpty() ? problem.message
                                                : tr("%1: %2").arg(problem.path, problem.message));
        constexpr int kShown = 8;
        QString list = lines.mid(0, kShown).join(QLatin1Char('\n'));
        if (lines.size() > kShown)
            list += QLatin1Char('\n') + tr("... and %n more (Show Details lists them all).",
                                           nullptr, int(lines.size()) - kShown);
        Dialogs::Message box;
        box.icon = QMessageBox::Warning;
        box.title = tr("Import failed");
        box.text = tr("%n problems in %1; nothing was imported.", nullptr, int(lines.size()))
                       .arg(nativePath(path));
        box.informativeText = list;
        box.detailedText = lines.join(QLatin1Char('\n'));
        Dialogs::message(m_window, box);
        return;
    }
    if (plan.changes.isEmpty() && plan.additions.isEmpty()) {
        Dialogs::information(m_window, tr("Import setup"),
                             tr("Every value in %1 is already set that way here; nothing to "
                                "import.")
                                 .arg(nativePath(path)));
        return;
    }
    const int stepsBefore = m_model->undoStack()->count();
    const QString name = QFileInfo(path).fileName();
    m_model->beginBatch([name](int changes) {
        return tr("import of %n values from %1", nullptr, changes).arg(name);
    });
    int refused = 0;
    QStringList notCreated;
    m_docs->busyWhile([&] {
        for (const ImportChange &change : plan.changes) {
            if (!m_model->setData(m_model->indexForNode(change.node, 1), change.value))
                ++refused;
        }
        QStringList reasons;
        m_model->addValues(plan.additions, QString(), &reasons);
        for (qsizetype i = 0; i < reasons.size(); ++i) {
            if (!reasons.at(i).isEmpty())
                notCreated.append(tr("%1: %2").arg(plan.additions.at(i).keys.join(QLatin1Char('/')),
                                                   reasons.at(i)));
        }
        m_model->endBatch();
    });
    refused += int(notCreated.size());
    if (refused > 0) {
        // All or nothing: the values checked a moment ago should all have been taken.
        if (m_model->undoStack()->count() > stepsBefore)
            m_model->undo();
        Dialogs::Message box;
        box.icon = QMessageBox::Critical;
        box.title = tr("Import failed");
        box.text = tr("%n values were not accepted; nothing was imported.", nullptr, refused);
        box.detailedText = notCreated.join(QLatin1Char('\n'));
        Dialogs::message(m_window, box);
        return;
    }
    m_window->statusBar()->showMessage(
        plan.additions.isEmpty()
            ? tr("Imported %n values from %1. Review them, then save.", nullptr,
                 int(plan.changes.size()))
                  .arg(nativePath(path))
            : tr("Imported %n values from %1 (%2 new). Review them, then save.", nullptr,
                 int(plan.changes.size() + plan.additions.size()))
                  .arg(nativePath(path))
                  .arg(plan.additions.size()),
        10000);
    emit stateChanged();
    save();
}

} // namespace vrn
