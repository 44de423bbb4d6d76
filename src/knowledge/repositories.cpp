#include "knowledge/repositories.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "knowledge/modules.h"

#include <QCoreApplication>
#include <QHash>
#include <QRegularExpression>

namespace vrn {

namespace {

struct RepositoryText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Repositories)
};

void collectValues(XsdtNode *node, QList<XsdtNode *> &out)
{
    for (const auto &child : node->children) {
        if (child->isValue())
            out.append(child.get());
        else
            collectValues(child.get(), out);
    }
}

bool isUrlValue(const XsdtNode *node)
{
    return node->type == QLatin1Char('s') && node->compression().isEmpty() &&
           looksLikeUrl(node->value);
}

XsdtNode *switchNode(const XsdtDocument &document, QStringView path)
{
    XsdtNode *node = document.findPath(path);
    return node && node->isValue() ? node : nullptr;
}

} // namespace

bool looksLikeUrl(const QString &value)
{
    static const QRegularExpression url(QStringLiteral(R"(^[A-Za-z][A-Za-z0-9+.\-]*://\S+$)"));
    return url.match(value.trimmed()).hasMatch();
}

QString comparableUrl(const QString &url)
{
    const QString text = url.trimmed();
    const qsizetype schemeEnd = text.indexOf(QLatin1String("://"));
    if (schemeEnd < 0)
        return text;
    const QString scheme = text.left(schemeEnd).toLower();
    const QStringView rest = QStringView(text).mid(schemeEnd + 3);
    qsizetype authorityEnd = 0;
    while (authorityEnd < rest.size() && !QStringLiteral("/?#").contains(rest.at(authorityEnd)))
        ++authorityEnd;
    const QStringView authority = rest.left(authorityEnd);
    // The user part before "@" is not the host and keeps its case.
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    const QStringView user = authority.left(at + 1);
    const QString host = authority.mid(at + 1).toString().toLower();
    QStringView path = rest.mid(authorityEnd);
    qsizetype tail = 0;
    while (tail < path.size() && path.at(tail) != QLatin1Char('?') &&
           path.at(tail) != QLatin1Char('#'))
        ++tail;
    const QStringView query = path.mid(tail);
    path = path.left(tail);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return scheme + QLatin1String("://") + user + host + path + query;
}

RepositoryReport repositoryReport(const XsdtDocument &document)
{
    RepositoryReport report;
    report.allowUnsigned =
        switchNode(document, u"Global/Preferences/Security/AllowUnsignedRepositories");
    report.allowInsecure =
        switchNode(document, u"Global/Preferences/Security/AllowInsecureRepositories");
    XsdtNode *container = document.findPath(u"Global/UpdateManager/Repositories");
    if (!container || !container->isGroup())
        return report;
    report.container = container;

    QHash<QString, qsizetype> seen; // comparable address -> its place in `sameAddress`
    QList<QList<XsdtNode *>> sameAddress;
    for (const auto &child : container->children) {
        if (child->isValue()) {
            report.looseValues.append(child.get());
            continue;
        }
        Repository repository;
        repository.group = child.get();
        QList<XsdtNode *> values;
        collectValues(child.get(), values);
        for (XsdtNode *value : std::as_const(values)) {
            if (!isUrlValue(value)) {
                repository.others.append(value);
                continue;
            }
            repository.urls.append(value);
            if (value->isDeleted())
                continue;
            if (value->value.trimmed().startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
                report.plainHttp.append(value);
            const QString key = comparableUrl(value->value);
            auto it = seen.constFind(key);
            if (it == seen.constEnd()) {
                seen.insert(key, sameAddress.size());
                sameAddress.append({value});
            } else {
                sameAddress[it.value()].append(value);
            }
        }
        report.repositories.append(repository);
    }
    for (const QList<XsdtNode *> &nodes : std::as_const(sameAddress)) {
        if (nodes.size() > 1)
            report.sameUrl.append(nodes);
    }
    return report;
}

QString entryDescription(const XsdtNode *node)
{
    const XsdtNode *parent = node ? node->parent : nullptr;
    if (!parent)
        return QString();
    if (node->isGroup() && parent->path() == QLatin1String("Global/UpdateManager/Repositories")) {
        QList<XsdtNode *> values;
        collectValues(const_cast<XsdtNode *>(node), values);
        for (const XsdtNode *value : std::as_const(values)) {
            if (isUrlValue(value))
                return RepositoryText::tr("the update repository %1").arg(value->value);
        }
    }
    const bool topLevel = parent->parent && !parent->parent->parent;
    if (node->isValue() && topLevel && parent->key == QLatin1String("Modules")) {
        const QString name = moduleNameFromFile(node->value);
        if (!name.isEmpty())
            return RepositoryText::tr("the registration of %1 (%2)").arg(name, node->path());
    }
    return node->path();
}

} // namespace vrn
