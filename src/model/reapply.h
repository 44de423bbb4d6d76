#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace vrn {

class SettingsModel;
class XsdtDocument;

// A pending value edit or queued deletion, held by path while its document is read again.
struct PendingChange
{
    QStringList keys; // from the top group down; a key may itself hold a '/'
    bool deletion = false;
    QChar type;
    QString loadedValue;    // the value as it was loaded
    QString value;          // the value the user gave it
    bool ambiguous = false; // another entry of its document answers the same keys
};

// What became of one pending change on the document read again.
struct ReapplyOutcome
{
    enum Status { Applied, AlreadyEqual, ChangedOnDisk, Gone, Ambiguous, TypeChanged, Refused };

    PendingChange change;
    Status status = Applied;
    QString diskValue; // the reloaded file's value (edits whose path was found)
    QChar diskType;
    bool diskIsGroup = false;
    QString reason; // the model's refusal (Refused)

    bool done() const { return status == Applied || status == AlreadyEqual; }
};

// The document's value edits followed by its queued deletions, in document order.
QList<PendingChange> pendingChanges(const XsdtDocument &document);

// Makes the changes again, through the model, on the document it now shows. An edit is made
// only where the file still holds the value it was loaded with: another program's newer value
// is never overwritten. A deletion is queued again wherever the path leads to one entry. The
// changes count as pending, but leave no undo step: undoing them would pretend to go back to
// the file as it was before the reload.
QList<ReapplyOutcome> reapplyPending(const QList<PendingChange> &changes, SettingsModel &model);

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
