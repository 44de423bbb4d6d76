#include "app/windowactions.h"

#include "app/thememanager.h"
#include "app/toolbaricons.h"
#include "app/varnelstyle.h"
#include "model/settingsmodel.h"
#include "privileged/installedupdates.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>
#include <QUndoStack>

#include <cmath>

namespace vrn {

namespace {

const char *const kToolbarStyle =
    "QToolBar QToolButton {  border-width: %1px; border-style: solid;  border-top-color: "
    "palette(light); border-left-color: palette(light);  border-bottom-color: palette(dark); "
    "border-right-color: palette(dark);  border-radius: 2px; padding: %2px %3px; background: "
    "palette(button); }QToolBar QToolButton:hover { background: palette(midlight); }QToolBar "
    "QToolButton:pressed {  border-top-color: palette(dark); border-left-color: palette(dark);  "
    "border-bottom-color: palette(light); border-right-color: palette(light);  background: "
    "palette(midlight); }QToolBar QToolButton:disabled { border-color: palette(mid); background: "
    "transparent; }";

} // namespace

WindowActions::WindowActions(QMainWindow *window)
    : QObject(window)
    , m_window(window)
{
    buildActions();
    buildMenus();
    buildToolbar();
}

void WindowActions::buildActions()
{
    auto make = [this](const QString &text) {
        auto *action = new QAction(text, m_window);
        action->setIconVisibleInMenu(false);
        return action;
    };
    open = make(tr("&Open settings file..."));
    open->setShortcut(QKeySequence::Open);
    open->setIconText(tr("Open"));
    reload = make(tr("&Reload from disk"));
    reload->setShortcut(QKeySequence::Refresh);
    reload->setIconText(tr("Reload"));
    reloadKeep = make(tr("Reload and &keep my changes"));
    reloadKeep->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
    reloadKeep->setStatusTip(tr("Read the file again and make your unsaved changes once more "
                                "where another program left the values alone"));
    importSetup = make(tr("&Import..."));
    importSetup->setStatusTip(tr("Take over preferences and module data exported on another "
                                 "computer, moving their paths to folders of this one"));
    exportSetup = make(tr("E&xport..."));
    exportSetup->setStatusTip(tr(
        "Write the preferences and chosen modules' data to a file to carry to another computer"));
    save = make(tr("&Save changes..."));
    save->setShortcut(QKeySequence::Save);
    save->setStatusTip(tr("Review the pending changes, then save"));
    save->setIconText(tr("Save"));
    findModule = make(tr("Find &module data..."));
    findModule->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    findModule->setStatusTip(tr("Look up everything the file records about one module"));
    findModule->setIconText(tr("Find module"));
    healthCheck = make(tr("Run &health check"));
    healthCheck->setStatusTip(tr("Look for settings that are probably wrong"));
    paths = make(tr("&Paths in this file"));
    paths->setStatusTip(tr("Files and folders the settings name, and whether they are there"));
    repositories = make(tr("Up&date repositories"));
    repositories->setStatusTip(tr("The update repositories PixInsight checks and accepts"));
    restore = make(tr("Restore &backup..."));
    restore->setIconText(tr("Restore"));
    installedUpdates = make(tr("Installed &updates..."));
    installedUpdates->setStatusTip(tr("PixInsight's own record of installed updates: remove a "
                                      "module's record so PixInsight offers it again"));
    manageBackups = make(tr("&Manage backups..."));
    manageBackups->setIconText(tr("Backups"));
    quit = make(tr("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);

    unusedModules = make(tr("&Unused module data"));
    unusedModules->setStatusTip(
        tr("Modules with saved data that are no longer in PixInsight's module list"));
    revertAll = make(tr("Revert &all changes"));
    revertAll->setIconText(tr("Revert all"));
    undo = make(tr("Undo"));
    undo->setShortcut(QKeySequence::Undo);
    undo->setIconText(tr("Undo"));
    redo = make(tr("Redo"));
    redo->setShortcut(QKeySequence::Redo);
    redo->setIconText(tr("Redo"));

    ThemeManager *theme = ThemeManager::instance();
    m_themeGroup = new QActionGroup(this);
    m_themeGroup->setExclusive(true);
    auto themeAction = [&](const QString &text, int value) {
        QAction *action = make(text);
        connect(action, &QAction::triggered, theme,
                [theme, value] { theme->setTheme(value, true); });
        action->setCheckable(true);
        m_themeGroup->addAction(action);
        return action;
    };
    m_light = themeAction(tr("&Light"), ThemeManager::Light);
    m_dark = themeAction(tr("&Dark"), ThemeManager::Dark);
    m_systemTheme = themeAction(tr("Follow &system"), ThemeManager::FollowSystem);

    expandAll = make(tr("&Expand all"));
    collapseAll = make(tr("&Collapse all"));
    m_largerText = make(tr("&Larger text"));
    m_largerText->setShortcuts(
        {QKeySequence(QKeySequence::ZoomIn), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    connect(m_largerText, &QAction::triggered, theme, [theme] { theme->stepFontScale(+1); });
    m_smallerText = make(tr("&Smaller text"));
    m_smallerText->setShortcut(QKeySequence::ZoomOut);
    connect(m_smallerText, &QAction::triggered, theme, [theme] { theme->stepFontScale(-1); });
    m_defaultText = make(tr("&Default text size"));
    m_defaultText->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(m_defaultText, &QAction::triggered, theme, &ThemeManager::resetFontScale);
    m_toggleTheme = make(tr("Toggle light/dark"));
    m_toggleTheme->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
    m_toggleTheme->setIconText(tr("Theme"));
    connect(m_toggleTheme, &QAction::triggered, theme, [theme] {
        theme->setTheme(theme->isDark() ? ThemeManager::Light : ThemeManager::Dark, true);
    });

    userGuide = make(tr("&User Guide"));
    about = make(tr("&About Varnel"));
    about->setMenuRole(QAction::AboutRole);
    about->setIconText(tr("About"));
    m_aboutQt = make(tr("About &Qt"));
    m_aboutQt->setMenuRole(QAction::AboutQtRole);
    connect(m_aboutQt, &QAction::triggered, qApp, &QApplication::aboutQt);
}

void WindowActions::buildMenus()
{
    QMenuBar *bar = m_window->menuBar();
    QMenu *file = bar->addMenu(tr("&File"));
    file->addAction(open);
    file->addAction(reload);
    file->addAction(reloadKeep);
    file->addSeparator();
    file->addAction(importSetup);
    file->addAction(exportSetup);
    file->addSeparator();
    file->addAction(findModule);
    file->addAction(unusedModules);
    file->addAction(healthCheck);
    file->addAction(paths);
    file->addAction(repositories);
    file->addSeparator();
    file->addAction(installedUpdates);
    file->addSeparator();
    file->addAction(save);
    file->addAction(restore);
    file->addAction(manageBackups);
    file->addSeparator();
    file->addAction(quit);
    // Looked up each time: PixInsight may be installed or removed while the editor runs.
    connect(file, &QMenu::aboutToShow, this, [this] {
        const bool found = !findRecordFile().isEmpty();
        installedUpdates->setEnabled(found);
        installedUpdates->setToolTip(
            found ? QString() : tr("PixInsight's installed.xri was not found on this computer."));
    });

    QMenu *edit = bar->addMenu(tr("&Edit"));
    edit->addAction(undo);
    edit->addAction(redo);
    edit->addSeparator();
    edit->addAction(revertAll);
    edit->addSeparator();
    QMenu *themeMenu = edit->addMenu(tr("&Theme"));
    themeMenu->addAction(m_light);
    themeMenu->addAction(m_dark);
    themeMenu->addAction(m_systemTheme);

    toolbar = new QToolBar(tr("Main toolbar"), m_window);
    QMenu *view = bar->addMenu(tr("&View"));
    view->addAction(expandAll);
    view->addAction(collapseAll);
    view->addSeparator();
    view->addAction(m_largerText);
    view->addAction(m_smallerText);
    view->addAction(m_defaultText);
    view->addSeparator();
    view->addAction(m_toggleTheme);
    view->addSeparator();
    QAction *toolbarToggle = toolbar->toggleViewAction();
    toolbarToggle->setText(tr("&Toolbar"));
    view->addAction(toolbarToggle);

    QMenu *help = bar->addMenu(tr("&Help"));
    help->addAction(userGuide);
    help->addSeparator();
    help->addAction(about);
    help->addAction(m_aboutQt);
}

void WindowActions::buildToolbar()
{
    toolbar->setObjectName(QStringLiteral("MainToolbar"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    auto add = [this](QAction *action, ToolbarGlyph glyph) {
        toolbar->addAction(action);
        m_toolbarGlyphs.append({action, int(glyph)});
    };
    add(open, ToolbarGlyph::Open);
    add(reload, ToolbarGlyph::Reload);
    toolbar->addSeparator();
    add(save, ToolbarGlyph::Save);
    add(revertAll, ToolbarGlyph::RevertAll);
    add(undo, ToolbarGlyph::Undo);
    add(redo, ToolbarGlyph::Redo);
    toolbar->addSeparator();
    add(findModule, ToolbarGlyph::FindModule);
    add(manageBackups, ToolbarGlyph::Backups);
    add(restore, ToolbarGlyph::Restore);
    toolbar->addSeparator();
    add(m_toggleTheme, ToolbarGlyph::Theme);
    toolbar->addSeparator();
    add(about, ToolbarGlyph::About);
    m_window->addToolBar(Qt::TopToolBarArea, toolbar);

    const QSettings settings;
    toolbar->setVisible(settings.value(QStringLiteral("Appearance/ToolbarVisible"), true).toBool());
    connect(toolbar, &QToolBar::visibilityChanged, this, [this](bool visible) {
        // Showing the window shows the bar too; only a real change is worth remembering.
        if (!m_window->isVisible())
            return;
        QSettings settings;
        const QString key = QStringLiteral("Appearance/ToolbarVisible");
        if (settings.value(key, true).toBool() != visible)
            settings.setValue(key, visible);
    });
}

void WindowActions::showCurrentTheme()
{
    switch (ThemeManager::instance()->theme()) {
    case ThemeManager::Light:
        m_light->setChecked(true);
        break;
    case ThemeManager::Dark:
        m_dark->setChecked(true);
        break;
    default:
        m_systemTheme->setChecked(true);
        break;
    }
}

void WindowActions::refreshToolbarIcons()
{
    const QPalette palette = QApplication::palette();
    const QColor normal = palette.color(QPalette::Active, QPalette::ButtonText);
    const QColor disabled = palette.color(QPalette::Disabled, QPalette::ButtonText);
    // The glyphs grow with the text like the labels under them.
    const auto *varnelStyle = qobject_cast<const VarnelStyle *>(m_window->style());
    const int side = int(std::lround(18 * (varnelStyle ? varnelStyle->scale() : 1.0)));
    toolbar->setIconSize(QSize(side, side));
    // The application's font, not the window's: the window takes a new text size only after
    // this has run, and would hand back the old one.
    QFont font = QApplication::font();
    font.setPointSizeF(qMax(font.pointSizeF() * 0.62, 6.5));
    toolbar->setFont(font);
    toolbar->setStyleSheet(QString::fromLatin1(kToolbarStyle).arg(1).arg(3).arg(4));
    const qreal ratio = m_window->devicePixelRatioF();
    const int pixels = qMax(int(std::lround(side * ratio)), 8);
    for (const auto &[action, glyph] : std::as_const(m_toolbarGlyphs)) {
        action->setIcon(toolbarIcon(ToolbarGlyph(glyph), normal, disabled, pixels, ratio));
        // Each button gets the size itself: a style sheet polishes the buttons with the
        // font they had then, and a platform may give tool buttons a font of their own.
        if (QWidget *button = toolbar->widgetForAction(action))
            button->setFont(font);
    }
    // Keeps the bar compact, but never so low that the labels under the icons are cut off
    // (with some styles and fonts the buttons need a few pixels more than that).
    toolbar->setMaximumHeight(QWIDGETSIZE_MAX);
    toolbar->setMaximumHeight(
        qMax(QFontMetrics(font).lineSpacing() + side + 21, toolbar->sizeHint().height()));
}

void WindowActions::followUndo(SettingsModel *model)
{
    m_model = model;
    // What was undone replaces whatever the status bar said about the step before it, which
    // would otherwise still read as true ("Paths changed: 130").
    connect(undo, &QAction::triggered, model, [this, model] {
        const QString step = model->undoStack()->undoText();
        model->undo();
        m_window->statusBar()->showMessage(tr("Undone: %1").arg(step), 5000);
    });
    connect(redo, &QAction::triggered, model, [this, model] {
        const QString step = model->undoStack()->redoText();
        model->redo();
        m_window->statusBar()->showMessage(tr("Redone: %1").arg(step), 5000);
    });
    QUndoStack *history = model->undoStack();
    for (auto signal : {&QUndoStack::canUndoChanged, &QUndoStack::canRedoChanged})
        connect(history, signal, this, &WindowActions::showUndoState);
    for (auto signal : {&QUndoStack::undoTextChanged, &QUndoStack::redoTextChanged})
        connect(history, signal, this, &WindowActions::showUndoState);
}

void WindowActions::showUndoState()
{
    if (!m_model)
        return;
    const QUndoStack *history = m_model->undoStack();
    undo->setEnabled(m_model->canUndo());
    redo->setEnabled(m_model->canRedo());
    undo->setText(history->canUndo() ? tr("Undo %1").arg(history->undoText()) : tr("Undo"));
    redo->setText(history->canRedo() ? tr("Redo %1").arg(history->redoText()) : tr("Redo"));
}

} // namespace vrn
