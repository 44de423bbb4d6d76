#pragma once

#include <QObject>

namespace vrn {

// Keeps the mouse wheel from changing a combo or spin box that the user is only scrolling
// past: without keyboard focus the control lets the wheel go to the page around it.
class WheelGuard : public QObject
{
    Q_OBJECT

public:
    // Installs itself on the control, which owns it.
    explicit WheelGuard(QWidget *control);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

} // namespace vrn
