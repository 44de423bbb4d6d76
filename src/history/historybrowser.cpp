#include "history/historybrowser.h"

#include "document/xsdtdocument.h"
#include "knowledge/backgroundjob.h"
#include "knowledge/comparison.h"
#include "knowledge/readahead.h"
#include "store/files.h"

#include <QDateTime>
#include <QFileInfo>

namespace vrn {

HistoryBrowser::HistoryBrowser(QObject *parent)
    : QObject(parent)
    , m_comparison(new Comparison(this))
    , m_job(std::make_unique<BackgroundJob>(this))
{
    connect(m_comparison, &Comparison::finished, this, &HistoryBrowser::onCompared);
    connect(m_comparison, &Comparison::failed, this,
            [this](const QString &error) { fail(error, m_shownId); });
}

HistoryBrowser::~HistoryBrowser()
{
    // The worker owns what it reads: it need not be waited for. The comparison's may be
    // walking m_base, which goes before it does.
    m_comparison->cancel();
    m_job->abandon();
}

void HistoryBrowser::setRules(const DeletionPolicy *policy, const Schema *schema)
{
    m_comparison->setRules(policy, schema);
}

bool HistoryBrowser::open(const QString &settingsFile, QString *error)
{
    close();
    return m_store.open(settingsFile, error);
}

bool HistoryBrowser::refresh(QString *error)
{
    return m_store.isOpen() && m_store.refresh(error);
}

void HistoryBrowser::close()
{
    cancel();
    m_comparison->clear();
    freeBase();
    m_shownId = 0;
    m_baseId = 0;
    m_store = HistoryStore();
}

bool HistoryBrowser::setPinned(qint64 id, bool pinned, QString *error)
{
    return m_store.setPinned(id, pinned, QString(), error);
}

const HistoryVersion &HistoryBrowser::at(int row) const
{
    return m_store.versions().at(count() - 1 - row);
}

int HistoryBrowser::rowOf(qint64 id) const
{
    const QList<HistoryVersion> &versions = m_store.versions();
    for (qsizetype i = 0; i < versions.size(); ++i) {
        if (versions.at(i).id == id)
            return count() - 1 - int(i);
    }
    return -1;
}

qint64 HistoryBrowser::nearestGood(qint64 id) const
{
    if (const HistoryVersion *before = m_store.goodBefore(id))
        return before->id;
    for (const HistoryVersion &version : m_store.versions()) {
        if (version.id > id && !version.isDamaged())
            return version.id;
    }
    return 0;
}

QString HistoryBrowser::versionName(qint64 id) const
{
    const HistoryVersion *version = m_store.version(id);
    if (!version)
        return tr("version %1").arg(id);
    return tr("version %1 of %2")
        .arg(id)
        .arg(QDateTime::fromMSecsSinceEpoch(version->timeMs)
                 .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
}

// Called once the comparison no longer reads it and its records are gone: a large version takes
// a good part of a second to free.
void HistoryBrowser::freeBase()
{
    if (m_base)
        freeAside(std::exchange(m_base, nullptr));
}

void HistoryBrowser::keepCount()
{
    // Versions of large files are recorded uncounted; the first comparison with the version
    // before counts them. Written from a copy, on a pool thread since the manifest is flushed
    // to disk: the list shown changes only with refresh().
    const HistoryVersion *version = m_store.version(m_shownId);
    if (m_against != Against::Previous || !version || version->changed >= 0 || m_store.isReadOnly())
        return;
    runAside(
        [store = m_store, id = m_shownId, count = int(m_comparison->records().size())]() mutable {
            store.setChanged(id, count);
        });
}

void HistoryBrowser::onCompared()
{
    // A comparison with the open file that an edit of it cut short is made again.
    if (m_against == Against::OpenFile && m_open && m_comparison->hasChanges()) {
        compare(m_shownId, m_against, m_open);
        return;
    }
    keepCount();
    emit finished();
}

void HistoryBrowser::releaseOpenFile()
{
    if (m_against == Against::OpenFile)
        m_comparison->releaseDocument();
}

void HistoryBrowser::fail(const QString &error, qint64 id)
{
    emit failed(error, nearestGood(id));
}

void HistoryBrowser::compare(qint64 id, Against against, const XsdtDocument *open)
{
    cancel();
    m_comparison->clear();
    freeBase();
    m_shownId = id;
    m_baseId = 0;
    m_against = against;
    m_open = against == Against::OpenFile ? open : nullptr;
    const HistoryVersion *version = m_store.version(id);
    if (!version) {
        fail(tr("There is no version %1 in the history any more.").arg(id), id);
        return;
    }
    if (version->isDamaged()) {
        fail(tr("Version %1 did not read as a settings file when it was written: %2")
                 .arg(QString::number(id), version->damaged),
             id);
        return;
    }
    if (against == Against::OpenFile && !open) {
        fail(tr("No settings file is open to compare version %1 with.").arg(id), 0);
        return;
    }
    if (against == Against::Previous) {
        const HistoryVersion *before = m_store.goodBefore(id);
        if (!before) {
            fail(tr("Version %1 is the oldest good version kept; there is nothing before it to "
                    "compare it with.")
                     .arg(id),
                 0);
            return;
        }
        m_baseId = before->id;
    }
    // The worker reads from a copy of the list, which a refresh may replace meanwhile.
    auto store = std::make_shared<const HistoryStore>(m_store);
    const qint64 baseId = m_baseId;
    const QString name = versionName(id);
    m_job->start([this, store, id, baseId, open,
                  name](const std::atomic_bool &cancelled) -> BackgroundJob::Finish {
        // Neither version stands whole in memory: each is decoded as the reader comes to it
        // and given back behind it, the older one while it is parsed, the newer one while it
        // is compared.
        QString error;
        qint64 failing = 0;
        auto base = baseId ? std::make_shared<XsdtDocument>() : nullptr;
        if (base) {
            FileBytes older;
            ReadAhead ahead(older);
            const XsdtDocument::LetGo letGo = [&older, &ahead](qsizetype before) {
                older.letGoBefore(before);
                ahead.readPast(before);
            };
            // Read through a sieve that keeps everything, so that a version left for another
            // one stops being read at once: the window waits for that.
            const XsdtDocument::Sieve keep = [&cancelled](const XsdtNode &) {
                return cancelled.load(std::memory_order_relaxed) ? XsdtDocument::Sift::Stop
                                                                 : XsdtDocument::Sift::Keep;
            };
            const auto parse = [&] {
                error.clear();
                base = std::make_shared<XsdtDocument>();
                return base->parseSifted(older.view(), keep, &error, {}, letGo);
            };
            bool opened = store->openToFill(baseId, &older, &error);
            ahead.start();
            bool parsed = opened && parse();
            // Cut short by what was not read ahead, or not the bytes recorded: read whole,
            // which also says why a damaged version does not read.
            if (opened && ahead.cutShort() && !cancelled.load()) {
                ahead.stop();
                error.clear();
                opened = store->read(baseId, &older, &error);
                parsed = opened && parse();
            }
            if (opened && !parsed)
                error = tr("Version %1 does not read as a settings file: %2")
                            .arg(QString::number(baseId), error);
            failing = baseId;
        }
        auto bytes = std::make_shared<FileBytes>();
        // A version left at once for another one reads nothing more.
        if (error.isEmpty() && !cancelled.load()) {
            failing = id;
            store->openToFill(id, bytes.get(), &error);
        }
        if (cancelled.load())
            return {};
        if (!error.isEmpty())
            return [this, error, failing] { fail(error, failing); };
        const Comparison::ReadWhole readWhole = [store, id](FileBytes *into, QString *error) {
            return store->read(id, into, error);
        };
        return [this, bytes, readWhole, base, open, name] {
            m_base = base;
            // The worker walks the document itself rather than this thread outlining it first:
            // a version parsed here is never edited, and the open file is let go of before
            // every change (releaseOpenFile()).
            m_comparison->setOutlineOnWorker(true);
            // The page only lists the records: two whole versions of a large file would weigh
            // four times the file.
            m_comparison->keepOnlyRecords(true, m_base.get());
            m_comparison->startWithBytes(m_base ? *m_base : *open, bytes, name, readWhole);
        };
    });
}

MemoryFit HistoryBrowser::memoryFit(qint64 id, Against against) const
{
    const HistoryVersion *version = m_store.version(id);
    const HistoryVersion *before = against == Against::Previous ? m_store.goodBefore(id) : nullptr;
    const qint64 size = version ? version->size : 0;
    if (against == Against::OpenFile)
        return MemoryFit::forComparisonWithOpen(QFileInfo(m_store.file()).size(), size);
    // The version before is read whole, as a compared file is; this one like the open file.
    return MemoryFit::forComparisonWithOpen(size, before ? before->size : 0);
}

void HistoryBrowser::cancel()
{
    m_job->stop();
    m_comparison->cancel();
    m_open = nullptr;
}

bool HistoryBrowser::isRunning() const
{
    return m_job->isRunning() || m_comparison->isRunning();
}

void HistoryBrowser::finishNow()
{
    // A comparison cut short by an edit starts again when it is taken.
    while (isRunning()) {
        m_job->finishNow();
        m_comparison->finishNow();
    }
}

void HistoryBrowser::read(qint64 id)
{
    auto store = std::make_shared<const HistoryStore>(m_store);
    m_job->start([this, store, id](const std::atomic_bool &) -> BackgroundJob::Finish {
        QByteArray bytes;
        QString error;
        if (!store->read(id, &bytes, &error))
            return [this, error, id] { fail(error, id); };
        return [this, bytes, id] { emit versionRead(id, bytes); };
    });
}

} // namespace vrn
