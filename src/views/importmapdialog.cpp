#include "views/importmapdialog.h"

#include "environment/pixinsight.h"
#include "knowledge/paths.h"
#include "knowledge/setupfile.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace vrn {

namespace {

QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? QDir::fromNativeSeparators(item->text().trimmed()) : QString();
}

} // namespace

ImportMapDialog::ImportMapDialog(const QString &file, int values, const QString &suggestedFrom,
                                 const QString &suggestedTo, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Import setup"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(
        tr("%1 holds %n values.", nullptr, values).arg(QDir::toNativeSeparators(file)) +
            QLatin1Char(' ') +
            tr("Paths that begin with an old folder can begin with a new one on this computer. "
               "Rows left empty change nothing; the review shows every value before it is "
               "saved."),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    if (!suggestedFrom.isEmpty()) {
        auto *hint = new QLabel(tr("The paths in the file share the home folder %1, which does "
                                   "not exist here; the first row moves them to yours.")
                                    .arg(QDir::toNativeSeparators(suggestedFrom)),
                                this);
        hint->setWordWrap(true);
        layout->addWidget(hint);
    }
    m_folders = new QLabel(this);
    m_folders->setWordWrap(true);
    m_folders->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_folders->hide();
    layout->addWidget(m_folders);
    m_table = new QTableWidget(0, 2, this);
    m_table->setHorizontalHeaderLabels({tr("Old folder"), tr("New folder")});
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_table->verticalHeader()->hide();
    layout->addWidget(m_table, 1);
    setMapping(0, suggestedFrom, suggestedTo);

    auto *rowButtons = new QHBoxLayout;
    auto *add = new QPushButton(tr("Add row"), this);
    auto *remove = new QPushButton(tr("Remove row"), this);
    rowButtons->addWidget(add);
    rowButtons->addWidget(remove);
    rowButtons->addStretch(1);
    layout->addLayout(rowButtons);
    connect(add, &QPushButton::clicked, this, [this] {
        setMapping(m_table->rowCount(), QString(), QString());
        m_table->setCurrentCell(m_table->rowCount() - 1, 0);
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (m_table->currentRow() >= 0)
            m_table->removeRow(m_table->currentRow());
    });

    // Off unless asked for: an import that would create settings should say so, not do it.
    m_addMissing = new QCheckBox(tr("Create the settings this file does not have yet"), this);
    m_addMissing->setToolTip(tr("Otherwise a setting this file lacks stops the whole import. "
                                "New settings take their types from the imported file and are "
                                "listed as additions in the review."));
    layout->addWidget(m_addMissing);

    m_problem = new QLabel(this);
    m_problem->setWordWrap(true);
    m_problem->hide();
    layout->addWidget(m_problem);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Import"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &ImportMapDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Taller at large text sizes, so that the wrapped texts above the table keep their lines.
    resize(620, qMax(360, heightForWidth(620)));
}

void ImportMapDialog::showFolders(const QList<SetupFolder> &folders)
{
    constexpr int kShown = 8;
    QStringList named;
    for (const SetupFolder &folder : folders.mid(0, kShown))
        named.append(tr("%1 (%2)").arg(QDir::toNativeSeparators(folder.folder),
                                       tr("%n paths", nullptr, folder.paths)));
    if (folders.size() > kShown)
        named.append(tr("%n more", nullptr, int(folders.size() - kShown)));
    m_folders->setText(folders.isEmpty()
                           ? tr("The file holds no paths.")
                           : tr("Its paths begin with: %1.").arg(named.join(QStringLiteral(", "))));
    m_folders->show();
}

QStringList ImportMapDialog::mappings() const
{
    QStringList result;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QString from = cellText(m_table, row, 0);
        const QString to = cellText(m_table, row, 1);
        if (!from.isEmpty() || !to.isEmpty())
            result.append(from + QLatin1Char('=') + to);
    }
    return result;
}

bool ImportMapDialog::addMissing() const
{
    return m_addMissing->isChecked();
}

void ImportMapDialog::setMapping(int row, const QString &from, const QString &to)
{
    if (m_table->rowCount() <= row)
        m_table->setRowCount(row + 1);
    m_table->setItem(row, 0, new QTableWidgetItem(QDir::toNativeSeparators(from)));
    m_table->setItem(row, 1, new QTableWidgetItem(QDir::toNativeSeparators(to)));
}

void ImportMapDialog::accept()
{
    QString error;
    if (!parsePathMaps(mappings(), HealthEnv::system().windowsPaths, nullptr, &error)) {
        m_problem->setText(error);
        m_problem->show();
        return;
    }
    QDialog::accept();
}

} // namespace vrn
