// Setting rows with every editor, the colour button, the wheel guard and the shared setting
// menu, driven the way a user drives them.
#include "app/thememanager.h"
#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "support/testfiles.h"
#include "support/testtree.h"
#include "widgets/colorbutton.h"
#include "widgets/dialogs.h"
#include "widgets/settingmenu.h"
#include "widgets/settingrow.h"
#include "widgets/wheelguard.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSpontaneKeyEvent>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

#include <limits>
#include <memory>

using namespace vrn;

Q_DECLARE_METATYPE(vrn::EditorKind)

namespace {

const QString kPath = "Global/Preferences/Test/Value";

// A documented setting labelled "Setting"; a range when min and max differ.
VariableInfo makeInfo(EditorKind kind, double min = 0, double max = 0)
{
    // Label, description, kind, read-only, known, range, choices.
    VariableInfo info{"Setting", {}, kind, false, true, min != max, min, max, {}};
    if (kind == EditorKind::Choice)
        info.choices = {{0, "Platform default"}, {1, "Ok, Cancel"}, {2, "Cancel, Ok"}};
    return info;
}

// Sends a wheel event the way the window system does, so that the application hands an
// ignored one on to the parents.
void spontaneousWheel(QWidget *target, int angle)
{
    const QPointF local(target->width() / 2.0, target->height() / 2.0);
    QWheelEvent wheel(local, target->mapToGlobal(local), QPoint(), QPoint(0, angle), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&wheel);
    qApp->notify(target, &wheel);
}

// What an editor shows: spin boxes as "value in min..max".
QString shownBy(QWidget *editor)
{
    if (auto *spin = qobject_cast<QSpinBox *>(editor))
        return QString::asprintf("%d in %d..%d", spin->value(), spin->minimum(), spin->maximum());
    if (auto *wide = qobject_cast<QDoubleSpinBox *>(editor))
        return QString::asprintf("%.0f in %.0f..%.0f", wide->value(), wide->minimum(),
                                 wide->maximum());
    if (auto *box = qobject_cast<QCheckBox *>(editor))
        return box->isChecked() ? "ticked" : "unticked";
    if (auto *combo = qobject_cast<QComboBox *>(editor))
        return combo->currentText();
    if (auto *line = qobject_cast<QLineEdit *>(editor))
        return line->text();
    return qobject_cast<QPushButton *>(editor)->text();
}

// A row built for a stored value: its editor, what that shows, and whether it can be used
// (the editor box's tip says why not).
struct Shown
{
    EditorKind kind;
    char type;
    QString value;
    double min = 0, max = 0; // a range when they differ
    QString editorClass, shown, state = {}, tip = {};
    QString path = kPath;
};

// A user's edit of a row and what it leaves in the node.
struct Edit
{
    EditorKind kind;
    char type;
    // input: typed and confirmed with Return, or "click" (the check box), "down" (the next
    // entry), "pick:" and what the file, folder or colour chooser answers (nothing: cancelled).
    QString before, input, stored;
    QStringList refusals = {}; // "row: ..." or "model: ..."
    double min = 0, max = 0;
};

// The shared menu of a node: its entries ("text|enabled|tool tip", "-" for a separator,
// joined by " / "), the entry chosen and what that did.
struct Menu
{
    QString path, setup;
    QString entries, choice, effect;
};

} // namespace

Q_DECLARE_METATYPE(Shown)
Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(Menu)

class TestWidgets : public QObject
{
    Q_OBJECT

    SettingRow *makeRow(QChar type, const QString &value, const VariableInfo &info,
                        const QString &path = kPath)
    {
        XsdtNode *node = testdata::ensurePath(&m_doc->root, path, XsdtNode::Value, type, value);
        m_model->setDocument(m_doc.get());
        auto *row = new SettingRow(node, info, m_model.get(), m_page.get());
        m_page->layout()->addWidget(row);
        m_page->resize(900, m_page->sizeHint().height());
        m_page->show();
        return row;
    }

    DeletionPolicy m_policy;
    std::unique_ptr<XsdtDocument> m_doc;
    std::unique_ptr<SettingsModel> m_model;
    std::unique_ptr<QWidget> m_page;

private slots:
    void initTestCase()
    {
        Dialogs::setTestMode(true);
        QVERIFY(m_policy.load(testdata::readFile(":/schema/overlay.json")));
        QApplication::setStyle("Fusion");
    }

