// The comparison of two settings documents: two unrelated files, and one file against a copy
// of itself with scattered edits (the usual case: a backup of the file being edited).
#include "benchutil.h"

#include "document/valuenodes.h"
#include "document/xsdtdocument.h"
#include "knowledge/compare.h"

#include <cstdio>
#include <memory>

namespace vrn::bench {

namespace {

qint64 g_sink = 0;

std::unique_ptr<XsdtDocument> parse(const QByteArray &bytes)
{
    auto doc = std::make_unique<XsdtDocument>();
    if (!doc->parse(bytes)) {
        std::fprintf(stderr, "generated file does not parse\n");
        return nullptr;
    }
    return doc;
}

void compareAt(qint64 megabytes)
{
    const qint64 size = megabytes * 1000 * 1000;
    auto first = parse(generatedFile(size, 7));
    auto second = parse(generatedFile(size, 8));
    auto copy = parse(generatedFile(size, 7));
    if (!first || !second || !copy)
        return;
    QList<XsdtNode *> values;
    collectValueNodes(&copy->root, values);
    const int edits = 1000;
    for (int i = 0; i < edits; ++i)
        values[qsizetype(i) * values.size() / edits]->value += QLatin1Char('x');

    const qsizetype unrelated = compareDocuments(*first, *second).size();
    const qsizetype edited = compareDocuments(*copy, *first).size();
    Suite suite(QStringLiteral("Compare, %1 MB generated files (%2 values; %3 records between "
                               "seeds 7 and 8, %4 after %5 edits)")
                    .arg(megabytes)
                    .arg(values.size())
                    .arg(unrelated)
                    .arg(edited)
                    .arg(edits));
    suite.add(QStringLiteral("walk: collect every value of both (reference)"), 0, [&] {
        QList<XsdtNode *> out;
        collectValueNodes(&first->root, out);
        collectValueNodes(&second->root, out);
        g_sink += out.size();
    });
    suite.add(
        QStringLiteral("compareDocuments, two seeds"), 0,
        [&] { g_sink += compareDocuments(*first, *second).size(); },
        QStringLiteral("walk: collect every value of both (reference)"));
    suite.add(
        QStringLiteral("compareDocuments, itself with 1,000 edits"), 0,
        [&] { g_sink += compareDocuments(*copy, *first).size(); },
        QStringLiteral("walk: collect every value of both (reference)"));
    const int rounds = options().quick ? 3 : (megabytes >= 50 ? 5 : 11);
    suite.run(rounds);
    suite.print();
    std::printf("  goal: each comparison under 1 s at 50 MB\n");
}

} // namespace

void benchCompare()
{
    const QList<qint64> sizes = options().quick ? QList<qint64>{1, 10} : QList<qint64>{1, 10, 50};
    for (qint64 mb : sizes)
        compareAt(mb);
    if (g_sink == 42)
        std::printf(" ");
}

} // namespace vrn::bench
