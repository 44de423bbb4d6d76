#include "widgets/dialogs.h"

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMenu>
#include <QQueue>

namespace vrn {

namespace {

struct Answer
{
    QMessageBox::StandardButton button = QMessageBox::NoButton;
    bool checked = false;
};

struct TestState
{
    bool testMode = false;
    QQueue<Answer> answers;
    QQueue<QString> fileNames;
    QQueue<QColor> colors;
    QQueue<QString> menuChoices;
    QQueue<int> items;
    QQueue<std::function<int(QDialog *)>> dialogHandlers;
    std::function<bool(const QUrl &)> urlOpener;
    QList<Dialogs::Record> shown;
};

TestState &state()
{
    static TestState s;
    return s;
}

QMessageBox::StandardButton box(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                const QString &text, QMessageBox::StandardButtons buttons,
                                QMessageBox::StandardButton defaultButton)
{
    Dialogs::Message m;
    m.icon = icon;
    m.title = title;
    m.text = text;
    m.buttons = buttons;
    m.defaultButton = defaultButton;
    return Dialogs::message(parent, m);
}

Dialogs::Kind kindOf(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Warning:
        return Dialogs::Kind::Warning;
    case QMessageBox::Question:
        return Dialogs::Kind::Question;
    case QMessageBox::Critical:
        return Dialogs::Kind::Critical;
    default:
        return Dialogs::Kind::Information;
    }
}

// The answer a box gives in test mode when nothing was queued: what Escape would give.
QMessageBox::StandardButton cancelAnswer(QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton defaultButton)
{
    for (QMessageBox::StandardButton b : {QMessageBox::Cancel, QMessageBox::No, QMessageBox::Ok})
        if (buttons.testFlag(b))
            return b;
    return defaultButton;
}

} // namespace

QMessageBox::StandardButton Dialogs::information(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton)
{
    return box(parent, QMessageBox::Information, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton Dialogs::warning(QWidget *parent, const QString &title,
                                             const QString &text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton defaultButton)
{
    return box(parent, QMessageBox::Warning, title, text, buttons, defaultButton);
}

bool Dialogs::goDespiteShortage(QWidget *parent, const QString &shortage, const QString &risk,
                                QMessageBox::StandardButton go)
{
    return warning(parent, tr("Not enough memory"), shortage + QStringLiteral("\n\n") + risk,
                   go | QMessageBox::Cancel, QMessageBox::Cancel) == go;
}

QMessageBox::StandardButton Dialogs::question(QWidget *parent, const QString &title,
                                              const QString &text,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton defaultButton)
{
    return box(parent, QMessageBox::Question, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton Dialogs::critical(QWidget *parent, const QString &title,
                                              const QString &text,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton defaultButton)
{
    return box(parent, QMessageBox::Critical, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton Dialogs::message(QWidget *parent, const Message &m)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = kindOf(m.icon);
        r.title = m.title;
        r.text = m.text;
        r.informativeText = m.informativeText;
        r.detailedText = m.detailedText;
        r.textFormat = m.textFormat;
        r.checkBoxText = m.checkBoxText;
        r.buttons = m.buttons;
        r.defaultButton = m.defaultButton;
        s.shown.append(r);
        const Answer answer = s.answers.isEmpty()
                                  ? Answer{cancelAnswer(m.buttons, m.defaultButton), false}
                                  : s.answers.dequeue();
        if (m.checked)
            *m.checked = answer.checked;
        return answer.button;
    }
    QMessageBox box(m.icon, m.title, m.text, m.buttons, parent);
    box.setTextFormat(m.textFormat);
    if (!m.informativeText.isEmpty())
        box.setInformativeText(m.informativeText);
    if (!m.detailedText.isEmpty())
        box.setDetailedText(m.detailedText);
    if (m.defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(m.defaultButton);
    QCheckBox *checkBox = nullptr;
    if (!m.checkBoxText.isEmpty()) {
        checkBox = new QCheckBox(m.checkBoxText, &box);
        box.setCheckBox(checkBox);
    }
    const auto answer = QMessageBox::StandardButton(box.exec());
    if (m.checked)
        *m.checked = checkBox && checkBox->isChecked();
    return answer;
}

QString Dialogs::getOpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                                 const QString &filter)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = Kind::OpenFile;
        r.title = caption;
        r.directory = directory;
        r.filter = filter;
        s.shown.append(r);
        return s.fileNames.isEmpty() ? QString() : s.fileNames.dequeue();
    }
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

QString Dialogs::getSaveFileName(QWidget *parent, const QString &caption, const QString &directory,
                                 const QString &filter)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = Kind::SaveFile;
        r.title = caption;
        r.directory = directory;
        r.filter = filter;
        s.shown.append(r);
        return s.fileNames.isEmpty() ? QString() : s.fileNames.dequeue();
    }
    return QFileDialog::getSaveFileName(parent, caption, directory, filter);
}

QString Dialogs::getExistingDirectory(QWidget *parent, const QString &caption,
                                      const QString &directory)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = Kind::Directory;
        r.title = caption;
        r.directory = directory;
        s.shown.append(r);
        return s.fileNames.isEmpty() ? QString() : s.fileNames.dequeue();
    }
    return QFileDialog::getExistingDirectory(parent, caption, directory, QFileDialog::ShowDirsOnly);
}

