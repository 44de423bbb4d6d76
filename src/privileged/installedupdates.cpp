#include "privileged/installedupdates.h"

#include "environment/pixinsight.h"
#include "store/files.h"
#include "store/nativepath.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTime>
#include <QXmlStreamReader>

#include <algorithm>

namespace vrn {

namespace {

struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(vrn::InstalledUpdates)
};

ReadBackHook &readBackHook()
{
    static ReadBackHook hook;
    return hook;
}

// Empty when PixInsight is known not to run; the check fails closed.
QString runningMessage()
{
    const PixInsightCheck check = checkPixInsight();
    if (!check.known)
        return Texts::tr("Could not check whether PixInsight is running (%1). It may be running: "
                         "close it first, it rewrites its records from memory.")
            .arg(check.reason);
    if (check.mayBeRunning())
        return Texts::tr("PixInsight is running. Close it first: it rewrites its records from "
                         "memory.");
    return QString();
}

bool parseInto(const QByteArray &bytes, QList<UpdateRecord> &records, QString *error)
{
    auto fail = [&](const QString &message) {
        if (error && error->isEmpty())
            *error = message;
        records.clear();
        return false;
    };
    QXmlStreamReader xml(bytes);
    int depth = 0;
    bool seenElement = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (!seenElement) {
                seenElement = true;
                if (xml.qualifiedName() != QLatin1String("xri"))
                    return fail(
                        Texts::tr("Not a PixInsight update record file (no <xri> element)."));
            } else if (depth == 2 && xml.qualifiedName() == QLatin1String("package")) {
                const QXmlStreamAttributes attributes = xml.attributes();
                auto value = [&](const char *name) {
                    return attributes.value(QLatin1String(name)).toString();
                };
                records.append(UpdateRecord{value("fileName"), value("type"), value("installDate"),
                                            value("releaseDate"), value("repo"), value("title"),
                                            value("sha1")});
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    if (xml.hasError())
        return fail(xml.errorString());
    if (!seenElement)
        return fail(Texts::tr("Empty file."));
    return true;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Reads the file back after a write, through the test seam when one is set.
bool readBack(const QString &path, QByteArray &bytes)
{
    if (!readFile(path, bytes))
        return false;
    if (readBackHook())
        readBackHook()(bytes);
    return true;
}

RecordChangeResult outcome(int code, const QString &message)
{
    RecordChangeResult result;
    result.code = code;
    result.message = message;
    return result;
}

QString changedWhileWriting(const QString &path)
{
    return Texts::tr("%1 was changed by another program while it was being edited. That "
                     "program's version was kept and nothing was changed; look at the records "
                     "again and retry.")
        .arg(nativePath(path));
}

// Puts the original back after a write that could not be verified, but only over the edited
// text: whatever another program wrote in the meantime stays.
RecordChangeResult putBack(const QString &path, const QByteArray &original,
                           const QByteArray &edited, const QString &backupPath)
{
    ExpectedFile ours;
    ours.stamp.exists = true;
    ours.hash = sha256(edited);
    ReplaceGuard guard;
    guard.expected = &ours;
    guard.changedMessage = QStringLiteral("changed");
    QString error;
    if (writeFileVerified(path, original, &error, guard))
        return outcome(RecordChangeResult::Failed,
                       Texts::tr("Verification after writing failed; the backup was put back."));
    if (error == guard.changedMessage)
        return outcome(RecordChangeResult::Failed,
                       Texts::tr("Verification after writing failed because another program "
                                 "changed %1 meanwhile; its version was kept. The backup of the "
                                 "file as it was before is %2.")
                           .arg(nativePath(path), nativePath(backupPath)));
    // Saying the backup was put back would be untrue here; say where it is instead.
    return outcome(RecordChangeResult::Failed,
                   Texts::tr("Verification after writing failed, and the original could not be "
                             "put back (%1). The backup is %2.")
                       .arg(error, nativePath(backupPath)));
}

} // namespace

QString recordFilePath(const QString &installFolder)
{
    return QString(installFolder).replace(QLatin1Char('\\'), QLatin1Char('/')) +
           QStringLiteral("/etc/update/installed.xri");
}

bool isRecordFilePath(const QString &path)
{
    const QString clean =
        QDir::cleanPath(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'))).toLower();
    // The folder right above etc/update must be the installation itself, so a file of the same
    // name deeper inside some other tree is never taken for PixInsight's.
    return clean.endsWith(QLatin1String("/pixinsight/etc/update/installed.xri"));
}

QString findRecordFile(const QStringList &folders)
{
    const QStringList tried = folders.isEmpty() ? HealthEnv::system().installCandidates : folders;
    for (const QString &folder : tried) {
        const QString path = recordFilePath(folder);
        if (QFileInfo(path).isFile() && isRecordFilePath(path))
            return path;
    }
    return QString();
}

QList<UpdateRecord> parseRecords(const QByteArray &bytes, QString *error)
{
    QList<UpdateRecord> records;
    parseInto(bytes, records, error);
    return records;
}

QList<UpdateRecord> readRecordFile(const QString &path, QString *error)
{
    QByteArray bytes;
    if (!readFile(path, bytes, error))
        return {};
    return parseRecords(bytes, error);
}

QList<RecordSpan> findRecordSpans(const QByteArray &bytes)
{
    static const QByteArray open("<package");
    static const QByteArray close("</package>");
    static const QRegularExpression fileNamePattern(QStringLiteral(R"re(\bfileName="([^"]*)")re"));
    QList<RecordSpan> spans;
    const qsizetype size = bytes.size();
    const char *data = bytes.constData();
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = bytes.indexOf(open, from);
        if (at < 0)
            break;
        qsizetype pos = at + open.size();
        // A longer name that merely begins with "package" is some other element.
        if (pos >= size || (!isBlank(data[pos]) && data[pos] != '\r' && data[pos] != '\n')) {
            from = pos;
            continue;
        }
        char quote = 0;
        for (; pos < size; ++pos) {
            const char c = data[pos];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (pos >= size)
            break;
        const qsizetype tagEnd = pos + 1;
        qsizetype end = tagEnd;
        if (data[pos - 1] != '/') {
            const qsizetype closeAt = bytes.indexOf(close, tagEnd);
            if (closeAt < 0)
                break;
            end = closeAt + close.size();
        }
        RecordSpan span;
        const QRegularExpressionMatch match =
            fileNamePattern.match(QString::fromUtf8(data + at, tagEnd - at));
        if (match.hasMatch())
            span.fileName = match.captured(1);
        span.start = at;
        while (span.start > 0 && isBlank(data[span.start - 1]))
            --span.start;
        span.end = end;
        while (span.end < size && isBlank(data[span.end]))
            ++span.end;
        if (span.end < size && data[span.end] == '\n')
            ++span.end;
        else if (span.end + 1 < size && data[span.end] == '\r' && data[span.end + 1] == '\n')
            span.end += 2;
        spans.append(span);
        from = end;
    }
    return spans;
}

QString displayInstallDate(const UpdateRecord &record)
{
    const QString &raw = record.installDate;
    if (raw.size() == 14) {
        const QDate date = QDate::fromString(raw.left(8), QStringLiteral("yyyyMMdd"));
        const QTime time = QTime::fromString(raw.mid(8), QStringLiteral("HHmmss"));
        if (date.isValid() && time.isValid())
            return date.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char(' ') +
                   time.toString(QStringLiteral("HH:mm"));
    }
    return raw;
}

bool isModule(const UpdateRecord &record)
{
    return record.type == QLatin1String("module");
}

QStringList listRecordBackups(const QString &path)
{
    const QFileInfo info(path);
    QDir dir = info.absoluteDir();
    // Links are left out: a backup put back over the record file must be a file of that folder.
    QStringList names = dir.entryList(
        {info.fileName() + QStringLiteral(".bak-*")},
        QDir::Files | QDir::NoSymLinks | QDir::Hidden | QDir::CaseSensitive, QDir::NoSort);
    // The names end in a timestamp (and a counter), so the plain order is the age.
    std::sort(names.begin(), names.end(), std::greater<QString>());
    return names;
}

RecordChangeResult removeRecords(const QString &path, const QStringList &fileNames,
                                 bool checkRunning)
{
    using R = RecordChangeResult;
    if (!isRecordFilePath(path))
        return outcome(R::Refused,
                       Texts::tr("%1 is not PixInsight's installed.xri.").arg(nativePath(path)));
    if (!QFileInfo::exists(path))
        return outcome(R::NotFound, Texts::tr("%1 does not exist.").arg(nativePath(path)));
    if (fileNames.isEmpty())
        return outcome(R::NothingNamed, Texts::tr("No records were named."));
    if (const QString running = checkRunning ? runningMessage() : QString(); !running.isEmpty())
        return outcome(R::Running, running);

    QByteArray original;
    QString error;
    FileStamp readStamp;
    if (!readFileStamped(path, original, &readStamp, &error))
        return outcome(R::Failed, error);
    QList<UpdateRecord> records;
    if (!parseInto(original, records, &error))
        return outcome(R::Failed, Texts::tr("The file is not a valid record file: %1").arg(error));

    const QSet<QString> named(fileNames.cbegin(), fileNames.cend());
    QHash<QString, int> recordCount;
    for (const QString &name : fileNames) {
        int count = 0;
        for (const UpdateRecord &record : std::as_const(records)) {
            if (record.fileName != name)
                continue;
            ++count;
            if (!isModule(record))
                return outcome(R::Refused,
                               Texts::tr("%1 is not a module package; only modules may be removed.")
                                   .arg(name));
        }
        if (count == 0)
            return outcome(R::Refused, Texts::tr("%1 is not in the file.").arg(name));
        recordCount.insert(name, count);
    }

    QList<RecordSpan> cuts;
    QHash<QString, int> spanCount;
    for (const RecordSpan &span : findRecordSpans(original)) {
        if (named.contains(span.fileName)) {
            cuts.append(span);
            ++spanCount[span.fileName];
        }
    }
    for (const QString &name : fileNames) {
        if (spanCount.value(name) != recordCount.value(name))
            return outcome(R::Refused, Texts::tr("Could not locate the record of %1 in the file "
                                                 "text. Nothing was changed.")
                                           .arg(name));
    }

    // Records on one line share the blanks between them, so neighbouring cuts can overlap;
    // the bytes are copied around the united stretches.
    QByteArray edited;
    edited.reserve(original.size());
    qsizetype kept = 0;
    for (const RecordSpan &span : std::as_const(cuts)) {
        if (span.start > kept)
            edited.append(original.constData() + kept, span.start - kept);
        kept = std::max(kept, span.end);
    }
    edited.append(original.constData() + kept, original.size() - kept);

    // The proof: what is left reads as exactly the records that were not named, every field of
    // them, in their order.
    QList<UpdateRecord> expected;
    for (const UpdateRecord &record : std::as_const(records))
        if (!named.contains(record.fileName))
            expected.append(record);
    QList<UpdateRecord> remaining;
    QString ignored;
    if (!parseInto(edited, remaining, &ignored) || remaining != expected)
        return outcome(R::Failed, Texts::tr("The edited file does not consist of exactly the "
                                            "remaining records. Nothing was changed."));

    QString backupPath;
    if (!writeBackup(path, original, QString(), &backupPath, nullptr,
                     QStringLiteral("yyyyMMdd-HHmmss-zzz")))
        return outcome(R::Failed, Texts::tr("Could not make a backup beside the file "
                                            "(permission?). Nothing was changed."));

    // The file is swapped only for the one that was read: a version another program wrote
    // since is put back, and the removal refused, rather than written over.
    const ExpectedFile wasRead{readStamp, sha256(original), false};
    ReplaceGuard guard;
    guard.expected = &wasRead;
    guard.changedMessage = changedWhileWriting(path);
    QString writeError;
    WriteOutcome written;
    if (!writeFileVerified(path, edited, &writeError, guard, &written)) {
        if (!written.replaced)
            return outcome(R::Failed,
                           writeError == guard.changedMessage
                               ? writeError
                               : Texts::tr("Could not write the file: %1").arg(writeError));
        return putBack(path, original, edited, backupPath);
    }
    QByteArray back;
    if (!readBack(path, back) || back != edited)
        return putBack(path, original, edited, backupPath);

    RecordChangeResult result;
    result.count = int(records.size() - remaining.size());
    result.backupPath = backupPath;
    return result;
}

RecordChangeResult restoreNewestBackup(const QString &path, bool checkRunning)
{
    using R = RecordChangeResult;
    if (!isRecordFilePath(path))
        return outcome(R::Refused,
                       Texts::tr("%1 is not PixInsight's installed.xri.").arg(nativePath(path)));
    if (const QString running = checkRunning ? runningMessage() : QString(); !running.isEmpty())
        return outcome(R::Running, running);
    const QStringList backups = listRecordBackups(path);
    if (backups.isEmpty())
        return outcome(R::NotFound, Texts::tr("There is no backup to restore."));
    const QString backup = QFileInfo(path).absoluteDir().filePath(backups.constFirst());
    QByteArray bytes;
    if (!readFile(backup, bytes))
        return outcome(R::Failed, Texts::tr("Cannot read %1.").arg(nativePath(backup)));
    QList<UpdateRecord> records;
    QString error;
    if (!parseInto(bytes, records, &error))
        return outcome(R::Failed, Texts::tr("The newest backup is not a valid record file (%1); "
                                            "it was not restored.")
                                      .arg(error));

    // Records added since the backup was made would be gone for good without a copy of the
    // file as it is now.
    ExpectedFile current;
    QByteArray currentBytes;
    RecordChangeResult result;
    if (!fileMissing(path)) {
        if (!readFileStamped(path, currentBytes, &current.stamp, &error))
            return outcome(R::Failed, error);
        current.hash = sha256(currentBytes);
        if (!writeBackup(path, currentBytes, QStringLiteral("before-restore"), &result.backupPath,
                         nullptr, QStringLiteral("yyyyMMdd-HHmmss-zzz")))
            return outcome(R::Failed, Texts::tr("Could not back up the current file first "
                                                "(permission?). Nothing was changed."));
    }
    ReplaceGuard guard;
    guard.expected = &current;
    guard.changedMessage = changedWhileWriting(path);
    if (!writeFileVerified(path, bytes, &error, guard))
        return outcome(R::Failed, error == guard.changedMessage
                                      ? error
                                      : Texts::tr("Could not write the file: %1").arg(error));
    return result;
}

void setRecordReadBackHook(ReadBackHook hook)
{
    readBackHook() = std::move(hook);
}

} // namespace vrn
