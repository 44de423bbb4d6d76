#include "views/installedupdatesdialog.h"

#include "environment/pixinsight.h"
#include "privileged/elevation.h"
#include "privileged/installedupdates.h"
#include "privileged/installedupdateshelper.h"
#include "widgets/dialogs.h"

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vrn {

namespace {

const int kShownNames = 12;

bool isCheckable(const QTreeWidgetItem *item)
{
    return item->flags().testFlag(Qt::ItemIsUserCheckable);
}

} // namespace

InstalledUpdatesDialog::InstalledUpdatesDialog(const QString &recordFile, QWidget *parent)
    : QDialog(parent)
    , m_path(recordFile)
{
    setWindowTitle(tr("Installed updates"));
    resize(980, 560);
    auto *layout = new QVBoxLayout(this);

    auto *intro = new QLabel(
        tr("<b>PixInsight's own record of installed updates</b> (%1).<br>Removing a record makes "
           "PixInsight treat that package as <i>not installed</i>, so <b>Resources &gt; Updates "
           "&gt; Check for Updates</b> offers it again from its repository - useful for testing "
           "a first install from a repository. Files already installed are not removed; the "
           "update replaces them.<br><span style=\"color:#e29600\"><b>Warning:</b></span> this "
           "edits PixInsight's installation, not your settings. Only module packages can be "
           "removed; PixInsight's own packages are locked. A backup is made first (and can be "
           "restored below).")
            .arg(QDir::toNativeSeparators(recordFile).toHtmlEscaped()),
        this);
    intro->setTextFormat(Qt::RichText);
    intro->setWordWrap(true);
    intro->setContentsMargins(10, 10, 10, 10);
    layout->addWidget(intro);

    auto *filterRow = new QHBoxLayout;
    m_filter = new QLineEdit(this);
    m_filter->setAccessibleName(tr("Filter packages"));
    m_filter->setPlaceholderText(tr("Filter by package name (for example Orrinpad)"));
    m_filter->setClearButtonEnabled(true);
    auto *tickAll = new QPushButton(tr("Tick all shown"), this);
    auto *untickAll = new QPushButton(tr("Untick all"), this);
    filterRow->addWidget(m_filter, 1);
    filterRow->addWidget(tickAll);
    filterRow->addWidget(untickAll);
    layout->addLayout(filterRow);

    m_list = new QTreeWidget(this);
    m_list->setHeaderLabels({tr("Package"), tr("Type"), tr("Installed"), tr("Repository")});
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAlternatingRowColors(true);
    m_list->header()->setStretchLastSection(true);
    m_list->setColumnWidth(0, 380);
    m_list->setColumnWidth(1, 70);
    // At larger text sizes a date no longer fits the usual width.
    const int dateWidth =
        m_list->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00"));
    m_list->setColumnWidth(2, qMax(130, dateWidth + 24));
    layout->addWidget(m_list, 1);

    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    auto *buttons = new QHBoxLayout;
    m_remove = new QPushButton(tr("Remove ticked..."), this);
    m_restore = new QPushButton(tr("Restore last backup..."), this);
    auto *close = new QPushButton(tr("Close"), this);
    close->setDefault(true);
    buttons->addWidget(m_remove);
    buttons->addWidget(m_restore);
    buttons->addStretch(1);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(m_filter, &QLineEdit::textChanged, this, &InstalledUpdatesDialog::setFilter);
    connect(tickAll, &QPushButton::clicked, this, [this] { setAllShownChecked(true); });
    connect(untickAll, &QPushButton::clicked, this, [this] { setAllShownChecked(false); });
    connect(m_list, &QTreeWidget::itemChanged, this, &InstalledUpdatesDialog::syncDuplicates);
    connect(m_remove, &QPushButton::clicked, this, &InstalledUpdatesDialog::removeChecked);
    connect(m_restore, &QPushButton::clicked, this, &InstalledUpdatesDialog::restoreBackup);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    // PixInsight may start or stop while the dialog is open.
    m_timer = new QTimer(this);
    m_timer->setInterval(2000);
    connect(m_timer, &QTimer::timeout, this, &InstalledUpdatesDialog::updateState);
    m_timer->start();

    populate();
}

void InstalledUpdatesDialog::populate()
{
    m_readError.clear();
    const QList<UpdateRecord> records = readRecordFile(m_path, &m_readError);
    {
        const QSignalBlocker blocker(m_list);
        m_list->clear();
        if (m_readError.isEmpty()) {
            const QColor locked = palette().color(QPalette::Disabled, QPalette::Text);
            QList<QTreeWidgetItem *> items;
            for (const UpdateRecord &record : records) {
                auto *item = new QTreeWidgetItem(
                    {record.fileName, record.type, displayInstallDate(record), record.repo});
                if (isModule(record)) {
                    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                    item->setCheckState(0, Qt::Unchecked);
                } else {
                    // Items come checkable by default; PixInsight's own packages must not be.
                    item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
                    item->setToolTip(0, tr("A PixInsight package (not a module): shown, but "
                                           "locked."));
                    for (int column = 0; column < 4; ++column)
                        item->setForeground(column, locked);
                }
                items.append(item);
            }
            m_list->addTopLevelItems(items);
        }
    }
    setFilter(m_filter->text());
    updateState();
}

void InstalledUpdatesDialog::setFilter(const QString &text)
{
    if (text != m_filter->text()) {
        const QSignalBlocker blocker(m_filter);
        m_filter->setText(text);
    }
    const QString needle = text.trimmed();
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = m_list->topLevelItem(i);
        item->setHidden(!needle.isEmpty() && !item->text(0).contains(needle, Qt::CaseInsensitive));
    }
}

