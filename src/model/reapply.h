#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

class DeletionPolicy;
class Schema;
class SettingsModel;
class XsdtDocument;
struct XsdtNode;

// A pending value edit, queued deletion or new value, held by path while its document is read
// again.
struct PendingChange
{
    QStringList keys; // from the top group down; a key may itself hold a '/'
    bool deletion = false;
    bool addition = false;
    // A new value's place: the keys of the neighbours of the topmost new entry above it, at
    // `level`, as in NewValue.
    int level = -1;
    QString after;
    QString before;
    QChar type;
    QString loadedValue;    // the value as it was loaded
    QString value;          // the value the user gave it
    bool ambiguous = false; // another entry of its document answers the same keys
};

// What became of one pending change on the document read again.
struct ReapplyOutcome
{
    enum Status {
        Applied,
        AlreadyEqual,
        ChangedOnDisk,
        Gone,
        Ambiguous,
        TypeChanged,
        Refused,
        Appeared // a value to be created is in the file now, with another value or type
    };

    PendingChange change;
    Status status = Applied;
    QString diskValue; // the reloaded file's value (edits whose path was found)
    QChar diskType;
    bool diskIsGroup = false;
    QString reason; // the model's refusal (Refused)
    // Found by resolvePending for applyResolved: the one entry the change is made on, and
    // for an edit the text to store (empty when the rules refused it, `reason` saying why).
    XsdtNode *node = nullptr;
    QString stored;
    // An edit already made by makeResolvedEdits on the document just read.
    bool madeOnReader = false;

    bool done() const { return status == Applied || status == AlreadyEqual; }
};

// The document's value edits, then its queued deletions, then its new values, in document order.
QList<PendingChange> pendingChanges(const XsdtDocument &document);

// Makes the changes again, through the model, on the document it now shows. An edit is made
// only where the file still holds the value it was loaded with: another program's newer value
// is never overwritten. A deletion is queued again wherever the path leads to one entry. The
// changes count as pending, but leave no undo step: undoing them would pretend to go back to
// the file as it was before the reload.
QList<ReapplyOutcome> reapplyPending(const QList<PendingChange> &changes, SettingsModel &model);

// The two halves of reapplyPending, so that the lookups can run on the thread that read the
// document, before the window shows it. resolvePending reads only `document` and asks
// `refusal` (the model's rules: why a text would not be stored, and what would be) for every
// edit it would make; it changes nothing. applyResolved then makes, on the GUI thread and in
// one announcement, what the outcomes say can still be made.
using RefusalCheck =
    std::function<QString(const XsdtNode *node, const QString &text, QString *normalized)>;
QList<ReapplyOutcome> resolvePending(const QList<PendingChange> &changes,
                                     const XsdtDocument &document, const RefusalCheck &refusal);
void applyResolved(QList<ReapplyOutcome> &outcomes, SettingsModel &model);
// Makes the edits that nothing refused straight on the document resolvePending read, on its
// thread, before anything shows that document: the window then takes them in with it, rather
// than tens of thousands at once on its own thread. Not for a view-only window, where the
// model refuses every edit; applyResolved leaves what was made here alone.
void makeResolvedEdits(QList<ReapplyOutcome> &outcomes);
// The model's refusal() with its own copy of the rules, to be asked on another thread.
RefusalCheck refusalCheck(const Schema *schema, const DeletionPolicy *policy);

// One line for the user on a change that was not made again: its path and why; empty when it
// was made (or the file already held it).
QString describeOutcome(const ReapplyOutcome &outcome);

// What the user is told after the file at `path` (as shown to users) was read again and the
// changes made once more: a status line, and a warning listing the changes that were not.
struct ReloadReport
{
    QString status;
    bool warn = false; // some changes were not made again: show the warning below
    QString title;
    QString text;
    QString list;    // the first lines, with a note of how many more there are
    QString details; // every line, when the list had to be cut short
};
ReloadReport describeReload(const QList<ReapplyOutcome> &outcomes, const QString &path);

} // namespace vrn
