#include "widgets/settingrow.h"

#include "document/values.h"
#include "document/xsdtnode.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/valuecheck.h"
#include "model/settingsmodel.h"
#include "widgets/colorbutton.h"
#include "widgets/dialogs.h"
#include "widgets/wheelguard.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <QRegularExpression>

#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace vrn {

namespace {

constexpr int kExtraEntryRole = Qt::UserRole + 1;
constexpr double kIntMin = -2147483648.0;
constexpr double kIntMax = 2147483647.0;
constexpr double kUnsignedMax = 4294967295.0;

// w eighths of the text colour and the rest of the background, channel by channel.
QColor mix(const QColor &text, const QColor &window, int w)
{
    return QColor((text.red() * w + window.red() * (8 - w)) / 8,
                  (text.green() * w + window.green() * (8 - w)) / 8,
                  (text.blue() * w + window.blue() * (8 - w)) / 8);
}

QFont smallFont()
{
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 0.9);
    else if (font.pixelSize() > 0)
        font.setPixelSize(qMax(1, qRound(font.pixelSize() * 0.9)));
    return font;
}

// A number box that takes whatever number is typed, so that one outside the documented range
// reaches the row and is refused with its reason instead of being cut short digit by digit or
// put back without a word. Only the arrows keep to the documented range, and bring a value
// from outside it straight back in. A whole number too long for the box stays as typed and
// goes to `tooLong` when it is confirmed.
template <class Box>
class TypedNumberBox : public Box
{
public:
    using Box::Box;
    using Value = decltype(std::declval<Box>().value());

    void setStepRange(Value low, Value high)
    {
        m_low = low;
        m_high = high;
    }
    std::function<void(const QString &)> tooLong;

    void stepBy(int steps) override
    {
        const double next = double(this->value()) + double(steps) * double(this->singleStep());
        this->setValue(Value(qBound(double(m_low), next, double(m_high))));
        this->selectAll();
    }

    QValidator::State validate(QString &input, int &pos) const override
    {
        const QValidator::State state = Box::validate(input, pos);
        if (state != QValidator::Invalid || !isWholeNumber(input))
            return state;
        return QValidator::Intermediate;
    }

    void fixup(QString &input) const override
    {
        if (tooLong && isWholeNumber(input))
            tooLong(this->cleanText());
        Box::fixup(input);
    }

protected:
    // Enter would put the previous value back; the refusal says why and the text stays.
    void keyPressEvent(QKeyEvent *event) override
    {
        QString text = this->text();
        int pos = 0;
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && tooLong &&
            isWholeNumber(text) && Box::validate(text, pos) == QValidator::Invalid) {
            tooLong(this->cleanText());
            event->accept();
            return;
        }
        Box::keyPressEvent(event);
    }

    typename Box::StepEnabled stepEnabled() const override
    {
        typename Box::StepEnabled enabled = Box::StepNone;
        if (this->isReadOnly())
            return enabled;
        if (this->value() < m_high)
            enabled |= Box::StepUpEnabled;
        if (this->value() > m_low)
            enabled |= Box::StepDownEnabled;
        return enabled;
    }

private:
    static bool isWholeNumber(const QString &input)
    {
        static const QRegularExpression whole(QStringLiteral("^\\s*[-+]?\\d+\\s*$"));
        return whole.match(input).hasMatch();
    }

    Value m_low = std::numeric_limits<Value>::lowest();
    Value m_high = std::numeric_limits<Value>::max();
};

using IntegerBox = TypedNumberBox<QSpinBox>;
using WideIntegerBox = TypedNumberBox<QDoubleSpinBox>;

// A spin box value becomes an unsigned decimal; the model refuses what the type cannot hold.
QString unsignedText(double value)
{
    if (!(value > 0))
        return QStringLiteral("0");
    if (value >= 18446744073709551615.0)
        return QString::number(std::numeric_limits<quint64>::max());
    return QString::number(quint64(value));
}

} // namespace