void InstalledUpdatesDialog::setAllShownChecked(bool checked)
{
    {
        const QSignalBlocker blocker(m_list);
        for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
            QTreeWidgetItem *item = m_list->topLevelItem(i);
            // Unticking reaches hidden rows too, so nothing stays ticked out of sight.
            if (isCheckable(item) && (!checked || !item->isHidden()))
                item->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
        }
    }
    updateState();
}

void InstalledUpdatesDialog::syncDuplicates(QTreeWidgetItem *item, int column)
{
    if (column != 0 || !isCheckable(item))
        return;
    {
        // A package recorded twice goes as one.
        const QSignalBlocker blocker(m_list);
        for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
            QTreeWidgetItem *other = m_list->topLevelItem(i);
            if (other != item && isCheckable(other) && other->text(0) == item->text(0))
                other->setCheckState(0, item->checkState(0));
        }
    }
    updateState();
}

void InstalledUpdatesDialog::updateState()
{
    const PixInsightCheck check = checkPixInsight();
    const bool running = check.mayBeRunning();
    const bool writable = canWriteBeside(m_path);
    const ElevationTool tool = elevationTool();
    const bool elevation = tool != ElevationTool::None;
    QString text;
    if (!check.known)
        text = tr("<b>Cannot tell whether PixInsight is running</b> (%1). If it runs, it "
                  "rewrites its records from memory, so a change made now would be lost.")
                   .arg(check.reason.toHtmlEscaped());
    else if (running)
        text = tr("<b>PixInsight is running.</b> Close it first: it rewrites its records from "
                  "memory, so a change made now would be lost.");
    else if (!writable && tool == ElevationTool::Pkexec)
        text = tr("Changing this file needs administrator rights. When you confirm, the "
                  "system's authentication dialog (pkexec) asks for an administrator password.");
    else if (!writable && tool == ElevationTool::Sudo)
        // Run with "sudo -n": there is no terminal to type a password into.
        text = tr("Changing this file needs administrator rights. When you confirm, it is done "
                  "through sudo, which cannot ask for a password here: it works only if sudo "
                  "lets you run it without one. Installing polkit adds a password dialog.");
    else if (!writable)
        text = tr("Changing this file needs administrator rights, which this program cannot "
                  "request on this system yet. The list is shown for reference.");
    if (!m_readError.isEmpty()) {
        const QString readError =
            tr("Could not read the record file: %1").arg(m_readError).toHtmlEscaped();
        text = text.isEmpty() ? readError : readError + QStringLiteral("<br>") + text;
    }
    m_status->setText(text);

    const bool possible = !running && (writable || elevation);
    const int ticked = int(checkedNames().size());
    m_remove->setEnabled(possible && ticked > 0);
    m_remove->setText(ticked == 0 ? tr("Remove ticked...")
                                  : tr("Remove %n ticked...", nullptr, ticked));
    m_restore->setEnabled(possible && !listRecordBackups(m_path).isEmpty());
}

QStringList InstalledUpdatesDialog::checkedNames() const
{
    QStringList names;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = m_list->topLevelItem(i);
        if (isCheckable(item) && item->checkState(0) == Qt::Checked)
            names.append(item->text(0));
    }
    return names;
}

void InstalledUpdatesDialog::removeChecked()
{
    const QStringList names = checkedNames();
    if (names.isEmpty())
        return;
    QString listed;
    for (const QString &name : names.mid(0, kShownNames))
        listed += QStringLiteral("\n  - ") + name;
    if (names.size() > kShownNames)
        listed += tr("\n  ... and %L1 more").arg(names.size() - kShownNames);
    const QString question =
        tr("Remove %n records from PixInsight's list of installed updates?%1\n\nA backup is "
           "made first. PixInsight must be closed.",
           nullptr, int(names.size()))
            .arg(listed);
    if (Dialogs::question(this, windowTitle(), question) != QMessageBox::Yes)
        return;
    runChange(QStringLiteral("remove"), names,
              tr("Removed %n records.", nullptr, int(names.size())));
}

void InstalledUpdatesDialog::restoreBackup()
{
    const QStringList backups = listRecordBackups(m_path);
    if (backups.isEmpty())
        return;
    if (Dialogs::question(this, windowTitle(),
                          tr("Put the newest backup back over PixInsight's record of installed "
                             "updates?\n\n%1")
                              .arg(backups.constFirst())) != QMessageBox::Yes)
        return;
    runChange(QStringLiteral("restore"), {}, tr("The backup was restored."));
}

void InstalledUpdatesDialog::runChange(const QString &verb, const QStringList &names,
                                       const QString &successText)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const RecordChangeResult result = changeRecordFile(m_path, verb, names, &m_lastCancelled);
    QApplication::restoreOverrideCursor();
    report(result, successText);
}

void InstalledUpdatesDialog::report(const RecordChangeResult &result, const QString &successText)
{
    if (result.code != RecordChangeResult::Done) {
        if (m_lastCancelled)
            Dialogs::information(this, windowTitle(), result.message);
        else
            Dialogs::warning(this, windowTitle(), result.message);
    } else {
        QString text = successText + tr("\n\nIn PixInsight: Resources > Updates > Check for "
                                        "Updates.");
        if (!result.backupPath.isEmpty())
            text += tr("\n\nBackup: %1").arg(QDir::toNativeSeparators(result.backupPath));
        Dialogs::information(this, windowTitle(), text);
    }
    // What is shown always comes from the file, whatever happened to it.
    populate();
}

} // namespace vrn