    void init()
    {
        Dialogs::reset();
        m_page = std::make_unique<QWidget>();
        new QVBoxLayout(m_page.get());
        m_doc = std::make_unique<XsdtDocument>();
        m_model = std::make_unique<SettingsModel>();
        m_model->setPolicy(&m_policy);
    }

    void cleanup()
    {
        m_page.reset(); // rows first: they point into the document
        m_model.reset();
        m_doc.reset();
    }

    void editors_data()
    {
        QTest::addColumn<Shown>("c");
        using K = EditorKind;
        const QString line = "QLineEdit";
        const QString reference = "Protected value type: shown for reference only.";
        // Stored values outside the range are shown as they are, and any number can be typed
        // (the row refuses what is outside the documented range).
        const QString anyInt = "in -2147483648..2147483647";
        QTest::newRow("integer above range")
            << Shown(K::Integer, 'i', "500", 0, 100, "QSpinBox", "500 " + anyInt);
        QTest::newRow("unsigned small range")
            << Shown(K::Unsigned, 'u', "10", 1, 64, "QSpinBox", "10 " + anyInt);
        QTest::newRow("unsigned without range") << Shown(
            K::Unsigned, 'u', "4294967295", 0, 0, "QDoubleSpinBox", "4294967295 in 0..4294967295");
        // Values that cannot be changed here.
        QTest::newRow("read-only")
            << Shown(K::Text, 's', "/a.qss", 0, 0, line, "/a.qss", "read-only",
                     "Documented by PixInsight as read-only or write-only.");
        QTest::newRow("time") << Shown(K::Text, 't', "2024-01-01T00:00:00", 0, 0, line,
                                       "2024-01-01T00:00:00", "", reference);
        QTest::newRow("block") << Shown(K::Text, 'B', "QUJDRA==", 0, 0, line,
                                        "(8 characters of encoded data)", "", reference);
        QTest::newRow("compressed lines")
            << Shown(K::Text, 's', "one\ntwo", 0, 0, line, "one\u23CEtwo", "compressed", reference);
        QTest::newRow("locked") << Shown(
            K::Text, 's', "/opt/x-pxm.so", 0, 0, line, "/opt/x-pxm.so", "",
            "Module registry and version records are locked against editing.", "Modules/1");
        // Changed earlier, then made unchangeable: the revert button goes off as well.
        QTest::newRow("inside queued group") << Shown(K::Text, 's', "3", 0, 0, line, "4", "deleted",
                                                      "", "Global/Statistics/Process/Curves");
        QTest::newRow("view-only")
            << Shown(K::Text, 's', "/a.qss", 0, 0, line, "/b.qss", "view-only");
    }

    void editors()
    {
        QFETCH(Shown, c);
        VariableInfo info = makeInfo(c.kind, c.min, c.max);
        info.readOnly = c.state == "read-only";
        SettingRow *row = makeRow(QChar(c.type), c.value, info, c.path);
        XsdtNode *node = row->node();
        if (c.state == "compressed") {
            node->setCompressed("zlib", QString());
            delete row;
            row = new SettingRow(node, info, m_model.get(), m_page.get());
        }
        const bool deleted = c.state == "deleted";
        if (deleted || c.state == "view-only") {
            QVERIFY(m_model->setData(m_model->indexForNode(node, 1), c.shown));
            if (deleted)
                QVERIFY(m_model->queueDeletion(m_doc->findPath(u"Global/Statistics")));
            else
                row->setViewOnly(true);
            row->refresh();
            QVERIFY(!row->revertButton()->isEnabled());
        } else {
            QCOMPARE(m_doc->pendingChangeCount(), 0); // showing it changed nothing
        }
        QWidget *editor = row->editor();
        QCOMPARE(QString::fromLatin1(editor->metaObject()->className()), c.editorClass);
        QCOMPARE(shownBy(editor), c.shown);
        QCOMPARE(row->titleLabel()->font().strikeOut(), deleted);
        QCOMPARE(row->editorBox()->isEnabled(), c.state.isEmpty() && c.tip.isEmpty());
        QCOMPARE(row->editorBox()->toolTip(), c.tip);
        // A stored value outside the documented range is marked, as the Health check calls it.
        const bool outside = QTest::currentDataTag() == QByteArray("integer above range");
        QCOMPARE(row->problemLabel()->isVisibleTo(row) ? row->problemLabel()->text() : QString(),
                 outside ? "Setting: 500 is outside the allowed range 0 to 100" : "");
        QCOMPARE(row->browseButton() != nullptr,
                 c.kind == EditorKind::FilePath || c.kind == EditorKind::Directory);
        // Spin and combo boxes take focus only on purpose, and carry a wheel guard.
        const bool guarded =
            qobject_cast<QAbstractSpinBox *>(editor) || qobject_cast<QComboBox *>(editor);
        QCOMPARE(editor->focusPolicy() == Qt::StrongFocus &&
                     editor->findChild<WheelGuard *>(QString(), Qt::FindDirectChildrenOnly),
                 guarded);
        if (auto *line = qobject_cast<QLineEdit *>(editor)) {
            QCOMPARE(line->isReadOnly(), !node->isEditable());
            QCOMPARE(line->cursorPosition(), 0);
        }
    }