SettingRow::SettingRow(XsdtNode *node, const VariableInfo &info, SettingsModel *model,
                       QWidget *parent)
    : QWidget(parent)
    , m_node(node)
    , m_info(info)
    , m_model(model)
    , m_isProtected(!node->isEditable())
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 6, 10, 6);
    layout->setSpacing(12);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    // Plain text throughout: keys and descriptions come from the file and must never be read
    // as markup.
    m_titleLabel = new QLabel(info.label, this);
    m_titleLabel->setTextFormat(Qt::PlainText);
    m_titleLabel->setWordWrap(true);
    m_pathLabel = new QLabel(this);
    m_pathLabel->setTextFormat(Qt::PlainText);
    m_pathLabel->setWordWrap(true);
    m_pathLabel->hide();
    m_descriptionLabel = new QLabel(info.description, this);
    m_descriptionLabel->setTextFormat(Qt::PlainText);
    m_descriptionLabel->setWordWrap(true);
    m_descriptionLabel->setVisible(!info.description.isEmpty());
    // A stored value the Health check calls a problem (outside its documented range) says so
    // here too.
    m_problemLabel = new QLabel(this);
    m_problemLabel->setTextFormat(Qt::PlainText);
    m_problemLabel->setWordWrap(true);
    m_problemLabel->setForegroundRole(QPalette::BrightText);
    m_problemLabel->hide();
    texts->addWidget(m_titleLabel);
    texts->addWidget(m_pathLabel);
    texts->addWidget(m_descriptionLabel);
    texts->addWidget(m_problemLabel);
    layout->addLayout(texts, 3);

    m_editorBox = new QWidget(this);
    m_editorBox->setMinimumWidth(240);
    m_editorBox->setMaximumWidth(460);
    layout->addWidget(m_editorBox, 2, Qt::AlignVCenter);

    m_revertButton = new QToolButton(this);
    m_revertButton->setAutoRaise(true);
    m_revertButton->setText(QString(QChar(0x21BA)));
    layout->addWidget(m_revertButton, 0, Qt::AlignVCenter);
    connect(m_revertButton, &QToolButton::clicked, this, [this] {
        m_model->revertValue(m_node);
        refresh();
    });

    QString tip = node->path();
    if (!info.known)
        tip += tr("\n(not documented by PixInsight)");
    setToolTip(tip);

    buildEditor();
    // What a screen reader says on landing in the row: the setting, what it does, and what the
    // two buttons beside the editor are for.
    m_editor->setAccessibleName(info.label);
    m_editor->setAccessibleDescription(info.description);
    m_revertButton->setAccessibleName(tr("Revert %1").arg(info.label));
    if (m_browseButton)
        m_browseButton->setAccessibleName((info.kind == EditorKind::Directory
                                               ? tr("Choose a folder for %1")
                                               : tr("Choose a file for %1"))
                                              .arg(info.label));
    applyStyle();
    refresh();
}

