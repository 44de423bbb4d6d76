#pragma once

#include "history/historystore.h"
#include "store/memoryfit.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

namespace vrn {

class BackgroundJob;
class Comparison;
class DeletionPolicy;
class Schema;
class XsdtDocument;

// What the History page shows of a settings file's history: its versions newest first, and
// one version compared, through the comparison engine, with the good version before it or with
// the open document. Versions are read and parsed on a worker, then compared on the engine's;
// a damaged version is refused with the reader's message and the nearest good version.
class HistoryBrowser : public QObject
{
    Q_OBJECT

public:
    enum class Against { Previous, OpenFile };

    explicit HistoryBrowser(QObject *parent = nullptr);
    ~HistoryBrowser() override;

    // The rules the comparison judges copies and noise by; both must outlive this object.
    void setRules(const DeletionPolicy *policy, const Schema *schema);

    // Reads the file's history (its list of versions only); a history not kept yet opens empty.
    bool open(const QString &settingsFile, QString *error = nullptr);
    // Reads the list again, for versions recorded meanwhile; false when it no longer reads.
    bool refresh(QString *error = nullptr);
    // Forgets the history, the comparison and any work under way.
    void close();
    bool isOpen() const { return m_store.isOpen(); }
    const HistoryStore &store() const { return m_store; }

    // Pins a version so that thinning keeps it, or lets it go again (the store's note goes
    // with the pin); the list is read again by refresh().
    bool setPinned(qint64 id, bool pinned, QString *error = nullptr);

    // The versions newest first: row 0 is the newest.
    int count() const { return int(m_store.versions().size()); }
    const HistoryVersion &at(int row) const;
    // The row of a version, or -1.
    int rowOf(qint64 id) const;
    // The nearest version that was not damaged when recorded: the newest one before `id`, else
    // the oldest one after it; 0 when there is none.
    qint64 nearestGood(qint64 id) const;

    // Compares version `id` with the good version before it, or with `open`, which must stay
    // until finished() or failed() or cancel() and be let go of through releaseOpenFile()
    // before it changes. Either signal follows, failed() also at once for a version that
    // cannot be compared.
    void compare(qint64 id, Against against, const XsdtDocument *open);
    // Whether the memory free now holds that comparison: the version read against the open
    // file, or the version before it read first and the version against it.
    MemoryFit memoryFit(qint64 id, Against against) const;
    void cancel();
    // Called before anything changes the open file or lets it go: a comparison with it under
    // way stops reading it, and is made again once it ends.
    void releaseOpenFile();
    bool isRunning() const;
    // Waits for the work under way and takes its result now (screenshots, tests).
    void finishNow();

    // The version compared last, and the one it was compared with (0 for the open file).
    qint64 shownId() const { return m_shownId; }
    qint64 baseId() const { return m_baseId; }
    Against against() const { return m_against; }
    Comparison *comparison() const { return m_comparison; }
    // The name a version goes by in texts ("version 12 of 2026-12-07 18:02").
    QString versionName(qint64 id) const;

    // Reads a version's bytes on a worker, checked, for a restore: versionRead() or failed().
    void read(qint64 id);

signals:
    void finished();
    void failed(const QString &error, qint64 nearestGood);
    void versionRead(qint64 id, const QByteArray &bytes);

private:
    void freeBase();
    void onCompared();
    void keepCount();
    void fail(const QString &error, qint64 id);

    HistoryStore m_store;
    Comparison *m_comparison = nullptr;
    std::unique_ptr<BackgroundJob> m_job;
    // The good version before the one shown, parsed: the comparison's first side.
    std::shared_ptr<XsdtDocument> m_base;
    const XsdtDocument *m_open = nullptr; // compared with, until the next compare()
    qint64 m_shownId = 0;
    qint64 m_baseId = 0;
    Against m_against = Against::Previous;
};

} // namespace vrn
