#include "widgets/collapsiblesection.h"

#include <QToolButton>
#include <QVBoxLayout>

namespace vrn {

CollapsibleSection::CollapsibleSection(const QString &title, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_button = new QToolButton(this);
    m_button->setCheckable(true);
    m_button->setAutoRaise(true);
    m_button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_button->setArrowType(Qt::RightArrow);
    m_button->setText(title);
    QFont font = m_button->font();
    font.setWeight(QFont::Bold);
    m_button->setFont(font);
    layout->addWidget(m_button);

    m_content = new QWidget(this);
    m_contentLayout = new QVBoxLayout(m_content);
    m_contentLayout->setContentsMargins(18, 0, 0, 0);
    m_contentLayout->setSpacing(0);
    m_content->hide();
    layout->addWidget(m_content);

    connect(m_button, &QToolButton::toggled, this, &CollapsibleSection::onToggled);
}

void CollapsibleSection::setTitle(const QString &title)
{
    m_button->setText(title);
}

QString CollapsibleSection::title() const
{
    return m_button->text();
}

void CollapsibleSection::setBuilder(std::function<void()> builder)
{
    m_builder = std::move(builder);
}

void CollapsibleSection::setExpanded(bool expanded)
{
    m_button->setChecked(expanded);
}

bool CollapsibleSection::isExpanded() const
{
    return m_button->isChecked();
}

void CollapsibleSection::onToggled(bool expanded)
{
    if (expanded && m_builder) {
        // Taken out first, so a builder that expands other sections cannot run twice.
        const std::function<void()> builder = std::exchange(m_builder, nullptr);
        builder();
    }
    m_button->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    m_content->setVisible(expanded);
    emit expandedChanged(expanded);
}

} // namespace vrn
