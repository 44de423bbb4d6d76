#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

#include <functional>

class QDialogButtonBox;
class QLineEdit;
class QRadioButton;

namespace vrn {

struct ModuleEntries;
class SearchView;
class XsdtDocument;
struct XsdtNode;

// Asks for a module name and whether to look where module names usually go or everywhere.
class ModuleSearchDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ModuleSearchDialog(const QStringList &moduleNames, QWidget *parent = nullptr);

    QString moduleName() const;
    bool isFullSearch() const;

    // Asks over `parent` for a module of the document (null while no file is open) and shows
    // what it records about it on the search page; `showPage` brings that page to the front.
    static void findModuleData(XsdtDocument *document, SearchView *search,
                               const std::function<void()> &showPage, QWidget *parent);
    // The value entries of the modules, each once; with `labels`, one "name (state)" each.
    static QList<XsdtNode *> moduleValueNodes(const QList<ModuleEntries> &modules,
                                              QStringList *labels = nullptr);

    QLineEdit *nameEdit() const { return m_nameEdit; }
    QRadioButton *processButton() const { return m_process; }
    QRadioButton *fullButton() const { return m_full; }
    QDialogButtonBox *buttons() const { return m_buttons; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *m_nameEdit = nullptr;
    QRadioButton *m_process = nullptr;
    QRadioButton *m_full = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
};

} // namespace vrn
