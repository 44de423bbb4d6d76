#pragma once

#include <QObject>

class QMainWindow;
class QTabWidget;
class QWidget;

namespace vrn {

class WindowActions;

// Keeps the main window's look in step with the theme and the text size, and the window wide
// enough for its toolbar and tab titles.
class WindowLook : public QObject
{
    Q_OBJECT

public:
    WindowLook(QMainWindow *window, WindowActions *actions);

    // What a theme or text size change redraws; the window runs it once it is built.
    void applyTheme();
    void updateMinimumWidth();
    // From the window's showEvent: the first time also brings the window onto a screen.
    void windowShown();

private:
    void refreshToolbarIcons();

    QMainWindow *m_window;
    WindowActions *m_actions;
    double m_lastFontScale = 0;
    bool m_firstShowDone = false;
};

// Shows a count after the title of the tab holding `page`, in room the tab keeps for it with or
// without a count, so that the tabs after it stay where they are; screen readers hear the
// title with the count.
void showTabCount(QTabWidget *tabs, QWidget *page, int count);

// Moves a window that would come up off every screen (a monitor unplugged since) back onto the
// primary one, made no larger than it; a minimized window is shown again.
void ensureOnScreen(QWidget *window);

} // namespace vrn
