#pragma once

#include <QObject>

class QLabel;
class QProgressBar;
class QStatusBar;

namespace vrn {

class DocumentManager;

// What the document manager is busy with, shown in the status bar: the busy cursor (set only
// here, from the manager's busyChanged) and, for a step with a text, that text and a bar that
// fills while a file is read.
class BusyIndicator : public QObject
{
    Q_OBJECT

public:
    BusyIndicator(DocumentManager *docs, QStatusBar *statusBar);
    ~BusyIndicator() override;

    QLabel *label() const { return m_label; }

private:
    void onBusyChanged(bool busy, const QString &text);
    void onProgress(qint64 done, qint64 total);

    QStatusBar *m_statusBar;
    QLabel *m_label = nullptr;
    QProgressBar *m_bar = nullptr;
    int m_depth = 0; // busy steps begun and not yet ended
};

} // namespace vrn
