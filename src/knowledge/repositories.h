#pragma once

#include <QList>
#include <QString>

namespace vrn {

struct XsdtNode;
class XsdtDocument;

// One group below Global/UpdateManager/Repositories, taken as the file shows it.
struct Repository
{
    XsdtNode *group = nullptr;
    QList<XsdtNode *> urls;   // string values that look like URLs, in document order
    QList<XsdtNode *> others; // every other value below the group, in document order
};

struct RepositoryReport
{
    XsdtNode *container = nullptr;  // the Repositories group; null when the file has none
    QList<Repository> repositories; // its groups, in document order
    QList<XsdtNode *> looseValues;  // values directly inside it, belonging to no repository
    // URL values naming the same address (a trailing slash and the host's letter case do not
    // count), each list in document order, the lists in the order their first entry appears.
    QList<QList<XsdtNode *>> sameUrl;
    QList<XsdtNode *> plainHttp;       // URL values with an unencrypted http:// address
    XsdtNode *allowUnsigned = nullptr; // Global/Preferences/Security/AllowUnsignedRepositories
    XsdtNode *allowInsecure = nullptr; // Global/Preferences/Security/AllowInsecureRepositories
};

// "scheme://something" with no blank in it.
bool looksLikeUrl(const QString &value);

// The form two addresses are compared in: scheme and host in lower case, no trailing "/" at
// the end of the path.
QString comparableUrl(const QString &url);

// What a user knows an entry of the file by, in place of its path where the path is only the
// file's own bookkeeping: "the update repository https://…" for a repository's group, "the
// registration of Kestrane (Modules/240)" for a module registry entry, else the path.
QString entryDescription(const XsdtNode *node);

// The update repositories and the switches that decide which of them PixInsight accepts.
// Entries queued for deletion are listed but never flagged.
RepositoryReport repositoryReport(const XsdtDocument &document);

} // namespace vrn
