#pragma once

#include "knowledge/comparison.h"

#include <QAbstractItemModel>
#include <QList>
#include <QSet>
#include <QTimer>

#include <memory>
#include <vector>

class QWidget;

namespace vrn {

// The rows of the Compare page's list over a comparison's records: groups at the top, in order
// of first appearance, each with its records in display order. A filter change hands it new
// groups in one reset, so it costs one pass over plain data instead of building an item per
// row. Internal ids stay valid while rows and groups before them go away: a record row's is
// its record's position plus one, a group row's its label number with kGroupRow set. They
// differ from row to row on purpose: the tree keeps a persistent index per expanded group,
// hashed by row and id, and ids all alike would pile thousands of them into a few buckets.
// Record rows say they never have children, which spares the tree a look among those indexes
// for each of them.
class CompareRows : public QAbstractItemModel
{
    Q_OBJECT

public:
    // Which records are listed: the kinds ticked (by DiffRecord::Kind), whether noise is
    // left out, and the text looked for in paths and values.
    struct Filter
    {
        bool kinds[3] = {true, false, false};
        bool hideNoise = true;
        QString search;
    };

    // `view` lends its font and palette to the rows.
    CompareRows(Comparison *comparison, QWidget *view);
    ~CompareRows() override;

    // No rows at all, not even the one that says nothing passed the filter.
    void clear();
    // Every row anew, from one pass over the comparison's current records. The counts take in
    // every kind before the kind boxes and the search; noise left out is counted apart. Many
    // records are gone through a slice at a time between events, with no row listed until all
    // are (filled() follows then); few at once.
    void fill(const Filter &filter);
    bool isFilling() const { return bool(m_filling); }
    // Goes through the rest of the records now, for callers that look at the rows at once.
    void finishFill();
    // Repaints the rows the patch changed and takes out those it removed, with groups left
    // empty; false when the whole list must be filled again instead.
    bool takePatch(const Comparison::Patch &patch);
    // The records listed, in display order.
    const QList<int> &shown() const { return m_shown; }
    int count(int kind) const { return m_counts[kind]; }
    int hidden() const { return m_hidden; }
    // The record of a row, or -1 for a group row and the placeholder.
    int positionAt(const QModelIndex &index) const;
    // The records of the rows, a group's being all those listed under it; each once.
    QList<int> recordsOf(const QModelIndexList &rows) const;

    // What restoring the other file, a backup, would change: every record that differs, with
    // those the filters leave out counted by reason.
    QString restoreText() const;
    // The records listed that a copy would leave, by reason, as the question before copying
    // them all counts them; empty when every one would be copied.
    QString notCopiedText() const;
    // The copy verdicts of the records listed, worked out from the first one again after each
    // fill or patch: a long list a slice at a time, between events. True once all are known.
    bool workOutVerdicts();
    bool verdictsKnown() const { return m_verdictNext >= m_shown.size(); }
    bool copyable(int position) const;
    // The records listed that a copy would store; 0 until every verdict is known.
    qsizetype copyableCount() const;
    // What the two sides are called in the header, the status and the tooltips, where they
    // are not this file and another one; empty texts keep those.
    void setSideNames(const QString &here, const QString &there, const QString &onlyHere,
                      const QString &onlyThere);

    // For tests: every fill goes in slices of this many records, however few there are; 0
    // goes back to slices by time for many records only. Returns the last number.
    static qsizetype setRecordsPerSlice(qsizetype records);

    // The texts of a record's row.
    QString rowLabel(int position) const;
    QString statusText(int position) const;
    QString toolTip(int position) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant data(const QModelIndex &index, int role) const override;

signals:
    // The rows of fill() are in place.
    void filled();

private:
    void restartVerdicts();
    struct Group
    {
        int label = 0;
        std::vector<int> positions;
    };
    void reset(std::vector<Group> groups, bool placeholder);
    bool isGroupRow(const QModelIndex &index) const;
    struct Filling;
    // Goes on with the fill under way for about a slice, or to the end; true once done.
    bool fillSome(bool all);
    void stopFill();

    Comparison *m_comparison;
    QWidget *m_view;
    std::vector<Group> m_groups;
    // Per group label, the row of its group, or -1 when none is shown.
    std::vector<int> m_rowOfLabel;
    bool m_placeholder = false;
    Filter m_filter;
    QList<int> m_shown;
    QString m_here, m_there, m_onlyHere, m_onlyThere;
    int m_counts[3] = {0, 0, 0};
    int m_hidden = 0;
    qsizetype m_verdictNext = 0; // the verdicts of m_shown are known up to here
    // Those known, counted by verdict: the summary and the copy button read them once all are.
    int m_verdictCounts[kCopyVerdicts] = {};
    std::unique_ptr<Filling> m_filling; // the fill under way
    QTimer m_fillSlices;
};

} // namespace vrn