    void userEdits_data()
    {
        QTest::addColumn<Edit>("c");
        using K = EditorKind;
        const QString dark = QString::number(0xFF202020u);
        QTest::newRow("tick") << Edit(K::Bool, 'b', "false", "click", "true");
        QTest::newRow("untick") << Edit(K::Bool, 'b', "true", "click", "false");
        QTest::newRow("choose") << Edit(K::Choice, 'i', "0", "down", "1");
        QTest::newRow("integer") << Edit(K::Integer, 'i', "8", "42", "42");
        // Typed numbers are taken whole and refused with the reason, never cut or dropped.
        const QString outside = "row: Setting: %1 is outside the allowed range 48 to 1000";
        QTest::newRow("integer typed above range")
            << Edit(K::Integer, 'i', "100", "1200", "100", {outside.arg(1200)}, 48, 1000);
        QTest::newRow("integer typed below range")
            << Edit(K::Integer, 'i', "100", "30", "100", {outside.arg(30)}, 48, 1000);
        QTest::newRow("integer too long")
            << Edit(K::Integer, 'i', "100", "21474836470", "100",
                    {"row: Value: Expected an integer between -2147483648 and 2147483647."});
        QTest::newRow("unsigned too long")
            << Edit(K::Unsigned, 'u', "7", "42949672950", "7",
                    {"row: Value: Expected an integer between 0 and 4294967295."});
        // The arrows keep to the range, starting from a stored value outside it.
        QTest::newRow("arrow at range end")
            << Edit(K::Integer, 'i', "1000", "up", "1000", {}, 48, 1000);
        QTest::newRow("arrow from outside range")
            << Edit(K::Integer, 'i', "1200", "down", "1000", {}, 48, 1000);
        QTest::newRow("unsigned maximum")
            << Edit(K::Unsigned, 'u', "7", "4294967295", "4294967295");
        QTest::newRow("real normalised") << Edit(K::Real, 'F', "0.5", " 25e-2 ", "0.25");
        QTest::newRow("real at the range's end") << Edit(K::Real, 'F', "0.8", "1", "1", {}, 0, 1);
        // Refused by the row before the model sees it, and by the model's validation.
        QTest::newRow("real outside range")
            << Edit(K::Real, 'F', "0.8", "2.5", "0.8",
                    {"row: Setting: 2.5 is outside the allowed range 0 to 1"}, 0, 1);
        QTest::newRow("not a real") << Edit(K::Real, 'F', "2.2", "2,4", "2.2",
                                            {"model: Value: Expected a real number."}, 0.1, 10);
        QTest::newRow("text as typed") << Edit(K::Text, 's', "a", "  b c  ", "  b c  ");
        QTest::newRow("long text")
            << Edit(K::Text, 's', "/home/astro/" + QString(100, u'x'), "/b", "/b");
        QTest::newRow("file chosen")
            << Edit(K::FilePath, 's', "/home/astro/old", "pick:/data/sRGB.icc", "/data/sRGB.icc");
        QTest::newRow("folder chosen")
            << Edit(K::Directory, 's', "/home/astro/old", "pick:/data/in", "/data/in");
        QTest::newRow("folder cancelled")
            << Edit(K::Directory, 's', "/home/astro/old", "pick:", "/home/astro/old");
        QTest::newRow("colour chosen")
            << Edit(K::Color, 'u', dark, "pick:#800AC81E", QString::number(0x800AC81Eu));
        QTest::newRow("colour cancelled") << Edit(K::Color, 'u', dark, "pick:", dark);
    }

