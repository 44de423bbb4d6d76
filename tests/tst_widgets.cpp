// Setting rows with every editor, the colour button, the wheel guard, the shared setting menu
// and the dialog helper, driven the way a user drives them.
#include "app/thememanager.h"
#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "model/colorbutton.h"
#include "model/settingmenu.h"
#include "model/settingrow.h"
#include "model/settingsmodel.h"
#include "model/wheelguard.h"
#include "support/testtree.h"
#include "views/dialogs.h"

#include <QApplication>
#include <QCheckBox>
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

// A value at the end of a path of groups, with the same current and original text.
XsdtNode *addValue(XsdtNode &root, const QString &path, QChar type, const QString &value)
{
    return testdata::ensurePath(&root, path, XsdtNode::Value, type, value);
}

QByteArray shippedOverlay()
{
    QFile file(QStringLiteral(":/schema/overlay.json"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

VariableInfo makeInfo(EditorKind kind, const QString &label, bool hasRange = false, double min = 0,
                      double max = 0)
{
    VariableInfo info;
    info.label = label;
    info.kind = kind;
    info.known = true;
    info.hasRange = hasRange;
    info.min = min;
    info.max = max;
    return info;
}

QList<QPair<int, QString>> threeChoices()
{
    return {{0, QStringLiteral("Platform default")},
            {1, QStringLiteral("Ok, Cancel")},
            {2, QStringLiteral("Cancel, Ok")}};
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

QColor mixed(const QPalette &palette, int w)
{
    const QColor t = palette.color(QPalette::WindowText);
    const QColor b = palette.color(QPalette::Window);
    return QColor((t.red() * w + b.red() * (4 - w)) / 4, (t.green() * w + b.green() * (4 - w)) / 4,
                  (t.blue() * w + b.blue() * (4 - w)) / 4);
}

} // namespace

class TestWidgets : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void editorForEachKind_data();
    void editorForEachKind();
    void userEdits_data();
    void userEdits();
    void browse_data();
    void browse();
    void colorChosenThroughDialog();
    void realOutsideRangeRefusedByRow();
    void refusedByModelShowsStoredValue();
    void storedValuesShownUnchanged_data();
    void storedValuesShownUnchanged();
    void otherChoiceEntry();
    void wheelOverUnfocusedControlScrollsPage();
    void editorStates_data();
    void editorStates();
    void revertButton();
    void stylingFollowsPaletteAndFont();
    void matches_data();
    void matches();
    void showPath();
    void contextMenuRequest();
    void settingMenu_data();
    void settingMenu();
    void colorButtonSwatch();
    void dialogHelperInTestMode();
    void rowsFromShippedSchema_data();
    void rowsFromShippedSchema();

private:
    SettingRow *makeRow(const QString &path, QChar type, const QString &value,
                        const VariableInfo &info);

    DeletionPolicy m_policy;
    std::unique_ptr<XsdtDocument> m_doc;
    std::unique_ptr<SettingsModel> m_model;
    std::unique_ptr<QWidget> m_page;
};

void TestWidgets::initTestCase()
{
    Dialogs::setTestMode(true);
    QString error;
    QVERIFY2(m_policy.load(shippedOverlay(), &error), qPrintable(error));
    QApplication::setStyle(QStringLiteral("Fusion"));
}

void TestWidgets::init()
{
    Dialogs::reset();
    m_page = std::make_unique<QWidget>();
    new QVBoxLayout(m_page.get());
    m_doc = std::make_unique<XsdtDocument>();
    m_model = std::make_unique<SettingsModel>();
    m_model->setPolicy(&m_policy);
}

void TestWidgets::cleanup()
{
    m_page.reset(); // rows first: they point into the document
    m_model.reset();
    m_doc.reset();
}

SettingRow *TestWidgets::makeRow(const QString &path, QChar type, const QString &value,
                                 const VariableInfo &info)
{
    XsdtNode *node = addValue(m_doc->root, path, type, value);
    m_model->setDocument(m_doc.get());
    auto *row = new SettingRow(node, info, m_model.get(), m_page.get());
    m_page->layout()->addWidget(row);
    m_page->resize(900, m_page->sizeHint().height());
    m_page->show();
    return row;
}

void TestWidgets::editorForEachKind_data()
{
    QTest::addColumn<EditorKind>("kind");
    QTest::addColumn<QChar>("type");
    QTest::addColumn<bool>("hasRange");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<QString>("editorClass");
    QTest::addColumn<bool>("browse");

    QTest::newRow("bool") << EditorKind::Bool << QChar(u'b') << false << 0.0 << 0.0 << "QCheckBox"
                          << false;
    QTest::newRow("choice") << EditorKind::Choice << QChar(u'i') << false << 0.0 << 0.0
                            << "QComboBox" << false;
    QTest::newRow("integer") << EditorKind::Integer << QChar(u'i') << false << 0.0 << 0.0
                             << "QSpinBox" << false;
    QTest::newRow("unsigned 1 to 64")
        << EditorKind::Unsigned << QChar(u'u') << true << 1.0 << 64.0 << "QSpinBox" << false;
    QTest::newRow("unsigned without range")
        << EditorKind::Unsigned << QChar(u'u') << false << 0.0 << 0.0 << "QDoubleSpinBox" << false;
    QTest::newRow("unsigned beyond int")
        << EditorKind::Unsigned << QChar(u'u') << true << 1.0
        << double(std::numeric_limits<double>::max()) << "QDoubleSpinBox" << false;
    QTest::newRow("real") << EditorKind::Real << QChar(u'F') << false << 0.0 << 0.0 << "QLineEdit"
                          << false;
    QTest::newRow("text") << EditorKind::Text << QChar(u's') << false << 0.0 << 0.0 << "QLineEdit"
                          << false;
    QTest::newRow("file") << EditorKind::FilePath << QChar(u's') << false << 0.0 << 0.0
                          << "QLineEdit" << true;
    QTest::newRow("directory") << EditorKind::Directory << QChar(u's') << false << 0.0 << 0.0
                               << "QLineEdit" << true;
    QTest::newRow("color") << EditorKind::Color << QChar(u'u') << false << 0.0 << 0.0
                           << "vrn::ColorButton" << false;
}

void TestWidgets::editorForEachKind()
{
    QFETCH(EditorKind, kind);
    QFETCH(QChar, type);
    QFETCH(bool, hasRange);
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(QString, editorClass);
    QFETCH(bool, browse);
    VariableInfo info = makeInfo(kind, QStringLiteral("Some setting"), hasRange, min, max);
    if (kind == EditorKind::Choice)
        info.choices = threeChoices();
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Test/Value"), type,
                              type == u'b' ? QStringLiteral("true") : QStringLiteral("1"), info);
    QVERIFY(row->editor());
    QCOMPARE(QString::fromLatin1(row->editor()->metaObject()->className()), editorClass);
    QCOMPARE(row->browseButton() != nullptr, browse);
    // Spin and combo boxes take focus only on purpose, and carry a wheel guard.
    if (qobject_cast<QAbstractSpinBox *>(row->editor()) ||
        qobject_cast<QComboBox *>(row->editor())) {
        QCOMPARE(row->editor()->focusPolicy(), Qt::StrongFocus);
        QVERIFY(row->editor()->findChild<WheelGuard *>(QString(), Qt::FindDirectChildrenOnly));
    }
}

void TestWidgets::userEdits_data()
{
    QTest::addColumn<EditorKind>("kind");
    QTest::addColumn<QChar>("type");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("typed"); // "click" ticks or unticks; "down" picks the next entry
    QTest::addColumn<QString>("stored");

    QTest::newRow("tick") << EditorKind::Bool << QChar(u'b') << "false"
                          << "click"
                          << "true";
    QTest::newRow("untick") << EditorKind::Bool << QChar(u'b') << "true"
                            << "click"
                            << "false";
    QTest::newRow("choose") << EditorKind::Choice << QChar(u'i') << "0"
                            << "down"
                            << "1";
    QTest::newRow("integer") << EditorKind::Integer << QChar(u'i') << "8"
                             << "42"
                             << "42";
    QTest::newRow("negative integer") << EditorKind::Integer << QChar(u'i') << "8"
                                      << "-3"
                                      << "-3";
    QTest::newRow("unsigned maximum") << EditorKind::Unsigned << QChar(u'u') << "7"
                                      << "4294967295"
                                      << "4294967295";
    QTest::newRow("real") << EditorKind::Real << QChar(u'F') << "0.5"
                          << "0.25"
                          << "0.25";
    QTest::newRow("real normalised") << EditorKind::Real << QChar(u'F') << "0.5"
                                     << " 25e-2 "
                                     << "0.25";
    QTest::newRow("single real") << EditorKind::Real << QChar(u'f') << "0.5"
                                 << "0.1"
                                 << "0.1";
    QTest::newRow("text as typed") << EditorKind::Text << QChar(u's') << "a"
                                   << "  b c  "
                                   << "  b c  ";
    QTest::newRow("path typed") << EditorKind::FilePath << QChar(u's') << "/a"
                                << "/opt/x.qss"
                                << "/opt/x.qss";
}

void TestWidgets::userEdits()
{
    QFETCH(EditorKind, kind);
    QFETCH(QChar, type);
    QFETCH(QString, before);
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    VariableInfo info = makeInfo(kind, QStringLiteral("Setting"));
    if (kind == EditorKind::Choice)
        info.choices = threeChoices();
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Test/Value"), type, before, info);
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QWidget *editor = row->editor();

    if (typed == QLatin1String("click")) {
        QTest::mouseClick(editor, Qt::LeftButton, {}, QPoint(8, editor->height() / 2));
    } else if (typed == QLatin1String("down")) {
        editor->setFocus();
        QTest::keyClick(editor, Qt::Key_Down);
    } else if (auto *spin = qobject_cast<QAbstractSpinBox *>(editor)) {
        spin->setFocus();
        spin->selectAll();
        QTest::keyClicks(spin, typed);
        QTest::keyClick(spin, Qt::Key_Return);
    } else {
        auto *line = qobject_cast<QLineEdit *>(editor);
        QVERIFY(line);
        line->setFocus();
        line->selectAll();
        QTest::keyClicks(line, typed);
        QTest::keyClick(line, Qt::Key_Return);
    }
    QCOMPARE(row->node()->value, stored);
    QCOMPARE(edited.count(), 1);
    // The row now shows the change.
    QVERIFY(row->revertButton()->isEnabled());
    QVERIFY(row->titleLabel()->font().bold());
    QVERIFY(row->autoFillBackground());
    QCOMPARE(row->palette().color(QPalette::Window), QColor(255, 190, 0, 55));
    if (auto *line = qobject_cast<QLineEdit *>(editor))
        QCOMPARE(line->text(), stored);
}

void TestWidgets::browse_data()
{
    QTest::addColumn<EditorKind>("kind");
    QTest::addColumn<int>("dialogKind");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("stored");

    QTest::newRow("file") << EditorKind::FilePath << int(Dialogs::Kind::OpenFile)
                          << "/data/profiles/sRGB.icc"
                          << "/data/profiles/sRGB.icc";
    QTest::newRow("directory") << EditorKind::Directory << int(Dialogs::Kind::Directory)
                               << "/data/downloads"
                               << "/data/downloads";
    QTest::newRow("cancelled") << EditorKind::Directory << int(Dialogs::Kind::Directory) << ""
                               << "/home/astro/old";
}

void TestWidgets::browse()
{
    QFETCH(EditorKind, kind);
    QFETCH(int, dialogKind);
    QFETCH(QString, chosen);
    QFETCH(QString, stored);
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/ImageWindow/DownloadsDirectory"),
                              u's', QStringLiteral("/home/astro/old"),
                              makeInfo(kind, QStringLiteral("Downloads directory")));
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
    Dialogs::setNextFileName(chosen);
    QTest::mouseClick(row->browseButton(), Qt::LeftButton);
    const Dialogs::Record shown = Dialogs::lastShown();
    QCOMPARE(int(shown.kind), dialogKind);
    QCOMPARE(shown.title, QStringLiteral("Downloads directory"));
    QCOMPARE(shown.directory, QStringLiteral("/home/astro/old"));
    QVERIFY(shown.filter.isEmpty());
    QCOMPARE(row->node()->value, stored);
    QCOMPARE(qobject_cast<QLineEdit *>(row->editor())->text(), stored);
}

