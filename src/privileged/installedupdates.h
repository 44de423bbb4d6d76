#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

// One <package> element of PixInsight's installed.xri; a missing attribute gives empty text.
struct UpdateRecord
{
    QString fileName;
    QString type;
    QString installDate;
    QString releaseDate;
    QString repo;
    QString title;
    QString sha1;

    friend bool operator==(const UpdateRecord &, const UpdateRecord &) = default;
};

// Where one record's text lies in the file's bytes (end exclusive).
struct RecordSpan
{
    qsizetype start = 0;
    qsizetype end = 0;
    QString fileName;
};

// Codes are the helper's exit codes, so an outcome reads the same from either side.
struct RecordChangeResult
{
    enum Code { Done = 0, Running = 2, NotFound = 3, Refused = 4, Failed = 5, NothingNamed = 6 };
    int code = Done;
    QString message;
    int count = 0;
    QString backupPath;
};

QString recordFilePath(const QString &installFolder);
// Every change refuses a path that is not <…>/PixInsight/etc/update/installed.xri.
bool isRecordFilePath(const QString &path);
// The first installation folder holding a record file; empty folders means the usual places.
QString findRecordFile(const QStringList &folders = {});

QList<UpdateRecord> parseRecords(const QByteArray &bytes, QString *error = nullptr);
QList<UpdateRecord> readRecordFile(const QString &path, QString *error = nullptr);
// Each <package start tag's stretch of the raw text, widened to whole lines.
QList<RecordSpan> findRecordSpans(const QByteArray &bytes);

QString displayInstallDate(const UpdateRecord &record);
bool isModule(const UpdateRecord &record);
// File names only, newest first.
QStringList listRecordBackups(const QString &path);

RecordChangeResult removeRecords(const QString &path, const QStringList &fileNames,
                                 bool checkRunning);
RecordChangeResult restoreNewestBackup(const QString &path, bool checkRunning);

// Test seam: sees (and may change) the bytes read back after a removal was written, to prove
// that a failed verification puts the original back. An empty function removes it.
using ReadBackHook = std::function<void(QByteArray &bytes)>;
void setRecordReadBackHook(ReadBackHook hook);

} // namespace vrn
