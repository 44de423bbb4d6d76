#pragma once

#include "views/taskpage.h"

#include <QHash>
#include <QList>
#include <QModelIndex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <atomic>
#include <functional>

#include <memory>
#include <utility>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTimer;
class QVBoxLayout;
class QWidget;

namespace vrn {

class BackgroundJob;
class ModuleFinder;
class Schema;
class SettingRow;
class SettingsModel;

// What the search knows about one value, computed once per document. Values themselves are
// read from the node when searching, so edits are found without rebuilding. A large file has
// millions of entries: each holds its node, its group and a number into SearchIndex::names.
struct SearchEntry
{
    XsdtNode *node = nullptr;
    int group : 31 = 0; // SearchIndex::groups
    // The type and compression never change, so this is kept.
    bool editable : 1 = false;
    int name = 0; // SearchIndex::names
};

// A value's key, label and description as numbers into SearchIndex::texts: a large file repeats
// the same few in every module, and each distinct three are held once.
struct SearchName
{
    int key = 0; // lower case
    // As the schema gives it, or in lower case when it is ASCII; SearchIndex::lowered has its
    // lower case.
    int label = 0;
    int description = 0; // lower case
    friend bool operator==(const SearchName &, const SearchName &) = default;
};

// A group as its parent and its lower-case key: a large file's group paths, each held whole,
// took over a third of the index.
struct SearchGroup
{
    int parent = -1; // the top level has none
    int key = 0;
};

// The search entries of one document, and each entry's place in path order so that ranking
// compares numbers rather than paths. An entry's name text is its group's path, its key, a
// blank and its label, all in lower case.
struct SearchIndex
{
    // Each distinct text once, written into large blocks that never move: a large file has
    // about a million and a half, and a string of its own each took twice the room.
    class Texts
    {
    public:
        Texts() = default;
        // What is moved from has no room left to write into: its blocks went with the move.
        Texts(Texts &&other) noexcept { *this = std::move(other); }
        Texts &operator=(Texts &&other) noexcept
        {
            m_views = std::move(other.m_views);
            m_blocks = std::move(other.m_blocks);
            m_free = std::exchange(other.m_free, nullptr);
            m_left = std::exchange(other.m_left, 0);
            return *this;
        }

        // The new text's number; the views given out stay valid while the texts are held.
        int add(QStringView text);
        QStringView operator[](size_t id) const { return m_views[id]; }
        size_t size() const { return m_views.size(); }
        // Lets go of the room kept for texts to come.
        void squeeze() { m_views.shrink_to_fit(); }

    private:
        std::vector<QStringView> m_views;
        std::vector<std::unique_ptr<char16_t[]>> m_blocks;
        char16_t *m_free = nullptr;
        size_t m_left = 0;
    };

    std::vector<SearchEntry> entries;
    std::vector<SearchName> names;
    std::vector<int> pathRank;
    std::vector<SearchGroup> groups; // the first is the top level
    Texts texts;
    std::vector<int> lowered; // by text: its lower case's, or -1 where not wanted
};

// A group's lower-case path, each key followed by a "/" (the top level's is empty), made from
// the one made before: entries come group by group in document order, so most steps add a key
// or replace the last one.
struct SearchPath
{
    QString text;
    std::vector<std::pair<int, qsizetype>> groups; // outermost first, each with its end in text

    void moveTo(const SearchIndex &index, int group);
};

// Every setting of the file found by words and "quoted phrases", ranked, and shown as rows
// that edit in place. Also lists a fixed set of nodes (one module's entries) when asked to.
// The index is built on a worker as soon as the page gets its document; a search asked for
// before it is ready says so and runs when it is.
class SearchView : public TaskPage
{
    Q_OBJECT

public:
    SearchView(SettingsModel *model, const Schema *schema, QWidget *parent = nullptr);
    ~SearchView() override;

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;
    // Searches at once and makes every row shown before it returns.
    void setQuery(const QString &text);
    void showOnly(const QList<XsdtNode *> &nodes, const QString &bannerText);
    void clearFilter();
    void focusSearch();
    // Hands the module lookup of the shown document to `then`: at once when the worker has
    // made it, otherwise when it has (a later call replaces one still waiting). Never for a
    // document that was replaced meanwhile.
    void withModules(std::function<void(const ModuleFinder &)> then);
    const ModuleFinder *modules() const { return m_modules.get(); }
    // Says that results follow once the file is indexed.
    void showIndexing();