void TestWidgets::colorChosenThroughDialog()
{
    SettingRow *row = makeRow(QStringLiteral("Global/TransparencyBrush/BackgroundColor"), u'u',
                              QString::number(0xff202020u),
                              makeInfo(EditorKind::Color, QStringLiteral("Background color")));
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
    auto *button = qobject_cast<ColorButton *>(row->editor());
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("#FF202020"));

    // Cancelled: nothing changes.
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(Dialogs::lastShown().kind, Dialogs::Kind::Color);
    QCOMPARE(Dialogs::lastShown().title, QStringLiteral("Choose color"));
    QCOMPARE(Dialogs::lastShown().initialColor, QColor::fromRgba(0xff202020u));
    QCOMPARE(row->node()->value, QString::number(0xff202020u));

    Dialogs::setNextColor(QColor(10, 200, 30, 128));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(row->node()->value, QString::number(qRgba(10, 200, 30, 128)));
    QCOMPARE(button->text(), QStringLiteral("#800AC81E"));
    QCOMPARE(button->color(), qRgba(10, 200, 30, 128));
}

void TestWidgets::realOutsideRangeRefusedByRow()
{
    SettingRow *row =
        makeRow(QStringLiteral("Global/Preferences/MainWindow/ActiveWindowOpacity"), u'F',
                QStringLiteral("0.8"),
                makeInfo(EditorKind::Real, QStringLiteral("Active window opacity"), true, 0, 1));
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
    QSignalSpy rejected(row, &SettingRow::rejected);
    QSignalSpy modelChanged(m_model.get(), &QAbstractItemModel::dataChanged);
    QSignalSpy modelRejected(m_model.get(), &SettingsModel::editRejected);
    auto *line = qobject_cast<QLineEdit *>(row->editor());
    line->setFocus();
    line->selectAll();
    QTest::keyClicks(line, QStringLiteral("2.5"));
    QTest::keyClick(line, Qt::Key_Return);
    QCOMPARE(rejected.count(), 1);
    QCOMPARE(rejected.at(0).at(0).toString(),
             QStringLiteral("Active window opacity: 2.5 is outside the allowed range 0 to 1"));
    QCOMPARE(line->text(), QStringLiteral("0.8"));
    QCOMPARE(row->node()->value, QStringLiteral("0.8"));
    QCOMPARE(modelChanged.count(), 0);
    QCOMPARE(modelRejected.count(), 0);
    // Leaving the field afterwards does not send it again.
    line->clearFocus();
    QCOMPARE(rejected.count(), 1);
}

