#pragma once

#include <QList>
#include <QString>

#include <atomic>

namespace vrn {

struct XsdtNode;
class XsdtDocument;
class Schema;
struct HealthEnv;

enum class Severity { Note = 0, Warning = 1, Problem = 2 };

// OpenUnusedModules: the card offers the Unused modules page. DeleteLastEntry: the card offers
// to queue the last of its entries for deletion.
enum class FindingAction { None = 0, OpenUnusedModules = 1, DeleteLastEntry = 2 };

// One thing the health check found; the nodes point into the checked document.
struct Finding
{
    QString id;
    Severity severity = Severity::Note;
    QString title;
    QString text;
    QList<XsdtNode *> nodes;
    FindingAction action = FindingAction::None;
};

// Looks through the document for settings that are probably wrong on the computer `env`
// describes. Changes nothing; the most serious findings come first. Gives up with nothing
// soon after `cancelled` is set.
QList<Finding> runHealthCheck(const XsdtDocument &document, const Schema &schema,
                              const HealthEnv &env, const std::atomic_bool *cancelled = nullptr);

// Appends a "duplicate-key" finding for every key that occurs more than once among the
// children of a node or of any group below it (entries marked for deletion left out). Stops
// where it is once `cancelled` is set.
void findDuplicateKeys(const XsdtNode *node, QList<Finding> &findings,
                       const std::atomic_bool *cancelled = nullptr);

// "Note", "Warning", "Problem"; empty for anything else.
QString severityName(Severity severity);

// What findings with this id are about, for choosing among them: "Missing files and folders".
QString findingKindName(const QString &id);

} // namespace vrn
