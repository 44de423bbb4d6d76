// The commands of varnelctl about the history of a settings file, and the watcher that keeps it.
#include "cli/ctl.h"

#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "history/historypreferences.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "history/historywatcher.h"
#include "store/documentmanager.h"
#include "store/memoryfit.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>
#include <QTextStream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace vrn {

namespace {

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(Qt::ISODate);
}

QJsonObject versionJson(const HistoryVersion &version)
{
    return {{QStringLiteral("id"), double(version.id)},
            {QStringLiteral("time"), timeText(version.timeMs)},
            {QStringLiteral("author"), authorKey(version.author)},
            {QStringLiteral("size"), double(version.size)},
            {QStringLiteral("sha256"), QString::fromLatin1(version.sha256.toHex())},
            {QStringLiteral("changed"),
             version.changed < 0 ? QJsonValue() : QJsonValue(version.changed)},
            {QStringLiteral("damaged"),
             version.isDamaged() ? QJsonValue(version.damaged) : QJsonValue()},
            {QStringLiteral("pinned"), version.pinned},
            {QStringLiteral("note"), version.note}};
}

} // namespace

void Ctl::recordSaves(SettingsStore &store)
{
    if (!m_recorder) {
        // Recorded once the command let go of its document.
        m_recorder = std::make_unique<HistoryRecorder>(VersionAuthor::Varnelctl, true);
        m_recorder->setFailureHandler([this](const QString &message) {
            const std::lock_guard<std::mutex> lock(m_recorderMutex);
            m_recorderFailures.append(message);
        });
    }
    store.onFileWritten = m_recorder->observer();
    store.holdFileReaders = m_recorder->fileHold();
}

void Ctl::finishRecording()
{
    if (!m_recorder)
        return;
#ifdef __GLIBC__
    // The document the command let go of stays with the allocator otherwise, and the versions'
    // large buffers would come on top of it rather than in its place.
    malloc_trim(0);
#endif
    m_recorder->waitForIdle();
    // Not kept in the history is worth saying, but the save itself is done.
    for (const QString &message : std::as_const(m_recorderFailures))
        warn(QString(), message);
    m_recorderFailures.clear();
}

int Ctl::openHistory(HistoryStore &store, QString *file)
{
    *file = chosenFile();
    if (file->isEmpty())
        return noFile(*file);
    QString error;
    if (!store.open(*file, &error))
        return fail(ExitRefused, *file, QString(), error);
    return ExitDone;
}

int Ctl::openVersion(HistoryStore &store, QString *file, const QString &text, qint64 *id)
{
    if (const int code = openHistory(store, file))
        return code;
    return versionArgument(store, text, id);
}

int Ctl::versionArgument(const HistoryStore &store, const QString &text, qint64 *id)
{
    bool ok = false;
    *id = text.toLongLong(&ok);
    if (!ok || *id <= 0)
        return usage(tr("'%1' is not a version number (varnelctl history lists them).").arg(text));
    if (!store.version(*id))
        return fail(
            ExitNotFound, store.file(), QString(),
            tr("There is no version %1 in its history (varnelctl history lists them).").arg(*id));
    return ExitDone;
}

int Ctl::readVersion(const HistoryStore &store, qint64 id, XsdtDocument &document, QByteArray *read)
{
    const HistoryVersion *version = store.version(id);
    if (version->isDamaged()) {
        const HistoryVersion *good = store.goodBefore(id);
        return fail(
            ExitNotFound, store.file(), QString(),
            (good ? tr("Version %1 is damaged: %2 The version to go back to is %3.")
                        .arg(QString::number(id), version->damaged, QString::number(good->id))
                  : tr("Version %1 is damaged: %2").arg(QString::number(id), version->damaged)));
    }
    // Read whole and parsed, as a file is.
    if (const int code = checkMemory(MemoryFit::forSize(version->size),
                                     tr("version %1 of %2").arg(id).arg(native(store.file()))))
        return code;
    QByteArray bytes;
    QString error;
    if (!store.read(id, &bytes, &error))
        return fail(ExitNotFound, store.file(), QString(), error);
    if (!document.parse(bytes, &error))
        return fail(ExitNotFound, store.file(), QString(),
                    tr("Version %1 does not read as a settings file: %2").arg(id).arg(error));
    if (read)
        *read = bytes;
    return ExitDone;
}

