// PixInsight's installed.xri: reading its records and removing some of them, on a generated
// record file of 5,000 packages. The plain token loop of QXmlStreamReader over the same bytes
// is the reference for reading; a verified save of the same bytes (with its backup) is the
// reference for a removal, which does that plus the parsing and the cutting.
#include "benchutil.h"

#include "generator/generator.h"
#include "privileged/installedupdates.h"
#include "store/files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <cstdio>

namespace vrn::bench {

namespace {

qint64 g_sink = 0;

void resetFolder(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    for (const QString &name : info.dir().entryList({info.fileName() + QStringLiteral(".bak-*")}))
        QFile::remove(info.dir().filePath(name));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

} // namespace

void benchInstalled()
{
    const int packages = 5000;
    const QByteArray bytes = testdata::generateRecordFile(packages);
    const QList<UpdateRecord> records = parseRecords(bytes);
    QStringList one;
    QStringList hundred;
    // One module from the middle, and a hundred spread over the file.
    int modules = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const UpdateRecord &record = records.at(i);
        if (!isModule(record) || hundred.contains(record.fileName))
            continue;
        if (one.isEmpty() && i > packages / 2)
            one.append(record.fileName);
        if (hundred.size() < 100 && modules++ % 40 == 7)
            hundred.append(record.fileName);
    }
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("PixInsight"));
    QDir().mkpath(folder + QStringLiteral("/etc/update"));
    const QString path = recordFilePath(folder);

    Suite suite(QStringLiteral("installed.xri, %1 packages (%2 bytes)")
                    .arg(records.size())
                    .arg(bytes.size()));
    suite.add(QStringLiteral("QXmlStreamReader tokens"), bytes.size(), [&] {
        QXmlStreamReader xml(bytes);
        while (!xml.atEnd())
            g_sink += xml.readNext();
    });
    suite.add(
        QStringLiteral("parseRecords"), bytes.size(), [&] { g_sink += parseRecords(bytes).size(); },
        QStringLiteral("QXmlStreamReader tokens"));
    suite.add(
        QStringLiteral("findRecordSpans"), bytes.size(),
        [&] { g_sink += findRecordSpans(bytes).size(); },
        QStringLiteral("QXmlStreamReader tokens"));
    suite.addPrepared(
        QStringLiteral("backup + verified save (no removal)"), bytes.size(),
        [&] { resetFolder(path, bytes); },
        [&] {
            QString backup;
            g_sink +=
                writeBackup(path, bytes, QString(), &backup) && writeFileVerified(path, bytes);
        });
    suite.addPrepared(
        QStringLiteral("removeRecords, 1 module"), bytes.size(), [&] { resetFolder(path, bytes); },
        [&] { g_sink += removeRecords(path, one, false).count; },
        QStringLiteral("backup + verified save (no removal)"));
    suite.addPrepared(
        QStringLiteral("removeRecords, 100 modules"), bytes.size(),
        [&] { resetFolder(path, bytes); },
        [&] { g_sink += removeRecords(path, hundred, false).count; },
        QStringLiteral("backup + verified save (no removal)"));
    suite.run(options().quick ? 3 : 11);
    suite.print();
    const RecordChangeResult check =
        (resetFolder(path, bytes), removeRecords(path, hundred, false));
    std::printf("  removeRecords of %lld modules: code %d, %d records removed\n",
                static_cast<long long>(hundred.size()), check.code, check.count);
}

} // namespace vrn::bench
