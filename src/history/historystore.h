#pragma once

#include "history/versioncodec.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

namespace vrn {

class FileBytes;

// Who wrote the file when a version was recorded.
enum class VersionAuthor { Unknown, PixInsight, Varnel, Varnelctl, Restore };

// The name kept in the manifest and printed by varnelctl ("pixinsight", "varnel", ...).
QString authorKey(VersionAuthor author);
// The name shown to the user ("PixInsight", "a restore", ...).
QString authorLabel(VersionAuthor author);

// One version of the settings file as the history lists it.
struct HistoryVersion
{
    qint64 id = 0;     // 1, 2, 3, ... in the order recorded, never used twice
    qint64 timeMs = 0; // when it was recorded, milliseconds since 1970 UTC (the clock may lie)
    VersionAuthor author = VersionAuthor::Unknown;
    QByteArray sha256; // of the file's bytes (32 bytes)
    qint64 size = 0;   // of the file
    int changed = -1;  // values changed since the good version before it; -1 when not known
    QString damaged;   // what the reader said when the file did not parse; empty when it did
    bool pinned = false;
    QString note;

    bool isDamaged() const { return !damaged.isEmpty(); }
};

// What thinning keeps besides what it keeps by age (see thinning.h).
struct HistoryLimits
{
    qint64 maxBytes = 0; // the versions' storage beyond which the oldest go; 0: no limit
};

// The history of one settings file: every version stored once by content (SHA-256) in a
// folder of its own under $XDG_DATA_HOME/varnel/history, with a manifest that names the file
// and lists the versions. Versions are zstd frames made against a keyframe (versioncodec.h).
//
// Nothing written is ever half there: a version's frame gets its name only when it is complete
// and on disk, and the manifest that lists it replaces the old one in one step, so a store cut
// off at any moment opens with the versions it had or with the new one as well. Every read is
// checked against the SHA-256 the manifest holds; a version that fails is reported, never used.
// Writers (the watcher, the window's recorder, varnelctl) take turns through a lock file.
class HistoryStore
{
    Q_DECLARE_TR_FUNCTIONS(vrn::HistoryStore)

public:
    // $XDG_DATA_HOME/varnel/history.
    static QString root();
    // The file's canonical path: links resolved, and for a file that is not there (yet), its
    // folder's.
    static QString canonicalFile(const QString &settingsPath);
    // The store's folder for a settings file: its name and a part of the SHA-256 of its
    // canonical path.
    static QString folderFor(const QString &settingsPath);

    // Reads the manifest of the settings file's history; a history not kept yet opens empty
    // and is made by the first record. Refused, with the reason, when the folder holds the
    // history of another file or its manifest cannot be read. A history kept on another
    // computer opens read-only.
    bool open(const QString &settingsPath, QString *error = nullptr);
    // Reads the manifest again, for what other programs recorded meanwhile.
    bool refresh(QString *error = nullptr);

    bool isOpen() const { return !m_file.isEmpty(); }
    QString file() const { return m_file; }
    QString folder() const { return m_folder; }
    bool isReadOnly() const { return !m_readOnly.isEmpty(); }
    QString readOnlyReason() const { return m_readOnly; }

    // Oldest first.
    const QList<HistoryVersion> &versions() const { return m_versions; }
    const HistoryVersion *version(qint64 id) const;
    const HistoryVersion *newest() const;
    // The newest version before `id` that parsed; null when there is none.
    const HistoryVersion *goodBefore(qint64 id) const;
    // What the versions' frames take on disk.
    qint64 storedBytes() const;

    // The bytes of a version, checked against its SHA-256.
    bool read(qint64 id, QByteArray *bytes, QString *error = nullptr) const;
    // The same into memory that can be given back as the bytes are read.
    bool read(qint64 id, FileBytes *bytes, QString *error = nullptr) const;
    // Makes `bytes` ready to be filled with the version as it is decoded (FileBytes::fillFrom),
    // so that it never stands whole in memory: they fill whole only when they are the bytes
    // recorded. A version that cannot be decoded so is read whole at once, or not at all, with
    // the reason.
    bool openToFill(qint64 id, FileBytes *bytes, QString *error = nullptr) const;

