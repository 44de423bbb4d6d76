#pragma once

#include <QLayout>
#include <QList>
#include <QStyle>

namespace vrn {

// Lays its items out left to right and starts a new line where the next one would not fit, so
// that a row of options stays within a narrow window at a large text size instead of widening
// the page past the screen.
class FlowLayout : public QLayout
{
    Q_OBJECT

public:
    explicit FlowLayout(QWidget *parent = nullptr);
    ~FlowLayout() override;

    void addItem(QLayoutItem *item) override;
    int count() const override;
    QLayoutItem *itemAt(int index) const override;
    QLayoutItem *takeAt(int index) override;
    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect &rect) override;

private:
    // Places the items in rect (only measures unless place), returning the height used.
    int arrange(const QRect &rect, bool place) const;
    int gap(QStyle::PixelMetric metric) const;

    QList<QLayoutItem *> m_items;
};

} // namespace vrn
