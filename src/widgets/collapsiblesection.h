#pragma once

#include <QWidget>

#include <functional>

class QToolButton;
class QVBoxLayout;

namespace vrn {

// A bold header with an arrow over a content widget. The content can be built lazily: the
// builder runs once, the first time the section is expanded, so a page with hundreds of
// sections only pays for the ones the user opens.
class CollapsibleSection : public QWidget
{
    Q_OBJECT

public:
    explicit CollapsibleSection(const QString &title, QWidget *parent = nullptr);

    void setTitle(const QString &title);
    QString title() const;
    // The builder fills contentLayout(); it is dropped after it ran.
    void setBuilder(std::function<void()> builder);
    void setExpanded(bool expanded);
    bool isExpanded() const;

    QToolButton *button() const { return m_button; }
    QWidget *content() const { return m_content; }
    QVBoxLayout *contentLayout() const { return m_contentLayout; }

signals:
    void expandedChanged(bool expanded);

private:
    void onToggled(bool expanded);

    QToolButton *m_button = nullptr;
    QWidget *m_content = nullptr;
    QVBoxLayout *m_contentLayout = nullptr;
    std::function<void()> m_builder;
};

} // namespace vrn
