// The Unused modules page: building its cards for the demo file and for a 50 MB file with 200
// unused modules, opening the largest card, and finding a module's leftovers on disk when one
// of its folders holds 50,000 files (against a plain directory walk over the same files).
#include "benchutil.h"

#include "document/xsdtdocument.h"
#include "knowledge/builtin.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/leftovers.h"
#include "knowledge/modules.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "views/unusedmodulesview.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace vrn::bench {

namespace {

qint64 g_sink = 0;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

// Takes modules out of the registry until `wanted` of them have data but no entry; synthetic
// module groups make up for any shortfall.
void makeUnused(XsdtDocument &doc, int wanted)
{
    XsdtNode *registry = doc.findPath(u"Modules");
    const QStringList withData = modulesWithData(doc);
    int unused = int(unusedModuleData(doc).size());
    if (registry) {
        auto &entries = registry->children;
        for (auto it = entries.begin(); it != entries.end() && unused < wanted;) {
            const QString name = moduleNameFromFile((*it)->value);
            if ((*it)->isValue() && withData.contains(name)) {
                it = entries.erase(it);
                ++unused;
            } else {
                ++it;
            }
        }
    }
    XsdtNode *moduleData = doc.findPath(u"ModuleData");
    for (int i = 0; moduleData && unused < wanted; ++i, ++unused) {
        XsdtNode *group =
            moduleData->appendChild(XsdtNode::Group, QStringLiteral("BenchModule%1").arg(i));
        for (int v = 0; v < 40; ++v) {
            XsdtNode *value = group->appendChild(XsdtNode::Value, QStringLiteral("v%1").arg(v));
            value->type = QLatin1Char('i');
            value->value = value->originalValue = QString::number(v);
        }
    }
}

void pageFor(const QString &label, XsdtDocument &doc, const Schema &schema,
             const DeletionPolicy &policy, int repetitions)
{
    SettingsModel model;
    model.setPolicy(&policy);
    model.setDocument(&doc);
    UnusedModulesView view(&model, const_cast<Schema *>(&schema));
    view.resize(1100, 700);
    view.show();
    view.setDocument(&doc);
    settle();
    QString largest;
    qsizetype most = -1;
    for (const UnusedModulesView::Card &card : view.cards()) {
        if (card.valueCount > most) {
            most = card.valueCount;
            largest = card.name;
        }
    }
    Suite suite(QStringLiteral("Unused modules page, %1 (%2 unused modules; largest %3, %4 "
                               "values)")
                    .arg(label)
                    .arg(view.cards().size())
                    .arg(largest)
                    .arg(most));
    suite.add(QStringLiteral("unusedModuleData (reference)"), 0,
              [&] { g_sink += unusedModuleData(doc).size(); });
    suite.add(
        QStringLiteral("page build: setDocument and layout"), 0,
        [&] {
            view.setDocument(&doc);
            settle();
        },
        QStringLiteral("unusedModuleData (reference)"));
    suite.addPrepared(
        QStringLiteral("expand the largest card and lay it out"), 0,
        [&] {
            view.setDocument(&doc);
            settle();
        },
        [&] {
            view.expandModule(largest);
            settle();
        });
    suite.run(repetitions);
    suite.print();
}

void leftoversOnDisk(int repetitions)
{
    QTemporaryDir tmp;
    const QString install = tmp.filePath(QStringLiteral("PixInsight"));
    const QString scripts = install + QStringLiteral("/src/scripts/Kestrane");
    QFile(install + QStringLiteral("/bin/Kestrane-pxm.so")).open(QIODevice::WriteOnly);
    for (int folder = 0; folder < 100; ++folder) {
        const QString dir = scripts + QStringLiteral("/f%1").arg(folder);
        QDir().mkpath(dir);
        for (int file = 0; file < 500; ++file) {
            QFile out(dir + QStringLiteral("/s%1.js").arg(file));
            if (out.open(QIODevice::WriteOnly))
                out.write("x");
        }
    }
    QDir().mkpath(install + QStringLiteral("/bin"));
    Suite suite(QStringLiteral("Leftovers of one module, a scripts folder of 50,000 files"));
    suite.add(QStringLiteral("QDirIterator over the folder (reference)"), 0, [&] {
        QDirIterator it(scripts, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            g_sink += it.fileInfo().size();
        }
    });
    suite.add(
        QStringLiteral("findLeftovers with sizes"), 0,
        [&] {
            for (const LeftoverItem &item : findLeftovers(install, QString(), "Kestrane", true))
                g_sink += item.fileCount;
        },
        QStringLiteral("QDirIterator over the folder (reference)"));
    suite.add(QStringLiteral("findLeftovers without sizes"), 0,
              [&] { g_sink += findLeftovers(install, QString(), "Kestrane", false).size(); });
    suite.run(repetitions);
    suite.print();
}

} // namespace

void benchUnused()
{
    const int repetitions = options().quick ? 3 : 7;
    Schema schema;
    DeletionPolicy policy;
    loadBuiltInKnowledge(schema, policy);

    XsdtDocument demo;
    if (demo.parse(readFile(QStringLiteral(VARNEL_DEMO_FILE))))
        pageFor(QStringLiteral("demo file"), demo, schema, policy, repetitions);
    if (!options().quick) {
        auto big = std::make_unique<XsdtDocument>();
        if (big->parse(generatedFile(50LL * 1000 * 1000))) {
            makeUnused(*big, 200);
            pageFor(QStringLiteral("50 MB generated file"), *big, schema, policy, repetitions);
        }
    }
    leftoversOnDisk(repetitions);
    std::printf("(sink %lld)\n", static_cast<long long>(g_sink));
}

} // namespace vrn::bench