int Ctl::history(const QStringList &)
{
    const bool pruning = m_parser->isSet(QStringLiteral("prune"));
    if (m_dryRun && !pruning)
        return usage(tr("--dry-run applies to history only with --prune."));
    HistoryStore store;
    QString file;
    if (const int code = openHistory(store, &file))
        return code;
    if (pruning)
        return pruneHistory(store);
    if (store.isReadOnly())
        warn(file, store.readOnlyReason());
    if (store.versions().isEmpty() && !m_json)
        warn(file, tr("No history is kept for this file yet."));
    QJsonArray array;
    QStringList lines;
    const QList<HistoryVersion> &versions = store.versions();
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        array.append(versionJson(*it));
        QStringList flags;
        if (it->pinned)
            flags.append(QStringLiteral("pinned"));
        if (it->isDamaged())
            flags.append(QStringLiteral("damaged"));
        lines.append(
            QStringList{QString::number(it->id), timeText(it->timeMs), authorKey(it->author),
                        QString::number(it->size),
                        it->changed < 0 ? QStringLiteral("-") : QString::number(it->changed),
                        flags.isEmpty() ? QStringLiteral("-") : flags.join(QLatin1Char(',')),
                        escaped(it->note), escaped(it->damaged)}
                .join(QLatin1Char('\t')));
    }
    print({{QStringLiteral("file"), file},
           {QStringLiteral("readOnly"),
            store.isReadOnly() ? QJsonValue(store.readOnlyReason()) : QJsonValue()},
           {QStringLiteral("storedBytes"), double(store.storedBytes())},
           {QStringLiteral("versions"), array}},
          lines);
    return ExitDone;
}

int Ctl::pruneHistory(HistoryStore &store)
{
    HistoryStore::Pruned pruned;
    QString error;
    if (!store.prune({HistoryPreferences::read().maxBytes}, &pruned, m_dryRun, &error))
        return fail(store.isReadOnly() ? ExitRefused : ExitWriteFailed, store.file(), QString(),
                    error);
    QJsonArray removed;
    QStringList lines;
    for (const qint64 id : std::as_const(pruned.removed)) {
        removed.append(double(id));
        lines.append(QString::number(id));
    }
    const QString kib = QString::number(pruned.bytesFreed / 1024);
    print({{QStringLiteral("file"), store.file()},
           {QStringLiteral("dryRun"), m_dryRun},
           {QStringLiteral("removed"), removed},
           {QStringLiteral("bytesFreed"), double(pruned.bytesFreed)}},
          lines);
    note(m_dryRun
             ? tr("Dry run: %n versions would go (%1 KiB).", nullptr, int(pruned.removed.size()))
                   .arg(kib)
             : tr("Versions removed: %n (%1 KiB).", nullptr, int(pruned.removed.size())).arg(kib));
    return ExitDone;
}

int Ctl::historyDiff(const QStringList &versions)
{
    HistoryStore store;
    QString file;
    qint64 first = 0;
    qint64 second = 0;
    if (const int code = openVersion(store, &file, versions.at(0), &first))
        return code;
    if (versions.size() == 2)
        if (const int code = versionArgument(store, versions.at(1), &second))
            return code;
    XsdtDocument a;
    XsdtDocument b;
    if (const int code = readVersion(store, first, a))
        return code;
    // Without a second version, the file as it is now.
    if (const int code = second ? readVersion(store, second, b) : readDocument(b, file))
        return code;
    return printDiff(
        {{QStringLiteral("file"), file},
         {QStringLiteral("first"), double(first)},
         {QStringLiteral("second"), second ? QJsonValue(double(second)) : QJsonValue()}},
        a, b);
}

int Ctl::historyGet(const QStringList &arguments)
{
    HistoryStore store;
    QString file;
    qint64 id = 0;
    if (const int code = openVersion(store, &file, arguments.constFirst(), &id))
        return code;
    XsdtDocument document;
    if (const int code = readVersion(store, id, document))
        return code;
    return printValues(document, file, arguments.mid(1),
                       {{QStringLiteral("file"), file}, {QStringLiteral("version"), double(id)}});
}