    // The query read into lower-case terms: words, and phrases in double quotes.
    static QStringList parseQuery(const QString &text);

    // The search itself and the making of rows, public for the benchmark.
    void runSearch();
    void populate();
    void showMore();
    bool isIndexBuilt() const { return m_indexBuilt; }
    // Builds the index on this thread, or takes the worker's as soon as it is done: for the
    // screenshots and the benchmark, which need the results at once.
    void buildIndex();
    // Reads the document's keys and the schema only: neither changes while a document is set.
    static SearchIndex makeIndex(const XsdtDocument &document, const Schema &schema,
                                 const std::atomic_bool *cancelled = nullptr);

    QLineEdit *searchEdit() const { return m_searchEdit; }
    QCheckBox *namesBox() const { return m_names; }
    QCheckBox *valuesBox() const { return m_values; }
    QCheckBox *descriptionsBox() const { return m_descriptions; }
    QCheckBox *changedOnlyBox() const { return m_changedOnly; }
    QCheckBox *protectedBox() const { return m_protected; }
    QLabel *statusLabel() const { return m_status; }
    QLabel *bannerLabel() const { return m_bannerLabel; }
    QWidget *banner() const { return m_banner; }
    QPushButton *clearFilterButton() const { return m_clearFilter; }
    QPushButton *moreButton() const { return m_more; }
    const QList<SettingRow *> &rows() const { return m_rows; }
    // The search or the rows of its results are still being made, a slice per turn of the event
    // loop.
    bool isMakingRows() const { return m_scan || m_populateDue || m_rows.size() < m_rowsWanted; }
    void finishRows();
    int resultCount() const { return int(m_results.size()); }

signals:
    // The index of the current document is in place.
    void indexReady();

private:
    void restart();
    void startIndexing();
    void startModuleIndexing();
    void takeIndex(SearchIndex index);
    void removeRows();
    void addRows(int count);
    void addSomeRows(bool all = false);
    void scanSome(bool all);
    void updateStatus();
    int score(const SearchEntry &entry, const QString &group, const QStringList &terms, bool names,
              bool values, bool descriptions) const;
    void showRowMenu(XsdtNode *node, const QPoint &globalPos);
    void refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void refreshAllRows();

    SettingsModel *m_model;
    const Schema *m_schema;
    XsdtDocument *m_document = nullptr;
    bool m_indexBuilt = false;
    SearchIndex m_index;
    std::unique_ptr<BackgroundJob> m_indexer;
    bool m_reindex = false; // indexing was stopped for a change and starts again after it
    std::unique_ptr<BackgroundJob> m_moduleIndexer;
    std::unique_ptr<ModuleFinder> m_modules;
    std::function<void(const ModuleFinder &)> m_waitingForModules;
    QSet<const XsdtNode *> m_restriction;
    bool m_filterActive = false;
    std::vector<int> m_results;
    int m_shownLimit = 100;
    QList<SettingRow *> m_rows;
    int m_rowsWanted = 0;
    int m_rowsRun = 0; // which making of rows is current
    // A search going through the entries a slice at a time, and which one is current.
    struct Scan
    {
        QStringList terms;
        bool names = true;
        bool values = true;
        bool descriptions = true;
        bool changedOnly = false;
        bool includeProtected = false;
        size_t next = 0;
        std::vector<std::pair<int, int>> candidates;
        // Entries come group by group: the path of the one at hand is made once for its run.
        int pathGroup = -1;
        SearchPath path;
    };
    std::unique_ptr<Scan> m_scan;
    int m_scanRun = 0;
    bool m_populateDue = false; // a scan is done, its rows come at the next turn
    QHash<const XsdtNode *, SettingRow *> m_rowsByNode;
    bool m_viewOnly = false;
    QTimer *m_timer = nullptr;

    QWidget *m_banner = nullptr;
    QLabel *m_bannerLabel = nullptr;
    QPushButton *m_clearFilter = nullptr;
    QLineEdit *m_searchEdit = nullptr;
    QCheckBox *m_names = nullptr;
    QCheckBox *m_values = nullptr;
    QCheckBox *m_descriptions = nullptr;
    QCheckBox *m_changedOnly = nullptr;
    QCheckBox *m_protected = nullptr;
    QLabel *m_status = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_container = nullptr;
    QVBoxLayout *m_rowLayout = nullptr;
    QPushButton *m_more = nullptr;
};

} // namespace vrn