void TestWidgets::refusedByModelShowsStoredValue()
{
    SettingRow *row =
        makeRow(QStringLiteral("Global/RGBWorkingSpace/Gamma"), u'F', QStringLiteral("2.2"),
                makeInfo(EditorKind::Real, QStringLiteral("Gamma"), true, 0.1, 10));
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
    QSignalSpy rowRejected(row, &SettingRow::rejected);
    QSignalSpy modelRejected(m_model.get(), &SettingsModel::editRejected);
    auto *line = qobject_cast<QLineEdit *>(row->editor());
    line->setFocus();
    line->selectAll();
    QTest::keyClicks(line, QStringLiteral("2,4"));
    QTest::keyClick(line, Qt::Key_Return);
    QCOMPARE(rowRejected.count(), 0);
    QCOMPARE(modelRejected.count(), 1);
    QCOMPARE(modelRejected.at(0).at(0).toString(),
             QStringLiteral("Gamma: Expected a real number."));
    QCOMPARE(line->text(), QStringLiteral("2.2"));
    QVERIFY(!row->revertButton()->isEnabled());
}

void TestWidgets::storedValuesShownUnchanged_data()
{
    QTest::addColumn<EditorKind>("kind");
    QTest::addColumn<QChar>("type");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("hasRange");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("shownMin");
    QTest::addColumn<double>("shownMax");

    QTest::newRow("integer above range")
        << EditorKind::Integer << QChar(u'i') << "500" << true << 0.0 << 100.0 << 0.0 << 500.0;
    QTest::newRow("integer below range")
        << EditorKind::Integer << QChar(u'i') << "-5" << true << 0.0 << 100.0 << -5.0 << 100.0;
    QTest::newRow("integer lower bound only")
        << EditorKind::Integer << QChar(u'i') << "0" << true << 1.0
        << double(std::numeric_limits<double>::max()) << 0.0 << 2147483647.0;
    QTest::newRow("integer without range") << EditorKind::Integer << QChar(u'i') << "3" << false
                                           << 0.0 << 0.0 << -2147483648.0 << 2147483647.0;
    QTest::newRow("unsigned small range")
        << EditorKind::Unsigned << QChar(u'u') << "100" << true << 1.0 << 64.0 << 1.0 << 100.0;
    QTest::newRow("unsigned without range") << EditorKind::Unsigned << QChar(u'u') << "4294967295"
                                            << false << 0.0 << 0.0 << 0.0 << 4294967295.0;
    QTest::newRow("unsigned lower bound only")
        << EditorKind::Unsigned << QChar(u'u') << "0" << true << 1.0
        << double(std::numeric_limits<double>::max()) << 0.0 << 4294967295.0;
}