    void userEdits()
    {
        QFETCH(Edit, c);
        const auto &[kind, type, before, input, stored, refusals, min, max] = c;
        SettingRow *row = makeRow(QChar(type), before, makeInfo(kind, min, max));
        QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
        QStringList said;
        connect(row, &SettingRow::rejected, this,
                [&](const QString &why) { said << "row: " + why; });
        connect(m_model.get(), &SettingsModel::editRejected, this,
                [&](const QString &why) { said << "model: " + why; });
        QSignalSpy edited(m_model.get(), &SettingsModel::edited);
        QWidget *editor = row->editor();
        auto *line = qobject_cast<QLineEdit *>(editor);

        if (input == "click") {
            QTest::mouseClick(editor, Qt::LeftButton, {}, QPoint(8, editor->height() / 2));
        } else if (input.startsWith("pick:")) {
            const QString answer = input.mid(5);
            if (kind != EditorKind::Color)
                Dialogs::setNextFileName(answer);
            else if (!answer.isEmpty())
                Dialogs::setNextColor(QColor(answer));
            QTest::mouseClick(row->browseButton() ? row->browseButton() : editor, Qt::LeftButton);
            // The chooser is titled after the setting and starts at the stored value.
            const Dialogs::Record shown = Dialogs::lastShown();
            if (kind == EditorKind::Color) {
                QCOMPARE(shown.kind, Dialogs::Kind::Color);
                QCOMPARE(shown.title, "Choose color");
                QCOMPARE(shown.initialColor, QColor::fromRgba(before.toUInt()));
            } else {
                QCOMPARE(shown.kind, kind == EditorKind::Directory ? Dialogs::Kind::Directory
                                                                   : Dialogs::Kind::OpenFile);
                QCOMPARE(shown.title + "|" + shown.directory + "|" + shown.filter,
                         "Setting|" + before + "|");
            }
        } else {
            editor->setFocus();
            if (input == "down" || input == "up") {
                QTest::keyClick(editor, input == "up" ? Qt::Key_Up : Qt::Key_Down);
            } else {
                QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier); // select all, then type
                QTest::keyClicks(editor, input);
                QTest::keyClick(editor, Qt::Key_Return);
            }
        }
        if (line)
            line->clearFocus(); // leaving the field does not send it again
        QCOMPARE(row->node()->value, stored);
        QCOMPARE(said, refusals);
        const bool changed = stored != before;
        QCOMPARE(edited.count(), changed ? 1 : 0);
        // The row shows what the node holds, and that it changed; a refused typed text stays.
        if (line)
            QCOMPARE(line->text(), refusals.isEmpty() ? stored : input);
        if (auto *spin = qobject_cast<QAbstractSpinBox *>(editor))
            QCOMPARE(spin->text(), refusals.isEmpty() ? stored : input);
        if (auto *button = qobject_cast<ColorButton *>(editor))
            QCOMPARE(QString::number(button->color()), stored);
        QCOMPARE(row->titleLabel()->font().bold(), changed);
        QCOMPARE(row->autoFillBackground(), changed);
        QCOMPARE(row->revertButton()->isEnabled(), changed);
        QCOMPARE(row->revertButton()->toolTip(),
                 changed ? QString("Revert to the value on disk: " + before.left(80))
                         : "Unchanged");
        if (!changed)
            return;
        // Reverted: the stored text again, and the row takes the page's colours again.
        QTest::mouseClick(row->revertButton(), Qt::LeftButton);
        QCOMPARE(row->node()->value, before);
        QCOMPARE(
            shownBy(editor),
            shownBy(
                makeRow(QChar(type), before, makeInfo(kind, min, max), "Global/Fresh")->editor()));
        QVERIFY(!row->revertButton()->isEnabled());
        QVERIFY(!row->titleLabel()->font().bold());
        QVERIFY(!row->autoFillBackground());
        QVERIFY(!row->testAttribute(Qt::WA_SetPalette));
    }

    void otherChoiceEntry()
    {
        SettingRow *row = makeRow(u'i', "7", makeInfo(EditorKind::Choice));
        auto *combo = qobject_cast<QComboBox *>(row->editor());
        QCOMPARE(combo->count(), 4);
        QCOMPARE(combo->currentText(), "Other (7)");
        QCOMPARE(combo->currentData().toInt(), 7);
        // One extra entry at most, always for the value now stored.
        row->node()->value = "9";
        row->refresh();
        QCOMPARE(combo->count(), 4);
        QCOMPARE(combo->itemText(3), "Other (9)");
        QCOMPARE(combo->currentIndex(), 3);
        row->node()->value = "2";
        row->refresh();
        QCOMPARE(combo->currentText(), "Cancel, Ok");
    }

    void wheelOverUnfocusedControlScrollsPage()
    {
        QScrollArea area;
        auto *content = new QWidget;
        auto *layout = new QVBoxLayout(content);
        XsdtNode *node = testdata::ensurePath(&m_doc->root, kPath, XsdtNode::Value, u'i', "1");
        m_model->setDocument(m_doc.get());
        auto *row = new SettingRow(node, makeInfo(EditorKind::Choice), m_model.get());
        layout->addWidget(row);
        layout->addSpacing(3000);
        area.setWidget(content);
        area.setWidgetResizable(true);
        area.resize(700, 300);
        area.show();
        QVERIFY(QTest::qWaitForWindowExposed(&area));
        auto *combo = qobject_cast<QComboBox *>(row->editor());
        combo->clearFocus(); // the window gave it focus as its first control

        spontaneousWheel(combo, -120);
        QCOMPARE(combo->currentIndex(), 1);
        QCOMPARE(node->value, "1");
        QVERIFY(area.verticalScrollBar()->value() > 0);

        // With focus the wheel is the user's choice.
        area.activateWindow();
        combo->setFocus();
        QTRY_VERIFY(combo->hasFocus());
        const int pageAt = area.verticalScrollBar()->value();
        spontaneousWheel(combo, -120);
        QCOMPARE(node->value, "2");
        QCOMPARE(area.verticalScrollBar()->value(), pageAt);
    }

    // Description and path are set off from the title, and follow the theme and the text size.
    void stylingFollowsPaletteAndFont()
    {
        VariableInfo info = makeInfo(EditorKind::Integer);
        info.description = "Maximum number of processor cores allowed.";
        SettingRow *row = makeRow(u'i', "8", info);
        row->setShowPath(true);
        QLabel *description = row->descriptionLabel();
        const auto ink = [](const QLabel *label) {
            return label->palette().color(QPalette::WindowText);
        };
        const QColor light = ink(description);
        QVERIFY(light != ink(row->titleLabel()) && light != ink(row->pathLabel()));
        const double size = description->font().pointSizeF();
        QVERIFY(size < row->titleLabel()->font().pointSizeF());

        // A theme change reaches the row through the application, from the event loop.
        const QPalette palette = QApplication::palette();
        const QFont font = QApplication::font();
        QApplication::setPalette(ThemeManager::darkPalette());
        QTRY_VERIFY(ink(description) != light);
        QVERIFY(ink(description) != ink(row->titleLabel()));
        QFont bigger = font;
        bigger.setPointSizeF(font.pointSizeF() * 1.5);
        QApplication::setFont(bigger);
        QTRY_VERIFY(description->font().pointSizeF() > size);
        QVERIFY(description->font().pointSizeF() < row->titleLabel()->font().pointSizeF());
        QApplication::setPalette(palette);
        QApplication::setFont(font);
    }

    void textsSearchAndMenuRequest()
    {
        VariableInfo info = makeInfo(EditorKind::Text);
        info.label = "Max processors";
        info.description = "Maximum number of cores.";
        info.known = false;
        SettingRow *row =
            makeRow(u's', "/opt/Style.qss", info, "Global/Preferences/Process/MaxProcessors");
        QCOMPARE(row->toolTip(), "Global/Preferences/Process/MaxProcessors\n(not "
                                 "documented by PixInsight)");
        QVERIFY(row->pathLabel()->isHidden());
        row->setShowPath(true);
        QCOMPARE(row->pathLabel()->text(), "Global \u203A Preferences \u203A Process");
        QVERIFY(!row->pathLabel()->isHidden());
        row->setShowPath(false);
        QVERIFY(row->pathLabel()->isHidden());
        SettingRow *top = makeRow(u'i', "12345", makeInfo(EditorKind::Integer), "LastVersion");
        top->setShowPath(true);
        QVERIFY(top->pathLabel()->isHidden());        // no groups above it
        QVERIFY(top->descriptionLabel()->isHidden()); // nothing to describe it

        // Search: label, key and description, and the value of a string only, ignoring case.
        for (const char *text : {"", "PROCESSOR", "maxproc", "cores", "style.QSS"})
            QVERIFY2(row->matches(QString::fromLatin1(text)), text);
        QVERIFY(!row->matches("gamma"));
        QVERIFY(top->matches("lastv"));
        QVERIFY(!top->matches("234"));

        QSignalSpy requested(row, &SettingRow::menuRequested);
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(305, 405));
        QApplication::sendEvent(row, &event);
        QVERIFY(event.isAccepted());
        QCOMPARE(requested.count(), 1);
        QCOMPARE(requested.at(0).at(0).value<XsdtNode *>(), row->node());
        QCOMPARE(requested.at(0).at(1).toPoint(), QPoint(305, 405));
    }

    void settingMenu_data()
    {
        QTest::addColumn<Menu>("c");
        const QString stats =
            "Process usage counters. Deleting resets them; PixInsight starts counting again.";
        const QString module = "Saved settings of a module. Deleting resets that module to its "
                               "defaults and loses your configuration for it.";
        const QString maxProc = "Global/Preferences/Process/MaxProcessors";
        const QString changedPreference = "Revert this value|1| / - / Why can't this be "
                                          "deleted?|1| / - / Show in All settings|1|";
        const QString reveal = " / - / Show in All settings|1|";
        QTest::newRow("never deletable")
            << Menu(maxProc, "edit", changedPreference, "Why can't this be deleted?",
                    "box:Cannot delete|" + maxProc +
                        "\n\nPreferences are edited, not deleted: removing one silently reverts it "
                        "to a default.");
        QTest::newRow("revert") << Menu(maxProc, "edit", changedPreference, "Revert this value",
                                        "reverted");
        QTest::newRow("safe value")
            << Menu("Global/Statistics/Total", "",
                    "Revert this value|0| / - / Delete this setting|1|" + stats + reveal,
                    "Delete this setting", "delete");
        QTest::newRow("warn group")
            << Menu("ModuleData/Kestrane", "", "Delete this group...|1|" + module + reveal,
                    "Delete this group...", "delete");
        QTest::newRow("view-only")
            << Menu("ModuleData/Kestrane", "view-only", "Delete this group...|0|" + module + reveal,
                    "Delete this group...", "");
        QTest::newRow("marked") << Menu("Global/Statistics", "queue", "Undo deletion|1|" + reveal,
                                        "Undo deletion", "restore");
        QTest::newRow("inside marked")
            << Menu("Global/Statistics/Total", "queue parent",
                    "Revert this value|0| / - / Inside a group marked for deletion|0|" + reveal,
                    "Show in All settings", "reveal");
        // The All settings tree's own entries: edit and copy, nothing to reveal.
        const QString treeValue =
            "Revert this value|0| / Copy setting path|1| / Copy value|1| / - / ";
        QTest::newRow("tree: copy value")
            << Menu("Global/Statistics/Total", "tree",
                    "Edit value|1| / " + treeValue + "Delete this setting|1|" + stats, "Copy value",
                    "copied:15");
        QTest::newRow("tree: edit") << Menu(
            maxProc, "tree", "Edit value|1| / " + treeValue + "Why can't this be deleted?|1|",
            "Edit value", "edit");
        QTest::newRow("tree: group path")
            << Menu("ModuleData/Kestrane", "tree",
                    "Copy setting path|1| / - / Delete this group...|1|" + module,
                    "Copy setting path", "copied:ModuleData/Kestrane");
    }

    void settingMenu()
    {
        QFETCH(Menu, c);
        auto &[path, setup, entries, choice, effect] = c;
        for (const auto &[at, type, value] :
             {std::tuple("Global/Preferences/Process/MaxProcessors", u'i', "8"),
              std::tuple("Global/Statistics/Total", u'u', "15"),
              std::tuple("ModuleData/Kestrane/Gamma", u'F', "1")})
            testdata::ensurePath(&m_doc->root, at, XsdtNode::Value, type, value);
        m_model->setDocument(m_doc.get());
        XsdtNode *node = m_doc->findPath(path);
        QVERIFY(node);
        if (setup == "edit")
            QVERIFY(m_model->setData(m_model->indexForNode(node, 1), "4"));
        if (setup == "queue")
            QVERIFY(m_model->queueDeletion(node));
        if (setup == "queue parent")
            QVERIFY(m_model->queueDeletion(node->parent));
        const bool viewOnly = setup == "view-only";

        // What happens is noted: callbacks, a box, a revert.
        QString happened;
        const auto note = [&](const char *what) {
            return [&, what](XsdtNode *n) { happened += n == node ? what : "another node"; };
        };
        SettingMenuCallbacks callbacks{note("delete"), note("restore"), note("reveal"), {}};
        if (setup == "tree")
            callbacks = {note("delete"), note("restore"), {}, note("edit"), true};
        Dialogs::setNextMenuChoice(choice);
        showSettingMenu(m_page.get(), m_model.get(), node, QPoint(10, 10), viewOnly, callbacks);
        const QList<Dialogs::Record> shown = Dialogs::shown();
        QCOMPARE(shown.first().kind, Dialogs::Kind::Menu);
        QStringList seen;
        for (const Dialogs::MenuEntry &entry : shown.first().menuEntries)
            seen.append(entry.separator ? QString("-")
                                        : entry.text + "|" + QString::number(entry.enabled) + "|" +
                                              entry.toolTip);
        QCOMPARE(seen.join(" / "), entries);
        if (shown.size() > 1 && shown.at(1).kind == Dialogs::Kind::Information)
            happened += "box:" + shown.at(1).title + "|" + shown.at(1).text;
        if (setup == "edit" && node->value == node->originalValue)
            happened += "reverted";
        if (choice.startsWith("Copy"))
            happened += "copied:" + QGuiApplication::clipboard()->text();
        QCOMPARE(happened, effect);

        // Without the callbacks there is nothing to reveal, and deletion cannot be asked for.
        Dialogs::reset();
        showSettingMenu(m_page.get(), m_model.get(), node, QPoint(10, 10), viewOnly, {});
        for (const Dialogs::MenuEntry &entry : Dialogs::lastShown().menuEntries) {
            QVERIFY(entry.text != "Show in All settings" && entry.text != "Edit value");
            if (entry.text.startsWith("Delete") || entry.text.startsWith("Undo"))
                QVERIFY(!entry.enabled);
        }
    }

    void colorButtonSwatch()
    {
        ColorButton button;
        button.setColor(0x80FF0000u);
        QCOMPARE(button.text(), "#80FF0000");
        // The swatch shows the colour: another colour draws another swatch.
        ColorButton blue;
        blue.setColor(0x800000FFu);
        QVERIFY(button.icon().pixmap(button.iconSize()).toImage() !=
                blue.icon().pixmap(blue.iconSize()).toImage());
        // Only setColor changes what the button shows.
        QSignalSpy picked(&button, &ColorButton::colorPicked);
        Dialogs::setNextColor(QColor(1, 2, 3, 4));
        button.click();
        QCOMPARE(picked.count(), 1);
        QCOMPARE(picked.at(0).at(0).toUInt(), qRgba(1, 2, 3, 4));
        QCOMPARE(button.color(), 0x80FF0000u);
    }
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
