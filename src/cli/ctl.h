#pragma once

#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "store/files.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class QCommandLineParser;
class QTextStream;

namespace vrn {

class SettingsStore;
class XsdtDocument;
struct XsdtNode;

// Exit codes of varnelctl; scripts rely on them, so they never change meaning.
enum CtlExit {
    ExitDone = 0,
    ExitFinding = 1,     // check found a Warning or Problem; diff found a difference
    ExitRunning = 2,     // PixInsight is running, nothing written
    ExitNotFound = 3,    // file, path or backup not found or not readable as settings
    ExitRefused = 4,     // validation, deletion policy, import problems, file changed
    ExitWriteFailed = 5, // writing failed, the file left as it was
    ExitUsage = 6        // malformed command line
};

// The command-line companion: reads, changes, checks and compares settings files through the
// same document, store, schema and deletion policy as the window. One object runs one command.
class Ctl
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Ctl)

public:
    Ctl(QTextStream &out, QTextStream &err);
    ~Ctl();

    // arguments[0] is the program name, as in QCoreApplication::arguments().
    int run(const QStringList &arguments);

    static QString helpText();

private:
    int usage(const QString &problem);
    int fail(int code, const QString &file, const QString &path, const QString &message);
    bool loadKnowledge();
    QString chosenFile() const;
    int noFile(const QString &file);
    int readDocument(XsdtDocument &document, const QString &file, QByteArray *hash = nullptr);
    int openStore(SettingsStore &store, const QString &file);
    // The exit code of a save or restore the store refused.
    int refusalCode(const SettingsStore &store) const;
    int save(SettingsStore &store, const QStringList &changeLines, QJsonObject json);
    void print(const QJsonObject &json, const QStringList &lines);

    int files();
    int get(const QStringList &paths);
    int set(const QStringList &assignments);
    int remove(const QStringList &paths);
    int check();
    int diff(const QStringList &files);
    int backups();
    int restore(const QString &backup);
    int prune(const QString &keep);
    int exportValues(const QStringList &paths);
    int importValues(const QString &file);

    QTextStream &m_out;
    QTextStream &m_err;
    QCommandLineParser *m_parser = nullptr;
    Schema m_schema;
    DeletionPolicy m_policy;
    bool m_json = false;
    bool m_dryRun = false;
};

} // namespace vrn