void TestWidgets::storedValuesShownUnchanged()
{
    QFETCH(EditorKind, kind);
    QFETCH(QChar, type);
    QFETCH(QString, value);
    QFETCH(bool, hasRange);
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(double, shownMin);
    QFETCH(double, shownMax);
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Test/Value"), type, value,
                              makeInfo(kind, QStringLiteral("Value"), hasRange, min, max));
    if (auto *spin = qobject_cast<QSpinBox *>(row->editor())) {
        QCOMPARE(QString::number(spin->value()), value);
        QCOMPARE(double(spin->minimum()), shownMin);
        QCOMPARE(double(spin->maximum()), shownMax);
    } else {
        auto *wide = qobject_cast<QDoubleSpinBox *>(row->editor());
        QVERIFY(wide);
        QCOMPARE(QString::number(quint64(wide->value())), value);
        QCOMPARE(wide->minimum(), shownMin);
        QCOMPARE(wide->maximum(), shownMax);
    }
    // Showing it changed nothing.
    QCOMPARE(row->node()->value, value);
    QCOMPARE(m_doc->pendingChangeCount(), 0);
}

void TestWidgets::otherChoiceEntry()
{
    VariableInfo info = makeInfo(EditorKind::Choice, QStringLiteral("Button order"));
    info.choices = threeChoices();
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Application/ButtonOrder"), u'i',
                              QStringLiteral("7"), info);
    auto *combo = qobject_cast<QComboBox *>(row->editor());
    QCOMPARE(combo->count(), 4);
    QCOMPARE(combo->currentText(), QStringLiteral("Other (7)"));
    QCOMPARE(combo->currentData().toInt(), 7);

    row->node()->value = QStringLiteral("9");
    row->refresh();
    QCOMPARE(combo->count(), 4);
    QCOMPARE(combo->currentText(), QStringLiteral("Other (9)"));
    QCOMPARE(combo->itemText(3), QStringLiteral("Other (9)"));

    row->node()->value = QStringLiteral("2");
    row->refresh();
    QCOMPARE(combo->currentText(), QStringLiteral("Cancel, Ok"));
    // The stored value stays as it is until the user picks a choice.
    QCOMPARE(row->node()->originalValue, QStringLiteral("7"));
}

void TestWidgets::wheelOverUnfocusedControlScrollsPage()
{
    QScrollArea area;
    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    VariableInfo info = makeInfo(EditorKind::Choice, QStringLiteral("Rendering intent"));
    info.choices = threeChoices();
    XsdtNode *node = addValue(m_doc->root, QStringLiteral("Global/ColorManagement/Intent"), u'i',
                              QStringLiteral("1"));
    m_model->setDocument(m_doc.get());
    auto *row = new SettingRow(node, info, m_model.get());
    layout->addWidget(row);
    layout->addSpacing(3000);
    area.setWidget(content);
    area.setWidgetResizable(true);
    area.resize(700, 300);
    area.show();
    QVERIFY(QTest::qWaitForWindowExposed(&area));
    auto *combo = qobject_cast<QComboBox *>(row->editor());
    combo->clearFocus(); // the window gave it focus as its first control
    QVERIFY(!combo->hasFocus());

    const int scrolled = area.verticalScrollBar()->value();
    spontaneousWheel(combo, -120);
    QCOMPARE(combo->currentIndex(), 1);
    QCOMPARE(node->value, QStringLiteral("1"));
    QVERIFY(area.verticalScrollBar()->value() > scrolled);

    // With focus the wheel is the user's choice.
    area.activateWindow();
    combo->setFocus();
    QTRY_VERIFY(combo->hasFocus());
    const int pageAt = area.verticalScrollBar()->value();
    spontaneousWheel(combo, -120);
    QCOMPARE(combo->currentIndex(), 2);
    QCOMPARE(node->value, QStringLiteral("2"));
    QCOMPARE(area.verticalScrollBar()->value(), pageAt);
}

