#pragma once

#include <QWidget>

namespace vrn {

// The content of a page that scrolls only where the window cannot give it the least room it
// needs. A scroll area asks a column with wrapping text for its height at a width, and would
// take the comfortable height for the least: the page would scroll with room to spare.
class PageColumn : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    int heightForWidth(int width) const override;
};

} // namespace vrn
