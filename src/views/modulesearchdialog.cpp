#include "views/modulesearchdialog.h"

#include "document/xsdtdocument.h"
#include "knowledge/modules.h"
#include "views/searchview.h"
#include "widgets/dialogs.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QVBoxLayout>

namespace vrn {

ModuleSearchDialog::ModuleSearchDialog(const QStringList &moduleNames, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Find module data"));
    auto *layout = new QVBoxLayout(this);
    auto *nameLabel = new QLabel(tr("Module name:"), this);
    layout->addWidget(nameLabel);
    m_nameEdit = new QLineEdit(this);
    nameLabel->setBuddy(m_nameEdit);
    m_nameEdit->setPlaceholderText(tr("for example Kestrane"));
    auto *completer = new QCompleter(moduleNames, m_nameEdit);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setFilterMode(Qt::MatchContains);
    m_nameEdit->setCompleter(completer);
    // While the suggestions are open they take Enter for themselves and only close: watched
    // here, so that one Enter also runs the search.
    completer->popup()->installEventFilter(this);
    layout->addWidget(m_nameEdit);

    auto addChoice = [&](QRadioButton *button, const QString &note) {
        layout->addWidget(button);
        auto *label = new QLabel(note, this);
        label->setWordWrap(true);
        label->setContentsMargins(22, 0, 0, 6);
        layout->addWidget(label);
    };
    m_process = new QRadioButton(tr("Process search - look where module names usually go"), this);
    m_process->setChecked(true);
    addChoice(m_process,
              tr("The module's registry entry, its saved module data, its own settings, "
                 "shared-settings records and the entries of its processes. If no module has "
                 "exactly this name, modules whose name contains it are shown."));
    m_full = new QRadioButton(tr("Full search - search everything, like the Search page"), this);
    addChoice(m_full, tr("Every name, path, description and value in the file."));

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton *search = m_buttons->button(QDialogButtonBox::Ok);
    search->setText(tr("Search"));
    search->setEnabled(false);
    connect(m_nameEdit, &QLineEdit::textChanged, search,
            [search](const QString &text) { search->setEnabled(!text.trimmed().isEmpty()); });
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(m_buttons);

    resize(520, sizeHint().height());
    m_nameEdit->setFocus();
}

bool ModuleSearchDialog::eventFilter(QObject *watched, QEvent *event)
{
    QCompleter *completer = m_nameEdit->completer();
    if (event->type() == QEvent::KeyPress && completer && watched == completer->popup()) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            QAbstractItemView *popup = completer->popup();
            const QModelIndex chosen = popup->currentIndex();
            if (chosen.isValid())
                m_nameEdit->setText(chosen.data(completer->completionRole()).toString());
            popup->hide();
            if (m_buttons->button(QDialogButtonBox::Ok)->isEnabled())
                accept();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

QString ModuleSearchDialog::moduleName() const
{
    return m_nameEdit->text().trimmed();
}

bool ModuleSearchDialog::isFullSearch() const
{
    return m_full->isChecked();
}

QList<XsdtNode *> ModuleSearchDialog::moduleValueNodes(const QList<ModuleEntries> &modules,
                                                       QStringList *labels)
{
    QList<XsdtNode *> nodes;
    // Modules found by a part of their name can share process entries; each value is listed
    // and counted once.
    QSet<const XsdtNode *> seen;
    for (const ModuleEntries &module : modules) {
        // The module list says it is registered; whether its file is there is the Health
        // check's to find out, so "installed" would claim more than is known.
        if (labels)
            labels->append(module.registered ? tr("%1 (in the module list)").arg(module.name)
                                             : tr("%1 (not in the module list)").arg(module.name));
        for (XsdtNode *node : valueNodes(module)) {
            if (!seen.contains(node)) {
                seen.insert(node);
                nodes.append(node);
            }
        }
    }
    return nodes;
}

void ModuleSearchDialog::findModuleData(XsdtDocument *document, SearchView *search,
                                        const std::function<void()> &showPage, QWidget *parent)
{
    if (!document) {
        Dialogs::information(parent, tr("Find module data"), tr("Open a settings file first."));
        return;
    }
    // Copies: the answer may come after this call, once the module lookup is made.
    const auto runFullSearch = [search, showPage](const QString &text) {
        showPage();
        search->clearFilter();
        search->setQuery(text);
        search->focusSearch();
    };
    // Made on a worker after loading; until it is there the name is typed without suggestions.
    const ModuleFinder *ready = search->modules();
    ModuleSearchDialog dialog(ready ? ready->names() : QStringList(), parent);
    if (Dialogs::execDialog(&dialog) != QDialog::Accepted)
        return;
    const QString name = dialog.moduleName();
    if (dialog.isFullSearch()) {
        runFullSearch(name);
        return;
    }
    if (!search->modules()) {
        showPage();
        search->showIndexing();
    }
    QPointer<QWidget> owner(parent);
    search->withModules([=](const ModuleFinder &modules) {
        bool exact = false;
        const QList<ModuleEntries> found = modules.find(name, &exact);
        if (found.isEmpty()) {
            if (Dialogs::question(owner, tr("Find module data"),
                                  tr("Nothing recorded for \"%1\" in the places module names "
                                     "usually go.\n\nRun a full search instead?")
                                      .arg(name),
                                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
                runFullSearch(name);
            return;
        }
        QStringList labels;
        const QList<XsdtNode *> nodes = moduleValueNodes(found, &labels);
        const int count = int(nodes.size());
        const QString banner =
            exact ? tr("Module search for \"%1\": registry entry, module data, module settings "
                       "and process entries - %2, %n values. Type words below to narrow them.",
                       nullptr, count)
                        .arg(name, labels.join(QStringLiteral(", ")))
                  : tr("No module is called exactly \"%1\"; showing modules whose name contains "
                       "it: %2 - %n values.",
                       nullptr, count)
                        .arg(name, labels.join(QStringLiteral(", ")));
        showPage();
        search->showOnly(nodes, banner);
    });
}

} // namespace vrn
