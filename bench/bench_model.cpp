// The "All settings" tree: a QTreeView over the filter proxy over the settings model, on
// generated files, against the same view straight on the model; and the repaint signals of
// queueing and undoing a group with 100,000 values.
#include "benchutil.h"

#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "widgets/valuedelegate.h"

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QTreeView>
#include <QUndoStack>

#include <cstdio>
#include <functional>
#include <malloc.h>
#include <memory>

namespace vrn::bench {

namespace {

qint64 g_sink = 0;

// Lets the view run its delayed layout, then paints the visible rows for real.
void settle(QTreeView &view)
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    view.viewport()->repaint();
}

void setUp(QTreeView &view, QAbstractItemModel *model)
{
    view.setModel(model);
    view.setItemDelegateForColumn(1, new ValueDelegate(&view));
    view.setUniformRowHeights(true);
    view.setAlternatingRowColors(true);
    view.header()->setStretchLastSection(false);
    view.header()->setSectionResizeMode(0, QHeaderView::Interactive);
    view.header()->resizeSection(0, 380);
    view.header()->setSectionResizeMode(1, QHeaderView::Stretch);
    view.header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    view.header()->setResizeContentsPrecision(0); // as the main window: fit to the rows on screen
    view.resize(1100, 700);
    view.show();
}

// Pending changes spread over the tree, so that "Changed only" has something to show: every
// 997th editable value edited, every 50th group below ModuleData queued.
void plantChanges(XsdtNode *node, int &counter)
{
    for (const auto &child : node->children) {
        if (child->isEditable() && ++counter % 997 == 0)
            child->value += QLatin1Char('1');
        plantChanges(child.get(), counter);
    }
}

void plantChanges(XsdtDocument &doc)
{
    int counter = 0;
    plantChanges(&doc.root, counter);
    if (XsdtNode *moduleData = doc.findPath(QStringLiteral("ModuleData"))) {
        for (size_t i = 0; i < moduleData->children.size(); i += 50)
            moduleData->children[i]->pendingDelete = true;
    }
}

qint64 countRows(const QAbstractItemModel &model, const QModelIndex &parent = {})
{
    qint64 rows = model.rowCount(parent);
    for (int r = 0; r < model.rowCount(parent); ++r)
        rows += countRows(model, model.index(r, 0, parent));
    return rows;
}

void treeAt(qint64 megabytes)
{
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000);
    XsdtDocument doc;
    if (!doc.parse(bytes)) {
        std::fprintf(stderr, "generated file does not parse\n");
        return;
    }
    plantChanges(doc);

    SettingsModel model;
    SettingsFilterProxy proxy;
    proxy.setSourceModel(&model);
    QTreeView view;
    setUp(view, &proxy);
    SettingsModel bareModel;
    QTreeView bareView;
    setUp(bareView, &bareModel);
    model.setDocument(&doc);
    bareModel.setDocument(&doc);
    settle(view);
    settle(bareView);

