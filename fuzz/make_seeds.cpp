// Writes the generated part of the fuzzing seed corpus into a directory.
#include "readerproperties.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: varnel-fuzz-seeds <directory>\n");
        return 2;
    }
    const QDir dir(app.arguments().at(1));
    QDir().mkpath(dir.path());
    const auto seeds = vrn::fuzz::generatedSeeds();
    for (const auto &[name, bytes] : seeds) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    std::printf("%lld seeds in %s\n", static_cast<long long>(seeds.size()), qPrintable(dir.path()));
    return 0;
}
