#pragma once

#include <QDialog>
#include <QStringList>

class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace vrn {

// Lists the timestamped backups beside the open settings file and removes old ones through the
// trash, keeping a remembered number of the newest.
class BackupsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit BackupsDialog(const QString &settingsPath, QWidget *parent = nullptr);

    void refresh();
    // Selects the backup at `path` and brings it into view; nothing when it is not listed.
    void selectBackup(const QString &path);
    // Whether Compare and Restore may be offered now: Compare needs a loaded file, Restore a
    // PixInsight that is not running, as File > Restore backup does.
    void setActionsAllowed(bool compare, bool restore);
    // Asks first; false when nothing was asked, the answer was not Yes or a backup could not
    // be removed.
    bool deleteBackups(const QStringList &paths, qint64 totalBytes, const QString &phrase);

    // "900 B", "2 KiB", "1.5 MiB": the one size format of this dialog.
    static QString sizeText(qint64 bytes);

    QLabel *headerLabel() const { return m_headerLabel; }
    QListWidget *list() const { return m_list; }
    QSpinBox *keepSpin() const { return m_keepSpin; }
    QPushButton *deleteOlderButton() const { return m_deleteOlderButton; }
    QPushButton *deleteSelectedButton() const { return m_deleteSelectedButton; }
    QPushButton *deleteAllButton() const { return m_deleteAllButton; }
    QPushButton *closeButton() const { return m_closeButton; }
    QPushButton *compareButton() const { return m_compareButton; }
    QPushButton *restoreButton() const { return m_restoreButton; }

signals:
    void message(const QString &text);
    // The main window runs these, with the guards and messages of its own menu actions.
    void compareRequested(const QString &backupPath);
    void restoreRequested(const QString &backupPath);

private:
    void updateSelectionButton();
    QString selectedBackup() const;
    void deleteOlder();
    void deleteSelected();
    void deleteAll();

    QString m_settingsPath;
    QLabel *m_headerLabel = nullptr;
    QListWidget *m_list = nullptr;
    QSpinBox *m_keepSpin = nullptr;
    QPushButton *m_deleteOlderButton = nullptr;
    QPushButton *m_deleteSelectedButton = nullptr;
    QPushButton *m_deleteAllButton = nullptr;
    QPushButton *m_closeButton = nullptr;
    QPushButton *m_compareButton = nullptr;
    QPushButton *m_restoreButton = nullptr;
    bool m_compareAllowed = true;
    bool m_restoreAllowed = true;
};

} // namespace vrn