void TestWidgets::editorStates_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QChar>("type");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("tip");
    QTest::addColumn<QString>("shown");

    const QString pref = QStringLiteral("Global/Preferences/Application/StyleSheetFile");
    QTest::newRow("editable") << pref << QChar(u's') << "/a.qss"
                              << "" << true << ""
                              << "/a.qss";
    QTest::newRow("read-only") << pref << QChar(u's') << "/a.qss"
                               << "read-only" << false
                               << "Documented by PixInsight as read-only or write-only."
                               << "/a.qss";
    QTest::newRow("time") << QStringLiteral("Global/Preferences/Application/StartTime")
                          << QChar(u't') << "2024-01-01T00:00:00"
                          << "" << false << "Protected value type: shown for reference only."
                          << "2024-01-01T00:00:00";
    QTest::newRow("block") << QStringLiteral("MainWindow/Layout") << QChar(u'B') << "QUJDRA=="
                           << "" << false << "Protected value type: shown for reference only."
                           << "(8 characters of encoded data)";
    QTest::newRow("compressed lines")
        << QStringLiteral("MainWindow/Notes") << QChar(u's') << "one\ntwo"
        << "compressed" << false << "Protected value type: shown for reference only."
        << QStringLiteral("one\u23CEtwo");
    QTest::newRow("locked") << QStringLiteral("Modules/1") << QChar(u's') << "/opt/x-pxm.so"
                            << "" << false
                            << "Module registry and version records are locked against editing."
                            << "/opt/x-pxm.so";
    QTest::newRow("inside queued group")
        << QStringLiteral("Global/Statistics/Process/Curves") << QChar(u's') << "3"
        << "deleted" << false << ""
        << "4";
    QTest::newRow("view-only") << pref << QChar(u's') << "/a.qss"
                               << "view-only" << false << ""
                               << "/b.qss";
}

void TestWidgets::editorStates()
{
    QFETCH(QString, path);
    QFETCH(QChar, type);
    QFETCH(QString, value);
    QFETCH(QString, state);
    QFETCH(bool, enabled);
    QFETCH(QString, tip);
    QFETCH(QString, shown);
    VariableInfo info = makeInfo(EditorKind::Text, QStringLiteral("Some value"));
    info.readOnly = state == QLatin1String("read-only");
    SettingRow *row = makeRow(path, type, value, info);
    XsdtNode *node = row->node();
    if (state == QLatin1String("compressed")) {
        node->compression = QStringLiteral("zlib");
        delete row;
        row = new SettingRow(node, info, m_model.get(), m_page.get());
    }
    if (state == QLatin1String("deleted") || state == QLatin1String("view-only")) {
        // Changed earlier, then made unchangeable: the revert button stays off as well.
        QVERIFY(m_model->setData(m_model->indexForNode(node, 1), state == QLatin1String("deleted")
                                                                     ? QStringLiteral("4")
                                                                     : QStringLiteral("/b.qss")));
        if (state == QLatin1String("deleted"))
            QVERIFY(m_model->queueDeletion(m_doc->findPath(QStringLiteral("Global/Statistics"))));
        else
            row->setViewOnly(true);
        row->refresh();
        QVERIFY(!row->revertButton()->isEnabled());
        QCOMPARE(row->titleLabel()->font().strikeOut(), state == QLatin1String("deleted"));
    }
    QCOMPARE(row->editorBox()->isEnabled(), enabled);
    QCOMPARE(row->editorBox()->toolTip(), tip);
    auto *line = qobject_cast<QLineEdit *>(row->editor());
    QCOMPARE(line->text(), shown);
    QCOMPARE(line->isReadOnly(), !node->isEditable());
    QCOMPARE(line->cursorPosition(), 0);
}

void TestWidgets::revertButton()
{
    const QString original = QStringLiteral("/home/astro/") + QString(100, QLatin1Char('x'));
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Application/StyleSheetFile"), u's',
                              original, makeInfo(EditorKind::Text, QStringLiteral("Style")));
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
    QVERIFY(!row->revertButton()->isEnabled());
    QCOMPARE(row->revertButton()->toolTip(), QStringLiteral("Unchanged"));
    QVERIFY(!row->autoFillBackground());
    QVERIFY(!row->titleLabel()->font().bold());

    QVERIFY(m_model->setData(m_model->indexForNode(row->node(), 1), QStringLiteral("/b.qss")));
    row->refresh();
    QVERIFY(row->revertButton()->isEnabled());
    QCOMPARE(row->revertButton()->toolTip(),
             QStringLiteral("Revert to the value on disk: ") + original.left(80));

    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QTest::mouseClick(row->revertButton(), Qt::LeftButton);
    QCOMPARE(edited.count(), 1);
    QCOMPARE(row->node()->value, original);
    QCOMPARE(qobject_cast<QLineEdit *>(row->editor())->text(), original);
    QVERIFY(!row->revertButton()->isEnabled());
    QVERIFY(!row->autoFillBackground());
    QVERIFY(!row->titleLabel()->font().bold());
    QVERIFY(!row->testAttribute(Qt::WA_SetPalette));
}

void TestWidgets::stylingFollowsPaletteAndFont()
{
    VariableInfo info = makeInfo(EditorKind::Integer, QStringLiteral("Max processors"));
    info.description = QStringLiteral("Maximum number of processor cores allowed.");
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Process/MaxProcessors"), u'i',
                              QStringLiteral("8"), info);
    row->setShowPath(true);
    const QPalette lightPage = m_page->palette();
    QCOMPARE(row->descriptionLabel()->palette().color(QPalette::WindowText), mixed(lightPage, 3));
    QCOMPARE(row->pathLabel()->palette().color(QPalette::WindowText), mixed(lightPage, 2));
    QCOMPARE(row->descriptionLabel()->font().pointSizeF(), QApplication::font().pointSizeF() * 0.9);

    // A theme change reaches the row through the application.
    const QPalette before = QApplication::palette();
    const QFont fontBefore = QApplication::font();
    QApplication::setPalette(ThemeManager::darkPalette());
    QFont bigger = fontBefore;
    bigger.setPointSizeF(fontBefore.pointSizeF() * 1.5);
    QApplication::setFont(bigger);
    // Widgets hear of application palette and font changes from the event loop.
    QTRY_COMPARE(row->descriptionLabel()->palette().color(QPalette::WindowText),
                 mixed(ThemeManager::darkPalette(), 3));
    QCOMPARE(row->pathLabel()->palette().color(QPalette::WindowText),
             mixed(ThemeManager::darkPalette(), 2));
    QTRY_COMPARE(row->descriptionLabel()->font().pointSizeF(), bigger.pointSizeF() * 0.9);
    QApplication::setPalette(before);
    QApplication::setFont(fontBefore);
}

