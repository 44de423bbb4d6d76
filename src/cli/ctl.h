#pragma once

#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "store/files.h"
#include "store/memoryfit.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

class QCommandLineParser;
class QTextStream;

namespace vrn {

class DocumentManager;
class HistoryRecorder;
class HistoryStore;
class SettingsStore;
class XsdtDocument;
struct XsdtNode;

// Exit codes of varnelctl; scripts rely on them, so they never change meaning.
enum CtlExit {
    ExitDone = 0,
    ExitFinding = 1,     // check found a Warning or Problem; (history) diff found a difference
    ExitRunning = 2,     // PixInsight is running or nobody can tell, nothing written
    ExitNotFound = 3,    // file, path, backup or version not found or not readable as settings
    ExitRefused = 4,     // validation, deletion policy, import problems, file changed, a
                         // history that may not be changed here
    ExitWriteFailed = 5, // writing failed, the file left as it was
    ExitUsage = 6,       // malformed command line
    ExitNoMemory = 7     // the file would not fit in the memory available; nothing was read
};

class Ctl;

// One option of the command line. Help texts are untranslated here and pass through tr() where
// they are shown; a line break starts a new line of the help's second column.
struct CtlOption
{
    enum Scope {
        Command, // only with the commands that list it
        Every,   // with every command
        Alone    // instead of a command
    };
    const char *name;
    const char *shortName; // nullptr: none
    const char *valueName; // nullptr: a switch
    Scope scope;
    const char *help;
    bool repeatable = false; // each value counts; any other option may be given once
};

// One command: what --help says about it, what the command line may hold for it, and what runs it.
struct CtlCommand
{
    const char *name;
    const char *synopsis;
    const char *help;
    int minArgs;
    int maxArgs; // -1: any number
    QStringList options;
    const char *requiredOption; // nullptr: none
    int (Ctl::*handler)(const QStringList &arguments);
};

// The command-line companion: reads, changes, checks and compares settings files through the
// same document, store, schema and deletion policy as the window. One object runs one command.
// The frame (command line, output, errors, opening and saving) is in ctl.cpp, the commands that
// only read in ctlread.cpp, those that write in ctlwrite.cpp.
class Ctl
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Ctl)

public:
    Ctl(QTextStream &out, QTextStream &err);
    ~Ctl();

    // arguments[0] is the program name, as in QCoreApplication::arguments().
    int run(const QStringList &arguments);

    static QString helpText();
    static const QList<CtlCommand> &commands();
    static const QList<CtlOption> &options();

private:
    int usage(const QString &problem);
    // A line on standard error: varnelctl, then the file and setting it concerns, then what.
    void say(const QString &file, const QString &path, const QString &message);
    int fail(int code, const QString &file, const QString &path, const QString &message);
    // Said on standard error like a failure, but the command goes on.
    void warn(const QString &file, const QString &message);
    void loadKnowledge();
    QString chosenFile() const;
    int noFile(const QString &file);
    // Refuses files that would not fit in the memory available, unless --ignore-memory.
    int checkMemory(const QString &file, double factor = MemoryFit::kReadFactor);
    int checkMemory(const MemoryFit &fit, const QString &what);
    // With `only`, just what the look-up of those paths needs is kept.
    int readDocument(XsdtDocument &document, const QString &file, QByteArray *hash = nullptr,
                     const QStringList *only = nullptr);
    // Reads without the memory check and without a word, so that it may run on a worker; the
    // reason it failed goes to `error`, for reportRead(). The bytes are read into `buffer`
    // when given, reusing its memory.
    static bool parseFile(XsdtDocument &document, const QString &file, QByteArray *hash,
                          const QStringList *only, QString *error, QByteArray *buffer = nullptr);
    int reportRead(bool ok, const QString &error);
    int openDocument(DocumentManager &docs, const QString &file);
    // The exit code of a save or restore the store refused.
    int refusalCode(const SettingsStore &store) const;
    // Before a save or restore: --force lets a read-only file be replaced, and what the user
    // should know about replacing the file is said.
    void prepareReplace(SettingsStore &store);
    // The store's message for a refused save or restore, with what the command line can do.
    QString refusal(const SettingsStore &store, const QString &error) const;
    int save(DocumentManager &docs, const QStringList &changeLines, QJsonObject json);
    // Records on standard output: JSON, or one line each.
    void print(const QJsonObject &json, const QStringList &lines);
    // What a person wants to read but a script parsing the records must not meet: standard
    // error, text output only.
    void note(const QString &message);
    // Compares the two documents by the window's rules and prints the records inside `frame`;
    // ExitFinding when there are any.
    int printDiff(QJsonObject frame, const XsdtDocument &first, const XsdtDocument &second);
    // The values at `paths` (their subgroups' too with --recursive) added to `json` and printed.
    int printValues(const XsdtDocument &document, const QString &file, const QStringList &paths,
                    QJsonObject json);

    static QString exportFormat();
    static QString native(const QString &path);
    static QString escaped(QString text);
    static QJsonObject valueJson(const XsdtNode *node);

    // ctlread.cpp
    int files(const QStringList &);
    int get(const QStringList &paths);
    int check(const QStringList &);
    int diff(const QStringList &files);
    int backups(const QStringList &);
    int exportValues(const QStringList &paths);
    int paths(const QStringList &);
    int repos(const QStringList &);
    // Hidden: what the completion script offers for a backup, setting path or module name.
    int completions(const QStringList &arguments);

    // ctlhistory.cpp
    int history(const QStringList &);
    int historyDiff(const QStringList &versions);
    int historyGet(const QStringList &arguments);
    int historyRestore(const QStringList &arguments);
    int historyPin(const QStringList &arguments);
    int historyUnpin(const QStringList &arguments);
    int watch(const QStringList &);
    int pruneHistory(HistoryStore &store);
    int pinVersion(const QString &text, bool pinned);
    int openHistory(HistoryStore &store, QString *file);
    int openVersion(HistoryStore &store, QString *file, const QString &text, qint64 *id);
    int versionArgument(const HistoryStore &store, const QString &text, qint64 *id);
    // A version that reads as settings, with its bytes in `read` when asked for.
    int readVersion(const HistoryStore &store, qint64 id, XsdtDocument &document,
                    QByteArray *read = nullptr);
    // Saves and restores made through `store` are recorded in the file's history; whatever
    // could not be recorded is said by finishRecording(), which waits for the recording.
    void recordSaves(SettingsStore &store);
    void finishRecording();

    // ctlwrite.cpp
    int set(const QStringList &assignments);
    int remove(const QStringList &paths);
    int restore(const QStringList &backup);
    int prune(const QStringList &);
    int importValues(const QStringList &file);
    int replacePaths(const QStringList &mappings);

    QTextStream &m_out;
    QTextStream &m_err;
    QCommandLineParser *m_parser = nullptr;
    Schema m_schema;
    DeletionPolicy m_policy;
    bool m_json = false;
    bool m_dryRun = false;
    std::mutex m_recorderMutex;
    QStringList m_recorderFailures;
    std::unique_ptr<HistoryRecorder> m_recorder; // last: its thread reports to the two above
};

} // namespace vrn
