// The Search and Preferences pages with real widgets: building the search index, the time from
// a changed query to the rows shown, building the Preferences pages, and the whole screenshot
// run of the program on the demo file.
#include "benchutil.h"

#include "document/xsdtdocument.h"
#include "knowledge/backgroundjob.h"
#include "knowledge/builtin.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "views/preferencesview.h"
#include "views/searchview.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

namespace vrn::bench {

namespace {

Schema loadSchema()
{
    Schema schema;
    DeletionPolicy policy;
    if (!loadBuiltInKnowledge(schema, policy).schemaLoaded)
        std::fprintf(stderr, "schema not loaded\n");
    return schema;
}

void flush()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

void searchAt(qint64 megabytes, const Schema &schema)
{
    XsdtDocument doc;
    if (!doc.parse(generatedFile(megabytes * 1000 * 1000))) {
        std::fprintf(stderr, "generated file does not parse\n");
        return;
    }
    SettingsModel model;
    model.setDocument(&doc);
    SearchView view(&model, &schema);
    view.resize(1200, 700);
    view.show();
    view.setDocument(&doc);
    view.buildIndex(); // the worker's, waited for: the timed items start from a built index
    flush();

    const QList<QPair<QString, QString>> queries = {
        {QStringLiteral("common word"), QStringLiteral("width")},
        {QStringLiteral("rare word"), QStringLiteral("maxprocessors")},
        {QStringLiteral("two words"), QStringLiteral("geometry width")},
        {QStringLiteral("phrase"), QStringLiteral("\"max file\"")},
    };
    Suite suite(QStringLiteral("Search page, %1 MB generated file").arg(megabytes));
    qint64 sink = 0;
    {
        const qint64 before = heapBytes();
        const SearchIndex index = SearchView::makeIndex(doc, schema);
        waitForAside(); // what the making let go of is freed on a pool thread
        const double held = double(heapBytes() - before);
        std::printf("  the index holds %.1f MiB, %.2f times the file\n", held / 1048576.0,
                    held / double(megabytes * 1000 * 1000));
        sink += qint64(index.entries.size());
    }
    suite.add(QStringLiteral("build the index (on a worker)"), 0,
              [&] { sink += qint64(SearchView::makeIndex(doc, schema).entries.size()); });
    QStringList counts;
    for (const auto &[name, query] : queries) {
        view.setQuery(query);
        counts.append(QStringLiteral("%1 %2").arg(query).arg(view.resultCount()));
        // A changed query: the field holds another text before every timed run.
        suite.addPrepared(
            QStringLiteral("%1: search and rows").arg(name), 0,
            [&] {
                view.setQuery(QStringLiteral("zzzz"));
                flush();
            },
            [&, query = query] { view.setQuery(query); });
        // The same rows made again for the same results: what of the above is widgets.
        suite.addPrepared(
            QStringLiteral("%1: rows only").arg(name), 0,
            [&, query = query] {
                view.setQuery(query);
                flush();
            },
            [&] { view.populate(); });
    }
    suite.run(options().quick ? 3 : 7);
    suite.print();
    std::printf("  results: %s%s\n", qPrintable(counts.join(QStringLiteral(", "))),
                sink == 42 ? " " : "");
}

void preferencesFor(const QString &name, const QByteArray &bytes, Suite &suite,
                    std::vector<std::unique_ptr<XsdtDocument>> &docs, SettingsModel &model,
                    PreferencesView &view)
{
    auto doc = std::make_unique<XsdtDocument>();
    if (!doc->parse(bytes))
        return;
    XsdtDocument *d = doc.get();
    docs.push_back(std::move(doc));
    suite.addPrepared(
        QStringLiteral("all Preferences pages, %1").arg(name), 0,
        [&, d] {
            view.setDocument(nullptr);
            model.setDocument(d);
            flush();
        },
        [&, d] {
            view.setDocument(d);
            QCoreApplication::processEvents();
        });
}

void screenshotRun()
{
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/core-1-pxi.settings");
    if (!QFile::copy(QStringLiteral(VARNEL_DEMO_FILE), file))
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    std::vector<double> ms;
    for (int i = 0; i < (options().quick ? 2 : 4); ++i) {
        QProcess process;
        process.setProcessEnvironment(env);
        const qint64 started = QDateTime::currentMSecsSinceEpoch();
        process.start(
            QStringLiteral(VARNEL_PROGRAM),
            {QStringLiteral("--screenshots"), dir.path() + QStringLiteral("/shots"), file});
        if (!process.waitForFinished(120000) || process.exitCode() != 0) {
            std::fprintf(stderr, "screenshot run failed\n");
            return;
        }
        if (i > 0) // the first run warms the file cache
            ms.push_back(double(QDateTime::currentMSecsSinceEpoch() - started));
    }
    std::printf("  whole screenshot run, demo file: median %.0f ms (%d runs)\n", median(ms),
                int(ms.size()));
}

} // namespace

void benchPages()
{
    std::printf("\nSearch and Preferences pages\n");
    const Schema schema = loadSchema();
    searchAt(10, schema);
    if (!options().quick)
        searchAt(50, schema);

    SettingsModel model;
    PreferencesView view(&model, &schema);
    view.resize(1200, 700);
    view.show();
    std::vector<std::unique_ptr<XsdtDocument>> docs;
    Suite suite(QStringLiteral("Preferences pages"));
    QFile demo(QStringLiteral(VARNEL_DEMO_FILE));
    if (demo.open(QIODevice::ReadOnly))
        preferencesFor(QStringLiteral("demo file"), demo.readAll(), suite, docs, model, view);
    if (!options().quick)
        preferencesFor(QStringLiteral("50 MB file"), generatedFile(50 * 1000 * 1000), suite, docs,
                       model, view);
    suite.run(options().quick ? 3 : 7);
    suite.print();
    view.setDocument(nullptr);
    model.setDocument(nullptr);

    screenshotRun();
}

} // namespace vrn::bench