QColor Dialogs::getColor(const QColor &initial, QWidget *parent, const QString &title,
                         QColorDialog::ColorDialogOptions options)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = Kind::Color;
        r.title = title;
        r.initialColor = initial;
        s.shown.append(r);
        return s.colors.isEmpty() ? QColor() : s.colors.dequeue();
    }
    return QColorDialog::getColor(initial, parent, title, options);
}

QAction *Dialogs::execMenu(QMenu *menu, const QPoint &globalPos)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = Kind::Menu;
        r.title = menu->title();
        for (QAction *action : menu->actions()) {
            MenuEntry entry;
            entry.separator = action->isSeparator();
            entry.text = entry.separator ? QString() : action->text();
            // QAction makes a tool tip from the text when none was set; that one is not
            // shown in a menu, so it is not recorded either.
            QString plain = action->text();
            plain.remove(QLatin1Char('&'));
            if (plain.endsWith(QLatin1String("...")))
                plain.chop(3);
            entry.toolTip = action->toolTip() == plain ? QString() : action->toolTip();
            entry.enabled = action->isEnabled();
            r.menuEntries.append(entry);
        }
        s.shown.append(r);
        const QString choice = s.menuChoices.isEmpty() ? QString() : s.menuChoices.dequeue();
        if (choice.isEmpty())
            return nullptr;
        for (QAction *action : menu->actions()) {
            // A disabled entry cannot be chosen, exactly as with the mouse.
            if (!action->isSeparator() && action->text() == choice)
                return action->isEnabled() ? action : nullptr;
        }
        return nullptr;
    }
    return menu->exec(globalPos);
}

QString Dialogs::getItem(QWidget *parent, const QString &title, const QString &label,
                         const QStringList &items, int current, bool *ok)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = Kind::Item;
        r.title = title;
        r.text = label;
        for (const QString &item : items)
            r.menuEntries.append(MenuEntry{item, QString(), true, false});
        r.currentItem = current;
        s.shown.append(r);
        const int index = s.items.isEmpty() ? -1 : s.items.dequeue();
        if (ok)
            *ok = index >= 0 && index < items.size();
        return index >= 0 && index < items.size() ? items.at(index) : QString();
    }
    return QInputDialog::getItem(parent, title, label, items, current, false, ok);
}

int Dialogs::execDialog(QDialog *dialog)
{
    TestState &s = state();
    if (s.testMode) {
        Record r;
        r.kind = Kind::Dialog;
        r.title = dialog->windowTitle();
        s.shown.append(r);
        if (s.dialogHandlers.isEmpty())
            return QDialog::Rejected;
        return s.dialogHandlers.dequeue()(dialog);
    }
    return dialog->exec();
}

bool Dialogs::openUrl(const QUrl &url)
{
    if (state().urlOpener)
        return state().urlOpener(url);
    return QDesktopServices::openUrl(url);
}

void Dialogs::setUrlOpener(std::function<bool(const QUrl &)> opener)
{
    state().urlOpener = std::move(opener);
}

void Dialogs::setNextItem(int index)
{
    state().items.enqueue(index);
}

void Dialogs::setNextDialogHandler(std::function<int(QDialog *)> handler)
{
    state().dialogHandlers.enqueue(std::move(handler));
}

void Dialogs::setTestMode(bool on)
{
    state().testMode = on;
}

bool Dialogs::isTestMode()
{
    return state().testMode;
}

void Dialogs::setNextAnswer(QMessageBox::StandardButton answer, bool checked)
{
    state().answers.enqueue(Answer{answer, checked});
}

void Dialogs::setNextFileName(const QString &path)
{
    state().fileNames.enqueue(path);
}

void Dialogs::setNextColor(const QColor &color)
{
    state().colors.enqueue(color);
}

void Dialogs::setNextMenuChoice(const QString &text)
{
    state().menuChoices.enqueue(text);
}

QList<Dialogs::Record> Dialogs::shown()
{
    return state().shown;
}

Dialogs::Record Dialogs::lastShown()
{
    return state().shown.isEmpty() ? Record() : state().shown.constLast();
}

void Dialogs::clearShown()
{
    state().shown.clear();
}

void Dialogs::reset()
{
    TestState &s = state();
    s.answers.clear();
    s.fileNames.clear();
    s.colors.clear();
    s.menuChoices.clear();
    s.items.clear();
    s.dialogHandlers.clear();
    s.shown.clear();
}

} // namespace vrn
