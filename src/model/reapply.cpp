#include "model/reapply.h"

#include "document/additions.h"
#include "document/valuenodes.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "knowledge/valuecheck.h"
#include "model/settingsmodel.h"

#include <QCoreApplication>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

namespace vrn {

namespace {

class ReapplyText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Reapply)
};

QStringList keysOf(const XsdtNode *node)
{
    QStringList keys;
    for (; node && node->parent; node = node->parent)
        keys.prepend(node->key);
    return keys;
}

// The children of each large group sorted by key, made when the group is first passed, so that
// thousands of changes below one large group do not each scan all its children. Sorting views
// of the keys costs far less than hashing them into lists; small groups are simply scanned.
class KeyLookup
{
public:
    // Appends the children with this key, in document order.
    void children(const XsdtNode *group, const QString &key, std::vector<XsdtNode *> &out)
    {
        const auto &kids = group->children;
        if (kids.size() <= kScanned) {
            for (const auto &child : kids) {
                if (child->key == key)
                    out.push_back(child.get());
            }
            return;
        }
        std::vector<Entry> &sorted = m_groups[group];
        if (sorted.empty()) {
            sorted.reserve(kids.size());
            for (const auto &child : kids)
                sorted.push_back({child->key.view(), child.get()});
            std::stable_sort(sorted.begin(), sorted.end(), byKey);
        }
        const auto range =
            std::equal_range(sorted.begin(), sorted.end(), Entry{QStringView(key), nullptr}, byKey);
        for (auto it = range.first; it != range.second; ++it)
            out.push_back(it->node);
    }

private:
    static constexpr size_t kScanned = 16;
    struct Entry
    {
        QStringView key;
        XsdtNode *node;
    };
    static bool byKey(const Entry &a, const Entry &b) { return a.key < b.key; }
    std::unordered_map<const XsdtNode *, std::vector<Entry>> m_groups;
};

// Every entry the keys lead to. Keys are compared one by one rather than as a joined path, so
// that a key holding '/' cannot lead elsewhere, and every duplicate on the way is followed.
std::vector<XsdtNode *> resolve(const XsdtNode &root, const QStringList &keys, KeyLookup &lookup)
{
    std::vector<XsdtNode *> level{const_cast<XsdtNode *>(&root)};
    std::vector<XsdtNode *> next;
    for (const QString &key : keys) {
        next.clear();
        for (const XsdtNode *node : level)
            lookup.children(node, key, next);
        level.swap(next);
        if (level.empty())
            break;
    }
    return level;
}

PendingChange pendingChange(const XsdtDocument &document, const XsdtNode *node, bool deletion,
                            KeyLookup &lookup)
{
    PendingChange change;
    change.keys = keysOf(node);
    change.deletion = deletion;
    change.type = node->type;
    change.loadedValue = node->originalValue;
    change.value = node->value;
    change.ambiguous = resolve(document.root, change.keys, lookup).size() > 1;
    return change;
}

