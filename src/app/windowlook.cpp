#include "app/windowlook.h"

#include "app/thememanager.h"
#include "app/windowactions.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLocale>
#include <QMainWindow>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
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

namespace {

const char *const kTabCount = "tabCount";

// Room for three digits at the present text size, more only for a larger count. Returns
// whether the room changed.
bool keepRoomForCount(QLabel *label)
{
    const QFontMetrics metrics(QApplication::font());
    const int width = qMax(metrics.horizontalAdvance(QStringLiteral("(888)")),
                           metrics.horizontalAdvance(label->text()));
    if (label->minimumWidth() == width && label->maximumWidth() == width)
        return false;
    label->setFixedWidth(width);
    return true;
}

} // namespace

void WindowLook::applyTheme()
{
    for (QLabel *count : m_window->findChildren<QLabel *>(QLatin1String(kTabCount)))
        keepRoomForCount(count);
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
    // Never more than the screen offers, whatever the text size: past that the toolbar folds
    // its last buttons into a menu and the pages scroll, instead of the window growing off
    // the screen with the controls on its right out of reach.
    int height = m_window->layout() ? m_window->layout()->minimumSize().height() : 0;
    if (const QScreen *screen = m_window->screen()) {
        const QSize frame = m_window->frameGeometry().size() - m_window->size();
        const QSize room = screen->availableGeometry().size() - frame;
        width = qMin(width, room.width());
        height = qMin(height, room.height());
    }
    m_window->setMinimumSize(width, height);
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

void showTabCount(QTabWidget *tabs, QWidget *page, int count)
{
    const int index = tabs->indexOf(page);
    if (index < 0)
        return;
    QTabBar *bar = tabs->tabBar();
    auto *label = qobject_cast<QLabel *>(bar->tabButton(index, QTabBar::RightSide));
    if (!label) {
        label = new QLabel(bar);
        label->setObjectName(QLatin1String(kTabCount));
    }
    const QString number = QLocale().toString(count);
    label->setText(count >= 1 ? WindowLook::tr("(%1)").arg(number) : QString());
    if (keepRoomForCount(label)) // setting the button again lays the tabs out for its width
        bar->setTabButton(index, QTabBar::RightSide, label);
    const QString title = tabs->tabText(index);
    bar->setAccessibleTabName(index,
                              count >= 1 ? WindowLook::tr("%1 (%2)").arg(title, number) : title);
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
