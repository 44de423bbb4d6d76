#pragma once

#include <QColor>
#include <QColorDialog>
#include <QCoreApplication>
#include <QList>
#include <QMessageBox>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <functional>

class QAction;
class QDialog;
class QMenu;
class QUrl;
class QWidget;

namespace vrn {

// Every modal box, file chooser, colour chooser and popup menu of the program goes through
// here. Tests queue the next answer instead of racing timers against exec(), and can read back
// what would have been shown.
class Dialogs
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Dialogs)

public:
    enum class Kind {
        Information,
        Warning,
        Question,
        Critical,
        OpenFile,
        Directory,
        Color,
        Menu,
        Item,
        Dialog,
        SaveFile
    };

    struct MenuEntry
    {
        QString text; // empty for a separator
        QString toolTip;
        bool enabled = true;
        bool separator = false;
    };

    // What a dialog showed (recorded only in test mode).
    struct Record
    {
        Kind kind = Kind::Information;
        QString title;
        QString text;
        QString informativeText;
        QString detailedText;
        Qt::TextFormat textFormat = Qt::AutoText;
        QString checkBoxText;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QString directory;
        QString filter;
        QColor initialColor;
        QList<MenuEntry> menuEntries;
        int currentItem = -1; // the item a list offered first
    };

    static QMessageBox::StandardButton
    information(QWidget *parent, const QString &title, const QString &text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    warning(QWidget *parent, const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    question(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
             QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    critical(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Ok,
             QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    // Before reading a file larger than the memory free now allows: `shortage` says how much is
    // missing, `risk` what going on may cost. True when the user chose `go`.
    static bool goDespiteShortage(QWidget *parent, const QString &shortage, const QString &risk,
                                  QMessageBox::StandardButton go);
    // The full form: informative text, optional details behind the box's "Show Details..."
    // button, and an optional check box whose state lands in *checked.
    struct Message
    {
        QMessageBox::Icon icon = QMessageBox::Information;
        QString title;
        QString text;
        QString informativeText;
        QString detailedText;
        Qt::TextFormat textFormat = Qt::AutoText;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QString checkBoxText;
        bool *checked = nullptr;
    };
    static QMessageBox::StandardButton message(QWidget *parent, const Message &message);

    // Empty when cancelled.
    static QString getOpenFileName(QWidget *parent, const QString &caption,
                                   const QString &directory = QString(),
                                   const QString &filter = QString());
    // Asks before replacing an existing file.
    static QString getSaveFileName(QWidget *parent, const QString &caption,
                                   const QString &directory = QString(),
                                   const QString &filter = QString());
    static QString getExistingDirectory(QWidget *parent, const QString &caption,
                                        const QString &directory = QString());
    // Invalid when cancelled.
    static QColor getColor(const QColor &initial, QWidget *parent, const QString &title,
                           QColorDialog::ColorDialogOptions options = {});
    // Opens the menu at the position; the chosen action, or null.
    static QAction *execMenu(QMenu *menu, const QPoint &globalPos);
    // A choice from a fixed list; *ok is false when cancelled.
    static QString getItem(QWidget *parent, const QString &title, const QString &label,
                           const QStringList &items, int current, bool *ok);
    // Runs a dialog of our own modally; its result code.
    static int execDialog(QDialog *dialog);
    // Opens a link or a local file with the desktop's default handler.
    static bool openUrl(const QUrl &url);

    // Test hooks. In test mode nothing modal ever opens: each dialog takes the next queued
    // answer of its type, or else returns as if cancelled (the default button of a box), and
    // is recorded.
    static void setTestMode(bool on);
    static bool isTestMode();
    static void setNextAnswer(QMessageBox::StandardButton answer, bool checked = false);
    static void setNextFileName(const QString &path);
    static void setNextColor(const QColor &color);
    // The menu entry with this text is chosen (an empty text closes the menu without choice).
    static void setNextMenuChoice(const QString &text);
    // The item with this index is chosen from the next list (a negative one cancels).
    static void setNextItem(int index);
    // The next dialog of our own is handed to this function instead of being shown; its
    // return value is the dialog's result. Without one the dialog counts as rejected.
    static void setNextDialogHandler(std::function<int(QDialog *)> handler);
    // Links and files are handed to this function instead of the desktop (in any mode); an
    // empty function restores the desktop.
    static void setUrlOpener(std::function<bool(const QUrl &)> opener);
    static QList<Record> shown();
    static Record lastShown();
    static void clearShown();
    // Empties the queues and the record; test mode stays as it is.
    static void reset();
};

} // namespace vrn
