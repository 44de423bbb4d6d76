#include "environment/englishplurals.h"

#include <QCoreApplication>
#include <QHash>

#include <cstring>

namespace vrn {

namespace {

struct Forms
{
    const char *plural; // the text as written in the program
    const char *singular;
};

// Every counted text of the program, as written, and its form for a count of one.
const Forms kForms[] = {
    // Counted after a colon: these read the same for one.
    {"Backups moved to the trash folder %1: %n (%2).",
     "Backups moved to the trash folder %1: %n (%2)."},
    {"Backups deleted for good: %n (%1).", "Backups deleted for good: %n (%1)."},
    {"Not removed: %n.", "Not removed: %n."},
    {"Backups moved to the trash folder %1: %n (%2 KiB).",
     "Backups moved to the trash folder %1: %n (%2 KiB)."},
    {"Backups deleted for good: %n (%1 KiB).", "Backups deleted for good: %n (%1 KiB)."},
    {"Versions removed: %n (%1 KiB).", "Versions removed: %n (%1 KiB)."},
    {"Byte sequences in this file that are not valid UTF-8: %n (the first at line %1, column %2). "
     "Saving writes them as U+FFFD; the backup keeps the original bytes.",
     "Byte sequences in this file that are not valid UTF-8: %n (the first at line %1, column %2). "
     "Saving writes them as U+FFFD; the backup keeps the original bytes."},
    {"Byte sequences in this file that are not valid UTF-8: %n (the first in %1). Saving writes "
     "them as U+FFFD; the backup keeps the original bytes.",
     "Byte sequences in this file that are not valid UTF-8: %n (the first in %1). Saving writes "
     "them as U+FFFD; the backup keeps the original bytes."},
    {"Byte sequences that are not valid UTF-8 and will be written as U+FFFD: %n (the first at line "
     "%1, column %2).",
     "Byte sequences that are not valid UTF-8 and will be written as U+FFFD: %n (the first at line "
     "%1, column %2)."},
    {"Byte sequences that are not valid UTF-8 and will be written as U+FFFD: %n (the first in %1).",
     "Byte sequences that are not valid UTF-8 and will be written as U+FFFD: %n (the first in "
     "%1)."},
    {"%1   (%n files, %2)", "%1   (%n file, %2)"},
    {"%1  (%n values)", "%1  (%n value)"},
    {"%1  -  %n values, %2", "%1  -  %n value, %2"},
    {"%1 (%n values in all). Uninstalled, renamed or replaced modules leave their data behind.",
     "%1 (%n value in all). Uninstalled, renamed or replaced modules leave their data behind."},
    {"%1 holds %n values.", "%1 holds %n value."},
    {"%1 queued for deletion (%n values). Save to apply.",
     "%1 queued for deletion (%n value). Save to apply."},
    {"%1 was reloaded. %n of your changes could not be made on it again:",
     "%1 was reloaded. Your change could not be made on it again:"},
    {"%1, %n files, %2", "%1, %n file, %2"},
    {"%n backups", "%n backup"},
    {"Dry run: %n versions would go (%1 KiB).", "Dry run: %n version would go (%1 KiB)."},
    {"%n values changed since %1", "%n value changed since %1"},
    {"%n values differ from the open file", "%n value differs from the open file"},
    {"%n backups of %1, %2 in total (newest first):", "%n backup of %1, %2:"},
    {"%n byte sequences in the file are not valid UTF-8",
     "%n byte sequence in the file is not valid UTF-8"},
    {"%n byte sequences that are not valid UTF-8 (first at line %1, column %2) will be written "
     "as U+FFFD; the backup keeps the original bytes.",
     "%n byte sequence that is not valid UTF-8 (at line %1, column %2) will be written as "
     "U+FFFD; the backup keeps the original bytes."},
    {"%n deletions", "%n deletion"},
    {"%n additions", "%n addition"},
    {"%n edits", "%n edit"},
    {"%n entries", "%n entry"},
    {"%n entries queued for deletion", "%n entry queued for deletion"},
    {"%n items", "%n item"},
    {"%n more", "%n more"},
    {"%n paths", "%n path"},
    {"%n modules have saved data but are not in the module list",
     "%n module has saved data but is not in the module list"},
    {"%n notes", "%n note"},
    {"%n problems", "%n problem"},
    {"%n problems in %1; nothing was imported.", "%n problem in %1; nothing was imported."},
    {"%n problems; nothing was imported.", "%n problem; nothing was imported."},
    {"%n registered modules have no file on this computer",
     "%n registered module has no file on this computer"},
    {"%n results", "%n result"},
    {"%n unsaved changes", "%n unsaved change"},
    {"%n unused modules; %1 queued for deletion", "%n unused module; %1 queued for deletion"},
    {"%n unused modules; %1 ticked (about %2); %3 queued for deletion",
     "%n unused module; %1 ticked (about %2); %3 queued for deletion"},
    {"%n values", "%n value"},
    {"%n values hold characters that XML does not allow",
     "%n value holds characters that XML does not allow"},
    {"%n values were not accepted; nothing was imported.",
     "%n value was not accepted; nothing was imported."},
    {"%n warnings", "%n warning"},
    {"... and %n more (Show Details lists them all).",
     "... and %n more (Show Details lists them all)."},
    {"... and %n more under Show Details.", "... and %n more under Show Details."},
    {"; %n files or folders queued for deletion from disk",
     "; %n file or folder queued for deletion from disk"},
    {"<b>The file changed on disk since it was loaded.</b> Saving is blocked. Reload to continue "
     "(your %n unsaved changes will be discarded), or reload and keep your changes where the "
     "other program left the values alone.",
     "<b>The file changed on disk since it was loaded.</b> Saving is blocked. Reload to continue "
     "(your %n unsaved change will be discarded), or reload and keep your change if the other "
     "program left that value alone."},
    {"A new entry with %n values. Expand the row to see them.",
     "A new entry with %n value. Expand the row to see it."},
    {"Also deleted from disk, permanently, right after the settings are written (%n items):",
     "Also deleted from disk, permanently, right after the settings are written (%n item):"},
    {"Copied %n values into this file. Review and save when ready.",
     "Copied %n value into this file. Review and save when ready."},
    {"Copied %n values; %1 could not be copied (protected type, not editable, or refused).",
     "Copied %n value; %1 could not be copied (protected type, not editable, or refused)."},
    {"Copy %n values from %1 into this file?\n\nThey become pending changes: you can review, "
     "revert and save them as usual.",
     "Copy %n value from %1 into this file?\n\nIt becomes a pending change: you can review, "
     "revert and save it as usual."},
    {"Delete %1 (%n values)", "Delete %1 (%n value)"},
    {"Delete %1?\n(%n values)", "Delete %1?\n(%n value)"},
    {"Delete all %n backups", "Delete the %n backup"},
    {"%1 (%2)?\n\nThey are moved to the trash folder %3.",
     "%1 (%2)?\n\nIt is moved to the trash folder %3."},
    {"%1 (%2)?\n\nThey cannot be moved to the trash: %3. They will be deleted for good.",
     "%1 (%2)?\n\nIt cannot be moved to the trash: %3. It will be deleted for good."},
    {"Delete the %n backups older than the newest %1",
     "Delete the %n backup older than the newest %1"},
    {"Delete the %n older backups (%1)", "Delete the %n older backup (%1)"},
    {"Delete the %n selected backups", "Delete the %n selected backup"},
    {"Deleted %n backups (%1 KiB); no trash was available.",
     "Deleted %n backup (%1 KiB); no trash was available."},
    {"Deleted %n backups (%1).", "Deleted %n backup (%1)."},
    {"Deleted %n files or folders from disk.", "Deleted %n file or folder from disk."},
    {"Discard all %n unsaved changes?", "Discard the %n unsaved change?"},
    {"Exported %n values to %1.", "Exported %n value to %1."},
    {"Given more than once, but %1 holds this setting only %n times.",
     "Given more than once, but %1 holds this setting only once."},
    {"Imported %n values from %1 (%2 new). Review them, then save.",
     "Imported %n value from %1 (%2 new). Review it, then save."},
    {"Imported %n values from %1. Review them, then save.",
     "Imported %n value from %1. Review it, then save."},
    {"Module search for \"%1\" (%n values)", "Module search for \"%1\" (%n value)"},
    {"Module search for \"%1\": registry entry, module data, module settings and process entries "
     "- %2, %n values. Type words below to narrow them.",
     "Module search for \"%1\": registry entry, module data, module settings and process entries "
     "- %2, %n value."},
    {"Moved %n backups to the Recycle Bin (%1).", "Moved %n backup to the Recycle Bin (%1)."},
    {"Moved %n backups to the trash (%1 KiB).", "Moved %n backup to the trash (%1 KiB)."},
    {"No module is called exactly \"%1\"; showing modules whose name contains it: %2 - %n "
     "values.",
     "No module is called exactly \"%1\"; showing modules whose name contains it: %2 - %n "
     "value."},
    {"Queued %1 of %n modules for deletion.", "Queued %1 of %n module for deletion."},
    {"Queued %1; %n protected entries were left alone (%2).",
     "Queued %1; %n protected entry was left alone (%2)."},
    {"Queued %n entries for deletion. Save to apply.",
     "Queued %n entry for deletion. Save to apply."},
    {"Queued %n files or folders for deletion from disk.",
     "Queued %n file or folder for deletion from disk."},
    {"Reloaded %1 and made %n of your changes again.", "Reloaded %1 and made your change again."},
    {"Remove %n records from PixInsight's list of installed updates?%1\n\nA backup is made "
     "first. PixInsight must be closed.",
     "Remove %n record from PixInsight's list of installed updates?%1\n\nA backup is made "
     "first. PixInsight must be closed."},
    {"Remove %n ticked...", "Remove %n ticked..."},
    {"Removed %n records.", "Removed %n record."},
    {"Show more findings (%n not shown yet)", "Show one more finding"},
    {"The whole entry is removed (%n values). Expand the row to see them.",
     "The whole entry is removed (%n value). Expand the row to see it."},
    {"This file has too many groups to open them all: %n levels from the top were opened. Open "
     "a group to see inside it.",
     "This file has too many groups to open them all: %n level from the top was opened. Open a "
     "group to see inside it."},
    {"This permanently deletes %n files or folders from disk when you save.",
     "This permanently deletes %n file or folder from disk when you save."},
    {"This removes the saved configuration of %n tools or scripts. They will start from their "
     "defaults.",
     "This removes the saved configuration of %n tool or script. It will start from its "
     "defaults."},
    {"This removes the saved data of %n modules that are not in the module list.",
     "This removes the saved data of %n module that is not in the module list."},
    {"Ticked: %n entries (about %1)", "Ticked: %n entry (about %1)"},
    {"You have %n unsaved changes.", "You have %n unsaved change."},
    {"You have %n unsaved changes. %1", "You have %n unsaved change. %1"},
    {"You have %n unsaved changes. Save them before opening another file?",
     "You have %n unsaved change. Save it before opening another file?"},
    {"\nMarked for deletion (%n values); removed when you save.",
     "\nMarked for deletion (%n value); removed when you save."},
    {"cancelled cleanup of %n entries", "cancelled cleanup of %n entry"},
    {"cleanup of %n entries", "cleanup of %n entry"},
    {"copy of %n values from %1", "copy of %n value from %1"},
    {"import of %n values from %1", "import of %n value from %1"},
    {"queue deletion of %n modules' data", "queue deletion of %n module's data"},
    {"revert all (%n changes)", "revert all (%n change)"},
    {"revert of %n changes", "revert of %n change"},
    {"Listing %n changes...", "Listing %n change..."},
    // The Paths and Repositories pages.
    {"%n missing", "%n missing"},
    {"None of the %n values may be changed; nothing was written.",
     "The value may not be changed; nothing was written."},
    {"Paths: %n. Folders: %1. Missing on this computer: %2.",
     "Paths: %n. Folders: %1. Missing on this computer: %2."},
    {"Paths that will change: %n.", "Paths that will change: %n."},
    {"Values that may not be changed, listed last: %n.",
     "Values that may not be changed, listed last: %n."},
    {"New paths not found on this computer: %n.", "New paths not found on this computer: %n."},
    {"replacement of %n path beginnings", "replacement of %n path beginning"},
    {"Paths changed: %n. Review and save when ready.",
     "Paths changed: %n. Review and save when ready."},
    {"Paths changed: %n. Not changed, because they were edited since the preview or refused: "
     "%1. Review and save when ready.",
     "Paths changed: %n. Not changed, because they were edited since the preview or refused: "
     "%1. Review and save when ready."},
    {"Repositories: %n.", "Repositories: %n."},
    {"Addresses given more than once: %n.", "Addresses given more than once: %n."},
    {"Addresses without encryption (http://): %n.", "Addresses without encryption (http://): %n."},
};

const QHash<QByteArray, const char *> &singulars()
{
    static const QHash<QByteArray, const char *> table = [] {
        QHash<QByteArray, const char *> out;
        for (const Forms &forms : kForms)
            out.insert(QByteArray::fromRawData(forms.plural, qsizetype(std::strlen(forms.plural))),
                       forms.singular);
        return out;
    }();
    return table;
}

} // namespace

QString EnglishPlurals::singular(const char *sourceText)
{
    if (!sourceText)
        return QString();
    const char *found =
        singulars().value(QByteArray::fromRawData(sourceText, qsizetype(std::strlen(sourceText))));
    return found ? QString::fromUtf8(found) : QString();
}

EnglishPlurals::EnglishPlurals(QObject *parent, bool groupDigits)
    : QTranslator(parent)
    , m_groupDigits(groupDigits)
{}

QString EnglishPlurals::translate(const char *, const char *sourceText, const char *, int n) const
{
    // English uses the singular for exactly one; zero and every other count read as written.
    QString text = n == 1 ? singular(sourceText) : QString();
    if (!m_groupDigits || n < 0 || !sourceText)
        return text;
    if (text.isNull())
        text = QString::fromUtf8(sourceText);
    // "%Ln" is the count as the locale writes numbers.
    return text.replace(QLatin1String("%n"), QLatin1String("%Ln"));
}

void installEnglishPlurals(bool groupDigits)
{
    auto *app = QCoreApplication::instance();
    if (!app || app->findChild<EnglishPlurals *>(QString(), Qt::FindDirectChildrenOnly))
        return;
    QCoreApplication::installTranslator(new EnglishPlurals(app, groupDigits));
}

} // namespace vrn
