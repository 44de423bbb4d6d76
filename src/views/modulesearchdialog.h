#pragma once

#include <QDialog>
#include <QStringList>

class QDialogButtonBox;
class QLineEdit;
class QRadioButton;

namespace vrn {

// Asks for a module name and whether to look where module names usually go or everywhere.
// The main window runs the search with the answer.
class ModuleSearchDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ModuleSearchDialog(const QStringList &moduleNames, QWidget *parent = nullptr);

    QString moduleName() const;
    bool isFullSearch() const;

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