    Suite suite(QStringLiteral("All settings tree, %1 MB generated file (%2 bytes, %3 rows)")
                    .arg(megabytes)
                    .arg(bytes.size())
                    .arg(countRows(model)));
    const qint64 size = bytes.size();
    // Each item starts from a stated tree: "fresh" is a document just set (nothing expanded,
    // no filter, nothing mapped by the proxy yet).
    const auto fresh = [&] {
        proxy.setFilterText(QString());
        proxy.setChangedOnly(false);
        model.setViewOnly(false);
        model.setDocument(&doc);
        settle(view);
    };
    const auto expanded = [&] {
        fresh();
        view.expandAll();
        settle(view);
    };
    suite.addPrepared(
        QStringLiteral("set document, view on proxy"), size,
        [&] {
            model.setDocument(nullptr);
            settle(view);
        },
        [&] {
            model.setDocument(&doc);
            settle(view);
        },
        QStringLiteral("set document, view on model"));
    suite.addPrepared(
        QStringLiteral("set document, view on model"), size,
        [&] {
            bareModel.setDocument(nullptr);
            settle(bareView);
        },
        [&] {
            bareModel.setDocument(&doc);
            settle(bareView);
        });
    suite.addPrepared(
        QStringLiteral("expand all, view on proxy"), size, fresh,
        [&] {
            view.expandAll();
            settle(view);
        },
        QStringLiteral("expand all, view on model"));
    suite.addPrepared(
        QStringLiteral("expand all, view on model"), size,
        [&] {
            bareModel.setDocument(&doc);
            settle(bareView);
        },
        [&] {
            bareView.expandAll();
            settle(bareView);
        });
    suite.addPrepared(QStringLiteral("filter \"gamma\" + expand all, fresh"), size, fresh, [&] {
        proxy.setFilterText(QStringLiteral("gamma"));
        view.expandAll();
        settle(view);
    });
    suite.addPrepared(QStringLiteral("filter \"gamma\" + expand all, was expanded"), size, expanded,
                      [&] {
                          proxy.setFilterText(QStringLiteral("gamma"));
                          view.expandAll();
                          settle(view);
                      });
    // The same keystroke when the tree is collapsed first: the proxy then has no persistent
    // indexes of expanded rows to carry through every removal.
    suite.addPrepared(QStringLiteral("collapse + filter \"gamma\" + expand all, was expanded"),
                      size, expanded, [&] {
                          view.collapseAll();
                          proxy.setFilterText(QStringLiteral("gamma"));
                          view.expandAll();
                          settle(view);
                      });
    suite.addPrepared(
        QStringLiteral("clear the filter + collapse"), size,
        [&] {
            fresh();
            proxy.setFilterText(QStringLiteral("gamma"));
            view.expandAll();
            settle(view);
        },
        [&] {
            proxy.setFilterText(QString());
            view.collapseAll();
            settle(view);
        });
    suite.addPrepared(QStringLiteral("changed only + expand all, fresh"), size, fresh, [&] {
        proxy.setChangedOnly(true);
        view.expandAll();
        settle(view);
    });
    suite.addPrepared(QStringLiteral("view-only on (refreshAll), fresh"), size, fresh, [&] {
        model.setViewOnly(true);
        settle(view);
    });
    suite.addPrepared(QStringLiteral("view-only on (refreshAll), expanded"), size, expanded, [&] {
        model.setViewOnly(true);
        settle(view);
    });
    const int rounds = options().quick ? 3 : (megabytes >= 50 ? 3 : 7);
    suite.run(rounds);
    suite.print();
    fresh();

    // What a user sees after typing in the filter: the number of rows left.
    proxy.setFilterText(QStringLiteral("gamma"));
    const qint64 gammaRows = countRows(proxy);
    proxy.setFilterText(QString());
    proxy.setChangedOnly(true);
    const qint64 changedRows = countRows(proxy);
    proxy.setChangedOnly(false);
    std::printf("  rows left: \"gamma\" %lld, changed only %lld\n",
                static_cast<long long>(gammaRows), static_cast<long long>(changedRows));
    g_sink += gammaRows + changedRows;
}

