#pragma once

#include <QDialog>
#include <QStringList>

class QCheckBox;
class QDialogButtonBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vrn {

// Asks what File > Export... takes: the documented preferences, and the data of chosen modules
// and scripts among those that have some.
class ExportDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ExportDialog(const QStringList &modules, QWidget *parent = nullptr);

    bool preferences() const;
    // The ticked names, in list order.
    QStringList modules() const;

    QCheckBox *preferencesBox() const { return m_preferences; }
    QListWidget *moduleList() const { return m_list; }
    QLineEdit *filterEdit() const { return m_filter; }
    QPushButton *tickAllButton() const { return m_tickAll; }
    QPushButton *untickAllButton() const { return m_untickAll; }

private:
    void updateButtons();
    // Ticks or unticks every name the filter lets through.
    void tickShown(Qt::CheckState state);

    QCheckBox *m_preferences = nullptr;
    QLineEdit *m_filter = nullptr;
    QListWidget *m_list = nullptr;
    QPushButton *m_tickAll = nullptr;
    QPushButton *m_untickAll = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
};

} // namespace vrn
