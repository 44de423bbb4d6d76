// Undo and redo of pending changes: the model's history and the window's Edit menu.
#include "app/mainwindow.h"
#include "app/thememanager.h"
#include "document/additions.h"
#include "document/xsdtdocument.h"
#include "environment/englishplurals.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "store/settingsstore.h"
#include "support/testfiles.h"
#include "views/reviewdialog.h"
#include "widgets/dialogs.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCryptographicHash>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QUndoStack>
#include <QtTest>

using namespace vrn;

namespace {

// The serialized file plus every node's value and mark, so edits inside a marked group (which
// the file leaves out) are compared too.
QByteArray fingerprint(const XsdtDocument &doc)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(doc.serialize());
    const std::function<void(const XsdtNode &)> walk = [&](const XsdtNode &node) {
        hash.addData(node.value.toUtf8());
        hash.addData(QByteArrayView(node.pendingDelete ? "\1" : "\0", 1));
        for (const auto &child : node.children)
            walk(*child);
    };
    walk(doc.root);
    return hash.result();
}

void allNodes(XsdtNode *node, QList<XsdtNode *> &out)
{
    for (const auto &child : node->children) {
        out.append(child.get());
        allNodes(child.get(), out);
    }
}

// A text the value's type accepts and that is probably new.
QString newText(const XsdtNode *node, QRandomGenerator &random)
{
    const char16_t type = node->type.unicode();
    if (type == 'b')
        return node->value == "true" ? "false" : "true";
    if (type == 'i' || type == 'u')
        return QString::number(random.bounded(1000));
    if (type == 'F' || type == 'f')
        return QString::number(random.bounded(1000)) + ".5";
    return QString("text %1").arg(random.bounded(100000));
}

} // namespace

class TestUndo : public QObject
{
    Q_OBJECT

