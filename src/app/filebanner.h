#pragma once

#include "store/documentmanager.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace vrn {

// The coloured row under the file row that says what holds the open file back: a step under
// way, PixInsight running, the file changed, missing or holding bytes that cannot be written
// back, or a layout that saving rewrites; with Reload buttons when the file changed on disk.
class FileBanner : public QWidget
{
    Q_OBJECT

public:
    explicit FileBanner(QWidget *parent = nullptr);

    // Shows what the manager says of the file; `state` as fileState() gave it.
    void showState(const DocumentManager &docs, DocumentManager::FileState state);

    QLabel *label() const { return m_label; }
    QPushButton *reloadButton() const { return m_reload; }
    QPushButton *reloadKeepButton() const { return m_reloadKeep; }

signals:
    void reloadRequested();
    void reloadKeepRequested();

private:
    QLabel *m_label = nullptr;
    QPushButton *m_reload = nullptr;
    QPushButton *m_reloadKeep = nullptr;
};

} // namespace vrn
