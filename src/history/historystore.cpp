#include "history/historystore.h"

#include "history/thinning.h"
#include "history/versioncodec.h"
#include "store/files.h"
#include "store/nativepath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrn {

namespace {

const char *const kFormat = "varnel-history";
constexpr int kFormatVersion = 1;
constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

std::function<void(const char *)> &stepHook()
{
    static std::function<void(const char *)> hook;
    return hook;
}

void step(const char *name)
{
    if (const auto &hook = stepHook())
        hook(name);
}

qint64 nowMs()
{
    return storeNow().toMSecsSinceEpoch();
}

QString machineId()
{
    const QByteArray id = QSysInfo::machineUniqueId();
    return id.isEmpty() ? QSysInfo::machineHostName() : QString::fromLatin1(id);
}

const QList<std::pair<VersionAuthor, const char *>> &authorKeys()
{
    static const QList<std::pair<VersionAuthor, const char *>> keys = {
        {VersionAuthor::Unknown, "unknown"}, {VersionAuthor::PixInsight, "pixinsight"},
        {VersionAuthor::Varnel, "varnel"},   {VersionAuthor::Varnelctl, "varnelctl"},
        {VersionAuthor::Restore, "restore"},
    };
    return keys;
}

VersionAuthor authorFromKey(const QString &key)
{
    for (const auto &[author, name] : authorKeys()) {
        if (key == QLatin1String(name))
            return author;
    }
    return VersionAuthor::Unknown;
}

// Makes the folders down to `path` that are missing, private to the user.
bool makeFolder(const QString &path)
{
    if (QFileInfo(path).isDir())
        return true;
    const QString parent = QFileInfo(path).absolutePath();
    if (parent != path && !makeFolder(parent))
        return false;
    return ::mkdir(QFile::encodeName(path).constData(), 0700) == 0 || errno == EEXIST;
}

// The writers of one history take turns: the lock is held from reading the manifest to
// writing it back.
class HistoryLock
{
public:
    HistoryLock(const QString &folder, QString *error)
    {
        if (!makeFolder(folder + QLatin1String("/objects"))) {
            fail(folder, error);
            return;
        }
        m_fd = ::open(QFile::encodeName(folder + QLatin1String("/lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(m_fd);
                m_fd = -1;
            }
        }
        if (m_fd < 0)
            fail(folder, error);
    }
    ~HistoryLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    HistoryLock(const HistoryLock &) = delete;
    HistoryLock &operator=(const HistoryLock &) = delete;
    bool held() const { return m_fd >= 0; }

private:
    static void fail(const QString &folder, QString *error)
    {
        const int code = errno;
        if (error && error->isEmpty())
            *error = HistoryStore::tr("Cannot write the history in %1: %2")
                         .arg(nativePath(folder), qt_error_string(code));
    }
    int m_fd = -1;
};

QByteArray hashFromHex(const QString &hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    return bytes.size() == 32 && bytes.toHex() == hex.toLatin1() ? bytes : QByteArray();
}

const QRegularExpression &frameName()
{
    static const QRegularExpression name(QStringLiteral("^[0-9a-f]{64}\\.zst$"));
    return name;
}

// What a writer stopped before it finished leaves where unnamed files cannot be made: the
// temporary files of a frame and of the manifest.
const QRegularExpression &leftoverName()
{
    static const QRegularExpression name(QStringLiteral(
        "^(\\.[0-9a-f]{64}\\.zst\\.tmp-[A-Za-z0-9]{6}|manifest\\.json\\.[A-Za-z0-9]{6})$"));
    return name;
}

// Removes the regular file `name` in `folder`, looked up through the folder's descriptor so
// that neither a link put in its place nor a folder moved meanwhile leads elsewhere.
void removeInFolder(const QString &folder, const QByteArray &name)
{
    const int dir = ::open(QFile::encodeName(folder).constData(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return;
    struct stat st;
    if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        ::unlinkat(dir, name.constData(), 0);
    ::close(dir);
}

// Reads up to `capacity` bytes at `offset`, fewer only at the end; -1 on failure.
qint64 preadFull(int fd, char *buffer, qsizetype capacity, qint64 offset)
{
    qint64 got = 0;
    while (got < capacity) {
        const ssize_t n = ::pread(fd, buffer + got, size_t(capacity - got), offset + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// Readers of an open frame file, each from its start; the file is closed with the last of them.
versioncodec::Reopen readersOf(int fd)
{
    const std::shared_ptr<int> held(new int(fd), [](const int *open) {
        ::close(*open);
        delete open;
    });
    return [held]() -> versioncodec::Reader {
        return [held, at = qint64(0)](char *buffer, qsizetype capacity, qsizetype *got,
                                      QString *) mutable {
            const qint64 n = preadFull(*held, buffer, capacity, at);
            at += qMax(n, qint64(0));
            *got = qsizetype(n);
            return n >= 0;
        };
    };
}

// A frame written piece by piece under a hidden temporary name beside the others, and given its
// own name only when it is complete, on disk and reads back as written. A frame left under that
// name by a writer that was stopped before its manifest listed it is not trusted: replaced.
class NewFrame
{
public:
    NewFrame(const QString &path, QString *error)
        : m_path(QFile::encodeName(path))
        , m_temp(QFile::encodeName(QFileInfo(path).absolutePath() + QLatin1String("/.") +
                                   QFileInfo(path).fileName() + QLatin1String(".tmp-XXXXXX")))
    {
        m_fd = ::mkostemp(m_temp.data(), O_CLOEXEC);
        if (m_fd < 0)
            fail(errno, error);
    }
    ~NewFrame()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            if (!m_named)
                ::unlink(m_temp.constData());
        }
    }
    NewFrame(const NewFrame &) = delete;
    NewFrame &operator=(const NewFrame &) = delete;

    bool made() const { return m_fd >= 0; }
    qint64 size() const { return m_size; }

    bool write(const char *data, qsizetype size, QString *error)
    {
        for (qsizetype done = 0; done < size;) {
            const ssize_t n = ::write(m_fd, data + done, size_t(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail(errno, error);
            done += n;
        }
        m_hash.addData(QByteArrayView(data, size));
        m_size += size;
        return true;
    }

    // Empties it for another try.
    bool restart(QString *error)
    {
        m_hash.reset();
        m_size = 0;
        return (::ftruncate(m_fd, 0) == 0 && ::lseek(m_fd, 0, SEEK_SET) == 0) || fail(errno, error);
    }

    bool finish(QString *error)
    {
        QByteArray back;
        if (::fsync(m_fd) != 0)
            return fail(errno, error);
        if (!sha256Of(m_fd, &back) || back != m_hash.result())
            return fail(EIO, error);
        if (::rename(m_temp.constData(), m_path.constData()) != 0)
            return fail(errno, error);
        m_named = true;
        const int folder = ::open(
            QFile::encodeName(QFileInfo(QFile::decodeName(m_path)).absolutePath()).constData(),
            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        return true;
    }

private:
    bool fail(int code, QString *error) const
    {
        if (error && error->isEmpty())
            *error = HistoryStore::tr("Cannot write the history in %1: %2")
                         .arg(nativePath(QFileInfo(QFile::decodeName(m_path)).absolutePath()),
                              qt_error_string(code));
        return false;
    }

    QByteArray m_path;
    QByteArray m_temp;
    int m_fd = -1;
    bool m_named = false;
    qint64 m_size = 0;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
};

} // namespace

QString authorKey(VersionAuthor author)
{
    for (const auto &[candidate, name] : authorKeys()) {
        if (candidate == author)
            return QLatin1String(name);
    }
    return QStringLiteral("unknown");
}

QString authorLabel(VersionAuthor author)
{
    switch (author) {
    case VersionAuthor::PixInsight:
        return HistoryStore::tr("PixInsight");
    case VersionAuthor::Varnel:
        return HistoryStore::tr("Varnel");
    case VersionAuthor::Varnelctl:
        return HistoryStore::tr("varnelctl");
    case VersionAuthor::Restore:
        return HistoryStore::tr("a restore");
    default:
        return HistoryStore::tr("unknown");
    }
}

int HistoryStore::lockForWatcher(const QString &folder, bool *taken, QString *error)
{
    *taken = false;
    int fd = makeFolder(folder)
                 ? ::open(QFile::encodeName(folder + QLatin1String("/watch.lock")).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)
                 : -1;
    int code = fd < 0 ? errno : 0;
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        code = errno;
        *taken = code == EWOULDBLOCK;
        ::close(fd);
        fd = -1;
    }
    if (fd < 0 && !*taken && error && error->isEmpty())
        *error =
            tr("Cannot write the history in %1: %2").arg(nativePath(folder), qt_error_string(code));
    return fd;
}

void HistoryStore::setStepHook(std::function<void(const char *)> hook)
{
    stepHook() = std::move(hook);
}

QString HistoryStore::root()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QLatin1String("/varnel/history");
}

QString HistoryStore::canonicalFile(const QString &settingsPath)
{
    const QFileInfo info(settingsPath);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!folder.isEmpty())
        return folder + QLatin1Char('/') + info.fileName();
    return QDir::cleanPath(info.absoluteFilePath());
}

QString HistoryStore::folderFor(const QString &settingsPath)
{
    const QString canonical = canonicalFile(settingsPath);
    const QString key = QString::fromLatin1(sha256(canonical.toUtf8()).toHex().left(16));
    return root() + QLatin1Char('/') + QFileInfo(canonical).fileName() + QLatin1Char('-') + key;
}

bool HistoryStore::open(const QString &settingsPath, QString *error)
{
    m_file = canonicalFile(settingsPath);
    m_folder = folderFor(settingsPath);
    m_machine = machineId();
    if (load(error))
        return true;
    m_file.clear();
    return false;
}

bool HistoryStore::refresh(QString *error)
{
    return load(error);
}

bool HistoryStore::load(QString *error)
{
    m_versions.clear();
    m_frames.clear();
    m_nextId = 1;
    m_prunedMs = 0;
    m_readOnly.clear();
    const QString manifest = m_folder + QLatin1String("/manifest.json");
    if (!QFileInfo::exists(manifest))
        return true;
    auto refuse = [&](const QString &reason) {
        if (error && error->isEmpty())
            *error = tr("The history in %1 cannot be used: %2").arg(nativePath(m_folder), reason);
        return false;
    };
    QByteArray bytes;
    QString readError;
    if (!readFile(manifest, bytes, &readError))
        return refuse(readError);
    QJsonParseError parseError;
    const QJsonObject json = QJsonDocument::fromJson(bytes, &parseError).object();
    if (parseError.error != QJsonParseError::NoError)
        return refuse(tr("its list of versions does not read (%1).").arg(parseError.errorString()));
    if (json.value(QLatin1String("format")).toString() != QLatin1String(kFormat) ||
        json.value(QLatin1String("version")).toInt() != kFormatVersion)
        return refuse(tr("it was written in a form this version of Varnel does not know."));
    // A folder copied under another name would mix two files' versions.
    const QString file = json.value(QLatin1String("file")).toString();
    if (file != m_file)
        return refuse(tr("it holds the history of %1, not of %2. It was left as it is.")
                          .arg(nativePath(file), nativePath(m_file)));
    if (json.value(QLatin1String("machine")).toString() != m_machine)
        m_readOnly = tr("The history in %1 was kept on another computer. It can be read here "
                        "but not changed; move the folder away to keep a new history of this "
                        "file.")
                         .arg(nativePath(m_folder));
    m_nextId = qint64(json.value(QLatin1String("nextId")).toDouble(1));
    m_prunedMs = qint64(json.value(QLatin1String("pruned")).toDouble());
    const QJsonObject frames = json.value(QLatin1String("frames")).toObject();
    for (auto it = frames.begin(); it != frames.end(); ++it) {
        const QJsonObject frame = it.value().toObject();
        StoredFrame stored;
        stored.reference = hashFromHex(frame.value(QLatin1String("reference")).toString());
        stored.bytes = qint64(frame.value(QLatin1String("bytes")).toDouble());
        m_frames.insert(hashFromHex(it.key()), stored);
    }
    const QJsonArray versions = json.value(QLatin1String("versions")).toArray();
    m_versions.reserve(versions.size());
    for (const QJsonValue &value : versions) {
        const QJsonObject entry = value.toObject();
        HistoryVersion version;
        version.id = qint64(entry.value(QLatin1String("id")).toDouble());
        version.timeMs = qint64(entry.value(QLatin1String("time")).toDouble());
        version.author = authorFromKey(entry.value(QLatin1String("author")).toString());
        version.sha256 = hashFromHex(entry.value(QLatin1String("sha256")).toString());
        version.size = qint64(entry.value(QLatin1String("size")).toDouble());
        version.changed = entry.value(QLatin1String("changed")).toInt(-1);
        version.damaged = entry.value(QLatin1String("damaged")).toString();
        version.pinned = entry.value(QLatin1String("pinned")).toBool();
        version.note = entry.value(QLatin1String("note")).toString();
        if (version.id <= 0 || version.sha256.isEmpty())
            return refuse(tr("its list of versions is damaged."));
        m_nextId = qMax(m_nextId, version.id + 1);
        m_versions.append(version);
    }
    return true;
}

bool HistoryStore::writeManifest(QString *error)
{
    QJsonObject frames;
    for (auto it = m_frames.cbegin(); it != m_frames.cend(); ++it) {
        QJsonObject frame{{QStringLiteral("bytes"), double(it->bytes)}};
        if (!it->reference.isEmpty())
            frame.insert(QStringLiteral("reference"), QString::fromLatin1(it->reference.toHex()));
        frames.insert(QString::fromLatin1(it.key().toHex()), frame);
    }
    QJsonArray versions;
    for (const HistoryVersion &version : std::as_const(m_versions)) {
        QJsonObject entry{{QStringLiteral("id"), double(version.id)},
                          {QStringLiteral("time"), double(version.timeMs)},
                          {QStringLiteral("author"), authorKey(version.author)},
                          {QStringLiteral("sha256"), QString::fromLatin1(version.sha256.toHex())},
                          {QStringLiteral("size"), double(version.size)}};
        if (version.changed >= 0)
            entry.insert(QStringLiteral("changed"), version.changed);
        if (version.isDamaged())
            entry.insert(QStringLiteral("damaged"), version.damaged);
        if (version.pinned)
            entry.insert(QStringLiteral("pinned"), true);
        if (!version.note.isEmpty())
            entry.insert(QStringLiteral("note"), version.note);
        versions.append(entry);
    }
    const QJsonObject json{{QStringLiteral("format"), QLatin1String(kFormat)},
                           {QStringLiteral("version"), kFormatVersion},
                           {QStringLiteral("file"), m_file},
                           {QStringLiteral("machine"), m_machine},
                           {QStringLiteral("nextId"), double(m_nextId)},
                           {QStringLiteral("pruned"), double(m_prunedMs)},
                           {QStringLiteral("frames"), frames},
                           {QStringLiteral("versions"), versions}};
    return writeFileVerified(m_folder + QLatin1String("/manifest.json"),
                             QJsonDocument(json).toJson(QJsonDocument::Compact), error);
}

const HistoryVersion *HistoryStore::version(qint64 id) const
{
    for (const HistoryVersion &version : m_versions) {
        if (version.id == id)
            return &version;
    }
    return nullptr;
}

const HistoryVersion *HistoryStore::newest() const
{
    return m_versions.isEmpty() ? nullptr : &m_versions.constLast();
}

const HistoryVersion *HistoryStore::goodBefore(qint64 id) const
{
    const HistoryVersion *found = nullptr;
    for (const HistoryVersion &version : m_versions) {
        if (version.id >= id)
            break;
        if (!version.isDamaged())
            found = &version;
    }
    return found;
}

QSet<QByteArray> HistoryStore::neededFrames(const QList<HistoryVersion> &versions) const
{
    QSet<QByteArray> needed;
    for (const HistoryVersion &version : versions) {
        needed.insert(version.sha256);
        const QByteArray reference = m_frames.value(version.sha256).reference;
        if (!reference.isEmpty())
            needed.insert(reference);
    }
    return needed;
}

qint64 HistoryStore::storedBytes() const
{
    qint64 total = 0;
    for (const QByteArray &sha : neededFrames(m_versions))
        total += m_frames.value(sha).bytes;
    return total;
}

QString HistoryStore::framePath(const QByteArray &sha256) const
{
    return m_folder + QLatin1String("/objects/") + QString::fromLatin1(sha256.toHex()) +
           QLatin1String(".zst");
}

QByteArray HistoryStore::keyframeOf(const QByteArray &sha256) const
{
    const auto it = m_frames.constFind(sha256);
    if (it == m_frames.cend())
        return {};
    return it->reference.isEmpty() ? sha256 : it->reference;
}

bool HistoryStore::readFrame(const QByteArray &sha256, const versioncodec::Room &room,
                             QByteArrayView *content, QString *error) const
{
    QByteArray stored;
    if (!readFile(framePath(sha256), stored, error))
        return false;
    QByteArray referenceHash;
    if (!versioncodec::referenceOf(stored, &referenceHash)) {
        if (error && error->isEmpty())
            *error = tr("it is not a zstd frame");
        return false;
    }
    QByteArray reference;
    if (!referenceHash.isEmpty()) {
        // Only keyframes serve as references, so this goes one step deep at most.
        QByteArray keyframe;
        if (!readFile(framePath(referenceHash), keyframe, error))
            return false;
        QByteArray deeper;
        if (!versioncodec::referenceOf(keyframe, &deeper) || !deeper.isEmpty()) {
            if (error && error->isEmpty())
                *error = tr("the version it was made against is not a keyframe");
            return false;
        }
        if (!versioncodec::decode(keyframe, {}, &reference, error))
            return false;
    }
    const versioncodec::Room placed = [&room, content](qsizetype size) {
        char *at = room(size);
        *content = QByteArrayView(at, at ? size : 0);
        return at;
    };
    return versioncodec::decode(stored, reference, placed, error);
}

bool HistoryStore::readChecked(qint64 id, const versioncodec::Room &room, QString *error) const
{
    const HistoryVersion *wanted = version(id);
    if (!wanted) {
        if (error && error->isEmpty())
            *error =
                tr("There is no version %1 in the history of %2.").arg(id).arg(nativePath(m_file));
        return false;
    }
    QString reason;
    QByteArrayView content;
    if (readFrame(wanted->sha256, room, &content, &reason) && sha256(content) != wanted->sha256)
        reason = tr("its bytes are not the ones recorded");
    if (!reason.isEmpty()) {
        if (error && error->isEmpty())
            *error = tr("Version %1 in the history of %2 is damaged and cannot be used: %3")
                         .arg(QString::number(id), nativePath(m_file), reason);
        return false;
    }
    return true;
}

bool HistoryStore::read(qint64 id, QByteArray *bytes, QString *error) const
{
    bytes->clear();
    QByteArray content;
    const auto room = [&content](qsizetype size) {
        content = QByteArray(size, Qt::Uninitialized);
        return content.data();
    };
    if (!readChecked(id, room, error))
        return false;
    *bytes = std::move(content);
    return true;
}

bool HistoryStore::read(qint64 id, FileBytes *bytes, QString *error) const
{
    if (readChecked(
            id, [bytes](qsizetype size) { return bytes->allocate(size); }, error))
        return true;
    bytes->allocate(0);
    return false;
}

int HistoryStore::openFrame(const QByteArray &sha256) const
{
    return ::open(QFile::encodeName(framePath(sha256)).constData(),
                  O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

bool HistoryStore::openToFill(qint64 id, FileBytes *bytes, QString *error) const
{
    // Read from the frame files as they are decoded: a keyframe of a large file takes a tenth
    // of it or more.
    const HistoryVersion *wanted = version(id);
    const QByteArray reference = wanted ? m_frames.value(wanted->sha256).reference : QByteArray();
    const int frameFd = wanted ? openFrame(wanted->sha256) : -1;
    const versioncodec::Reopen stored = frameFd >= 0 ? readersOf(frameFd) : nullptr;
    const int keyFd = reference.isEmpty() ? -1 : openFrame(reference);
    const versioncodec::Reopen keyframe = keyFd >= 0 ? readersOf(keyFd) : nullptr;
    auto decoding = std::make_shared<versioncodec::Decoding>();
    // Anything else (a version stored whole, a frame missing or damaged) is read whole, which
    // says why it does not read.
    if (!stored || (!reference.isEmpty() && !keyframe) || !decoding->start(stored, keyframe))
        return read(id, bytes, error);
    auto hash = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha256);
    const FileBytes::Fill fill = [decoding, hash, recorded = wanted->sha256](char *into,
                                                                             qint64 most) {
        qsizetype got = 0;
        if (!decoding->read(into, qsizetype(most), &got))
            return qint64(-1);
        hash->addData(QByteArrayView(into, got));
        return got > 0 || hash->result() == recorded ? qint64(got) : qint64(-1);
    };
    return bytes->fillFrom(qsizetype(decoding->size()), fill) || read(id, bytes, error);
}

bool HistoryStore::writable(QString *error) const
{
    if (!isOpen()) {
        if (error && error->isEmpty())
            *error = tr("No history is open.");
        return false;
    }
    if (isReadOnly()) {
        if (error && error->isEmpty())
            *error = m_readOnly;
        return false;
    }
    return true;
}

bool HistoryStore::storeFrame(const Record &record, const QByteArray &sha, qint64 size,
                              QString *error)
{
    // The version's bytes from their start, hashed as they are read: a file that changed since
    // it was hashed is refused rather than recorded under another version's name.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    auto content = [&record, &hash]() -> versioncodec::Reader {
        hash.reset();
        return [&record, &hash, at = qint64(0)](char *buffer, qsizetype capacity, qsizetype *got,
                                                QString *error) mutable {
            qint64 n = qMin(qint64(capacity), record.bytes.size() - at);
            if (record.file >= 0)
                n = preadFull(record.file, buffer, capacity, at);
            else
                std::copy_n(record.bytes.constData() + at, n, buffer);
            if (n < 0) {
                if (error && error->isEmpty())
                    *error = tr("Cannot read the version: %1").arg(qt_error_string(errno));
                return false;
            }
            hash.addData(QByteArrayView(buffer, n));
            at += n;
            *got = qsizetype(n);
            return true;
        };
    };
    NewFrame frame(framePath(sha), error);
    if (!frame.made())
        return false;
    const versioncodec::Writer writer = [&frame](const char *data, qsizetype n, QString *error) {
        return frame.write(data, n, error);
    };
    // Made against the newest version's keyframe, unless that costs more than half of storing
    // the whole file anew (or the keyframe cannot be read): then this version starts a keyframe
    // of its own.
    QByteArray reference;
    const HistoryVersion *last = newest();
    const QByteArray keyframe = last ? keyframeOf(last->sha256) : QByteArray();
    const int keyFd = keyframe.isEmpty() ? -1 : openFrame(keyframe);
    if (keyFd >= 0) {
        const versioncodec::Reopen reopen = readersOf(keyFd);
        bool tooLarge = false;
        if (versioncodec::encodeAgainst(size, content(), reopen, keyframe, writer,
                                        qMax(qint64(1), m_frames.value(keyframe).bytes / 2),
                                        &tooLarge, nullptr) &&
            hash.result() == sha)
            reference = keyframe;
        else if (!frame.restart(error))
            return false;
    }
    if (reference.isEmpty() && !versioncodec::encodeKeyframe(size, content(), writer, error))
        return false;
    if (hash.result() != sha) {
        if (error && error->isEmpty())
            *error = tr("the file changed while it was being recorded");
        return false;
    }
    if (!frame.finish(error))
        return false;
    m_frames.insert(sha, {reference, frame.size()});
    return true;
}

qint64 HistoryStore::record(const Record &record, QString *error)
{
    if (!writable(error))
        return 0;
    const HistoryLock lock(m_folder, error);
    if (!lock.held() || !load(error) || !writable(error))
        return 0;
    const QByteArray sha = !record.sha256.isEmpty() ? record.sha256
                           : record.file < 0        ? sha256(record.bytes)
                                                    : QByteArray();
    if (const HistoryVersion *last = newest(); last && last->sha256 == sha) {
        if (last->author != VersionAuthor::Unknown || record.author == VersionAuthor::Unknown)
            return last->id;
        m_versions.last().author = record.author;
        if (!writeManifest(error)) {
            load(nullptr);
            return 0;
        }
        return last->id;
    }
    bool replacing = false;
    if (const HistoryVersion *last = newest(); last && record.replaces == last->id &&
                                               !last->pinned && !last->isDamaged() &&
                                               record.damaged.isEmpty()) {
        m_versions.removeLast();
        replacing = true;
    }
    struct stat st;
    const qint64 size = record.file < 0                  ? record.bytes.size()
                        : ::fstat(record.file, &st) == 0 ? qint64(st.st_size)
                                                         : -1;
    if (size < 0 || sha.isEmpty()) {
        if (error && error->isEmpty())
            *error = tr("Cannot read the version: %1").arg(qt_error_string(errno));
        return 0;
    }
    if (!m_frames.contains(sha) || !QFileInfo::exists(framePath(sha))) {
        if (!storeFrame(record, sha, size, error)) {
            load(nullptr);
            return 0;
        }
    }
    step("frame written");
    HistoryVersion version;
    version.id = m_nextId++;
    version.timeMs = nowMs();
    version.author = record.author;
    version.sha256 = sha;
    version.size = size;
    version.changed = record.changed;
    version.damaged = record.damaged;
    m_versions.append(version);
    if (replacing)
        forgetUnneededFrames();
    if (!writeManifest(error)) {
        load(nullptr);
        return 0;
    }
    step("manifest written");
    if (replacing)
        removeUnlistedFiles();
    return version.id;
}

bool HistoryStore::setPinned(qint64 id, bool pinned, const QString &note, QString *error)
{
    return change(
        id,
        [&](HistoryVersion &version) {
            version.pinned = pinned;
            version.note = note;
        },
        error);
}

bool HistoryStore::setChanged(qint64 id, int changed, QString *error)
{
    return change(
        id, [&](HistoryVersion &version) { version.changed = changed; }, error);
}

bool HistoryStore::change(qint64 id, const std::function<void(HistoryVersion &)> &edit,
                          QString *error)
{
    if (!writable(error))
        return false;
    const HistoryLock lock(m_folder, error);
    if (!lock.held() || !load(error) || !writable(error))
        return false;
    for (HistoryVersion &version : m_versions) {
        if (version.id != id)
            continue;
        edit(version);
        if (writeManifest(error))
            return true;
        load(nullptr);
        return false;
    }
    if (error && error->isEmpty())
        *error = tr("There is no version %1 in the history of %2.").arg(id).arg(nativePath(m_file));
    return false;
}

bool HistoryStore::pruneDue() const
{
    const qint64 now = nowMs();
    return now - m_prunedMs >= kDayMs || now < m_prunedMs;
}

bool HistoryStore::prune(const HistoryLimits &limits, Pruned *pruned, bool dryRun, QString *error)
{
    *pruned = Pruned();
    if (!writable(error))
        return false;
    const HistoryLock lock(m_folder, error);
    if (!lock.held() || !load(error) || !writable(error))
        return false;
    const qint64 now = nowMs();
    const QSet<qint64> byAge = keptByAge(m_versions, now);
    const QSet<qint64> always = alwaysKept(m_versions);
    QList<HistoryVersion> kept;
    for (const HistoryVersion &version : std::as_const(m_versions)) {
        if (byAge.contains(version.id))
            kept.append(version);
    }
    // Oldest first, until what the kept versions need fits.
    auto needs = [this](const QList<HistoryVersion> &versions) {
        qint64 total = 0;
        for (const QByteArray &sha : neededFrames(versions))
            total += m_frames.value(sha).bytes;
        return total;
    };
    for (qsizetype i = 0;
         limits.maxBytes > 0 && i < kept.size() && needs(kept) > limits.maxBytes;) {
        if (always.contains(kept.at(i).id))
            ++i;
        else
            kept.removeAt(i);
    }
    const qint64 before = storedBytes();
    for (const HistoryVersion &version : std::as_const(m_versions)) {
        bool stays = false;
        for (const HistoryVersion &other : std::as_const(kept))
            stays = stays || other.id == version.id;
        if (!stays)
            pruned->removed.append(version.id);
    }
    pruned->bytesFreed = before - needs(kept);
    if (dryRun)
        return true;
    m_versions = kept;
    m_prunedMs = now;
    forgetUnneededFrames();
    if (!writeManifest(error)) {
        load(nullptr);
        return false;
    }
    removeUnlistedFiles();
    return true;
}

void HistoryStore::removeUnlistedFiles()
{
    const QString objects = m_folder + QLatin1String("/objects");
    for (const QString &name : QDir(objects).entryList(QDir::Files | QDir::Hidden)) {
        const bool frame = frameName().match(name).hasMatch();
        if ((frame && !m_frames.contains(hashFromHex(name.left(64)))) ||
            leftoverName().match(name).hasMatch())
            removeInFolder(objects, QFile::encodeName(name));
    }
    for (const QString &name : QDir(m_folder).entryList(QDir::Files | QDir::Hidden)) {
        if (leftoverName().match(name).hasMatch())
            removeInFolder(m_folder, QFile::encodeName(name));
    }
}

void HistoryStore::forgetUnneededFrames()
{
    const QSet<QByteArray> needed = neededFrames(m_versions);
    for (auto it = m_frames.begin(); it != m_frames.end();) {
        if (needed.contains(it.key()))
            ++it;
        else
            it = m_frames.erase(it);
    }
}

} // namespace vrn
