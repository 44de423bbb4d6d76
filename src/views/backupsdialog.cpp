#include "views/backupsdialog.h"

#include "environment/discovery.h"
#include "views/sizetext.h"
#include "widgets/dialogs.h"
#include "widgets/wholenames.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace vrn {

namespace {

const char *const kKeepKey = "Backups/Keep";

qint64 totalSize(const QStringList &paths)
{
    qint64 bytes = 0;
    for (const QString &path : paths)
        bytes += QFileInfo(path).size();
    return bytes;
}

} // namespace

BackupsDialog::BackupsDialog(const QString &settingsPath, QWidget *parent)
    : QDialog(parent)
    , m_settingsPath(settingsPath)
{
    setWindowTitle(tr("Manage backups"));
    auto *layout = new QVBoxLayout(this);

    m_headerLabel = new QLabel(this);
    m_headerLabel->setWordWrap(true);
    layout->addWidget(m_headerLabel);

    m_list = new QListWidget(this);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setAlternatingRowColors(true);
    m_list->setMinimumHeight(220);
    // The size column is padded with blanks, so it lines up only in a fixed-width font; at
    // the size of the rest of the text, which the system's fixed font does not follow.
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (font().pointSizeF() > 0)
        fixed.setPointSizeF(font().pointSizeF());
    m_list->setFont(fixed);
    layout->addWidget(m_list, 1);

    // Acting on one backup: see what it would bring back before putting it in place.
    auto *oneRow = new QHBoxLayout;
    m_compareButton = new QPushButton(tr("Compare with this backup"), this);
    m_compareButton->setToolTip(
        tr("Open the Compare page on this backup: what it holds that the open file does not."));
    oneRow->addWidget(m_compareButton);
    m_restoreButton = new QPushButton(tr("Restore"), this);
    m_restoreButton->setToolTip(
        tr("Replace the settings file with this backup; the current file is backed up first."));
    oneRow->addWidget(m_restoreButton);
    oneRow->addStretch(1);
    layout->addLayout(oneRow);

    auto *keepRow = new QHBoxLayout;
    keepRow->addWidget(new QLabel(tr("Keep the newest"), this));
    m_keepSpin = new QSpinBox(this);
    m_keepSpin->setRange(0, 999);
    m_keepSpin->setValue(QSettings().value(QLatin1String(kKeepKey), 5).toInt());
    keepRow->addWidget(m_keepSpin);
    keepRow->addWidget(new QLabel(tr("backups"), this));
    keepRow->addStretch(1);
    m_deleteOlderButton = new QPushButton(this);
    keepRow->addWidget(m_deleteOlderButton);
    layout->addLayout(keepRow);

    auto *buttonRow = new QHBoxLayout;
    m_deleteSelectedButton = new QPushButton(this);
    buttonRow->addWidget(m_deleteSelectedButton);
    m_deleteAllButton = new QPushButton(tr("Delete all backups"), this);
    buttonRow->addWidget(m_deleteAllButton);
    buttonRow->addStretch(1);
    m_closeButton = new QPushButton(tr("Close"), this);
    m_closeButton->setDefault(true);
    buttonRow->addWidget(m_closeButton);
    layout->addLayout(buttonRow);

    for (QPushButton *button : {m_deleteOlderButton, m_deleteSelectedButton, m_deleteAllButton,
                                m_compareButton, m_restoreButton})
        button->setAutoDefault(false);
    connect(m_keepSpin, &QSpinBox::valueChanged, this, [this](int keep) {
        QSettings().setValue(QLatin1String(kKeepKey), keep);
        refresh();
    });
    connect(m_list, &QListWidget::itemSelectionChanged, this,
            &BackupsDialog::updateSelectionButton);
    connect(m_deleteOlderButton, &QPushButton::clicked, this, &BackupsDialog::deleteOlder);
    connect(m_deleteSelectedButton, &QPushButton::clicked, this, &BackupsDialog::deleteSelected);
    connect(m_deleteAllButton, &QPushButton::clicked, this, &BackupsDialog::deleteAll);
    connect(m_closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_compareButton, &QPushButton::clicked, this, [this] {
        if (const QString path = selectedBackup(); !path.isEmpty())
            emit compareRequested(path);
    });
    connect(m_restoreButton, &QPushButton::clicked, this, [this] {
        if (const QString path = selectedBackup(); !path.isEmpty())
            emit restoreRequested(path);
    });
    connect(m_list, &QListWidget::itemDoubleClicked, this, [this] {
        if (m_compareButton->isEnabled())
            m_compareButton->click();
    });
    refresh();
    // Wide enough for a whole line at the size the text has, up to most of the screen.
    const QMargins margins = layout->contentsMargins();
    int width = m_list->sizeHintForColumn(0) + 2 * m_list->frameWidth() +
                m_list->verticalScrollBar()->sizeHint().width() + margins.left() + margins.right();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        width = qMin(width, screen->availableGeometry().width() * 9 / 10);
    resize(qMax(width, 640), 460);
}

void BackupsDialog::setActionsAllowed(bool compare, bool restore)
{
    m_compareAllowed = compare;
    m_restoreAllowed = restore;
    updateSelectionButton();
}

void BackupsDialog::selectBackup(const QString &path)
{
    for (int row = 0; row < m_list->count(); ++row) {
        QListWidgetItem *item = m_list->item(row);
        if (sameFile(item->data(Qt::UserRole).toString(), path)) {
            m_list->setCurrentItem(item);
            m_list->scrollToItem(item);
            return;
        }
    }
}