int Ctl::historyRestore(const QStringList &arguments)
{
    HistoryStore store;
    QString file;
    qint64 id = 0;
    if (const int code = openVersion(store, &file, arguments.constFirst(), &id))
        return code;
    // Only a version that reads as settings is put back.
    XsdtDocument check;
    QByteArray bytes;
    if (const int code = readVersion(store, id, check, &bytes))
        return code;
    // The version goes through the same guarded restore as a backup, from a copy of its own.
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return fail(ExitWriteFailed, file, QString(),
                    tr("Cannot make a copy of version %1 to restore: %2")
                        .arg(QString::number(id), copy.errorString()));
    DocumentManager docs;
    docs.setDeletionGuard(m_policy.deletionGuard());
    QString loadError;
    docs.load(file, &loadError);
    if (docs.currentFile().isEmpty())
        return fail(ExitNotFound, QString(), QString(), loadError);
    recordSaves(docs.store());
    const QStringList before = listBackups(file);
    QString error;
    if (!docs.restoreBackup(copy.fileName(), &error))
        return fail(refusalCode(docs.store()), file, QString(), error);
    QString saved;
    for (const QString &path : listBackups(file)) {
        if (!before.contains(path))
            saved = QFileInfo(path).fileName();
    }
    print({{QStringLiteral("file"), file},
           {QStringLiteral("restored"), double(id)},
           {QStringLiteral("backup"), saved.isEmpty() ? QJsonValue() : QJsonValue(saved)}},
          {});
    note(tr("Restored version %1").arg(id));
    if (!saved.isEmpty())
        note(tr("The replaced file was backed up as %1.").arg(saved));
    return ExitDone;
}

int Ctl::historyPin(const QStringList &arguments)
{
    return pinVersion(arguments.constFirst(), true);
}

int Ctl::historyUnpin(const QStringList &arguments)
{
    return pinVersion(arguments.constFirst(), false);
}

int Ctl::pinVersion(const QString &text, bool pinned)
{
    HistoryStore store;
    QString file;
    qint64 id = 0;
    if (const int code = openVersion(store, &file, text, &id))
        return code;
    const QString noteText = pinned ? m_parser->value(QStringLiteral("note")) : QString();
    QString error;
    if (!store.setPinned(id, pinned, noteText, &error))
        return fail(store.isReadOnly() ? ExitRefused : ExitWriteFailed, file, QString(), error);
    print({{QStringLiteral("file"), file},
           {QStringLiteral("version"), double(id)},
           {QStringLiteral("pinned"), pinned},
           {QStringLiteral("note"), noteText}},
          {});
    note(pinned ? tr("Pinned version %1.").arg(id) : tr("Unpinned version %1.").arg(id));
    return ExitDone;
}

int Ctl::watch(const QStringList &)
{
    // Nothing to do is no failure: a service manager must not start it again and again.
    if (!HistoryPreferences::read().enabled) {
        warn(QString(), tr("The history is switched off in Varnel's preferences (Keep a history "
                           "of this settings file); nothing is recorded."));
        return ExitDone;
    }
    HistoryWatcher::Options options;
    if (m_parser->isSet(QStringLiteral("file")))
        options.files = {chosenFile()};
    else
        options.folders = configDirectories();
    HistoryWatcher watcher(options);
    QObject::connect(&watcher, &HistoryWatcher::message,
                     [this](const QString &text) { warn(QString(), text); });
    QObject::connect(&watcher, &HistoryWatcher::recorded, [this](const QString &file, qint64 id) {
        print({{QStringLiteral("file"), file}, {QStringLiteral("version"), double(id)}},
              {QStringList{native(file), QString::number(id)}.join(QLatin1Char('\t'))});
    });
    QString why;
    if (m_parser->isSet(QStringLiteral("once"))) {
        if (!watcher.recordOnce(&why))
            return fail(ExitWriteFailed, QString(), QString(), why);
        return ExitDone;
    }
    if (!watcher.start(&why)) {
        warn(QString(), why);
        return ExitDone;
    }
    QEventLoop loop;
    QObject::connect(&watcher, &HistoryWatcher::finished, &loop, &QEventLoop::quit);
    loop.exec();
    return ExitDone;
}

} // namespace vrn
