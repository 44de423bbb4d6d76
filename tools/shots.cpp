// Renders the value widgets, the advanced tree and the review dialog in both themes to PNG
// files, for looking at them without a display:
//     QT_QPA_PLATFORM=offscreen varnel-shots /tmp/varnel-shots
#include "app/thememanager.h"
#include "document/xsdtdocument.h"
#include "generator/generator.h"
#include "knowledge/builtin.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "support/testtree.h"
#include "views/reviewdialog.h"
#include "widgets/settingrow.h"
#include "widgets/valuedelegate.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QScrollArea>
#include <QTreeView>
#include <QVBoxLayout>

#include <cstdio>
#include <limits>

using namespace vrn;

namespace {

// A value at the end of a path of groups, with the same current and original text.
XsdtNode *addValue(XsdtNode &root, const QString &path, QChar type, const QString &value)
{
    return testdata::ensurePath(&root, path, XsdtNode::Value, type, value);
}

bool save(QWidget *widget, const QString &dir, const QString &name)
{
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(QDir::toNativeSeparators(path)));
        return false;
    }
    std::printf("%s\n", qPrintable(QDir::toNativeSeparators(path)));
    return true;
}

// Every editor kind and every state a row can be in, one below the other, described by the
// built-in schema as the Preferences pages will describe them.
QWidget *rowsPage(XsdtDocument &doc, SettingsModel &model, const Schema &schema)
{
    struct Entry
    {
        const char *path;
        char16_t type;
        QString value;
    };
    const QList<Entry> entries = {
        {"Global/Preferences/Application/AutoUIScaling", u'b', QStringLiteral("true")},
        {"Global/Preferences/Application/MessageBoxOkCancelButtonOrder", u'i', QStringLiteral("1")},
        {"Global/Preferences/Application/MessageBoxYesNoButtonOrder", u'i', QStringLiteral("7")},
        {"Global/Preferences/Process/MaxProcessors", u'i', QStringLiteral("16")},
        {"Global/Preferences/Process/MaxModuleThreadPriority", u'i', QStringLiteral("9")},
        {"Global/Preferences/ImageWindow/SwapCompression", u'u', QStringLiteral("4294967295")},
        {"Global/Preferences/MainWindow/ActiveWindowOpacity", u'F', QStringLiteral("1")},
        {"Global/Preferences/ImageWindow/NewImageCaption", u's', QStringLiteral("Image")},
        {"Global/Preferences/Application/StyleSheetFile", u's',
         QStringLiteral("/opt/PixInsight/rsc/style/dark.qss")},
        {"Global/Preferences/ImageWindow/DownloadsDirectory", u's',
         QStringLiteral("/home/astro/Downloads")},
        {"Global/TransparencyBrush/BackgroundColor", u'u', QString::number(0x80C03030u)},
        {"Global/Preferences/Application/CoreDirectory", u's',
         QStringLiteral("/opt/PixInsight/bin")},
        {"Global/Preferences/Application/Layout", u'B', QString(4096, QLatin1Char('A'))},
        {"Modules/1", u's', QStringLiteral("/opt/PixInsight/bin/Kestrane-pxm.so")},
        {"Global/Statistics/Process/Curves", u'u', QStringLiteral("12")},
    };
    QList<XsdtNode *> nodes;
    for (const Entry &e : entries)
        nodes.append(addValue(doc.root, QString::fromLatin1(e.path), QChar(e.type), e.value));

    model.setDocument(&doc);
    model.setData(
        model.indexForNode(
            doc.findPath(QStringLiteral("Global/Preferences/MainWindow/ActiveWindowOpacity")), 1),
        QStringLiteral("0.85"));
    model.setData(
        model.indexForNode(doc.findPath(QStringLiteral("Global/Statistics/Process/Curves")), 1),
        QStringLiteral("13"));
    model.queueDeletion(doc.findPath(QStringLiteral("Global/Statistics")));

    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (XsdtNode *node : nodes) {
        auto *row = new SettingRow(node, schema.info(node), &model, page);
        row->setShowPath(!node->path().startsWith(QLatin1String("Global/Preferences")));
        layout->addWidget(row);
    }
    layout->addStretch();
    page->resize(920, page->sizeHint().height());
    return page;
}

QTreeView *treeView(XsdtDocument &doc, SettingsModel &model, SettingsFilterProxy &proxy)
{
    testdata::GeneratorOptions options;
    options.targetBytes = 64 * 1024;
    doc.parse(testdata::generateSettings(options));
    model.setDocument(&doc);
    proxy.setSourceModel(&model);
    if (XsdtNode *n = doc.findPath(QStringLiteral("Global/Preferences/Process/MaxProcessors")))
        model.setData(model.indexForNode(n, 1), QStringLiteral("4"));
    if (XsdtNode *process = doc.findPath(QStringLiteral("Global/Preferences/Process"))) {
        for (const auto &child : process->children) {
            if (child->type == QLatin1Char('s')) {
                model.setData(model.indexForNode(child.get(), 1),
                              QStringLiteral("first line\nsecond line"));
                break;
            }
        }
    }
    model.queueDeletion(doc.findPath(QStringLiteral("Global/Statistics")));

    auto *view = new QTreeView;
    view->setModel(&proxy);
    view->setItemDelegateForColumn(1, new ValueDelegate(view));
    view->setUniformRowHeights(true);
    view->setAlternatingRowColors(true);
    view->header()->setStretchLastSection(false);
    view->header()->setSectionResizeMode(0, QHeaderView::Interactive);
    view->header()->resizeSection(0, 380);
    view->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    view->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    view->resize(1000, 700);
    const QModelIndex global =
        proxy.mapFromSource(model.indexForNode(doc.findPath(QStringLiteral("Global"))));
    view->expand(global);
    for (const char *path : {"Global/Preferences", "Global/Preferences/Process",
                             "Global/Statistics", "Global/Statistics/Process"}) {
        view->expand(
            proxy.mapFromSource(model.indexForNode(doc.findPath(QString::fromLatin1(path)))));
    }
    view->scrollTo(proxy.mapFromSource(model.indexForNode(
                       doc.findPath(QStringLiteral("Global/Preferences/Process")))),
                   QAbstractItemView::PositionAtTop);
    return view;
}