void SettingRow::buildEditor()
{
    auto *box = new QHBoxLayout(m_editorBox);
    box->setContentsMargins(0, 0, 0, 0);

    const auto guarded = [](QWidget *control) {
        control->setFocusPolicy(Qt::StrongFocus);
        new WheelGuard(control);
    };
    const auto makeSpinBox = [&] {
        auto *spin = new IntegerBox(m_editorBox);
        spin->tooLong = [this](const QString &typed) { refuseTyped(typed); };
        m_spinBox = spin;
        m_spinBox->setKeyboardTracking(false);
        m_spinBox->setRange(int(kIntMin), int(kIntMax));
        guarded(m_spinBox);
        connect(m_spinBox, &QSpinBox::valueChanged, this,
                [this](int value) { commitText(QString::number(value)); });
        m_editor = m_spinBox;
        box->addWidget(m_spinBox);
    };
    const auto makeLineEdit = [&] {
        m_lineEdit = new QLineEdit(m_editorBox);
        m_lineEdit->setReadOnly(m_isProtected);
        connect(m_lineEdit, &QLineEdit::editingFinished, this, [this] {
            // Leaving a field that still holds a refused text does not refuse it again.
            if (m_lineEdit->text() != m_node->value && m_lineEdit->text() != m_refusedText)
                commitText(m_lineEdit->text());
        });
        m_editor = m_lineEdit;
        box->addWidget(m_lineEdit);
    };

    switch (m_info.kind) {
    case EditorKind::Bool:
        m_checkBox = new QCheckBox(m_editorBox);
        connect(m_checkBox, &QCheckBox::clicked, this, [this](bool checked) {
            commitText(checked ? QStringLiteral("true") : QStringLiteral("false"));
        });
        m_editor = m_checkBox;
        box->addWidget(m_checkBox);
        box->addStretch();
        break;
    case EditorKind::Choice:
        m_comboBox = new QComboBox(m_editorBox);
        for (const auto &choice : m_info.choices)
            m_comboBox->addItem(choice.second, choice.first);
        guarded(m_comboBox);
        connect(m_comboBox, &QComboBox::activated, this, [this](int index) {
            commitText(QString::number(m_comboBox->itemData(index).toInt()));
        });
        m_editor = m_comboBox;
        box->addWidget(m_comboBox);
        break;
    case EditorKind::Integer:
        makeSpinBox();
        break;
    case EditorKind::Unsigned:
        if (m_info.hasRange && m_info.min >= 0 && m_info.max <= kIntMax) {
            makeSpinBox();
        } else {
            auto *spin = new WideIntegerBox(m_editorBox);
            spin->tooLong = [this](const QString &typed) { refuseTyped(typed); };
            m_doubleSpinBox = spin;
            m_doubleSpinBox->setDecimals(0);
            m_doubleSpinBox->setRange(0, kUnsignedMax);
            m_doubleSpinBox->setKeyboardTracking(false);
            guarded(m_doubleSpinBox);
            connect(m_doubleSpinBox, &QDoubleSpinBox::valueChanged, this,
                    [this](double value) { commitText(unsignedText(value)); });
            m_editor = m_doubleSpinBox;
            box->addWidget(m_doubleSpinBox);
        }
        break;
    case EditorKind::Real:
    case EditorKind::Text:
        makeLineEdit();
        break;
    case EditorKind::FilePath:
    case EditorKind::Directory:
        makeLineEdit();
        m_browseButton = new QToolButton(m_editorBox);
        m_browseButton->setText(QString(QChar(0x2026)));
        connect(m_browseButton, &QToolButton::clicked, this, &SettingRow::browse);
        box->addWidget(m_browseButton);
        break;
    case EditorKind::Color:
        m_colorButton = new ColorButton(m_editorBox);
        connect(m_colorButton, &ColorButton::colorPicked, this,
                [this](unsigned argb) { commitText(QString::number(argb)); });
        m_editor = m_colorButton;
        box->addWidget(m_colorButton);
        box->addStretch();
        break;
    }
}

void SettingRow::browse()
{
    const QString chosen =
        m_info.kind == EditorKind::Directory
            ? Dialogs::getExistingDirectory(this, m_info.label, m_node->value)
            : Dialogs::getOpenFileName(this, m_info.label, m_node->value, QString());
    if (!chosen.isEmpty())
        commitText(chosen);
}

void SettingRow::commitText(const QString &text)
{
    // A typed number outside the documented range is refused here, with the model's own words
    // for it. A refused typed text stays in its field, so the user sees what was not taken.
    QString outside;
    if (!withinDocumentedRange(m_info, text, &outside)) {
        refuseTyped(text, outside);
        return;
    }
    if (!m_model->setData(m_model->indexForNode(m_node, 1), text, Qt::EditRole) &&
        (m_spinBox || m_doubleSpinBox || m_lineEdit)) {
        m_refusedText = text;
        return;
    }
    m_refusedText.clear();
    refresh();
}

void SettingRow::refuseTyped(const QString &text, const QString &reason)
{
    // A field left with the text it was refused for says nothing new.
    if (text == m_refusedText)
        return;
    m_refusedText = text;
    QString why = reason;
    if (why.isEmpty())
        why = m_model->refusal(m_node, text);
    if (!why.isEmpty())
        emit rejected(why);
}

