#pragma once

#include <QDialog>
#include <QStringList>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace vrn {

struct RecordChangeResult;

// PixInsight's record of installed updates as a list: module packages can be ticked and their
// records removed, and the newest backup put back. The dialog never edits the file itself.
class InstalledUpdatesDialog : public QDialog
{
    Q_OBJECT

public:
    explicit InstalledUpdatesDialog(const QString &recordFile, QWidget *parent = nullptr);

    QStringList checkedNames() const;

    // For tests and the screenshot mode.
    QTreeWidget *list() const { return m_list; }
    QLineEdit *filterEdit() const { return m_filter; }
    QLabel *statusLabel() const { return m_status; }
    QPushButton *removeButton() const { return m_remove; }
    QPushButton *restoreButton() const { return m_restore; }

public slots:
    void populate();
    void setFilter(const QString &text);
    void setAllShownChecked(bool checked);
    void syncDuplicates(QTreeWidgetItem *item, int column);
    void updateState();
    void removeChecked();
    void restoreBackup();

private:
    void runChange(const QString &verb, const QStringList &names, const QString &successText);
    void report(const RecordChangeResult &result, const QString &successText);

    QString m_path;
    QString m_readError;
    bool m_lastCancelled = false;
    QLineEdit *m_filter = nullptr;
    QTreeWidget *m_list = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_remove = nullptr;
    QPushButton *m_restore = nullptr;
    QTimer *m_timer = nullptr;
};

} // namespace vrn