// A value as a message quotes it: on one line and not endless.
QString quoted(const QString &value)
{
    constexpr qsizetype kLength = 60;
    QString text = value.size() > kLength ? value.left(kLength - 1) + QChar(0x2026) : value;
    text.replace(QLatin1Char('\n'), QChar(0x23CE));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

QList<PendingChange> pendingChanges(const XsdtDocument &document)
{
    QList<PendingChange> changes;
    KeyLookup lookup;
    for (const XsdtNode *node : document.changedValues())
        changes.append(pendingChange(document, node, false, lookup));
    for (const XsdtNode *node : document.deletedNodes())
        changes.append(pendingChange(document, node, true, lookup));
    for (XsdtNode *top : document.addedNodes()) {
        const XsdtNode *parent = top->parent;
        const size_t row = size_t(top->indexInParent());
        PendingChange added;
        added.addition = true;
        added.level = int(keysOf(top).size()) - 1;
        if (row > 0)
            added.after = parent->children[row - 1]->key;
        if (row + 1 < parent->children.size())
            added.before = parent->children[row + 1]->key;
        QList<XsdtNode *> values;
        collectValueNodes(top, values);
        for (const XsdtNode *node : std::as_const(values)) {
            added.keys = keysOf(node);
            added.type = node->type;
            added.value = node->value;
            changes.append(added);
        }
    }
    return changes;
}

QList<ReapplyOutcome> resolvePending(const QList<PendingChange> &changes,
                                     const XsdtDocument &document, const RefusalCheck &refusal)
{
    QList<ReapplyOutcome> outcomes;
    outcomes.reserve(changes.size());
    KeyLookup lookup; // the tree's shape does not change here: only values and marks do
    for (const PendingChange &change : changes) {
        ReapplyOutcome outcome;
        outcome.change = change;
        const std::vector<XsdtNode *> found = resolve(document.root, change.keys, lookup);
        XsdtNode *node = found.size() == 1 ? found.front() : nullptr;
        if (node) {
            outcome.diskValue = node->value;
            outcome.diskType = node->type;
            outcome.diskIsGroup = node->isGroup();
        }
        if (change.addition) {
            // Created only where the file still lacks it: whatever appeared there meanwhile
            // was written by another program and is kept.
            if (found.empty())
                outcome.stored = change.value;
            else if (node && node->isValue() && node->type == change.type &&
                     node->value == change.value)
                outcome.status = ReapplyOutcome::AlreadyEqual;
            else
                outcome.status = ReapplyOutcome::Appeared;
        } else if (change.ambiguous || found.size() > 1) {
            outcome.status = ReapplyOutcome::Ambiguous;
        } else if (!node) {
            outcome.status = ReapplyOutcome::Gone;
        } else if (change.deletion) {
            outcome.node = node;
        } else if (node->isGroup() || node->type != change.type) {
            outcome.status = ReapplyOutcome::TypeChanged;
        } else if (node->value == change.value) {
            outcome.status = ReapplyOutcome::AlreadyEqual;
        } else if (node->value != change.loadedValue) {
            outcome.status = ReapplyOutcome::ChangedOnDisk;
        } else {
            outcome.node = node;
            outcome.reason = refusal(node, change.value, &outcome.stored);
        }
        outcomes.append(outcome);
    }
    return outcomes;
}

void makeResolvedEdits(QList<ReapplyOutcome> &outcomes)
{
    for (ReapplyOutcome &outcome : outcomes) {
        XsdtNode *node = outcome.node;
        // What applyResolved would make without asking the window: an edit the rules took,
        // to a text the entry does not already hold.
        if (!node || outcome.status != ReapplyOutcome::Applied || outcome.change.deletion ||
            outcome.change.addition || !outcome.reason.isEmpty() || outcome.stored == node->value)
            continue;
        node->value = outcome.stored;
        outcome.madeOnReader = true;
    }
}

void applyResolved(QList<ReapplyOutcome> &outcomes, SettingsModel &model)
{
    if (!model.rootNode())
        return;
    // The edits are written as one change and announced once: thousands of them would
    // otherwise each be checked and signalled again on the GUI thread.
    std::vector<SettingsModel::NodeChange> edits;
    std::vector<ReapplyOutcome *> deletions;
    std::vector<ReapplyOutcome *> additions;
    QList<NewValue> newValues;
    for (ReapplyOutcome &outcome : outcomes) {
        XsdtNode *node = outcome.node;
        if (outcome.madeOnReader)
            continue;
        if (outcome.change.addition && outcome.status == ReapplyOutcome::Applied) {
            const PendingChange &change = outcome.change;
            newValues.append({change.keys, change.type, outcome.stored, change.level, change.after,
                              change.before});
            additions.push_back(&outcome);
            continue;
        }
        if (!node || outcome.status != ReapplyOutcome::Applied)
            continue;
        if (outcome.change.deletion) {
            deletions.push_back(&outcome);
            continue;
        }
        // What setData would refuse, asked in its order: the state of the entry first (not
        // announced as a rejected keystroke), then the rules, then a value already there. The
        // rules cover every state of the entry but view-only, so only then, or when they
        // refused, is the state asked about, which costs a path per entry.
        QString reason = model.isViewOnly() || !outcome.reason.isEmpty()
                             ? model.whyNotEditable(node)
                             : QString();
        if (reason.isEmpty() && !outcome.reason.isEmpty())
            emit model.editRejected(outcome.reason);
        if (reason.isEmpty() && (!outcome.reason.isEmpty() || outcome.stored == node->value))
            reason = ReapplyText::tr("The value was not accepted.");
        outcome.reason = reason;
        if (!reason.isEmpty()) {
            outcome.status = ReapplyOutcome::Refused;
            continue;
        }
        edits.push_back(
            {node, node->value, outcome.stored, node->pendingDelete, node->pendingDelete});
    }
    model.applyChanges(edits, true);
    if (!deletions.empty()) {
        model.beginBatch(QString());
        for (ReapplyOutcome *outcome : deletions) {
            if (!model.queueDeletion(outcome->node, &outcome->reason))
                outcome->status = ReapplyOutcome::Refused;
        }
        model.endBatch();
    }
    if (!newValues.isEmpty()) {
        QStringList reasons;
        model.addValues(newValues, QString(), &reasons);
        for (size_t i = 0; i < additions.size(); ++i) {
            if (!reasons.value(qsizetype(i)).isEmpty()) {
                additions[i]->status = ReapplyOutcome::Refused;
                additions[i]->reason = reasons.at(qsizetype(i));
            }
        }
    }
    model.clearHistory();
}

RefusalCheck refusalCheck(const Schema *schema, const DeletionPolicy *policy)
{
    auto rules = policy ? std::make_shared<const DeletionPolicy>(*policy) : nullptr;
    auto documented = std::make_shared<const Schema>(schema ? *schema : Schema());
    return [rules, documented](const XsdtNode *node, const QString &text, QString *normalized) {
        QString error;
        if (!checkNewValue(node, text, *documented, rules.get(), normalized, &error))
            return error.isEmpty() ? ReapplyText::tr("The value was not accepted.") : error;
        return QString();
    };
}

QList<ReapplyOutcome> reapplyPending(const QList<PendingChange> &changes, SettingsModel &model)
{
    if (!model.document())
        return {};
    QList<ReapplyOutcome> outcomes =
        resolvePending(changes, *model.document(),
                       [&model](const XsdtNode *node, const QString &text, QString *normalized) {
                           return model.refusal(node, text, normalized);
                       });
    applyResolved(outcomes, model);
    return outcomes;
}

QString describeOutcome(const ReapplyOutcome &outcome)
{
    using T = ReapplyText;
    const PendingChange &change = outcome.change;
    const QString path = shortenedPath(change.keys.join(QLatin1Char('/')));
    const QString mine = quoted(change.value);
    switch (outcome.status) {
    case ReapplyOutcome::Applied:
    case ReapplyOutcome::AlreadyEqual:
        return QString();
    case ReapplyOutcome::ChangedOnDisk:
        return T::tr("%1: changed on disk to %2; your value %3 was not applied.")
            .arg(path, quoted(outcome.diskValue), mine);
    case ReapplyOutcome::Gone:
        return change.deletion
                   ? T::tr("%1: no longer in the file; there is nothing to delete.").arg(path)
                   : T::tr("%1: no longer in the file; your value %2 was not applied.")
                         .arg(path, mine);
    case ReapplyOutcome::Ambiguous:
        return change.deletion
                   ? T::tr("%1: more than one entry has this path (duplicate keys); nothing "
                           "was queued for deletion.")
                         .arg(path)
                   : T::tr("%1: more than one entry has this path (duplicate keys); your value "
                           "%2 was not applied.")
                         .arg(path, mine);
    case ReapplyOutcome::TypeChanged:
        if (outcome.diskIsGroup)
            return T::tr("%1: is a group in the file now; your value %2 was not applied.")
                .arg(path, mine);
        return T::tr("%1: its type changed on disk from %2 to %3; your value %4 was not applied.")
            .arg(path, typeDisplayName(change.type), typeDisplayName(outcome.diskType), mine);
    case ReapplyOutcome::Appeared:
        if (outcome.diskIsGroup)
            return T::tr("%1: is a group in the file now; your new value %2 was not added.")
                .arg(path, mine);
        return T::tr("%1: is in the file now, as %2 (%3); your new value %4 was not added.")
            .arg(path, quoted(outcome.diskValue), typeDisplayName(outcome.diskType), mine);
    case ReapplyOutcome::Refused:
        if (change.addition)
            return T::tr("%1: your new value %2 was not added. %3").arg(path, mine, outcome.reason);
        if (change.deletion)
            return T::tr("%1: not queued for deletion again. %2").arg(path, outcome.reason);
        return T::tr("%1: your value %2 was not applied. %3").arg(path, mine, outcome.reason);
    }
    return QString();
}

ReloadReport describeReload(const QList<ReapplyOutcome> &outcomes, const QString &path)
{
    using T = ReapplyText;
    QStringList problems;
    for (const ReapplyOutcome &outcome : outcomes) {
        if (!outcome.done())
            problems.append(describeOutcome(outcome));
    }
    ReloadReport report;
    const int applied = int(outcomes.size() - problems.size());
    report.status =
        T::tr("Reloaded %1 and made %n of your changes again.", nullptr, applied).arg(path);
    if (problems.isEmpty())
        return report;
    // A long list goes behind "Show Details..." so that the box still fits on the screen.
    constexpr int kListed = 20;
    report.warn = true;
    report.title = T::tr("Some changes were not made again");
    report.text =
        T::tr("%1 was reloaded. %n of your changes could not be made on it again:", nullptr,
              int(problems.size()))
            .arg(path);
    report.list = problems.mid(0, kListed).join(QLatin1Char('\n'));
    if (problems.size() > kListed) {
        report.list += QLatin1Char('\n') + T::tr("... and %n more under Show Details.", nullptr,
                                                 int(problems.size()) - kListed);
        report.details = problems.join(QLatin1Char('\n'));
    }
    return report;
}

} // namespace vrn