void SettingRow::refresh()
{
    const bool changed = m_node->value != m_node->originalValue;
    const bool deleted = m_node->isDeleted();
    refreshEditor();

    if (changed != m_changedLook) {
        m_changedLook = changed;
        if (changed) {
            QPalette amber;
            amber.setBrush(QPalette::Window, QColor(255, 190, 0, 55));
            setPalette(amber);
        } else {
            setPalette(QPalette()); // back to what the page gives
        }
        setAutoFillBackground(changed);
    }
    applyTitleFont();

    if (changed) {
        m_revertButton->setEnabled(!m_viewOnly && !deleted);
        m_revertButton->setToolTip(
            tr("Revert to the value on disk: %1").arg(m_node->originalValue.left(80)));
    } else {
        m_revertButton->setEnabled(false);
        m_revertButton->setToolTip(tr("Unchanged"));
    }

    QString problem;
    withinDocumentedRange(m_info, m_node->value, &problem);
    m_problemLabel->setText(problem);
    m_problemLabel->setVisible(!problem.isEmpty());

    const bool locked = m_model->isEditLocked(m_node);
    m_editorBox->setEnabled(!m_viewOnly && !m_info.readOnly && !deleted && !m_isProtected &&
                            !locked);
    if (m_info.readOnly)
        m_editorBox->setToolTip(tr("Documented by PixInsight as read-only or write-only."));
    else if (m_isProtected)
        m_editorBox->setToolTip(tr("Protected value type: shown for reference only."));
    else if (locked)
        m_editorBox->setToolTip(tr("Module registry and version records are locked against "
                                   "editing."));
    else
        m_editorBox->setToolTip(QString());
}

void SettingRow::refreshEditor()
{
    m_refusedText.clear();
    const QString &value = m_node->value;
    if (m_checkBox) {
        const QSignalBlocker block(m_checkBox);
        m_checkBox->setChecked(value == QLatin1String("true"));
    }
    if (m_comboBox) {
        const QSignalBlocker block(m_comboBox);
        bool ok = false;
        const int number = value.trimmed().toInt(&ok);
        int found = -1;
        for (int i = 0; ok && i < m_comboBox->count(); ++i) {
            if (m_comboBox->itemData(i).toInt() == number) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            for (int i = m_comboBox->count() - 1; i >= 0; --i) {
                if (m_comboBox->itemData(i, kExtraEntryRole).toBool())
                    m_comboBox->removeItem(i);
            }
            m_comboBox->addItem(tr("Other (%1)").arg(value), number);
            found = m_comboBox->count() - 1;
            m_comboBox->setItemData(found, true, kExtraEntryRole);
        }
        m_comboBox->setCurrentIndex(found);
    }
    if (m_spinBox) {
        const QSignalBlocker block(m_spinBox);
        bool ok = false;
        const qlonglong read = value.trimmed().toLongLong(&ok);
        const int shown = ok ? int(qBound(qlonglong(kIntMin), read, qlonglong(kIntMax))) : 0;
        int low = int(kIntMin);
        int high = int(kIntMax);
        if (m_info.hasRange) {
            low = int(std::ceil(qBound(kIntMin, m_info.min, kIntMax)));
            high = int(std::floor(qBound(kIntMin, m_info.max, kIntMax)));
        }
        static_cast<IntegerBox *>(m_spinBox)->setStepRange(low, high);
        m_spinBox->setValue(shown);
    }
    if (m_doubleSpinBox) {
        const QSignalBlocker block(m_doubleSpinBox);
        bool ok = false;
        double number = QLocale::c().toDouble(value.trimmed(), &ok);
        if (!ok || !std::isfinite(number))
            number = 0;
        // The arrows never go beyond what an unsigned value can hold: a documented bound of
        // "no upper limit" would otherwise step into numbers the type refuses.
        double low = 0;
        double high = kUnsignedMax;
        if (m_info.hasRange) {
            low = qBound(0.0, m_info.min, kUnsignedMax);
            high = qBound(low, m_info.max, kUnsignedMax);
        }
        static_cast<WideIntegerBox *>(m_doubleSpinBox)->setStepRange(low, high);
        m_doubleSpinBox->setValue(number);
    }
    if (m_lineEdit) {
        const QSignalBlocker block(m_lineEdit);
        if (!m_isProtected) {
            m_lineEdit->setText(value);
        } else if (m_node->type == QLatin1Char('B')) {
            m_lineEdit->setText(blockDisplayText(*m_node));
        } else {
            QString shown = value;
            shown.replace(QLatin1Char('\n'), QChar(0x23CE));
            m_lineEdit->setText(shown);
        }
        m_lineEdit->setCursorPosition(0);
    }
    if (m_colorButton) {
        const QSignalBlocker block(m_colorButton);
        m_colorButton->setColor(value.trimmed().toUInt());
    }
}

