// The advanced tree's filter as the window runs it: the tree view over the filter proxy with
// the TreeFilter that walks the document in slices and opens the matches. For each query it
// times the whole keystroke (from the end of the typing pause until the result is painted) and
// the longest stretch the event loop was held up meanwhile, which is what decides whether the
// window feels stuck.
#include "benchutil.h"

#include "document/xsdtdocument.h"
#include "generator/generator.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "widgets/settingstreeview.h"
#include "widgets/treefilter.h"
#include "widgets/valuedelegate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vrn::bench {

namespace {

// The tree as the main window builds it.
void setUpTree(SettingsTreeView &view, SettingsFilterProxy &proxy)
{
    view.setModel(&proxy);
    view.setItemDelegateForColumn(1, new ValueDelegate(&view));
    view.setColumnLayout();
    view.resize(1100, 700);
    view.show();
}

void settle(QTreeView &view)
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    view.viewport()->repaint();
}

// Rows the view shows: the top level and the children of every opened row.
qint64 openRows(const QTreeView &view, const QModelIndex &parent = {})
{
    const QAbstractItemModel *model = view.model();
    const int count = model->rowCount(parent);
    qint64 rows = count;
    for (int r = 0; r < count; ++r) {
        const QModelIndex index = model->index(r, 0, parent);
        if (view.isExpanded(index))
            rows += openRows(view, index);
    }
    return rows;
}

struct Sample
{
    double totalMs = 0;
    double longestMs = 0;  // longest time between two turns of the event loop
    double lastStepMs = 0; // the turn that ended with the result shown (end of walk + rows)
    double paintMs = 0;    // layout and paint of the result, forced as the window would do it
};

// One keystroke: the typing pause ends (refresh() is what its timer calls), the slices run
// between events, the result is shown and painted. A 0-ms timer fires once every turn of the
// event loop; the gaps between its firings are the blocks of work the window could not
// answer during.
Sample keystroke(TreeFilter &filter, SettingsTreeView &view, const QString &text)
{
    Sample s;
    QElapsedTimer clock;
    QEventLoop loop;
    QTimer probe;
    probe.setInterval(0);
    qint64 last = 0;
    qint64 longest = 0;
    qint64 appliedAt = -1;
    int turnsAfter = 0;
    QObject::connect(&probe, &QTimer::timeout, &loop, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
        // A few turns more let the delayed layout and the queued repaints run.
        if (appliedAt >= 0 && ++turnsAfter >= 3)
            loop.quit();
    });
    const auto connection = QObject::connect(&filter, &TreeFilter::applied, &loop, [&] {
        appliedAt = clock.nsecsElapsed();
        s.lastStepMs = double(appliedAt - last) / 1e6;
    });
    filter.setText(text);
    clock.start();
    filter.refresh();
    const qint64 first = clock.nsecsElapsed();
    longest = first;
    last = first;
    probe.start();
    loop.exec();
    probe.stop();
    const qint64 paintStart = clock.nsecsElapsed();
    view.viewport()->repaint();
    const qint64 end = clock.nsecsElapsed();
    QObject::disconnect(connection);
    s.paintMs = double(end - paintStart) / 1e6;
    s.totalMs = double(end) / 1e6;
    s.longestMs = double(std::max(longest, end - paintStart)) / 1e6;
    return s;
}

struct Query
{
    QString name;
    QString text;
    QString before; // the filter already on when the keystroke comes (empty: none)
    enum Opened { Closed, ExpandAll, EveryRow };
    Opened opened = Closed; // how the unfiltered tree was opened before
    std::vector<Sample> samples;
    qint64 rows = 0;
    bool capped = false;
};

QString medMin(const std::vector<double> &values)
{
    return QStringLiteral("%1 / %2")
        .arg(median(values), 8, 'f', 1)
        .arg(*std::min_element(values.begin(), values.end()), 8, 'f', 1);
}