// A group with 100,000 values below it inside a realistic 10 MB file: either flat or as
// 1,000 groups of 100 values.
void hugeGroup(bool nested)
{
    XsdtDocument doc;
    doc.parse(generatedFile(10 * 1000 * 1000));
    XsdtNode *moduleData = doc.findPath(QStringLiteral("ModuleData"));
    if (!moduleData) {
        std::fprintf(stderr, "no ModuleData group in the generated file\n");
        return;
    }
    XsdtNode *huge = moduleData->appendChild(XsdtNode::Group, QStringLiteral("Huge"));
    for (int g = 0; g < (nested ? 1000 : 1); ++g) {
        XsdtNode *group =
            nested ? huge->appendChild(XsdtNode::Group, QStringLiteral("G%1").arg(g)) : huge;
        for (int v = 0; v < (nested ? 100 : 100000); ++v) {
            XsdtNode *value = group->appendChild(XsdtNode::Value, QStringLiteral("V%1").arg(v));
            value->type = QLatin1Char('i');
            value->value = value->originalValue = QString::number(v);
        }
    }
    const DeletionPolicy policy = shippedPolicy();
    SettingsModel model;
    model.setPolicy(&policy);
    SettingsFilterProxy proxy;
    proxy.setSourceModel(&model);
    QTreeView view;
    setUp(view, &proxy);
    model.setDocument(&doc);
    settle(view);

    const auto queueAndUndo = [&](Suite &suite, const QString &what) {
        suite.add(QStringLiteral("queue, ") + what, 0, [&] {
            g_sink += model.queueDeletion(huge);
            settle(view);
        });
        suite.add(QStringLiteral("undo, ") + what, 0, [&] {
            model.undoDeletion(huge);
            settle(view);
        });
        // The same taken back as an undo step (Ctrl+Z) instead of "Undo deletion".
        suite.addPrepared(
            QStringLiteral("Ctrl+Z of the queueing, ") + what, 0,
            [&] {
                g_sink += model.queueDeletion(huge);
                settle(view);
            },
            [&] {
                model.undo();
                settle(view);
            });
    };
    Suite suite(QStringLiteral("Queue and undo a group of 100,000 values (%1) in a 10 MB file")
                    .arg(nested ? QStringLiteral("1,000 groups of 100") : QStringLiteral("flat")));
    queueAndUndo(suite, QStringLiteral("tree collapsed"));
    suite.run(options().quick ? 3 : 7);
    suite.print();

    const QModelIndex hugeIndex = proxy.mapFromSource(model.indexForNode(huge));
    view.expandRecursively(hugeIndex);
    view.scrollTo(proxy.mapFromSource(model.indexForNode(huge->children.back().get())));
    settle(view);
    Suite expanded(QStringLiteral("  the same with the group expanded and scrolled to its end"));
    queueAndUndo(expanded, QStringLiteral("group expanded"));
    expanded.run(options().quick ? 3 : 7);
    expanded.print();

    // Why the main window fits the Type column to the rows on screen only: with Qt's default
    // the header measures up to 1,000 laid-out rows again for every repainted range.
    view.header()->setResizeContentsPrecision(1000);
    Suite fixed(
        QStringLiteral("  the same with the Type column fitted over 1,000 rows (Qt's default)"));
    queueAndUndo(fixed, QStringLiteral("group expanded, Type over 1,000 rows"));
    fixed.run(options().quick ? 3 : 7);
    fixed.print();
    view.header()->setResizeContentsPrecision(0);

    view.collapseAll();
    proxy.setFilterText(QStringLiteral("V99"));
    view.expandAll();
    settle(view);
    Suite filtered(QStringLiteral("  the same with the filter \"V99\" on and the tree expanded"));
    queueAndUndo(filtered, QStringLiteral("filtered"));
    filtered.run(options().quick ? 3 : 5);
    filtered.print();
}

// What the undo history holds after 10,000 single edits of a 10 MB file.
void undoHistoryMemory()
{
    XsdtDocument doc;
    doc.parse(generatedFile(10 * 1000 * 1000));
    SettingsModel model;
    model.setDocument(&doc);
    QList<XsdtNode *> editable;
    const std::function<void(XsdtNode *)> collect = [&](XsdtNode *node) {
        if (node->isEditable() && node->type == QLatin1Char('s'))
            editable.append(node);
        for (const auto &child : node->children)
            collect(child.get());
    };
    collect(&doc.root);
    if (editable.isEmpty())
        return;
    // Heap bytes in use rather than the resident set: freed history leaves holes that the
    // resident set does not give back.
    const auto heapInUse = [] { return qint64(mallinfo2().uordblks); };
    const qint64 before = heapInUse();
    for (int i = 0; i < 10000; ++i) {
        XsdtNode *node = editable[i % editable.size()];
        model.setData(model.indexForNode(node, 1), QStringLiteral("edit %1").arg(i));
    }
    const qint64 after = heapInUse();
    const int steps = model.undoStack()->count();
    model.clearHistory();
    const qint64 cleared = heapInUse();
    std::printf("Undo history after 10,000 single edits of a 10 MB file: %d steps; heap in "
                "use %.2f MB above the start with the edits, %.2f MB of it freed by emptying "
                "the history (%.0f bytes a step)\n\n",
                steps, double(after - before) / 1e6, double(after - cleared) / 1e6,
                double(after - cleared) / 10000.0);
}

} // namespace

void benchModel()
{
    const QList<qint64> sizes = options().quick ? QList<qint64>{1, 10} : QList<qint64>{1, 10, 50};
    for (qint64 mb : sizes)
        treeAt(mb);
    hugeGroup(false);
    hugeGroup(true);
    undoHistoryMemory();
    if (g_sink == 42)
        std::printf(" ");
}

} // namespace vrn::bench