void TestWidgets::matches_data()
{
    QTest::addColumn<QChar>("type");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("expected");

    QTest::newRow("empty") << QChar(u'i') << "8"
                           << "" << true;
    QTest::newRow("label") << QChar(u'i') << "8"
                           << "PROCESSOR" << true;
    QTest::newRow("key") << QChar(u'i') << "8"
                         << "maxproc" << true;
    QTest::newRow("description") << QChar(u'i') << "8"
                                 << "cores" << true;
    QTest::newRow("string value") << QChar(u's') << "/opt/Style.qss"
                                  << "style.QSS" << true;
    QTest::newRow("integer value not searched") << QChar(u'i') << "12345"
                                                << "234" << false;
    QTest::newRow("nothing") << QChar(u's') << "abc"
                             << "gamma" << false;
}

void TestWidgets::matches()
{
    QFETCH(QChar, type);
    QFETCH(QString, value);
    QFETCH(QString, text);
    QFETCH(bool, expected);
    VariableInfo info = makeInfo(EditorKind::Text, QStringLiteral("Max processors"));
    info.description = QStringLiteral("Maximum number of cores.");
    SettingRow *row =
        makeRow(QStringLiteral("Global/Preferences/Process/MaxProcessors"), type, value, info);
    QCOMPARE(row->matches(text), expected);
}

void TestWidgets::showPath()
{
    VariableInfo info = makeInfo(EditorKind::Integer, QStringLiteral("Max processors"));
    info.known = false;
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Process/MaxProcessors"), u'i',
                              QStringLiteral("8"), info);
    QCOMPARE(row->toolTip(), QStringLiteral("Global/Preferences/Process/MaxProcessors\n(not "
                                            "documented by PixInsight)"));
    QVERIFY(row->pathLabel()->isHidden());
    QVERIFY(row->descriptionLabel()->isHidden());
    row->setShowPath(true);
    QCOMPARE(row->pathLabel()->text(), QStringLiteral("Global \u203A Preferences \u203A Process"));
    QVERIFY(!row->pathLabel()->isHidden());
    row->setShowPath(false);
    QVERIFY(row->pathLabel()->isHidden());

    SettingRow *top = makeRow(QStringLiteral("LastVersion"), u'u', QStringLiteral("1"),
                              makeInfo(EditorKind::Unsigned, QStringLiteral("Last version")));
    top->setShowPath(true);
    QVERIFY(top->pathLabel()->isHidden());
}

void TestWidgets::contextMenuRequest()
{
    SettingRow *row = makeRow(QStringLiteral("Global/Preferences/Process/MaxProcessors"), u'i',
                              QStringLiteral("8"),
                              makeInfo(EditorKind::Integer, QStringLiteral("Max processors")));
    QSignalSpy requested(row, &SettingRow::menuRequested);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(305, 405));
    QApplication::sendEvent(row, &event);
    QVERIFY(event.isAccepted());
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(0).value<XsdtNode *>(), row->node());
    QCOMPARE(requested.at(0).at(1).toPoint(), QPoint(305, 405));
}

void TestWidgets::settingMenu_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("viewOnly");
    QTest::addColumn<QStringList>("entries"); // text|enabled|tool tip, "-" for a separator
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("effect");

    const QString statsReason = QStringLiteral(
        "Process usage counters. Deleting resets them; PixInsight starts counting again.");
    const QString moduleReason = QStringLiteral(
        "Saved settings of a module. Deleting resets that module to its defaults and loses your "
        "configuration for it.");
    QTest::newRow("changed preference, never deletable")
        << "Global/Preferences/Process/MaxProcessors"
        << "edit" << false
        << QStringList{"Revert this value|1|", "-", "Why can't this be deleted?|1|", "-",
                       "Show in All settings|1|"}
        << "Why can't this be deleted?"
        << "box:Global/Preferences/Process/MaxProcessors\n\nPreferences are edited, not deleted: "
           "removing one silently reverts it to a default.";
    QTest::newRow("revert") << "Global/Preferences/Process/MaxProcessors"
                            << "edit" << false
                            << QStringList{"Revert this value|1|", "-",
                                           "Why can't this be deleted?|1|", "-",
                                           "Show in All settings|1|"}
                            << "Revert this value"
                            << "reverted";
    QTest::newRow("safe value") << "Global/Statistics/Total"
                                << "" << false
                                << QStringList{"Revert this value|0|", "-",
                                               "Delete this setting|1|" + statsReason, "-",
                                               "Show in All settings|1|"}
                                << "Delete this setting"
                                << "delete";
    QTest::newRow("warn group") << "ModuleData/Kestrane"
                                << "" << false
                                << QStringList{"Delete this group...|1|" + moduleReason, "-",
                                               "Show in All settings|1|"}
                                << "Delete this group..."
                                << "delete";
    QTest::newRow("view-only") << "ModuleData/Kestrane"
                               << "" << true
                               << QStringList{"Delete this group...|0|" + moduleReason, "-",
                                              "Show in All settings|1|"}
                               << "Delete this group..."
                               << "";
    QTest::newRow("marked") << "Global/Statistics"
                            << "queue" << false
                            << QStringList{"Undo deletion|1|", "-", "Show in All settings|1|"}
                            << "Undo deletion"
                            << "restore";
    QTest::newRow("inside marked")
        << "Global/Statistics/Total"
        << "queue parent" << false
        << QStringList{"Revert this value|0|", "-", "Inside a group marked for deletion|0|", "-",
                       "Show in All settings|1|"}
        << "Show in All settings"
        << "reveal";
}

