#pragma once

#include <QPushButton>

namespace vrn {

// Shows a colour as a swatch and "#AARRGGBB"; clicking offers the colour chooser. The shown
// colour changes only through setColor, so the row can show what the document really holds.
class ColorButton : public QPushButton
{
    Q_OBJECT

public:
    explicit ColorButton(QWidget *parent = nullptr);

    void setColor(unsigned argb);
    unsigned color() const { return m_argb; }

signals:
    void colorPicked(unsigned argb);

private:
    void choose();

    unsigned m_argb = 0;
};

} // namespace vrn
