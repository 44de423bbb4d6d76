#include "app/historyswitch.h"

#include "app/filecommands.h"
#include "app/windowactions.h"
#include "history/historypreferences.h"
#include "history/historyrecorder.h"
#include "history/historyservice.h"
#include "history/historystore.h"
#include "store/documentmanager.h"
#include "views/historyview.h"

#include <QAction>
#include <QActionGroup>
#include <QDir>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QStatusBar>
#include <QThread>

namespace vrn {

HistorySwitch::HistorySwitch(QMainWindow *window, const WindowActions *actions,
                             DocumentManager *documents, HistoryView *page, FileCommands *files)
    : QObject(window)
    , m_window(window)
    , m_recorder(std::make_unique<HistoryRecorder>(VersionAuthor::Varnel))
{
    QPointer<HistorySwitch> self(this);
    m_recorder->setFailureHandler([self](const QString &message) {
        QMetaObject::invokeMethod(
            self, [self, message] { self->report(message); }, Qt::QueuedConnection);
    });
    documents->store().onFileWritten = m_recorder->observer();
    documents->store().holdFileReaders = m_recorder->fileHold();
    page->setEditedPathSource([documents] { return documents->currentFile(); });
    connect(page, &HistoryView::restoreRequested, files, &FileCommands::restoreVersion);

    const HistoryPreferences prefs = HistoryPreferences::read();
    m_keep = new QAction(tr("Keep a &history of this settings file"), window);
    m_keep->setCheckable(true);
    m_keep->setChecked(prefs.enabled);
    m_keep->setStatusTip(tr("Record every version of the file, also those PixInsight writes "
                            "while Varnel is closed"));
    connect(m_keep, &QAction::toggled, this, &HistorySwitch::switchTo);

    auto *limitMenu = new QMenu(tr("History si&ze limit"), window);
    m_limits = new QActionGroup(this);
    for (const int megabytes : {100, 500, 1024, 5120, 0}) {
        QAction *choice =
            limitMenu->addAction(megabytes == 0      ? tr("No limit")
                                 : megabytes >= 1024 ? tr("%1 GiB").arg(megabytes / 1024)
                                                     : tr("%1 MiB").arg(megabytes));
        choice->setCheckable(true);
        choice->setChecked(prefs.maxBytes == qint64(megabytes) << 20);
        m_limits->addAction(choice);
        connect(choice, &QAction::triggered, this, [megabytes] {
            HistoryPreferences changed = HistoryPreferences::read();
            changed.maxBytes = qint64(megabytes) << 20;
            changed.write();
        });
    }
    // Beside the backups, in the menu that holds them.
    for (QObject *holder : actions->manageBackups->associatedObjects()) {
        auto *menu = qobject_cast<QMenu *>(holder);
        if (!menu)
            continue;
        const QList<QAction *> entries = menu->actions();
        const qsizetype at = entries.indexOf(actions->manageBackups);
        QAction *before = entries.value(at + 1);
        menu->insertAction(before, m_keep);
        menu->insertMenu(before, limitMenu);
    }
}

HistorySwitch::~HistorySwitch() = default;

void HistorySwitch::report(const QString &message)
{
    m_window->statusBar()->showMessage(message, 10000);
}

void HistorySwitch::switchTo(bool on)
{
    HistoryPreferences prefs = HistoryPreferences::read();
    prefs.enabled = on;
    prefs.write();
    report(on ? tr("The history of the settings file is kept from now on, also while Varnel is "
                   "closed.")
              : tr("The history is no longer kept; the versions kept so far stay in %1.")
                    .arg(QDir::toNativeSeparators(HistoryStore::root())));
    // systemctl takes its time: the window does not wait for it.
    const HistoryService::Places places = HistoryService::places();
    auto error = std::make_shared<QString>();
    QThread *worker =
        QThread::create([on, places, error] { HistoryService::apply(on, places, error.get()); });
    connect(worker, &QThread::finished, this, [this, worker, error, on] {
        worker->deleteLater();
        if (!error->isEmpty())
            report(on ? tr("Saves made here are kept in the history, but the watcher that keeps "
                           "it while Varnel is closed could not be started: %1")
                            .arg(*error)
                      : *error);
    });
    worker->start();
}

} // namespace vrn
