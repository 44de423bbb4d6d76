// The analyses the views run on the GUI thread: the health check, the schema lookup for every
// value, and the module analyses, against a plain walk over the same tree.
#include "benchutil.h"

#include "document/valuenodes.h"
#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"
#include "knowledge/builtin.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/healthcheck.h"
#include "knowledge/modules.h"
#include "knowledge/schema.h"

#include <cstdio>
#include <memory>

namespace vrn::bench {

namespace {

qint64 g_sink = 0; // results are summed here so the work cannot be optimised away

void knowledgeAt(qint64 megabytes, const Schema &schema)
{
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000);
    auto doc = std::make_unique<XsdtDocument>();
    if (!doc->parse(bytes)) {
        std::fprintf(stderr, "generated file does not parse\n");
        return;
    }
    QList<XsdtNode *> values;
    collectValueNodes(&doc->root, values);
    const QStringList registered = registeredModules(*doc);
    const QString someModule = registered.value(registered.size() / 2);

    // A computer on which every file exists, so that every registry entry is looked up.
    HealthEnv everything;
    everything.exists = [](const QString &path) { return !path.isEmpty(); };
    everything.logicalProcessors = 8;
    everything.installCandidates = {QStringLiteral("/opt/PixInsight")};
    const HealthEnv here = HealthEnv::system();

    Suite suite(QStringLiteral("Knowledge, %1 MB generated file (%2 values, %3 modules)")
                    .arg(megabytes)
                    .arg(values.size())
                    .arg(registered.size()));
    suite.add(QStringLiteral("walk: collect every value (reference)"), 0, [&] {
        QList<XsdtNode *> out;
        collectValueNodes(&doc->root, out);
        g_sink += out.size();
    });
    suite.add(
        QStringLiteral("Schema::info for every value"), 0,
        [&] {
            for (const XsdtNode *node : std::as_const(values))
                g_sink += schema.info(node).label.size();
        },
        QStringLiteral("walk: collect every value (reference)"));
    suite.add(QStringLiteral("runHealthCheck, every file exists"), 0,
              [&] { g_sink += runHealthCheck(*doc, schema, everything).size(); });
    suite.add(QStringLiteral("runHealthCheck, this computer"), 0,
              [&] { g_sink += runHealthCheck(*doc, schema, here).size(); });
    suite.add(QStringLiteral("unusedModuleData"), 0,
              [&] { g_sink += unusedModuleData(*doc).size(); });
    suite.add(QStringLiteral("findModule, one exact name"), 0, [&] {
        bool exact = false;
        g_sink += findModule(*doc, someModule, &exact).size() + exact;
    });
    suite.add(QStringLiteral("findModule, \"a\" (most modules)"), 0, [&] {
        bool exact = false;
        g_sink += findModule(*doc, QStringLiteral("a"), &exact).size();
    });
    suite.add(QStringLiteral("modulesWithData + registeredModules"), 0,
              [&] { g_sink += modulesWithData(*doc).size() + registeredModules(*doc).size(); });
    const int rounds = options().quick ? 3 : (megabytes >= 50 ? 7 : megabytes >= 10 ? 11 : 21);
    suite.run(rounds);
    suite.print();
    std::printf("  goal: each analysis well under 100 ms at 10 MB\n");
}

} // namespace

void benchKnowledge()
{
    Schema schema;
    DeletionPolicy policy;
    const BuiltInLoad loaded = loadBuiltInKnowledge(schema, policy);
    if (!loaded.schemaLoaded) {
        std::fprintf(stderr, "schema: %s\n", qPrintable(loaded.schemaError));
        return;
    }
    const QList<qint64> sizes = options().quick ? QList<qint64>{1, 10} : QList<qint64>{1, 10, 50};
    for (qint64 mb : sizes)
        knowledgeAt(mb, schema);
    if (g_sink == 42)
        std::printf(" ");
}

} // namespace vrn::bench
