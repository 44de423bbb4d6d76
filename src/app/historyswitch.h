#pragma once

#include <QObject>

#include <memory>

class QAction;
class QActionGroup;
class QMainWindow;

namespace vrn {

class DocumentManager;
class FileCommands;
class HistoryView;
class HistoryRecorder;
class WindowActions;

// The window's part in the settings file's history: every save and restore it makes is
// recorded (on a thread of its own), and the File menu holds the preference "Keep a history of
// this settings file", which also switches the watcher that keeps the history while the window
// is closed, and the size the history may take. It also leads the History page's restores into
// the window's guarded restore and tells the page which file is open.
class HistorySwitch : public QObject
{
    Q_OBJECT

public:
    HistorySwitch(QMainWindow *window, const WindowActions *actions, DocumentManager *documents,
                  HistoryView *page, FileCommands *files);
    ~HistorySwitch() override;

private:
    void switchTo(bool on);
    void report(const QString &message);

    QMainWindow *m_window;
    QAction *m_keep = nullptr;
    QActionGroup *m_limits = nullptr;
    std::unique_ptr<HistoryRecorder> m_recorder;
};

} // namespace vrn
