#pragma once

#include "environment/pixinsight.h"
#include "knowledge/paths.h"
#include "views/taskpage.h"

#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSplitter;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace vrn {

class BackgroundJob;
class SettingsModel;

// The Paths page: every value of the file that names a file or folder, grouped by folder, with
// whether it is there on this computer, and the replacement of a path beginning in all of them
// at once (a drive or home folder that moved). The file is searched on a worker after each
// load and change; the replacement is one step of the model's history.
class PathsView : public TaskPage
{
    Q_OBJECT

public:
    explicit PathsView(SettingsModel *model, QWidget *parent = nullptr);
    ~PathsView() override;

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;
    // Tests and screenshots describe the computer themselves.
    void setEnvironment(const HealthEnv &environment);

    // Waits for a search still running and shows its result now.
    void finishScan();
    bool isScanning() const;
    // Fills in the two beginnings and works out on a worker what would change.
    void preview(const QString &oldPrefix, const QString &newPrefix);
    bool isPreviewing() const;
    // Waits for that work and shows its result now.
    void finishPreview();
    // Makes the previewed changes; false when there was nothing to make.
    bool confirmReplacement();
    // Closes the preview without changing anything.
    void clearPreview();
    const QList<PathReplacement> &plan() const;

    QTreeWidget *tree() const { return m_tree; }
    QTreeView *previewView() const { return m_previewView; }
    QLabel *statusLabel() const { return m_status; }
    QLabel *emptyLabel() const { return m_empty; }
    QLabel *previewLabel() const { return m_previewStatus; }
    QCheckBox *missingOnlyBox() const { return m_missingOnly; }
    QPushButton *replaceButton() const { return m_replaceButton; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void startScan();
    struct Scan
    {
        QList<PathValue> values;
        QList<PathGroup> all;
        QList<PathGroup> missing;
    };
    void takeScan(Scan scan);
    const QList<PathGroup> &shownGroups() const;
    void showGroups();
    void fillGroup(QTreeWidgetItem *item);
    void onPreview();
    void showPlan(QList<PathReplacement> plan, const QString &oldPrefix);
    void updateControls();

    SettingsModel *m_model;
    XsdtDocument *m_document = nullptr;
    HealthEnv m_env;
    class PreviewModel;
    std::unique_ptr<BackgroundJob> m_scan;
    std::unique_ptr<BackgroundJob> m_planJob;
    PreviewModel *m_previewModel;
    bool m_scanned = false;
    bool m_viewOnly = false;
    bool m_rescanPending = false;
    bool m_stale = false; // changed while hidden
    bool m_interrupted = false; // a scan stopped for a change that may not come
    QList<PathValue> m_values;
    QList<PathGroup> m_allGroups;
    QList<PathGroup> m_missingGroups;
    qsizetype m_missingCount = 0;

    QLabel *m_status = nullptr;
    QCheckBox *m_missingOnly = nullptr;
    QTreeWidget *m_tree = nullptr;
    QLabel *m_empty = nullptr;
    QSplitter *m_splitter = nullptr;
    QGroupBox *m_replaceBox = nullptr;
    QLineEdit *m_oldPrefix = nullptr;
    QLineEdit *m_newPrefix = nullptr;
    QPushButton *m_previewButton = nullptr;
    QLabel *m_previewStatus = nullptr;
    QTreeView *m_previewView = nullptr;
    QPushButton *m_replaceButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
};

} // namespace vrn