void filterAt(qint64 megabytes, const DeletionPolicy &policy)
{
    const qint64 size = megabytes * 1000 * 1000;
    const QByteArray &bytes = generatedFile(size);
    XsdtDocument doc;
    if (!doc.parse(bytes)) {
        std::fprintf(stderr, "generated file does not parse\n");
        return;
    }
    testdata::GeneratorOptions generated;
    generated.seed = 7; // as generatedFile()
    generated.targetBytes = size;
    const QString module = testdata::generatedModuleNames(generated).value(0);

    SettingsModel model;
    model.setPolicy(&policy);
    SettingsFilterProxy proxy;
    proxy.setSourceModel(&model);
    SettingsTreeView view(&model);
    setUpTree(view, proxy);
    TreeFilter filter(&model, &proxy, &view);
    bool capped = false;
    QObject::connect(&filter, &TreeFilter::applied, &filter, [&](bool, bool c) { capped = c; });
    model.setDocument(&doc);
    settle(view);

    // "mosaic" is only ever in the free texts the generator writes into values; "quokka" is in
    // no key and no value.
    const auto query = [](const QString &name, const QString &text,
                          const QString &before = QString(), Query::Opened opened = Query::Closed) {
        Query q;
        q.name = name;
        q.text = text;
        q.before = before;
        q.opened = opened;
        return q;
    };
    std::vector<Query> queries = {
        query(QStringLiteral("one letter \"c\""), QStringLiteral("c")),
        query(QStringLiteral("values only \"mosaic\""), QStringLiteral("mosaic")),
        query(QStringLiteral("nowhere \"quokka\""), QStringLiteral("quokka")),
        query(QStringLiteral("typical \"xisf\""), QStringLiteral("xisf")),
        query(QStringLiteral("module \"%1\"").arg(module), module),
        // Typing on: the tree holds what the previous letter opened.
        query(QStringLiteral("\"xisf\" after \"xis\""), QStringLiteral("xisf"),
              QStringLiteral("xis")),
        query(QStringLiteral("\"ce\" after \"c\""), QStringLiteral("ce"), QStringLiteral("c")),
        // Clearing the field (select all, Delete) with a thousand rows open.
        query(QStringLiteral("cleared after \"c\""), QString(), QStringLiteral("c")),
        // The first letter typed after Expand all, and into a tree opened row by row by hand.
        query(QStringLiteral("\"c\" after Expand all"), QStringLiteral("c"), QString(),
              Query::ExpandAll),
        query(QStringLiteral("\"c\", every row opened"), QStringLiteral("c"), QString(),
              Query::EveryRow),
    };
    std::vector<double> expandMs;
    const auto prepare = [&](const Query &q) {
        filter.clearNow();
        view.collapseAll();
        settle(view);
        if (!q.before.isEmpty()) {
            keystroke(filter, view, q.before);
            settle(view);
        }
        if (q.opened == Query::ExpandAll) {
            QElapsedTimer clock;
            clock.start();
            view.expandEverything(); // in slices, as the window's Expand all
            while (view.isExpanding())
                QCoreApplication::processEvents();
            expandMs.push_back(double(clock.nsecsElapsed()) / 1e6);
            settle(view);
        } else if (q.opened == Query::EveryRow) {
            view.expandAll();
            settle(view);
        }
    };
    const int rounds = megabytes >= 50 || options().quick ? 3 : 5;
    std::fprintf(stderr, "  tree filter, %lld MB: %d rounds of %zu queries\n",
                 static_cast<long long>(megabytes), rounds, queries.size());
    for (auto &q : queries) { // warm-up, and what the user gets to see
        prepare(q);
        keystroke(filter, view, q.text);
        settle(view);
        q.rows = openRows(view);
        q.capped = capped;
    }
    for (int r = 0; r < rounds; ++r) {
        for (auto &q : queries) {
            prepare(q);
            q.samples.push_back(keystroke(filter, view, q.text));
        }
    }
    filter.clearNow();

    std::printf("\nTree filter as typed, %lld MB generated file (%lld bytes): ms from the end "
                "of the typing pause, median / min\n",
                static_cast<long long>(megabytes), static_cast<long long>(bytes.size()));
    std::printf("  %-30s %19s %19s %19s %19s %6s\n", "query", "total", "longest block", "last step",
                "paint", "rows");
    for (const auto &q : queries) {
        std::vector<double> total, longest, lastStep, paint;
        for (const Sample &s : q.samples) {
            total.push_back(s.totalMs);
            longest.push_back(s.longestMs);
            lastStep.push_back(s.lastStepMs);
            paint.push_back(s.paintMs);
        }
        std::printf("  %-30s %19s %19s %19s %19s %5lld%s\n", qPrintable(q.name),
                    qPrintable(medMin(total)), qPrintable(medMin(longest)),
                    qPrintable(medMin(lastStep)), qPrintable(medMin(paint)),
                    static_cast<long long>(q.rows), q.capped ? "+" : "");
    }
    std::printf("  (rows: rows open in the view; + the cap message was shown)\n");
    std::printf("  Expand all: %s ms median / min in all, every group opened\n",
                qPrintable(medMin(expandMs)));
    std::fflush(stdout);
}

} // namespace

void benchFilter()
{
    const DeletionPolicy policy = shippedPolicy();
    const QList<qint64> sizes = options().quick ? QList<qint64>{10} : QList<qint64>{10, 50};
    for (qint64 mb : sizes)
        filterAt(mb, policy);
}

} // namespace vrn::bench