void SettingRow::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    refresh();
}

void SettingRow::setShowPath(bool show)
{
    if (!show) {
        m_pathLabel->hide();
        return;
    }
    QStringList keys = pathKeys(m_node);
    if (!keys.isEmpty())
        keys.removeLast();
    const QString text = keys.join(QStringLiteral(" \u203A "));
    m_pathLabel->setText(text);
    m_pathLabel->setVisible(!text.isEmpty());
}

bool SettingRow::matches(const QString &text) const
{
    return matches(m_node, m_info, text);
}

bool SettingRow::matches(const XsdtNode *node, const VariableInfo &info, const QString &text)
{
    if (text.isEmpty())
        return true;
    if (info.label.contains(text, Qt::CaseInsensitive) ||
        node->key.contains(text, Qt::CaseInsensitive) ||
        info.description.contains(text, Qt::CaseInsensitive))
        return true;
    return node->type == QLatin1Char('s') && node->value.contains(text, Qt::CaseInsensitive);
}

void SettingRow::applyTitleFont()
{
    QFont title = font();
    title.setWeight(m_node->value != m_node->originalValue ? QFont::Bold : QFont::Normal);
    title.setStrikeOut(m_node->isDeleted());
    if (m_titleLabel->font() != title)
        m_titleLabel->setFont(title);
}

void SettingRow::applyStyle()
{
    // Mixed from the page's colours, not from this row's own amber background.
    const QPalette base = parentWidget() ? parentWidget()->palette() : QApplication::palette();
    const QColor text = base.color(QPalette::WindowText);
    const QColor window = base.color(QPalette::Window);
    const QFont small = smallFont();
    const auto style = [&](QLabel *label, int w) {
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, mix(text, window, w));
        label->setPalette(pal);
        if (label->font() != small)
            label->setFont(small);
    };
    // The path set off from the description, yet readable (4.5:1) in both themes.
    style(m_descriptionLabel, 6);
    style(m_pathLabel, 5);
    applyTitleFont();
}

void SettingRow::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    QColor line = palette().color(QPalette::WindowText);
    line.setAlpha(30);
    painter.setPen(line);
    painter.drawLine(0, height() - 1, width() - 1, height() - 1);
}

void SettingRow::contextMenuEvent(QContextMenuEvent *event)
{
    emit menuRequested(m_node, event->globalPos());
    event->accept();
}

void SettingRow::changeEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::PaletteChange:
    case QEvent::ApplicationFontChange:
    case QEvent::ApplicationPaletteChange:
        applyStyle();
        break;
    default:
        break;
    }
    QWidget::changeEvent(event);
}

void refreshRowsInRange(const QHash<const XsdtNode *, SettingRow *> &rows,
                        const SettingsModel *model, const QModelIndex &topLeft,
                        const QModelIndex &bottomRight)
{
    if (rows.isEmpty() || !model || !topLeft.isValid())
        return;
    const int first = topLeft.row();
    const int last = bottomRight.isValid() ? bottomRight.row() : first;
    if (last - first + 1 <= rows.size()) {
        for (int r = first; r <= last; ++r) {
            const XsdtNode *node = model->nodeForIndex(model->index(r, 0, topLeft.parent()));
            if (SettingRow *row = rows.value(node))
                row->refresh();
        }
        return;
    }
    const XsdtNode *parent = model->nodeForIndex(topLeft.parent());
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        if (it.key()->parent != parent)
            continue;
        const int r = model->indexForNode(it.key()).row();
        if (r >= first && r <= last)
            it.value()->refresh();
    }
}

} // namespace vrn