    struct Record
    {
        QByteArray bytes;
        // Instead of `bytes`: an open file read in pieces from its start, so that a large
        // version is never held whole. `sha256` must then be given; a file that no longer
        // hashes to it is refused.
        int file = -1;
        QByteArray sha256; // of bytes, when the caller has it already
        VersionAuthor author = VersionAuthor::Unknown;
        QString damaged;
        int changed = -1;
        // The newest version, when it is this one, gives way to the new one (the watcher's
        // versions while PixInsight runs). A pinned or damaged one never does.
        qint64 replaces = 0;
    };
    // Adds a version and returns its id. Bytes the newest version holds already make no new
    // version: its id comes back, and an unknown writer becomes the one named now. 0 on
    // failure, with the reason; the versions recorded before stay as they were.
    qint64 record(const Record &record, QString *error = nullptr);
    bool setPinned(qint64 id, bool pinned, const QString &note, QString *error = nullptr);
    // The number of values changed in version `id` since the good version before it.
    bool setChanged(qint64 id, int changed, QString *error = nullptr);

    struct Pruned
    {
        QList<qint64> removed;
        qint64 bytesFreed = 0;
    };
    // Thins the versions by age (thinning.h) and then, oldest first, to the size limit. With
    // `dryRun` only says what would go.
    bool prune(const HistoryLimits &limits, Pruned *pruned, bool dryRun = false,
               QString *error = nullptr);
    // Whether the last pruning was more than a day ago (or the clock went back since).
    bool pruneDue() const;

    // Takes the lock of the watcher that follows what `folder` keeps (a file's history, or
    // all of them) for as long as the returned descriptor stays open. -1 when another watcher
    // holds it (`taken` set) or it cannot be made (the reason in `error`).
    static int lockForWatcher(const QString &folder, bool *taken, QString *error = nullptr);

    // Test seam: called at the steps of a record with the step's name ("frame written",
    // "manifest written"), so that a test can stop the process there.
    static void setStepHook(std::function<void(const char *step)> hook);

private:
    struct StoredFrame
    {
        QByteArray reference; // the keyframe's SHA-256; empty for a keyframe
        qint64 bytes = 0;     // on disk
    };
    bool load(QString *error);
    // Edits one version under the lock and writes the manifest.
    bool change(qint64 id, const std::function<void(HistoryVersion &)> &edit, QString *error);
    bool writeManifest(QString *error);
    QString framePath(const QByteArray &sha256) const;
    // The frame file opened to be read, or -1.
    int openFrame(const QByteArray &sha256) const;
    // Decodes the frame into room that `room` gives for its size, and says where it went.
    bool readFrame(const QByteArray &sha256, const versioncodec::Room &room,
                   QByteArrayView *content, QString *error) const;
    bool readChecked(qint64 id, const versioncodec::Room &room, QString *error) const;
    // Stores the frame of the record's `size` bytes; false with the reason.
    bool storeFrame(const Record &record, const QByteArray &sha256, qint64 size, QString *error);
    QByteArray keyframeOf(const QByteArray &sha256) const;
    // Forgets the frames no version needs any more.
    void forgetUnneededFrames();
    // Deletes the frame files the manifest does not list and the temporary files of writers
    // that were stopped; only with the lock held, after the manifest was written.
    void removeUnlistedFiles();
    QSet<QByteArray> neededFrames(const QList<HistoryVersion> &versions) const;
    bool writable(QString *error) const;

    QString m_file;
    QString m_folder;
    QString m_readOnly;
    QString m_machine;
    QList<HistoryVersion> m_versions;
    QHash<QByteArray, StoredFrame> m_frames;
    qint64 m_nextId = 1;
    qint64 m_prunedMs = 0;
};

} // namespace vrn