QString BackupsDialog::selectedBackup() const
{
    const QList<QListWidgetItem *> selected = m_list->selectedItems();
    return selected.size() == 1 ? selected.constFirst()->data(Qt::UserRole).toString() : QString();
}

QString BackupsDialog::sizeText(qint64 bytes)
{
    return vrn::sizeText(bytes, 0, true);
}

void BackupsDialog::refresh()
{
    const QStringList backups = listBackups(m_settingsPath);
    m_list->clear();
    // Names of different lengths ("-before-restore") are padded to the longest, so that the
    // sizes and times stay in columns.
    qsizetype longest = 0;
    for (const QString &path : backups)
        longest = qMax(longest, QFileInfo(path).fileName().size());
    for (const QString &path : backups) {
        const QFileInfo info(path);
        auto *item = new QListWidgetItem(
            QStringLiteral("%1    %2    %3")
                .arg(info.fileName().leftJustified(longest, QLatin1Char(' ')),
                     sizeText(info.size()).rightJustified(9, QLatin1Char(' ')),
                     info.lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
            m_list);
        item->setData(Qt::UserRole, path);
    }
    const QString name = namesKeptWhole(QFileInfo(m_settingsPath).fileName());
    if (backups.isEmpty())
        m_headerLabel->setText(tr("No backups of %1.").arg(name));
    else
        m_headerLabel->setText(
            tr("%n backups of %1, %2 in total (newest first):", nullptr, int(backups.size()))
                .arg(name, sizeText(totalSize(backups))));

    const OldBackups older = oldBackups(m_settingsPath, m_keepSpin->value());
    if (older.paths.isEmpty())
        m_deleteOlderButton->setText(tr("Delete older backups"));
    else
        m_deleteOlderButton->setText(
            tr("Delete the %n older backups (%1)", nullptr, int(older.paths.size()))
                .arg(sizeText(older.totalBytes)));
    m_deleteOlderButton->setEnabled(!older.paths.isEmpty());
    m_deleteAllButton->setEnabled(!backups.isEmpty());
    updateSelectionButton();
}

void BackupsDialog::updateSelectionButton()
{
    const int selected = int(m_list->selectedItems().size());
    m_deleteSelectedButton->setText(selected > 0 ? tr("Delete selected (%1)").arg(selected)
                                                 : tr("Delete selected"));
    m_deleteSelectedButton->setEnabled(selected > 0);
    m_compareButton->setEnabled(selected == 1 && m_compareAllowed);
    m_restoreButton->setEnabled(selected == 1 && m_restoreAllowed);
}

void BackupsDialog::deleteOlder()
{
    const int keep = m_keepSpin->value();
    const OldBackups older = oldBackups(m_settingsPath, keep);
    deleteBackups(
        older.paths, older.totalBytes,
        tr("Delete the %n backups older than the newest %1", nullptr, int(older.paths.size()))
            .arg(keep));
}

void BackupsDialog::deleteSelected()
{
    QStringList paths;
    for (const QListWidgetItem *item : m_list->selectedItems())
        paths.append(item->data(Qt::UserRole).toString());
    deleteBackups(paths, totalSize(paths),
                  tr("Delete the %n selected backups", nullptr, int(paths.size())));
}

void BackupsDialog::deleteAll()
{
    const QStringList paths = listBackups(m_settingsPath);
    deleteBackups(paths, totalSize(paths), tr("Delete all %n backups", nullptr, int(paths.size())));
}

bool BackupsDialog::deleteBackups(const QStringList &paths, qint64 totalBytes,
                                  const QString &phrase)
{
    if (paths.isEmpty())
        return false;
    // Where the files would go is known before asking: without a trash the question says that
    // they are deleted for good, rather than doing so quietly.
    const TrashPlace trash = trashPlaceFor(QFileInfo(m_settingsPath).absolutePath());
    const QString question =
        trash.usable()
            ? tr("%1 (%2)?\n\nThey are moved to the trash folder %3.", nullptr, int(paths.size()))
                  .arg(phrase, sizeText(totalBytes), QDir::toNativeSeparators(trash.folder))
            : tr("%1 (%2)?\n\nThey cannot be moved to the trash: %3. They will be deleted for "
                 "good.",
                 nullptr, int(paths.size()))
                  .arg(phrase, sizeText(totalBytes), trash.reason);
    const auto answer = trash.usable()
                            ? Dialogs::question(this, tr("Delete backups"), question,
                                                QMessageBox::Yes | QMessageBox::No)
                            : Dialogs::warning(this, tr("Delete backups"), question,
                                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return false;
    const BackupRemoval removal = removeBackups(m_settingsPath, paths, trash.usable());
    refresh();
    // Qt names the folder it used; it is the one predicted unless the system changed meanwhile.
    const QString folder = removal.trashFolder.isEmpty() ? trash.folder : removal.trashFolder;
    QString text =
        trash.usable()
            ? tr("Backups moved to the trash folder %1: %n (%2).", nullptr, removal.removed)
                  .arg(QDir::toNativeSeparators(folder), sizeText(removal.bytesFreed))
            : tr("Backups deleted for good: %n (%1).", nullptr, removal.removed)
                  .arg(sizeText(removal.bytesFreed));
    if (removal.failed > 0)
        text += QLatin1Char(' ') + tr("Not removed: %n.", nullptr, removal.failed);
    emit message(text);
    return removal.failed == 0;
}

} // namespace vrn
