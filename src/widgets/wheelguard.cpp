#include "widgets/wheelguard.h"

#include <QEvent>
#include <QWidget>

namespace vrn {

WheelGuard::WheelGuard(QWidget *control)
    : QObject(control)
{
    control->installEventFilter(this);
}

bool WheelGuard::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Wheel) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && !widget->hasFocus()) {
            // Ignored and filtered: the control never sees it and the application hands it
            // on to the parents, so the page scrolls.
            event->ignore();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace vrn
