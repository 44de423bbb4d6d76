#include "app/windowlook.h"

#include "app/thememanager.h"
#include "app/windowactions.h"

#include <QGuiApplication>
#include <QLayout>
#include <QMainWindow>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include <cmath>

namespace vrn {

WindowLook::WindowLook(QMainWindow *window, WindowActions *actions)
    : QObject(window)
    , m_window(window)
    , m_actions(actions)
{
    ThemeManager *theme = ThemeManager::instance();
    m_lastFontScale = theme->fontScale();
    connect(theme, &ThemeManager::changed, this, &WindowLook::applyTheme);
    connect(actions->toolbar, &QToolBar::visibilityChanged, this, [this] {
        if (m_window->isVisible())
            updateMinimumWidth();
    });
}

void WindowLook::applyTheme()
{
    m_window->statusBar()->setStyleSheet(
        QStringLiteral("QStatusBar { background: palette(midlight); border-top: 1px solid "
                       "palette(mid); }"));
    refreshToolbarIcons();
    m_actions->showCurrentTheme();
    const double scale = ThemeManager::instance()->fontScale();
    if (std::fabs(scale - m_lastFontScale) > 0.000001) {
        m_lastFontScale = scale;
        m_window->statusBar()->showMessage(
            tr("Text size %1%").arg(std::lround(m_lastFontScale * 100 / 1.25)), 3000);
    }
}

void WindowLook::refreshToolbarIcons()
{
    m_actions->refreshToolbarIcons();
    updateMinimumWidth();
    QTimer::singleShot(0, this, &WindowLook::updateMinimumWidth);
}

void WindowLook::updateMinimumWidth()
{
    QWidget *central = m_window->centralWidget();
    int width = central ? central->minimumSizeHint().width() : 0;
    if (QToolBar *toolbar = m_actions->toolbar; toolbar->isVisible()) {
        if (toolbar->layout())
            toolbar->layout()->activate();
        width = qMax(width, toolbar->sizeHint().width());
    }
    m_window->setMinimumWidth(width);
}

void WindowLook::windowShown()
{
    QTimer::singleShot(0, this, &WindowLook::updateMinimumWidth);
    if (!m_firstShowDone) {
        m_firstShowDone = true;
        QTimer::singleShot(0, m_window, [window = m_window] { ensureOnScreen(window); });
        // Once more after the first polish, which is when the buttons took their fonts.
        QTimer::singleShot(0, this, &WindowLook::refreshToolbarIcons);
    }
}

void ensureOnScreen(QWidget *window)
{
    if (window->isMinimized()) {
        window->showNormal();
        window->activateWindow();
    }
    const QRect frame = window->frameGeometry();
    const QRect strip(frame.left(), frame.top(), frame.width(), 40);
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect visible = strip.intersected(screen->availableGeometry());
        if (visible.width() >= 120 && visible.height() >= 20)
            return;
    }
    const QScreen *primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    const QRect available = primary->availableGeometry();
    window->resize(qMin(window->width(), available.width()),
                   qMin(window->height(), available.height() - 60));
    const QRect resized = window->frameGeometry();
    const int x = qMax(available.left(), available.center().x() - resized.width() / 2);
    const int y = qMax(available.top(), available.center().y() - resized.height() / 2);
    window->move(x, y);
}

} // namespace vrn