    DeletionPolicy m_policy;
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        installEnglishPlurals();
        QVERIFY(m_policy.load(testdata::readFile(":/schema/overlay.json")));
        qputenv("HOME", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + "/.config").toLocal8Bit());
        QStandardPaths::setTestModeEnabled(true);
        Dialogs::setTestMode(true);
        ThemeManager::instance()->init(false);
    }

    // A few hundred random changes, then every prefix undone and redone: the document must be in
    // exactly the state it had after that prefix, and the count of pending changes kept from
    // the model's signals must be the document's own.
    void randomSequenceUndoesAndRedoesExactly()
    {
        testdata::GeneratorOptions options;
        options.targetBytes = 60 * 1024;
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::generateSettings(options)));
        SettingsModel model;
        model.setPolicy(&m_policy);
        model.setDocument(&doc);
        QList<XsdtNode *> nodes;
        allNodes(&doc.root, nodes);
        QList<XsdtNode *> editable;
        for (XsdtNode *node : std::as_const(nodes))
            if (node->isEditable() && !model.isEditLocked(node))
                editable.append(node);
        QVERIFY(editable.size() > 50);

        int counted = 0;
        connect(&model, &SettingsModel::pendingChanged, [&](std::optional<int> delta) {
            counted = delta ? counted + *delta : doc.pendingChangeCount();
        });
        QRandomGenerator random(7);
        QList<QByteArray> states{fingerprint(doc)};
        const auto pick = [&](const QList<XsdtNode *> &from) {
            return from[random.bounded(from.size())];
        };
        for (int step = 0; step < 300; ++step) {
            const int before = model.undoStack()->count();
            const int kind = random.bounded(100);
            if (kind < 50) {
                XsdtNode *node = pick(editable);
                model.setData(model.indexForNode(node, 1), newText(node, random));
            } else if (kind < 62) {
                model.revertValue(pick(editable));
            } else if (kind < 78) {
                model.queueDeletion(pick(nodes));
            } else if (kind < 90) {
                model.undoDeletion(pick(nodes));
            } else if (kind < 98) {
                model.beginBatch("batch");
                for (int i = 0; i < 3; ++i) {
                    XsdtNode *node = pick(editable);
                    model.setData(model.indexForNode(node, 1), newText(node, random));
                    model.queueDeletion(pick(nodes));
                }
                // A new value below a group, taken out again by undo.
                QStringList keys{QString("New%1").arg(step)};
                for (const XsdtNode *n = pick(nodes); n->parent; n = n->parent)
                    keys.prepend(n->key);
                model.addValues({{keys, QLatin1Char('s'), "new"}}, QString());
                model.endBatch();
            } else {
                model.revertAll();
            }
            if (model.undoStack()->count() != before)
                states.append(fingerprint(doc));
        }
        QVERIFY(states.size() > 150);
        QCOMPARE(model.undoStack()->count(), states.size() - 1);
        for (qsizetype i = states.size() - 1; i > 0; --i) {
            model.undo();
            QVERIFY2(fingerprint(doc) == states[i - 1], qPrintable(QString::number(i)));
            QCOMPARE(counted, doc.pendingChangeCount());
        }
        QVERIFY(!model.canUndo());
        QCOMPARE(doc.pendingChangeCount(), 0);
        for (qsizetype i = 1; i < states.size(); ++i) {
            model.redo();
            QVERIFY2(fingerprint(doc) == states[i], qPrintable(QString::number(i)));
            QCOMPARE(counted, doc.pendingChangeCount());
        }
    }

    // New values land between their neighbours or in new groups, are refused where something
    // holds the path, are one step both ways, go with "revert all", and are saved as they are.
    void additions()
    {
        setPixInsightProcessQuery([] { return QList<qint64>(); });
        const QString path = m_home.filePath("add.settings");
        const auto wrap = [](const QByteArray &g, const QByteArray &h) {
            return testdata::wrapSettings("<i k=\"G\">" + g + "</i>" + h);
        };
        const QByteArray a = "<v k=\"A\" t=\"u\" v=\"1\"/>";
        const QByteArray c = "<v k=\"C\" t=\"u\" v=\"3\"/>";
        QVERIFY(testdata::writeFile(path, wrap(a + c, "")));
        SettingsStore store;
        QVERIFY(store.load(path));
        SettingsModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setPolicy(&m_policy);
        model.setDocument(&store.document);
        const QByteArray clean = store.document.serialize();
        SettingsFilterProxy changedOnly; // new entries count as changes
        changedOnly.setSourceModel(&model);
        changedOnly.setChangedOnly(true);
        const QList<NewValue> values{{{"G", "B"}, QLatin1Char('u'), "2", 1, "A", "C"},
                                     {{"H", "S", "X"}, QLatin1Char('s'), "x\ny", 0, "G", ""},
                                     {{"G", "A"}, QLatin1Char('u'), "9"},
                                     {{"G", "A", "Y"}, QLatin1Char('u'), "9"},
                                     {{"G", "D"}, QLatin1Char('u'), "-1"}};
        QStringList reasons;
        QCOMPARE(model.addValues(values, "import", &reasons), 2);
        QCOMPARE(reasons,
                 (QStringList{"", "", "G/A is in the file already.", "G/A is a value, not a group.",
                              "D: Expected an integer between 0 and 4294967295."}));
        QTRY_COMPARE(changedOnly.rowCount(), 2);
        const QByteArray added =
            wrap(a + "<v k=\"B\" t=\"u\" v=\"2\"/>" + c,
                 "<i k=\"H\"><i k=\"S\"><v k=\"X\" t=\"s\" v=\"x&#10;y\"/></i></i>");
        QCOMPARE(store.document.serialize(), added);
        QCOMPARE(store.document.pendingChangeCount(), 2);
        model.undo();
        QCOMPARE(store.document.serialize(), clean);
        QCOMPARE(store.document.pendingChangeCount(), 0);
        model.redo();
        QCOMPARE(store.document.serialize(), added);
        model.revertAll();
        QCOMPARE(store.document.serialize(), clean);
        model.undo();
        QCOMPARE(store.document.serialize(), added);
        QVERIFY(store.save());
        QCOMPARE(testdata::readFile(path), added);
        QCOMPARE(store.document.pendingChangeCount(), 0);
    }

    void batchesHistoryAndViewOnly()
    {
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::wrapSettings(
            "<i k=\"Global\"><i k=\"Statistics\"><v k=\"A\" t=\"u\" v=\"1\"/><v k=\"B\" t=\"u\" "
            "v=\"2\"/><v k=\"C\" t=\"u\" v=\"3\"/></i></i>")));
        SettingsModel model;
        model.setPolicy(&m_policy);
        model.setDocument(&doc);
        QSignalSpy edited(&model, &SettingsModel::edited);
        const QByteArray clean = fingerprint(doc);

        // A node touched twice in one step comes back to its first state.
        XsdtNode *a = doc.findPath(u"Global/Statistics/A");
        model.beginBatch("twice");
        model.setData(model.indexForNode(a, 1), "5");
        model.setData(model.indexForNode(a, 1), "6");
        model.endBatch();
        model.undo();
        QCOMPARE(a->value, "1");
        model.clearHistory();

        edited.clear();
        model.beginBatch("queue deletion of 3 entries");
        for (const char *key : {"A", "B", "C"})
            QVERIFY(model.queueDeletion(
                doc.findPath(QString("Global/Statistics/" + QLatin1String(key)))));
        QCOMPARE(edited.count(), 0); // pages hear of a batch once, when it ends
        model.endBatch();
        QCOMPARE(edited.count(), 1);
        QCOMPARE(model.undoStack()->count(), 1);
        QCOMPARE(model.undoStack()->undoText(), "queue deletion of 3 entries");
        QCOMPARE(doc.pendingChangeCount(), 3);

        // View-only blocks both directions and changes nothing.
        model.setViewOnly(true);
        QVERIFY(!model.canUndo());
        edited.clear();
        model.undo();
        QCOMPARE(doc.pendingChangeCount(), 3);
        QCOMPARE(edited.count(), 0);
        model.setViewOnly(false);

        model.undo();
        QCOMPARE(fingerprint(doc), clean);
        QCOMPARE(edited.count(), 1);
        model.redo();
        QCOMPARE(doc.pendingChangeCount(), 3);

        // A replaced document empties the history.
        model.setDocument(&doc);
        QVERIFY(!model.canUndo() && !model.canRedo());
    }

    // Many nodes queued in one go end as when queued one by one in a batch: the same marks,
    // refusals with their reasons, count of pending changes, and undo and redo. The nodes come
    // in runs of siblings and with entries above or below them, among values edited, entries
    // queued before and entries new since the file was read.
    void queueingInOneGo()
    {
        testdata::GeneratorOptions options;
        options.targetBytes = 60 * 1024;
        const QByteArray bytes = testdata::generateSettings(options);
        struct Side
        {
            XsdtDocument doc;
            SettingsModel model;
            QList<XsdtNode *> nodes;
            int counted = 0;
            QStringList refused;
        } one, many;
        QRandomGenerator random(11);
        QList<int> edits;
        QList<int> queuedBefore;
        for (int i = 0; i < 30; ++i) {
            edits.append(int(random.generate() % 1000));
            queuedBefore.append(int(random.generate() % 1000));
        }
        QList<QByteArray> states;
        for (Side *side : {&one, &many}) {
            QVERIFY(side->doc.parse(bytes));
            side->model.setPolicy(&m_policy);
            side->model.setDocument(&side->doc);
            connect(&side->model, &SettingsModel::pendingChanged, [side](std::optional<int> d) {
                side->counted = d ? side->counted + *d : side->doc.pendingChangeCount();
            });
            allNodes(&side->doc.root, side->nodes);
            for (int i : std::as_const(edits)) {
                XsdtNode *node = side->nodes.at(i % side->nodes.size());
                if (node->isValue())
                    side->model.setData(side->model.indexForNode(node, 1),
                                        QString(node->value + QLatin1Char('1')));
            }
            for (int i : std::as_const(queuedBefore))
                side->model.queueDeletion(side->nodes.at(i % side->nodes.size()));
            QStringList keys{"Added", "Group"};
            keys.prepend(side->nodes.at(5)->key);
            side->model.addValues({{keys + QStringList{"A"}, QLatin1Char('s'), "new"},
                                   {keys + QStringList{"B"}, QLatin1Char('s'), "new"}},
                                  "add");
            side->nodes.clear();
            allNodes(&side->doc.root, side->nodes);
            states.append(fingerprint(side->doc));
        }
        QCOMPARE(states.at(0), states.at(1));

        // Indexes into the node lists, the same on both sides; -1 for no node at all.
        QList<int> picks{-1};
        const auto indexOf = [&](const XsdtNode *node) { return one.nodes.indexOf(node); };
        for (int round = 0; round < 150; ++round) {
            const XsdtNode *node = one.nodes.at(random.bounded(one.nodes.size()));
            if (round % 3 == 0) {
                for (const auto &sibling : node->parent->children)
                    picks.append(indexOf(sibling.get()));
            } else if (round % 3 == 1 && node->parent->parent) {
                picks << indexOf(node) << indexOf(node->parent);
            } else {
                picks.append(indexOf(node));
                if (!node->children.empty())
                    picks.append(indexOf(node->children.front().get()));
            }
        }
        const auto said = [](QStringList &to) {
            return [&to](XsdtNode *node, const QString &why) {
                to.append((node ? node->path() : QString()) + ": " + why);
            };
        };
        one.model.beginBatch("queue");
        int queuedOne = 0;
        for (int i : std::as_const(picks)) {
            QString why;
            XsdtNode *node = i < 0 ? nullptr : one.nodes.at(i);
            if (one.model.queueDeletion(node, &why))
                ++queuedOne;
            else
                said(one.refused)(node, why);
        }
        one.model.endBatch();
        std::vector<XsdtNode *> nodes;
        for (int i : std::as_const(picks))
            nodes.push_back(i < 0 ? nullptr : many.nodes.at(i));
        many.model.beginBatch("queue");
        QCOMPARE(many.model.queueDeletions(nodes, said(many.refused)), queuedOne);
        many.model.endBatch();

        QCOMPARE(many.refused, one.refused);
        QVERIFY(!one.refused.filter("is new and not in the file yet").isEmpty());
        // Refused by the rules: neither no node nor a new one.
        QVERIFY(one.refused.size() > 1 + one.refused.filter("is new and not").size());
        QVERIFY(queuedOne > 100);
        for (int step = 0; step < 3; ++step) {
            QCOMPARE(fingerprint(many.doc), fingerprint(one.doc));
            QCOMPARE(one.counted, one.doc.pendingChangeCount());
            QCOMPARE(many.counted, many.doc.pendingChangeCount());
            for (Side *side : {&one, &many})
                step == 0 ? side->model.undo() : side->model.redo();
            if (step == 0)
                QCOMPARE(fingerprint(many.doc), states.at(1));
        }
        // Taken back in one go as one by one: the same marks and counts, and one step to undo.
        one.model.beginBatch("take back");
        for (int i : std::as_const(picks))
            one.model.undoDeletion(i < 0 ? nullptr : one.nodes.at(i));
        one.model.endBatch();
        many.model.beginBatch("take back");
        many.model.undoDeletions(nodes);
        many.model.endBatch();
        QCOMPARE(fingerprint(many.doc), fingerprint(one.doc));
        QCOMPARE(many.counted, many.doc.pendingChangeCount());
        one.model.undo();
        many.model.undo();
        QCOMPARE(fingerprint(many.doc), fingerprint(one.doc));
        // Every edit taken back in one step, some inside entries queued and some not: each
        // counts as the document counts it, both ways.
        int inside = 0;
        int outside = 0;
        one.model.beginBatch("revert");
        for (XsdtNode *node : std::as_const(one.nodes)) {
            if (node->isValue() && node->value != node->originalValue) {
                (node->isDeleted() ? inside : outside) += 1;
                one.model.revertValue(node);
            }
        }
        one.model.endBatch();
        QVERIFY(inside > 0 && outside > 0);
        for (int step = 0; step < 3; ++step) {
            QCOMPARE(one.counted, one.doc.pendingChangeCount());
            step == 0 ? one.model.undo() : one.model.redo();
        }
    }

    // A batch is one step both ways, and the "Changed only" tree follows it, whether the batch
    // is announced row by row or, when large, all at once.
    void batchUndoRedo_data()
    {
        QTest::addColumn<int>("edits");
        QTest::newRow("row by row") << 3;
        QTest::newRow("all at once") << 200;
    }

    void batchUndoRedo()
    {
        QFETCH(int, edits);
        testdata::GeneratorOptions options;
        options.targetBytes = 40 * 1024;
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::generateSettings(options)));
        SettingsModel model;
        model.setPolicy(&m_policy);
        model.setDocument(&doc);
        SettingsFilterProxy changedOnly;
        changedOnly.setSourceModel(&model);
        changedOnly.setChangedOnly(true);
        const QByteArray clean = fingerprint(doc);
        QList<XsdtNode *> nodes;
        allNodes(&doc.root, nodes);
        QRandomGenerator random(7);
        model.beginBatch("copy");
        for (XsdtNode *node : std::as_const(nodes)) {
            if (node->isValue() &&
                (model.flags(model.indexForNode(node, 1)) & Qt::ItemIsEditable) &&
                model.setData(model.indexForNode(node, 1), newText(node, random)) && --edits == 0)
                break;
        }
        model.endBatch();
        QCOMPARE(edits, 0);
        const QByteArray changed = fingerprint(doc);
        QCOMPARE(model.undoStack()->count(), 1);
        QVERIFY(changedOnly.rowCount() > 0);
        model.undo();
        QCOMPARE(fingerprint(doc), clean);
        QCOMPARE(changedOnly.rowCount(), 0);
        model.redo();
        QCOMPARE(fingerprint(doc), changed);
        QVERIFY(changedOnly.rowCount() > 0);
        QCOMPARE(model.undoStack()->count(), 1);
    }

    void editMenuAndTextEditors()
    {
        testdata::GeneratorOptions options;
        options.targetBytes = 40 * 1024;
        QVERIFY(testdata::writeFile(m_home.path() + "/.PixInsight/core-1-pxi.settings",
                                    testdata::generateSettings(options)));
        setPixInsightProcessQuery([] { return QList<qint64>(); });

        MainWindow window;
        QVERIFY(window.store().loaded);
        QAction *undo = window.undoAction();
        QAction *redo = window.redoAction();
        QVERIFY(!undo->isEnabled() && !redo->isEnabled());
        XsdtNode *node =
            window.store().document.findPath(u"Global/Preferences/Process/MaxProcessors");
        QVERIFY(node);
        const QString original = node->value;
        window.model()->setData(window.model()->indexForNode(node, 1), "3");
        QCOMPARE(undo->text(), "Undo edit of MaxProcessors");
        QVERIFY(undo->isEnabled() && !redo->isEnabled());
        QCOMPARE(undo->shortcut(), QKeySequence(QKeySequence::Undo));

        undo->trigger();
        QCOMPARE(node->value, original);
        QCOMPARE(window.statusBar()->currentMessage(), "Undone: edit of MaxProcessors");
        QCOMPARE(window.windowTitle(), "core-1-pxi.settings - Varnel");
        QCOMPARE(redo->text(), "Redo edit of MaxProcessors");
        QVERIFY(!undo->isEnabled() && redo->isEnabled());
        redo->trigger();
        QCOMPARE(node->value, "3");

        // Revert selected in the review dialog is one step that survives Cancel.
        window.requestDeletion(window.store().document.findPath(u"Global/Statistics"));
        Dialogs::setNextDialogHandler([](QDialog *dialog) {
            auto *review = qobject_cast<ReviewDialog *>(dialog);
            review->tree()->selectAll();
            review->revertButton()->click();
            return int(QDialog::Rejected);
        });
        window.saveAction()->trigger();
        QCOMPARE(window.store().document.pendingChangeCount(), 0);
        QCOMPARE(undo->text(), "Undo revert of 2 changes");
        undo->trigger();
        QCOMPARE(window.store().document.pendingChangeCount(), 2);

        // While a line edit has focus, Ctrl+Z undoes its typing, not the window's last step.
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *line = new QLineEdit(&window);
        line->show();
        line->setFocus();
        QTest::keyClicks(line, "abc");
        QTest::keySequence(line, QKeySequence::Undo);
        QCOMPARE(line->text(), QString());
        QCOMPARE(window.store().document.pendingChangeCount(), 2);
    }

    // Values checked beforehand join the batch's one step, which undo takes back whole; an
    // entry queued for deletion meanwhile keeps its value.
    void acceptedValues()
    {
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::wrapSettings(
            "<i k=\"G\"><v k=\"A\" t=\"u\" v=\"1\"/><v k=\"B\" t=\"u\" v=\"2\"/><v "
            "k=\"C\" t=\"u\" v=\"3\"/></i>")));
        SettingsModel model;
        model.setPolicy(&m_policy);
        model.setDocument(&doc);
        XsdtNode *a = doc.findPath(u"G/A"), *b = doc.findPath(u"G/B"), *c = doc.findPath(u"G/C");
        const auto values = [&]() -> QString { return a->value + b->value + c->value; };
        QVERIFY(model.queueDeletion(c));
        QCOMPARE(model.undoStack()->undoText(), "queue deletion of C"); // a step of its own
        model.clearHistory();
        QSignalSpy edited(&model, &SettingsModel::edited);
        model.beginBatch("copy");
        const std::vector<std::pair<XsdtNode *, XsdtText>> accepted{
            {a, QString("7")}, {b, QString("8")}, {c, QString("9")}};
        QCOMPARE(model.setAcceptedValues(accepted, "set"), 2);
        QCOMPARE(edited.count(), 0);
        model.endBatch();
        QCOMPARE(edited.count(), 1);
        QCOMPARE(model.undoStack()->count(), 1);
        QCOMPARE(model.undoStack()->undoText(), "copy");
        QCOMPARE(values(), "783");
        model.undo();
        QCOMPARE(values(), "123");
        model.redo();
        QCOMPARE(values(), "783");
    }
};

QTEST_MAIN(TestUndo)
#include "tst_undo.moc"