ReviewDialog *reviewDialog(XsdtDocument &doc, SettingsModel &model)
{
    XsdtNode &r = doc.root;
    XsdtNode *gamma =
        addValue(r, QStringLiteral("Global/RGBWorkingSpace/Gamma"), u'F', QStringLiteral("2.2"));
    XsdtNode *style = addValue(r, QStringLiteral("Global/Preferences/Application/StyleSheetFile"),
                               u's', QStringLiteral("/opt/PixInsight/rsc/style/light.qss"));
    XsdtNode *notes = addValue(r, QStringLiteral("ScriptData/Batch/Notes"), u's',
                               QStringLiteral("first\nsecond"));
    for (int i = 0; i < 420; ++i)
        addValue(r, QStringLiteral("Global/Statistics/Process/P%1").arg(i, 3, 10, QLatin1Char('0')),
                 u'u', QString::number(i * 7));
    addValue(r, QStringLiteral("ModuleData/Kestrane/Parameters/Amount"), u'F',
             QStringLiteral("0.5"));
    model.setDocument(&doc);
    model.setData(model.indexForNode(gamma, 1), QStringLiteral("1.8"));
    model.setData(model.indexForNode(style, 1), QStringLiteral("/home/astro/pi/dark.qss"));
    model.setData(model.indexForNode(notes, 1), QStringLiteral("first\nsecond\nthird"));
    model.queueDeletion(doc.findPath(QStringLiteral("Global/Statistics")));
    model.queueDeletion(doc.findPath(QStringLiteral("ModuleData/Kestrane")));

    auto *dialog = new ReviewDialog(&model, &doc);
    LeftoverItem user;
    user.path = QStringLiteral("/home/astro/.config/Pleiades/Kestrane");
    user.isFolder = true;
    LeftoverItem module;
    module.path = QStringLiteral("/opt/PixInsight/bin/Kestrane-pxm.so");
    module.inInstallation = true;
    dialog->setLeftoverItems({user, module});
    QTreeView *tree = dialog->tree();
    const QModelIndex statistics = tree->model()->index(0, 0);
    tree->expand(statistics);
    tree->scrollTo(tree->model()->index(tree->model()->rowCount(statistics) - 1, 0, statistics));
    tree->setCurrentIndex(tree->model()->index(tree->model()->rowCount() - 1, 0));
    return dialog;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: varnel-shots <output folder>\n");
        return 2;
    }
    const QString dir = args.at(1);
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(QDir::toNativeSeparators(dir)));
        return 1;
    }
    DeletionPolicy policy;
    Schema schema;
    const BuiltInLoad loaded = loadBuiltInKnowledge(schema, policy);
    if (!loaded.policyLoaded)
        std::fprintf(stderr, "deletion rules not loaded; every deletion is refused\n");
    if (!loaded.schemaLoaded)
        std::fprintf(stderr, "settings descriptions not loaded\n");

    ThemeManager *theme = ThemeManager::instance();
    theme->init(false);
    bool ok = true;
    for (int t : {ThemeManager::Light, ThemeManager::Dark}) {
        theme->setTheme(t, false);
        const QString suffix =
            t == ThemeManager::Dark ? QStringLiteral("-dark") : QStringLiteral("-light");
        {
            XsdtDocument doc;
            SettingsModel model;
            model.setPolicy(&policy);
            std::unique_ptr<QWidget> page(rowsPage(doc, model, schema));
            page->show();
            QApplication::processEvents();
            ok &= save(page.get(), dir, QStringLiteral("rows") + suffix);
        }
        {
            XsdtDocument doc;
            SettingsModel model;
            model.setPolicy(&policy);
            SettingsFilterProxy proxy;
            std::unique_ptr<QTreeView> view(treeView(doc, model, proxy));
            view->show();
            QApplication::processEvents();
            ok &= save(view.get(), dir, QStringLiteral("tree") + suffix);
            proxy.setChangedOnly(true);
            view->expandAll();
            QApplication::processEvents();
            ok &= save(view.get(), dir, QStringLiteral("tree-changed") + suffix);
        }
        {
            XsdtDocument doc;
            SettingsModel model;
            model.setPolicy(&policy);
            std::unique_ptr<ReviewDialog> dialog(reviewDialog(doc, model));
            dialog->show();
            QApplication::processEvents();
            ok &= save(dialog.get(), dir, QStringLiteral("review") + suffix);
            // Both deletions opened: a long group's values end in the row counting the rest.
            QTreeView *tree = dialog->tree();
            tree->expand(tree->model()->index(0, 0));
            tree->expand(tree->model()->index(1, 0));
            tree->setCurrentIndex(tree->model()->index(1, 0));
            QApplication::processEvents();
            ok &= save(dialog.get(), dir, QStringLiteral("review-expanded") + suffix);
        }
    }
    return ok ? 0 : 1;
}
