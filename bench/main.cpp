// varnel-bench: run every benchmark area (or those named with --only) and print the tables.
#include "benchutil.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace vrn::bench {
void benchDocument();
void benchKnowledge();
void benchStore();
} // namespace vrn::bench

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Varnel benchmarks (build in Release)."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("quick"), QStringLiteral("Fewer rounds and no 50 MB file.")});
    parser.addOption({QStringLiteral("only"),
                      QStringLiteral("Run only this area (document, knowledge, store); repeatable."),
                      QStringLiteral("area")});
    parser.process(app);

    vrn::bench::Options o;
    o.quick = parser.isSet(QStringLiteral("quick"));
    o.only = parser.values(QStringLiteral("only"));
    vrn::bench::setOptions(o);
#ifndef NDEBUG
    std::printf("Warning: this is not a Release build; figures are not representative.\n");
#endif
    if (vrn::bench::wanted(QStringLiteral("document")))
        vrn::bench::benchDocument();
    if (vrn::bench::wanted(QStringLiteral("knowledge")))
        vrn::bench::benchKnowledge();
    if (vrn::bench::wanted(QStringLiteral("store")))
        vrn::bench::benchStore();
    return 0;
}
