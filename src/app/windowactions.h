#pragma once

#include <QList>
#include <QObject>
#include <QPair>

class QAction;
class QActionGroup;
class QMainWindow;
class QToolBar;

namespace vrn {

class SettingsModel;

// The main window's actions with their texts and shortcuts, laid out in its menu bar and
// toolbar. The window connects them to what they do; the ones that only change the theme or
// the text size are connected here.
class WindowActions : public QObject
{
    Q_OBJECT

public:
    explicit WindowActions(QMainWindow *window);

    // Draws the toolbar's glyphs in the palette's colours at the size the text has now.
    void refreshToolbarIcons();
    // Ticks the theme the theme manager has now.
    void showCurrentTheme();
    // Undo and Redo name the step they would take back or do again, and follow the model's
    // history from now on.
    void followUndo(SettingsModel *model);
    void showUndoState();

    QAction *open = nullptr;
    QAction *reload = nullptr;
    QAction *reloadKeep = nullptr;
    QAction *importSetup = nullptr;
    QAction *exportSetup = nullptr;
    QAction *save = nullptr;
    QAction *restore = nullptr;
    QAction *manageBackups = nullptr;
    QAction *installedUpdates = nullptr;
    QAction *findModule = nullptr;
    QAction *unusedModules = nullptr;
    QAction *healthCheck = nullptr;
    QAction *paths = nullptr;
    QAction *repositories = nullptr;
    QAction *quit = nullptr;
    QAction *undo = nullptr;
    QAction *redo = nullptr;
    QAction *revertAll = nullptr;
    QAction *expandAll = nullptr;
    QAction *collapseAll = nullptr;
    QAction *userGuide = nullptr;
    QAction *about = nullptr;
    QToolBar *toolbar = nullptr;

private:
    void buildActions();
    void buildMenus();
    void buildToolbar();

    QMainWindow *m_window;
    SettingsModel *m_model = nullptr;
    QAction *m_largerText = nullptr;
    QAction *m_smallerText = nullptr;
    QAction *m_defaultText = nullptr;
    QAction *m_toggleTheme = nullptr;
    QAction *m_aboutQt = nullptr;
    QActionGroup *m_themeGroup = nullptr;
    QAction *m_light = nullptr;
    QAction *m_dark = nullptr;
    QAction *m_systemTheme = nullptr;
    QList<QPair<QAction *, int>> m_toolbarGlyphs;
};

} // namespace vrn
