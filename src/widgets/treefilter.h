#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

namespace vrn {

class SettingsFilterProxy;
class SettingsModel;
class SettingsTreeView;
class TreeFilterScan;

// Filters the advanced tree while the user types, without holding up the window: it waits for
// a pause in the typing, walks the document in short slices between events, and when the walk
// is done shows the result and opens the groups with matches in document order, up to a number
// of rows a person can look through. Groups beyond that stay closed (and say how many rows
// match inside once opened).
class TreeFilter : public QObject
{
    Q_OBJECT

public:
    static constexpr int TypingPauseMs = 200;
    static constexpr int RowBudget = 1000;
    static constexpr qint64 SliceNs = 12'000'000;
    // Beyond this many open rows the tree is closed by a reset rather than row by row.
    static constexpr int ManyOpenRows = 4 * RowBudget;

    TreeFilter(SettingsModel *model, SettingsFilterProxy *proxy, SettingsTreeView *view,
               QObject *parent = nullptr);
    ~TreeFilter() override;

    void setText(const QString &text);
    void setChangedOnly(bool changedOnly);
    // Walks the document again now, as after a reload.
    void refresh();
    // Drops the filter at once, leaving the tree as it is (for showing one node).
    void clearNow();
    bool isActive() const { return m_changedOnly || !m_text.trimmed().isEmpty(); }
    bool isBusy() const { return m_scan != nullptr || m_typing.isActive(); }

signals:
    // A result is on screen. capped: not every group with matches could be opened.
    void applied(bool filtering, bool capped);

private:
    void step();
    void finish();
    bool expandMatches();

    SettingsModel *m_model;
    QPointer<SettingsFilterProxy> m_proxy; // may go first when their owner is destroyed
    SettingsTreeView *m_view;
    QString m_text;
    bool m_changedOnly = false;
    std::unique_ptr<TreeFilterScan> m_scan;
    QTimer m_typing;
    QTimer m_slices;
};

} // namespace vrn