void TestWidgets::settingMenu()
{
    QFETCH(QString, path);
    QFETCH(QString, setup);
    QFETCH(bool, viewOnly);
    QFETCH(QStringList, entries);
    QFETCH(QString, choice);
    QFETCH(QString, effect);
    addValue(m_doc->root, QStringLiteral("Global/Preferences/Process/MaxProcessors"), u'i',
             QStringLiteral("8"));
    addValue(m_doc->root, QStringLiteral("Global/Statistics/Total"), u'u', QStringLiteral("15"));
    addValue(m_doc->root, QStringLiteral("ModuleData/Kestrane/Gamma"), u'F', QStringLiteral("1"));
    m_model->setDocument(m_doc.get());
    XsdtNode *node = m_doc->findPath(path);
    QVERIFY(node);
    if (setup == QLatin1String("edit"))
        QVERIFY(m_model->setData(m_model->indexForNode(node, 1), QStringLiteral("4")));
    if (setup == QLatin1String("queue"))
        QVERIFY(m_model->queueDeletion(node));
    if (setup == QLatin1String("queue parent"))
        QVERIFY(m_model->queueDeletion(node->parent));

    QString called;
    SettingMenuCallbacks callbacks;
    callbacks.onDelete = [&](XsdtNode *n) { called += QStringLiteral("delete:") + n->path(); };
    callbacks.onRestore = [&](XsdtNode *n) { called += QStringLiteral("restore:") + n->path(); };
    callbacks.onReveal = [&](XsdtNode *n) { called += QStringLiteral("reveal:") + n->path(); };
    Dialogs::setNextMenuChoice(choice);
    showSettingMenu(m_page.get(), m_model.get(), node, QPoint(10, 10), viewOnly, callbacks);

    const QList<Dialogs::Record> shown = Dialogs::shown();
    QVERIFY(!shown.isEmpty());
    QCOMPARE(shown.first().kind, Dialogs::Kind::Menu);
    QStringList seen;
    for (const Dialogs::MenuEntry &entry : shown.first().menuEntries)
        seen.append(entry.separator
                        ? QStringLiteral("-")
                        : entry.text + QLatin1Char('|') + QString::number(entry.enabled) +
                              QLatin1Char('|') + entry.toolTip);
    QCOMPARE(seen, entries);

    if (effect.startsWith(QLatin1String("box:"))) {
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown.at(1).kind, Dialogs::Kind::Information);
        QCOMPARE(shown.at(1).title, QStringLiteral("Cannot delete"));
        QCOMPARE(shown.at(1).text, effect.mid(4));
        QVERIFY(called.isEmpty());
    } else if (effect == QLatin1String("reverted")) {
        QCOMPARE(node->value, QStringLiteral("8"));
        QVERIFY(called.isEmpty());
    } else if (effect.isEmpty()) {
        QVERIFY(called.isEmpty());
    } else {
        QCOMPARE(called, effect + QLatin1Char(':') + path);
    }

    // Without the callbacks there is nothing to reveal, and deletion cannot be asked for.
    Dialogs::reset();
    showSettingMenu(m_page.get(), m_model.get(), node, QPoint(10, 10), viewOnly, {});
    for (const Dialogs::MenuEntry &entry : Dialogs::lastShown().menuEntries) {
        QVERIFY(entry.text != QLatin1String("Show in All settings"));
        if (entry.text.startsWith(QLatin1String("Delete")) ||
            entry.text.startsWith(QLatin1String("Undo")))
            QVERIFY(!entry.enabled);
    }
}

