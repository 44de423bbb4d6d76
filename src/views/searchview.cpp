#include "views/searchview.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "knowledge/backgroundjob.h"
#include "knowledge/modules.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "widgets/flowlayout.h"
#include "widgets/settingmenu.h"
#include "widgets/settingrow.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <QVarLengthArray>

#include <algorithm>
#include <initializer_list>
#include <numeric>

namespace vrn {

static_assert(sizeof(void *) != 8 || sizeof(SearchEntry) == 16);

size_t qHash(const SearchName &name, size_t seed)
{
    return qHashMulti(seed, name.key, name.label, name.description);
}

namespace {

// Compares a1 followed by a2 with b1 followed by b2, as QString compares, without joining them.
int compareJoined(QStringView a1, QStringView a2, QStringView b1, QStringView b2)
{
    if (a1.size() > b1.size())
        return -compareJoined(b1, b2, a1, a2);
    if (const int c = a1.compare(b1.left(a1.size())))
        return c;
    // a1 is where b1 begins: a2 goes on against the rest of b1, then against b2.
    const QStringView rest = b1.mid(a1.size());
    const qsizetype common = std::min(a2.size(), rest.size());
    if (const int c = a2.left(common).compare(rest.left(common)))
        return c;
    if (a2.size() < rest.size())
        return -1;
    return a2.mid(common).compare(b2);
}

// Whether the pieces joined hold `term`, without making a string of them on the heap.
bool joinedContains(std::initializer_list<QStringView> pieces, const QString &term)
{
    QVarLengthArray<QChar, 256> joined;
    for (QStringView piece : pieces)
        joined.append(piece.data(), piece.size());
    return QStringView(joined.constData(), joined.size()).contains(term);
}

bool isAscii(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// `text` in lower case into `out` when it is ASCII, where that is what QString::toLower() makes.
bool lowerAscii(QStringView text, QVarLengthArray<char16_t, 256> &out)
{
    if (!isAscii(text))
        return false;
    out.resize(text.size());
    std::transform(text.begin(), text.end(), out.begin(), [](QChar c) {
        const char16_t u = c.unicode();
        return u >= u'A' && u <= u'Z' ? char16_t(u + (u'a' - u'A')) : u;
    });
    return true;
}

// Numbers of distinct items, found by their hash: a table of the numbers alone, the items being
// where their numbers point. A QHash of a large file's million texts took about 35 bytes each,
// and as much again while it grew; this takes 8 at most.
class IdTable
{
public:
    // The number of the item that `hash` and `same` tell, made by `add` when there is none.
    // `hashOf` tells an item's hash by its number, for moving to a larger table.
    template <typename Same, typename Add, typename HashOf>
    int findOrAdd(size_t hash, Same same, Add add, HashOf hashOf)
    {
        if ((m_count + 1) * 2 > m_slots.size())
            grow(hashOf);
        const size_t mask = m_slots.size() - 1;
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            if (m_slots[at] < 0) {
                ++m_count;
                return m_slots[at] = add();
            }
            if (same(m_slots[at]))
                return m_slots[at];
        }
    }

private:
    template <typename HashOf>
    void grow(HashOf hashOf)
    {
        std::vector<int> table(std::max<size_t>(1024, m_slots.size() * 2), -1);
        const size_t mask = table.size() - 1;
        for (const int id : m_slots) {
            if (id < 0)
                continue;
            size_t at = hashOf(id) & mask;
            while (table[at] >= 0)
                at = (at + 1) & mask;
            table[at] = id;
        }
        m_slots.swap(table);
    }

    std::vector<int> m_slots;
    size_t m_count = 0;
};

// Sorted in short runs and then merged pair by pair, with a look at `cancelled` every few
// thousand items: the window waits for the indexer before it changes the document, and one
// merge of a large file's paths took it a tenth of a second. Short runs also put the merging to
// work on small files.
template <typename Less>
bool stableSortUnlessCancelled(std::vector<int> &items, const std::atomic_bool *cancelled,
                               Less less)
{
    constexpr ptrdiff_t kRun = 8;
    constexpr ptrdiff_t kCheckEvery = 4096;
    const auto stop = [cancelled] { return cancelled && cancelled->load(); };
    const ptrdiff_t n = ptrdiff_t(items.size());
    const auto at = [&items, n](ptrdiff_t i) { return items.begin() + std::min(i, n); };
    for (ptrdiff_t i = 0; i < n; i += kRun) {
        if (i % kCheckEvery == 0 && stop())
            return false;
        std::stable_sort(at(i), at(i + kRun), less);
    }
    std::vector<int> merged(items.size());
    for (ptrdiff_t width = kRun; width < n; width *= 2) {
        for (ptrdiff_t from = 0; from < n; from += 2 * width) {
            const ptrdiff_t middle = std::min(from + width, n);
            const ptrdiff_t end = std::min(from + 2 * width, n);
            ptrdiff_t left = from;
            ptrdiff_t right = middle;
            ptrdiff_t out = from;
            // The left run's item goes first unless the right one is smaller: equal items keep
            // their order.
            while (left < middle && right < end) {
                if (out % kCheckEvery == 0 && stop())
                    return false;
                merged[size_t(out++)] = less(items[size_t(right)], items[size_t(left)])
                                            ? items[size_t(right++)]
                                            : items[size_t(left++)];
            }
            std::copy(at(left), at(middle), merged.begin() + out);
            std::copy(at(right), at(end), merged.begin() + out + (middle - left));
        }
        items.swap(merged);
    }
    return true;
}

// Ranks the entries in path order by walking the tree, each group's children sorted by their
// names: a group's key with its "/", a value's key. That is the order of the whole paths as long
// as what lies under one child never falls between what lies under another, which holds unless
// a key has a "/" in it (the caller looks) or two groups side by side have the same key in lower
// case: then it says no. Sorting a large file's paths whole took a copy of every path at once.
bool rankByTree(const XsdtDocument &document, SearchIndex &index,
                const std::vector<std::pair<int, int>> &ends, const std::atomic_bool *cancelled)
{
    struct Child
    {
        int text;
        int id;         // an entry for a value, a group for a group
        int firstEntry; // a group's
        const XsdtNode *group = nullptr;
        QStringView after() const { return group ? u"/" : u""; }
    };
    const auto childrenOf = [&](const XsdtNode *group, int id, int firstEntry,
                                std::vector<Child> &children) {
        children.clear();
        int entry = firstEntry;
        int next = id + 1; // groups are numbered in the order the walk met them
        for (const auto &node : group->children) {
            if (node->isGroup()) {
                children.push_back({index.groups[size_t(next)].key, next, entry, node.get()});
                std::tie(entry, next) = ends[size_t(next)];
            } else {
                children.push_back(
                    {index.names[size_t(index.entries[size_t(entry)].name)].key, entry, entry});
                ++entry;
            }
        }
        const auto text = [&index](const Child &child) { return index.texts[size_t(child.text)]; };
        // Equal names keep the file's order.
        std::stable_sort(children.begin(), children.end(), [&](const Child &a, const Child &b) {
            return compareJoined(text(a), a.after(), text(b), b.after()) < 0;
        });
        const auto sameGroups = [&](const Child &a, const Child &b) {
            return a.group && b.group && text(a) == text(b);
        };
        return std::adjacent_find(children.begin(), children.end(), sameGroups) == children.end();
    };
    struct Frame
    {
        std::vector<Child> children;
        size_t next = 0;
    };
    // Kept as the walk goes up and down: each depth's list is made again in place.
    std::vector<Frame> frames(1);
    if (!childrenOf(&document.root, 0, 0, frames[0].children))
        return false;
    size_t depth = 0;
    int rank = 0;
    quint32 visited = 0;
    for (;;) {
        if (cancelled && (++visited & 1023) == 0 && cancelled->load())
            return false;
        if (frames[depth].next == frames[depth].children.size()) {
            if (depth == 0)
                return true;
            --depth;
            continue;
        }
        const Child child = frames[depth].children[frames[depth].next++];
        if (!child.group) {
            index.pathRank[size_t(child.id)] = rank++;
            continue;
        }
        if (++depth == frames.size())
            frames.emplace_back();
        frames[depth].next = 0;
        if (!childrenOf(child.group, child.id, child.firstEntry, frames[depth].children))
            return false;
    }
}

// The same order by sorting every entry's whole path: for the files the walk cannot rank.
bool rankBySorting(SearchIndex &index, const std::atomic_bool *cancelled)
{
    const SearchIndex::Texts &texts = index.texts;
    const std::vector<SearchEntry> &entries = index.entries;
    // The paths are wanted for this only: they are made in one block, a parent's before its
    // children's, and go as one.
    std::vector<qsizetype> pathStart(index.groups.size(), 0);
    std::vector<int> pathLength(index.groups.size(), 0);
    qsizetype total = 0;
    for (size_t g = 1; g < index.groups.size(); ++g) {
        const SearchGroup &group = index.groups[g];
        pathStart[g] = total;
        pathLength[g] = pathLength[size_t(group.parent)] + int(texts[size_t(group.key)].size()) + 1;
        total += pathLength[g];
    }
    QString pathChars(total, Qt::Uninitialized);
    QChar *chars = pathChars.data();
    for (size_t g = 1; g < index.groups.size(); ++g) {
        const SearchGroup &group = index.groups[g];
        const auto parent = size_t(group.parent);
        QChar *at =
            std::copy_n(chars + pathStart[parent], pathLength[parent], chars + pathStart[g]);
        const QStringView key = texts[size_t(group.key)];
        at = std::copy_n(key.constData(), key.size(), at);
        *at = QLatin1Char('/');
    }
    const auto path = [&](int group) {
        return QStringView(chars + pathStart[size_t(group)], pathLength[size_t(group)]);
    };
    const auto key = [&](const SearchEntry &entry) {
        return texts[size_t(index.names[size_t(entry.name)].key)];
    };
    std::vector<int> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    const bool sorted = stableSortUnlessCancelled(order, cancelled, [&](int a, int b) {
        const SearchEntry &x = entries[size_t(a)];
        const SearchEntry &y = entries[size_t(b)];
        if (x.group == y.group)
            return key(x) < key(y);
        return compareJoined(path(x.group), key(x), path(y.group), key(y)) < 0;
    });
    if (!sorted)
        return false;
    for (size_t i = 0; i < order.size(); ++i)
        index.pathRank[size_t(order[i])] = int(i);
    return true;
}

// Rows are made on the GUI thread: on a shown page in slices of about this long, each at least
// this many rows.
constexpr qint64 kRowSliceMs = 25;
constexpr int kRowsPerSlice = 10;

} // namespace

SearchView::SearchView(SettingsModel *model, const Schema *schema, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_schema(schema)
    , m_indexer(std::make_unique<BackgroundJob>(this))
    , m_moduleIndexer(std::make_unique<BackgroundJob>(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 0);

    m_banner = new QWidget(this);
    auto *bannerRow = new QHBoxLayout(m_banner);
    bannerRow->setContentsMargins(0, 0, 0, 0);
    m_bannerLabel = new QLabel(m_banner);
    m_bannerLabel->setWordWrap(true);
    m_bannerLabel->setMargin(6);
    m_bannerLabel->setTextFormat(Qt::PlainText);
    m_bannerLabel->setAutoFillBackground(true);
    QPalette palette = m_bannerLabel->palette();
    palette.setBrush(QPalette::All, QPalette::Window, QColor(80, 160, 255, 70));
    m_bannerLabel->setPalette(palette);
    bannerRow->addWidget(m_bannerLabel, 1);
    m_clearFilter = new QPushButton(tr("Clear filter"), m_banner);
    bannerRow->addWidget(m_clearFilter, 0, Qt::AlignVCenter);
    m_banner->hide();
    layout->addWidget(m_banner);

    m_searchEdit = new QLineEdit(this);
    m_searchEdit->setAccessibleName(tr("Search all settings"));
    m_searchEdit->setPlaceholderText(tr("Search all settings: names, values, descriptions  (every "
                                        "word must match; \"quotes\" for a phrase)"));
    m_searchEdit->setClearButtonEnabled(true);
    layout->addWidget(m_searchEdit);

    auto *boxes = new FlowLayout;
    m_names = new QCheckBox(tr("Names and paths"), this);
    m_values = new QCheckBox(tr("Values"), this);
    m_descriptions = new QCheckBox(tr("Descriptions"), this);
    m_changedOnly = new QCheckBox(tr("Changed only"), this);
    m_protected = new QCheckBox(tr("Include protected values"), this);
    m_protected->setToolTip(tr("Time and Block values: shown for reference, never editable."));
    for (QCheckBox *box : {m_names, m_values, m_descriptions})
        box->setChecked(true);
    for (QCheckBox *box : {m_names, m_values, m_descriptions, m_changedOnly, m_protected})
        boxes->addWidget(box);
    layout->addLayout(boxes);

    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    m_status->setText(
        tr("Type to search the names, values and descriptions of every setting in the file."));
    layout->addWidget(m_status);

    m_scroll = new QScrollArea(this);

    m_scroll->setFocusPolicy(Qt::NoFocus); // Tab goes from the controls above to the first row
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_container = new QWidget(m_scroll);
    m_rowLayout = new QVBoxLayout(m_container);
    m_rowLayout->setContentsMargins(0, 0, 0, 0);
    m_rowLayout->setSpacing(0);
    m_more = new QPushButton(m_container);
    m_more->hide();
    m_rowLayout->addWidget(m_more, 0, Qt::AlignLeft);
    m_rowLayout->addStretch(1);
    m_scroll->setWidget(m_container);
    layout->addWidget(m_scroll, 1);

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    m_timer->setInterval(200);
    connect(m_timer, &QTimer::timeout, this, &SearchView::runSearch);
    connect(m_searchEdit, &QLineEdit::textChanged, this, &SearchView::restart);
    for (QCheckBox *box : {m_names, m_values, m_descriptions, m_changedOnly, m_protected})
        connect(box, &QCheckBox::toggled, this, &SearchView::restart);
    connect(m_more, &QPushButton::clicked, this, &SearchView::showMore);
    connect(m_clearFilter, &QPushButton::clicked, this, &SearchView::clearFilter);
    // The indexer reads the values a change is about to write: it stops first and starts
    // again once the change is made.
    connect(m_model, &SettingsModel::aboutToChange, this, [this] {
        if (m_indexer->isRunning()) {
            m_indexer->stop();
            m_reindex = true;
        }
    });
    const auto reindex = [this] {
        if (std::exchange(m_reindex, false) && m_document)
            startIndexing();
    };
    connect(m_model, &SettingsModel::edited, this, reindex);
    connect(m_model, &SettingsModel::resumeWork, this, reindex);
    connect(m_model, &SettingsModel::dataChanged, this, &SearchView::refreshRows);
    connect(m_model, &SettingsModel::modelReset, this, &SearchView::refreshAllRows);
    // A save commits every value without a reset: the rows lose their changed look then.
    connect(m_model, &SettingsModel::valuesChanged, this, &SearchView::refreshAllRows);
}

SearchView::~SearchView() = default;

void SearchView::restart()
{
    m_shownLimit = 100;
    m_timer->start();
}

void SearchView::setDocument(XsdtDocument *document)
{
    // The worker reads the old document until it has stopped: it must be done before the
    // document may go.
    m_indexer->stop();
    m_reindex = false;
    m_moduleIndexer->stop();
    // A large file's lookup holds a list per module: giving its memory back took the window
    // tens of milliseconds at 300 MB.
    if (m_modules)
        freeAside(std::move(m_modules));
    m_waitingForModules = nullptr;
    m_timer->stop();
    ++m_scanRun;
    m_scan.reset();
    m_populateDue = false;
    removeRows();
    m_results.clear();
    // A large file's index is given back by a pool thread, like its module lookup.
    if (m_index.entries.size() > 10000)
        freeAside(std::exchange(m_index, {}));
    m_index = {};
    m_indexBuilt = false;
    m_restriction.clear();
    m_filterActive = false;
    m_banner->hide();
    m_document = document;
    m_shownLimit = 100;
    m_more->hide();
    if (!document) {
        m_status->clear();
        return;
    }
    startIndexing();
    startModuleIndexing();
    runSearch();
}

// Find module's lookup is made after loading, like the search index, so that the first Find
// module answers like the later ones.
void SearchView::startModuleIndexing()
{
    const XsdtDocument *document = m_document;
    // The registry's values as they are now: they may be edited while the worker reads.
    m_moduleIndexer->start(
        [this, document, registry = registryValues(*document)](const std::atomic_bool &cancelled) {
            auto finder = std::make_shared<std::unique_ptr<ModuleFinder>>(
                std::make_unique<ModuleFinder>(*document, registry, &cancelled));
            return [this, finder] {
                m_modules = std::move(*finder);
                if (auto then = std::exchange(m_waitingForModules, nullptr))
                    then(*m_modules);
            };
        });
}

void SearchView::withModules(std::function<void(const ModuleFinder &)> then)
{
    if (!m_document)
        return;
    if (m_modules) {
        m_waitingForModules = nullptr;
        then(*m_modules);
        return;
    }
    m_waitingForModules = std::move(then);
    if (!m_moduleIndexer->isRunning())
        startModuleIndexing();
}

void SearchView::showIndexing()
{
    removeRows();
    m_more->hide();
    m_status->setText(tr("Still indexing the settings of this file; the results follow "
                         "in a moment..."));
}

void SearchView::startIndexing()
{
    const XsdtDocument *document = m_document;
    const Schema *schema = m_schema;
    m_indexer->start([this, document, schema](const std::atomic_bool &cancelled) {
        auto index = std::make_shared<SearchIndex>(makeIndex(*document, *schema, &cancelled));
        return [this, index] { takeIndex(std::move(*index)); };
    });
}

void SearchView::takeIndex(SearchIndex index)
{
    m_scan.reset(); // it went through the entries replaced now
    m_index = std::move(index);
    m_indexBuilt = true;
    emit indexReady();
    // A search asked for meanwhile runs now; with nothing asked the page stays as it is.
    if (m_filterActive || !m_results.empty() || !parseQuery(m_searchEdit->text()).isEmpty() ||
        m_changedOnly->isChecked())
        runSearch();
}

void SearchView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    for (SettingRow *row : std::as_const(m_rows))
        row->setViewOnly(viewOnly);
}

void SearchView::setQuery(const QString &text)
{
    m_timer->stop();
    m_searchEdit->setText(text);
    m_timer->stop();
    runSearch();
    finishRows();
}

void SearchView::showOnly(const QList<XsdtNode *> &nodes, const QString &bannerText)
{
    m_restriction = QSet<const XsdtNode *>(nodes.cbegin(), nodes.cend());
    m_filterActive = true;
    m_bannerLabel->setText(bannerText);
    m_banner->show();
    m_timer->stop();
    {
        const QSignalBlocker a(m_searchEdit);
        const QSignalBlocker b(m_changedOnly);
        const QSignalBlocker c(m_protected);
        m_searchEdit->clear();
        m_changedOnly->setChecked(false);
        m_protected->setChecked(false);
    }
    m_shownLimit = 100;
    runSearch();
}

void SearchView::clearFilter()
{
    if (!m_filterActive)
        return;
    m_restriction.clear();
    m_filterActive = false;
    m_banner->hide();
    runSearch();
}

void SearchView::focusSearch()
{
    m_searchEdit->setFocus(Qt::OtherFocusReason);
    m_searchEdit->selectAll();
}

QStringList SearchView::parseQuery(const QString &text)
{
    static const QRegularExpression term(QStringLiteral("\"([^\"]+)\"|(\\S+)"));
    QStringList terms;
    for (auto it = term.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString phrase = match.captured(1);
        terms.append((phrase.isEmpty() ? match.captured(2) : phrase).toLower());
    }
    return terms;
}

void SearchView::buildIndex()
{
    if (m_indexBuilt || !m_document)
        return;
    if (m_indexer->isRunning())
        m_indexer->finishNow();
    else
        takeIndex(makeIndex(*m_document, *m_schema));
}

SearchIndex SearchView::makeIndex(const XsdtDocument &document, const Schema &schema,
                                  const std::atomic_bool *cancelled)
{
    SearchIndex index;
    std::vector<SearchEntry> &entries = index.entries;
    SearchIndex::Texts &texts = index.texts;
    quint32 visited = 0;
    // Asked often enough that stopping waits a few milliseconds at most.
    const auto stop = [&] { return cancelled && (++visited & 1023) == 0 && cancelled->load(); };
    // Counted first, so that the entries take the room they need: grown as they came, a large
    // file's entries stood at up to twice their size, and three times while they moved.
    size_t values = 0;
    size_t groups = 1;
    for (std::vector<const XsdtNode *> pending{&document.root}; !pending.empty();) {
        if (stop())
            return {};
        const XsdtNode *group = pending.back();
        pending.pop_back();
        for (const auto &child : group->children) {
            if (child->isGroup()) {
                ++groups;
                pending.push_back(child.get());
            } else {
                ++values;
            }
        }
    }
    entries.reserve(values);
    index.groups.reserve(groups);
    // Each distinct text once, and each distinct name.
    IdTable textIds;
    IdTable nameIds;
    const size_t seed = QHashSeed::globalSeed();
    std::vector<int> &lowerOf = index.lowered;
    const auto intern = [&](QStringView text) {
        return textIds.findOrAdd(
            qHash(text, seed), [&](int id) { return texts[size_t(id)] == text; },
            [&] {
                lowerOf.push_back(-1);
                return texts.add(text);
            },
            [&](int id) { return qHash(texts[size_t(id)], seed); });
    };
    // A text in lower case. Nearly every text is ASCII: it is made on the stack and looked up
    // without a string of its own, and is its own lower case.
    QVarLengthArray<char16_t, 256> chars;
    const auto internLower = [&](QStringView text) {
        if (!lowerAscii(text, chars))
            return intern(text.toString().toLower());
        const int id = intern(QStringView(chars.constData(), chars.size()));
        lowerOf[size_t(id)] = id;
        return id;
    };
    const auto lower = [&](int id) {
        if (lowerOf[size_t(id)] < 0)
            lowerOf[size_t(id)] = intern(texts[size_t(id)].toString().toLower());
        return lowerOf[size_t(id)];
    };
    // Depth first, each group noted as its parent and its lower-case key, and where its entries
    // and the groups inside it end.
    struct Frame
    {
        const XsdtNode *group;
        size_t next;
        int path; // in index.groups
    };
    std::vector<std::pair<int, int>> ends(groups);
    bool slashInKey = false;
    index.groups.push_back({});
    std::vector<Frame> stack;
    stack.push_back({&document.root, 0, 0});
    while (!stack.empty()) {
        if (stop()) {
            // The window waits for this worker to stop: what it made so far goes elsewhere.
            freeAside(std::move(index));
            return {};
        }
        Frame &top = stack.back();
        if (top.next >= top.group->children.size()) {
            ends[size_t(top.path)] = {int(entries.size()), int(index.groups.size())};
            stack.pop_back();
            continue;
        }
        XsdtNode *node = top.group->children[top.next++].get();
        const int key = internLower(node->key.view());
        slashInKey = slashInKey || texts[size_t(key)].contains(QLatin1Char('/'));
        if (node->isGroup()) {
            index.groups.push_back({top.path, key});
            const int path = int(index.groups.size() - 1);
            stack.push_back({node, 0, path});
            continue;
        }
        const VariableInfo info = schema.info(node);
        SearchName name;
        name.key = key;
        // A label in ASCII is held in lower case only: where the search asks for it as given it
        // ignores case, and finds the same in either.
        name.label = isAscii(info.label) ? internLower(info.label) : intern(info.label);
        lower(name.label);
        name.description = internLower(info.description);
        const int nameId = nameIds.findOrAdd(
            qHash(name, seed), [&](int id) { return index.names[size_t(id)] == name; },
            [&] {
                index.names.push_back(name);
                return int(index.names.size() - 1);
            },
            [&](int id) { return qHash(index.names[size_t(id)], seed); });
        SearchEntry entry;
        entry.node = node;
        entry.group = top.path;
        entry.name = nameId;
        entry.editable = node->isEditable();
        entries.push_back(entry);
    }
    index.lowered.shrink_to_fit();
    index.names.shrink_to_fit();
    index.texts.squeeze();
    // Ranking orders equal scores by path: ranked once here, a number is compared per
    // candidate. Equal paths (duplicate keys) keep document order.
    index.pathRank.assign(entries.size(), 0);
    if ((!slashInKey && rankByTree(document, index, ends, cancelled)) ||
        (!(cancelled && cancelled->load()) && rankBySorting(index, cancelled)))
        return index;
    freeAside(std::move(index));
    return {};
}

int SearchIndex::Texts::add(QStringView text)
{
    constexpr size_t kBlock = 1 << 16; // characters
    const auto size = size_t(text.size());
    if (size > m_left) {
        // A text too long for a block of the usual size gets one of its own; what is left of
        // the block before is not used.
        const size_t block = std::max(kBlock, size);
        m_blocks.push_back(std::make_unique_for_overwrite<char16_t[]>(block));
        m_free = m_blocks.back().get();
        m_left = block;
    }
    std::copy_n(text.utf16(), size, m_free);
    m_views.emplace_back(m_free, text.size());
    m_free += size;
    m_left -= size;
    return int(m_views.size() - 1);
}

void SearchPath::moveTo(const SearchIndex &index, int group)
{
    // Up from the group to the nearest one the path already holds; what lies below that goes.
    QVarLengthArray<int, 16> added;
    int at = group;
    for (; at > 0; at = index.groups[size_t(at)].parent) {
        const auto held = std::find_if(groups.begin(), groups.end(),
                                       [at](const auto &part) { return part.first == at; });
        if (held != groups.end()) {
            groups.erase(held + 1, groups.end());
            break;
        }
        added.append(at);
    }
    if (at == 0)
        groups.clear();
    text.truncate(groups.empty() ? 0 : groups.back().second);
    for (qsizetype i = added.size() - 1; i >= 0; --i) {
        text += index.texts[size_t(index.groups[size_t(added[i])].key)];
        text += QLatin1Char('/');
        groups.emplace_back(added[i], text.size());
    }
}

int SearchView::score(const SearchEntry &entry, const QString &group, const QStringList &terms,
                      bool names, bool values, bool descriptions) const
{
    const auto text = [this](int id) { return m_index.texts[size_t(id)]; };
    const SearchName &name = m_index.names[size_t(entry.name)];
    const QStringView key = text(name.key);
    const QStringView labelText = text(m_index.lowered[size_t(name.label)]);
    int total = 0;
    for (const QString &term : terms) {
        // Only a term with a "/" or a blank can reach across the group's path, the key and
        // the label: the name text joins them with those.
        const bool inName =
            names && (term.contains(QLatin1Char('/')) || term.contains(QLatin1Char(' '))
                          ? joinedContains({group, key, u" ", labelText}, term)
                          : group.contains(term) || key.contains(term) || labelText.contains(term));
        if (inName) {
            if (key == term)
                total += 10;
            else if (key.startsWith(term))
                total += 6;
            else if (key.contains(term))
                total += 4;
            else if (text(name.label).contains(term, Qt::CaseInsensitive))
                total += 3;
            else
                total += 2;
        } else if (descriptions && text(name.description).contains(term)) {
            total += 1;
        } else if (values && entry.node->type != QLatin1Char('B') &&
                   entry.node->value.contains(term, Qt::CaseInsensitive)) {
            total += 1;
        } else {
            return -1;
        }
    }
    return total;
}

void SearchView::runSearch()
{
    m_timer->stop();
    m_populateDue = false;
    m_shownLimit = qMax(m_shownLimit, 100);
    m_results.clear();
    if (!m_document) {
        removeRows();
        m_more->hide();
        return;
    }
    ++m_scanRun;
    m_scan.reset();
    auto scan = std::make_unique<Scan>();
    scan->terms = parseQuery(m_searchEdit->text());
    scan->names = m_names->isChecked();
    scan->values = m_values->isChecked();
    scan->descriptions = m_descriptions->isChecked();
    scan->changedOnly = m_changedOnly->isChecked();
    scan->includeProtected = m_protected->isChecked();
    if (scan->terms.isEmpty() && !scan->changedOnly && !m_filterActive) {
        removeRows();
        m_status->setText(
            tr("Type to search the names, values and descriptions of every setting in the file."));
        m_more->hide();
        return;
    }
    // The worker is still at it: the search runs when the index arrives.
    if (!m_indexBuilt) {
        removeRows();
        m_more->hide();
        if (!m_indexer->isRunning())
            startIndexing();
        m_status->setText(tr("Still indexing the settings of this file; the results follow "
                             "in a moment..."));
        return;
    }
    // The rows of the search before stand for results no longer held.
    removeRows();
    m_more->hide();
    m_scan = std::move(scan);
    scanSome(!isVisible());
}

// Every value of a large file is looked at, its text too: on a shown page that runs in slices.
void SearchView::scanSome(bool all)
{
    QElapsedTimer clock;
    clock.start();
    Scan &scan = *m_scan;
    std::vector<std::pair<int, int>> &candidates = scan.candidates; // score, entry position
    while (scan.next < m_index.entries.size()) {
        if (!all && (scan.next & 1023) == 0 && scan.next > 0 && clock.elapsed() >= kRowSliceMs) {
            m_status->setText(tr("Searching..."));
            QTimer::singleShot(0, this, [this, run = m_scanRun] {
                if (run == m_scanRun && m_scan)
                    scanSome(false);
            });
            return;
        }
        const size_t i = scan.next++;
        const SearchEntry &entry = m_index.entries[i];
        const XsdtNode *node = entry.node;
        const bool inSet = m_filterActive && m_restriction.contains(node);
        if (m_filterActive && !inSet)
            continue;
        if (!scan.includeProtected && !inSet && !entry.editable)
            continue;
        if (scan.changedOnly && node->value == node->originalValue && !node->isDeleted())
            continue;
        if (entry.group != scan.pathGroup) {
            scan.pathGroup = entry.group;
            scan.path.moveTo(m_index, entry.group);
        }
        const int points =
            score(entry, scan.path.text, scan.terms, scan.names, scan.values, scan.descriptions);
        if (points >= 0)
            candidates.emplace_back(points, int(i));
    }
    std::sort(candidates.begin(), candidates.end(), [this](const auto &a, const auto &b) {
        if (a.first != b.first)
            return a.first > b.first;
        const int ra = m_index.pathRank[size_t(a.second)];
        const int rb = m_index.pathRank[size_t(b.second)];
        return ra < rb;
    });
    m_results.reserve(candidates.size());
    for (const auto &candidate : candidates)
        m_results.push_back(candidate.second);
    m_scan.reset();
    if (all || clock.elapsed() < kRowSliceMs / 2) {
        populate();
        return;
    }
    // The rows come in a turn of their own: the scan used up most of this one.
    m_populateDue = true;
    QTimer::singleShot(1, this, [this, run = m_scanRun] {
        if (run == m_scanRun && std::exchange(m_populateDue, false))
            populate();
    });
}

void SearchView::removeRows()
{
    ++m_rowsRun;
    m_rowsWanted = 0;
    for (SettingRow *row : std::as_const(m_rows)) {
        m_rowLayout->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    m_rows.clear();
    m_rowsByNode.clear();
}

void SearchView::populate()
{
    removeRows();
    addRows(qMin(m_shownLimit, int(m_results.size())));
    updateStatus();
}

// Rows are added below the ones already shown, so "Show more results" only pays for the
// new hundred. A row with its editor and wrapped texts takes about a millisecond to make and
// lay out: on a shown page a hundred come in slices, so the window answers meanwhile.
void SearchView::addRows(int count)
{
    ++m_rowsRun; // one making of rows at a time
    m_rowsWanted = count;
    addSomeRows();
}

void SearchView::finishRows()
{
    if (m_scan)
        scanSome(true);
    if (std::exchange(m_populateDue, false))
        populate();
    if (!isMakingRows())
        return;
    ++m_rowsRun; // the slice still to come has nothing left to do
    addSomeRows(true);
}

void SearchView::addSomeRows(bool all)
{
    QElapsedTimer clock;
    clock.start();
    const bool sliced = !all && isVisible();
    // Laid out once when the slice is in, not once per row.
    m_container->setUpdatesEnabled(false);
    for (int made = 0, i = int(m_rows.size()); i < m_rowsWanted; ++i, ++made) {
        if (sliced && made >= kRowsPerSlice && clock.elapsed() >= kRowSliceMs) {
            QTimer::singleShot(0, this, [this, run = m_rowsRun] {
                if (run == m_rowsRun)
                    addSomeRows();
            });
            break;
        }
        XsdtNode *node = m_index.entries[size_t(m_results[size_t(i)])].node;
        auto *row = new SettingRow(node, m_schema->info(node), m_model, m_container);
        row->setShowPath(true);
        row->setViewOnly(m_viewOnly);
        connect(row, &SettingRow::rejected, this, &SearchView::message);
        connect(row, &SettingRow::menuRequested, this, &SearchView::showRowMenu);
        m_rowLayout->insertWidget(m_rowLayout->count() - 2, row);
        // On a shown page, shown and measured inside the slice rather than all at once after
        // the last: wrapped labels take longer to measure than the rows take to make.
        if (sliced)
            row->show();
        m_rows.append(row);
        m_rowsByNode.insert(node, row);
    }
    if (sliced)
        m_rowLayout->activate();
    m_container->setUpdatesEnabled(true);
}

void SearchView::updateStatus()
{
    const int total = int(m_results.size());
    const int shown = m_rowsWanted;
    const bool more = total > m_shownLimit;
    m_more->setVisible(more);
    if (more) {
        m_more->setText(tr("Show more results (%L1 more)").arg(total - shown));
        m_status->setText(tr("%L1 results, showing the best %L2. Refine the search or show more.")
                              .arg(total)
                              .arg(shown));
    } else if (total >= 1) {
        m_status->setText(tr("%n results", nullptr, total));
    } else {
        m_status->setText(tr("No matching settings."));
    }
}

void SearchView::showMore()
{
    m_shownLimit += 100;
    addRows(qMin(m_shownLimit, int(m_results.size())));
    updateStatus();
}

void SearchView::showRowMenu(XsdtNode *node, const QPoint &globalPos)
{
    showPageMenu(this, m_model, node, globalPos, m_viewOnly);
}

void SearchView::refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    refreshRowsInRange(m_rowsByNode, m_model, topLeft, bottomRight);
}

void SearchView::refreshAllRows()
{
    for (SettingRow *row : std::as_const(m_rows))
        row->refresh();
}

} // namespace vrn
