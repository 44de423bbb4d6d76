#pragma once

#include "document/additions.h"
#include "knowledge/paths.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace vrn {

struct XsdtNode;
class XsdtDocument;
class Schema;
class DeletionPolicy;

// A setup carried to another computer: the JSON file varnelctl export and File > Export...
// write, and import and File > Import... read.
struct SetupValue
{
    QString path;
    QString type;
    QString value;
    bool wellFormed = true; // the entry had a path, a one-letter type and a text value
};

struct SetupFile
{
    QString source;      // the settings file it was exported from, as that computer wrote it
    QStringList modules; // the modules and scripts whose data it carries
    QList<SetupValue> values;
};

QString setupFormat();

// Every entry at the path, twins at any level included, in document order. A setup carries
// twins in that order, and an import pairs them by rank, as a comparison does.
QList<XsdtNode *> nodesAtPath(const XsdtNode &root, QStringView path);

// What an export takes: the documented, editable preferences when asked, the values below the
// given subtrees, and then the data of each named module or script, twins included. Only what an
// import would accept back is taken, each value once. False, with `error` saying so, when a module
// name has no data in the file.
struct SetupChoice
{
    bool preferences = true;
    QList<XsdtNode *> subtrees;
    QStringList modules;
};
bool setupValues(const XsdtDocument &document, const Schema &schema, const DeletionPolicy &policy,
                 const SetupChoice &choice, QList<XsdtNode *> *values, QString *error = nullptr);

// The names whose data an export can take: modules with data and scripts with saved data,
// sorted ignoring case.
QStringList exportableModules(const XsdtDocument &document);

QByteArray writeSetupFile(const QList<XsdtNode *> &values, const QString &source,
                          const QStringList &modules);

// False, with `error` saying why, when the bytes are no setup file. Entries of the wrong shape
// are kept, marked, for planImport to name.
bool readSetupFile(QByteArray bytes, SetupFile *setup, QString *error = nullptr);

struct ImportProblem
{
    QString path;
    QString message;
};

struct ImportChange
{
    XsdtNode *node = nullptr;
    QString value; // as it will be stored
};

// What importing the setup into the document would change, path prefixes rewritten by the maps
// first. Every entry is checked and every problem named, so one try shows all that needs
// fixing; an import goes ahead only when there is none. `target` names the document's file in
// the problems. A setting the document lacks is a problem, unless `addMissing` asks for it to
// be created, with the setup's type, among the neighbours it had there.
struct ImportPlan
{
    QList<ImportChange> changes;
    QList<NewValue> additions;
    QList<ImportProblem> problems;
};
// Once `cancelled` is set the plan stops where it is and must not be applied.
ImportPlan planImport(const XsdtDocument &document, const SetupFile &setup,
                      const QList<PathMap> &maps, bool windowsPaths, const Schema &schema,
                      const DeletionPolicy *policy, const QString &target, bool addMissing = false,
                      const std::atomic<bool> *cancelled = nullptr);

// The home folder ("/home/NAME", "/Users/NAME", "C:\Users\NAME") most of the setup's path
// values sit in, when it does not exist on this computer; empty otherwise.
QString suggestedOldHome(const SetupFile &setup, bool windowsPaths,
                         const std::function<bool(const QString &)> &exists);

// The first two levels of the setup's paths (each line of a text value, a "path|line" reference
// without its number): a home folder, a drive's mount point. Most used first, then by name.
struct SetupFolder
{
    QString folder;
    int paths = 0;
};
QList<SetupFolder> setupFolders(const SetupFile &setup, bool windowsPaths);

} // namespace vrn