void TestWidgets::colorButtonSwatch()
{
    ColorButton button;
    QCOMPARE(button.minimumWidth(), 150);
    QCOMPARE(button.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    button.setColor(0x80FF0000u);
    QCOMPARE(button.text(), QStringLiteral("#80FF0000"));
    QCOMPARE(button.iconSize(), QSize(36, 16));
    const QImage swatch = button.icon().pixmap(QSize(36, 16)).toImage();
    QCOMPARE(swatch.size(), QSize(36, 16));
    const auto near = [](QRgb actual, int r, int g, int b) {
        return qAbs(qRed(actual) - r) <= 2 && qAbs(qGreen(actual) - g) <= 2 &&
               qAbs(qBlue(actual) - b) <= 2;
    };
    QVERIFY(near(swatch.pixel(0, 0), 90, 90, 90));      // outline
    QVERIFY(near(swatch.pixel(35, 15), 90, 90, 90));    // outline
    QVERIFY(near(swatch.pixel(4, 4), 252, 125, 125));   // light cell under half red
    QVERIFY(near(swatch.pixel(24, 4), 227, 100, 100));  // dark cell under half red
    QVERIFY(near(swatch.pixel(24, 12), 252, 125, 125)); // light again, bottom right
    QVERIFY(near(swatch.pixel(4, 12), 227, 100, 100));

    QSignalSpy picked(&button, &ColorButton::colorPicked);
    Dialogs::setNextColor(QColor(1, 2, 3, 4));
    button.click();
    QCOMPARE(picked.count(), 1);
    QCOMPARE(picked.at(0).at(0).toUInt(), qRgba(1, 2, 3, 4));
    // Only setColor changes what the button shows.
    QCOMPARE(button.color(), 0x80FF0000u);
}

void TestWidgets::dialogHelperInTestMode()
{
    // Nothing queued: a box answers as Escape would, without blocking.
    QCOMPARE(Dialogs::question(nullptr, QStringLiteral("Discard changes?"), QStringLiteral("x"),
                               QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel),
             QMessageBox::Cancel);
    QCOMPARE(Dialogs::information(nullptr, QStringLiteral("Info"), QStringLiteral("y")),
             QMessageBox::Ok);
    // Queued answers are taken in order, with the check box state.
    Dialogs::setNextAnswer(QMessageBox::Yes, true);
    Dialogs::setNextAnswer(QMessageBox::Discard);
    bool checked = false;
    QCOMPARE(
        Dialogs::message(nullptr, QMessageBox::Warning, QStringLiteral("Delete saved information?"),
                         QStringLiteral("Delete x?"), QStringLiteral("Because."),
                         QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel,
                         QStringLiteral("Don't ask again until I close the program"), &checked),
        QMessageBox::Yes);
    QVERIFY(checked);
    QCOMPARE(Dialogs::warning(nullptr, QStringLiteral("W"), QStringLiteral("z"),
                              QMessageBox::Discard | QMessageBox::Cancel),
             QMessageBox::Discard);
    const QList<Dialogs::Record> shown = Dialogs::shown();
    QCOMPARE(shown.size(), 4);
    QCOMPARE(shown.at(2).kind, Dialogs::Kind::Warning);
    QCOMPARE(shown.at(2).informativeText, QStringLiteral("Because."));
    QCOMPARE(shown.at(2).checkBoxText, QStringLiteral("Don't ask again until I close the program"));
    QCOMPARE(shown.at(2).defaultButton, QMessageBox::Cancel);
    QCOMPARE(Dialogs::getOpenFileName(nullptr, QStringLiteral("Open"), QStringLiteral("/a"),
                                      QStringLiteral("PixInsight settings (*.settings)")),
             QString());
    QCOMPARE(Dialogs::lastShown().filter, QStringLiteral("PixInsight settings (*.settings)"));
    QVERIFY(!Dialogs::getColor(Qt::red, nullptr, QStringLiteral("c")).isValid());
}

void TestWidgets::rowsFromShippedSchema_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QChar>("type");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("editorClass");
    QTest::addColumn<QString>("shown"); // spin range, combo text or line edit text

    QTest::newRow("lower bound only")
        << "Global/Preferences/Process/MaxProcessors" << QChar(u'i') << "16"
        << "QSpinBox"
        << "1..2147483647";
    QTest::newRow("choices") << "Global/ColorManagement/DefaultRenderingIntent" << QChar(u'i')
                             << "2"
                             << "QComboBox"
                             << "Relative colorimetric";
    QTest::newRow("range in the description")
        << "Global/Preferences/MainWindow/ActiveWindowOpacity" << QChar(u'F') << "0.5"
        << "QLineEdit"
        << "0.5";
    QTest::newRow("colour") << "Global/TransparencyBrush/BackgroundColor" << QChar(u'u')
                            << "4278190335"
                            << "vrn::ColorButton"
                            << "#FF0000FF";
    QTest::newRow("folder") << "Global/Preferences/ImageWindow/DownloadsDirectory" << QChar(u's')
                            << "/tmp"
                            << "QLineEdit"
                            << "/tmp";
}

// The rows as the pages will build them, from the built-in schema.
void TestWidgets::rowsFromShippedSchema()
{
    QFETCH(QString, path);
    QFETCH(QChar, type);
    QFETCH(QString, value);
    QFETCH(QString, editorClass);
    QFETCH(QString, shown);
    const auto resource = [](const QString &name) {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    Schema schema;
    QString error;
    QVERIFY2(schema.load(resource(QStringLiteral(":/schema/globals.json")),
                         resource(QStringLiteral(":/schema/overlay.json")), &error),
             qPrintable(error));
    XsdtNode *node = addValue(m_doc->root, path, type, value);
    m_model->setDocument(m_doc.get());
    auto *row = new SettingRow(node, schema.info(node), m_model.get(), m_page.get());
    m_page->layout()->addWidget(row);
    m_page->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
    QCOMPARE(QString::fromLatin1(row->editor()->metaObject()->className()), editorClass);
    if (auto *spin = qobject_cast<QSpinBox *>(row->editor()))
        QCOMPARE(QStringLiteral("%1..%2").arg(spin->minimum()).arg(spin->maximum()), shown);
    else if (auto *combo = qobject_cast<QComboBox *>(row->editor()))
        QCOMPARE(combo->currentText(), shown);
    else if (auto *line = qobject_cast<QLineEdit *>(row->editor()))
        QCOMPARE(line->text(), shown);
    else
        QCOMPARE(qobject_cast<QPushButton *>(row->editor())->text(), shown);
    QCOMPARE(row->browseButton() != nullptr, path.endsWith(QLatin1String("Directory")));
    if (path.endsWith(QLatin1String("Opacity"))) {
        QSignalSpy rejected(row, &SettingRow::rejected);
        auto *line = qobject_cast<QLineEdit *>(row->editor());
        line->setFocus();
        line->selectAll();
        QTest::keyClicks(line, QStringLiteral("1.5"));
        QTest::keyClick(line, Qt::Key_Return);
        QCOMPARE(rejected.count(), 1);
        QCOMPARE(rejected.at(0).at(0).toString(),
                 QStringLiteral("Active window opacity: 1.5 is outside the allowed range 0 to 1"));
        QCOMPARE(line->text(), QStringLiteral("0.5"));
    }
}

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
