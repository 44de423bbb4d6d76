#include "views/exportdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace vrn {

ExportDialog::ExportDialog(const QStringList &modules, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Export setup"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(tr("Choose what to carry to another computer. Import the file "
                                "there with File > Import..., or with varnelctl import."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    m_preferences = new QCheckBox(tr("The documented preferences"), this);
    m_preferences->setChecked(true);
    layout->addWidget(m_preferences);

    auto *label = new QLabel(this);
    layout->addWidget(label);
    m_filter = new QLineEdit(this);
    m_filter->setAccessibleName(tr("Filter modules"));
    m_filter->setPlaceholderText(tr("Filter names"));
    m_filter->setClearButtonEnabled(true);
    layout->addWidget(m_filter);
    m_list = new QListWidget(this);
    // Every row is a box and a name: the list need not measure a hundred thousand of them.
    m_list->setUniformItemSizes(true);
    // In one go: added one by one, each item made the list lay out again, and a large file's
    // tens of thousands of names took seconds.
    m_list->addItems(modules);
    for (int row = 0; row < m_list->count(); ++row) {
        QListWidgetItem *item = m_list->item(row);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    layout->addWidget(m_list, 1);
    // Moving every module's data to another computer should not take thousands of clicks.
    auto *ticks = new QHBoxLayout;
    m_tickAll = new QPushButton(tr("Tick all shown"), this);
    m_untickAll = new QPushButton(tr("Untick all shown"), this);
    m_tickAll->setAutoDefault(false);
    m_untickAll->setAutoDefault(false);
    ticks->addWidget(m_tickAll);
    ticks->addWidget(m_untickAll);
    ticks->addStretch(1);
    layout->addLayout(ticks);
    connect(m_tickAll, &QPushButton::clicked, this, [this] { tickShown(Qt::Checked); });
    connect(m_untickAll, &QPushButton::clicked, this, [this] { tickShown(Qt::Unchecked); });
    if (modules.isEmpty()) {
        // A sentence instead of an empty box.
        label->setText(tr("No module or script has data in this file."));
        m_filter->hide();
        m_list->hide();
        m_tickAll->hide();
        m_untickAll->hide();
    } else {
        label->setText(tr("The data of these modules and scripts too:"));
        label->setBuddy(m_filter);
    }

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setText(tr("Export..."));
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_preferences, &QCheckBox::toggled, this, &ExportDialog::updateButtons);
    connect(m_list, &QListWidget::itemChanged, this, &ExportDialog::updateButtons);
    connect(m_filter, &QLineEdit::textChanged, this, [this](const QString &text) {
        const QString wanted = text.trimmed();
        for (int row = 0; row < m_list->count(); ++row) {
            QListWidgetItem *item = m_list->item(row);
            item->setHidden(!item->text().contains(wanted, Qt::CaseInsensitive));
        }
    });
    resize(460, 480);
    updateButtons();
}

bool ExportDialog::preferences() const
{
    return m_preferences->isChecked();
}

QStringList ExportDialog::modules() const
{
    QStringList chosen;
    for (int row = 0; row < m_list->count(); ++row) {
        if (m_list->item(row)->checkState() == Qt::Checked)
            chosen.append(m_list->item(row)->text());
    }
    return chosen;
}

void ExportDialog::tickShown(Qt::CheckState state)
{
    {
        // One check of the buttons afterwards, not one per name. Only the list's own signals
        // wait: its model still tells the view which rows to paint again.
        const QSignalBlocker quiet(m_list);
        for (int row = 0; row < m_list->count(); ++row) {
            QListWidgetItem *item = m_list->item(row);
            if (!item->isHidden())
                item->setCheckState(state);
        }
    }
    updateButtons();
}

void ExportDialog::updateButtons()
{
    // An export of nothing is no export. Looks for one ticked name only: this runs at each tick.
    bool anyModule = false;
    for (int row = 0; row < m_list->count() && !anyModule; ++row)
        anyModule = m_list->item(row)->checkState() == Qt::Checked;
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(preferences() || anyModule);
}

} // namespace vrn
