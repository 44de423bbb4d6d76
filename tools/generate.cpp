// Writes a generated settings file: the demo file under examples/ and large files for trials.
#include "generator/generator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Write a generated PixInsight settings file."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("size"), QStringLiteral("Approximate size in bytes (default 1048576)."),
         QStringLiteral("bytes"), QStringLiteral("1048576")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the generator (default 1)."),
         QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("indented"),
         QStringLiteral("Line breaks and indentation between elements.")},
        {QStringLiteral("alternate"),
         QStringLiteral("Other spellings the reader accepts (quotes, references).")},
        {QStringLiteral("problems"), QStringLiteral("Plant things a health check should find.")},
        {QStringLiteral("no-duplicates"), QStringLiteral("Do not write duplicate keys.")},
        {QStringLiteral("home"),
         QStringLiteral("The home folder in the paths the file records (default /home/astro)."),
         QStringLiteral("folder"), QStringLiteral("/home/astro")},
        {QStringLiteral("records"),
         QStringLiteral("Write PixInsight's installed.xri with this many packages instead."),
         QStringLiteral("n")},
    });
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("File to write."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    vrn::testdata::GeneratorOptions options;
    options.targetBytes = parser.value(QStringLiteral("size")).toLongLong();
    options.seed = parser.value(QStringLiteral("seed")).toULongLong();
    options.indented = parser.isSet(QStringLiteral("indented"));
    options.alternateSyntax = parser.isSet(QStringLiteral("alternate"));
    options.plantProblems = parser.isSet(QStringLiteral("problems"));
    options.duplicateKeys = !parser.isSet(QStringLiteral("no-duplicates"));
    options.home = parser.value(QStringLiteral("home"));

    const QByteArray bytes =
        parser.isSet(QStringLiteral("records"))
            ? vrn::testdata::generateRecordFile(parser.value(QStringLiteral("records")).toInt(),
                                                options.seed)
            : vrn::testdata::generateSettings(options);
    QSaveFile file(parser.positionalArguments().constFirst());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        std::fprintf(stderr, "Cannot write %s: %s\n", qPrintable(file.fileName()),
                     qPrintable(file.errorString()));
        return 1;
    }
    std::printf("Wrote %lld bytes to %s\n", static_cast<long long>(bytes.size()),
                qPrintable(file.fileName()));
    return 0;
}
