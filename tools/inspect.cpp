// Reads a settings file, checks that it writes back unchanged, and prints a one-screen summary.
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "document/xsdtwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QMap>

#include <algorithm>
#include <cstdio>

namespace {

void count(const vrn::XsdtNode *node, int depth, qint64 &groups, QMap<QChar, qint64> &values,
           int &maxDepth)
{
    maxDepth = std::max(maxDepth, depth);
    for (const auto &child : node->children) {
        if (child->kind == vrn::XsdtNode::Group) {
            ++groups;
            count(child.get(), depth + 1, groups, values, maxDepth);
        } else {
            ++values[child->compression().isEmpty() ? child->type : QLatin1Char('c')];
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: varnel-inspect <settings file>\n");
        return 2;
    }
    const QString path = args.at(1);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Cannot read %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
                     qPrintable(file.errorString()));
        return 1;
    }
    const QByteArray bytes = file.readAll();
    vrn::XsdtDocument doc;
    QString error;
    QElapsedTimer timer;
    timer.start();
    if (!doc.parse(bytes, &error)) {
        std::fprintf(stderr, "%s is not a valid PixInsight settings file: %s\n",
                     qPrintable(QDir::toNativeSeparators(path)), qPrintable(error));
        return 1;
    }
    const qint64 parseMs = timer.elapsed();
    const QByteArray written = doc.serialize();
    vrn::XsdtDocument reread;
    const bool reparses = reread.parse(written);

    qint64 groups = 0;
    QMap<QChar, qint64> values;
    int maxDepth = 0;
    count(&doc.root, 0, groups, values, maxDepth);
    const QLocale locale;

    std::printf("File       %s\n", qPrintable(QDir::toNativeSeparators(path)));
    std::printf("Size       %s (%lld bytes), read in %lld ms\n",
                qPrintable(locale.formattedDataSize(bytes.size())),
                static_cast<long long>(bytes.size()), static_cast<long long>(parseMs));
    std::printf(
        "Layout     %s\n",
        doc.compactLayout
            ? "compact: writes back byte for byte"
            : "non-default (for example indented): saving rewrites it compactly, values unchanged");
    std::printf("Round trip %s\n",
                reparses && (written == bytes || !doc.compactLayout) ? "ok" : "FAILED");
    std::printf("Groups     %lld, nested up to %d levels\n", static_cast<long long>(groups),
                maxDepth);
    qint64 total = 0;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        total += it.value();
    std::printf("Values     %lld\n", static_cast<long long>(total));
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString name = it.key() == QLatin1Char('c') ? QStringLiteral("Compressed")
                                                          : vrn::typeDisplayName(it.key());
        std::printf("  %-16s %lld\n", qPrintable(name), static_cast<long long>(it.value()));
    }
    std::vector<std::pair<qint64, QString>> tops;
    for (const auto &child : doc.root.children)
        tops.emplace_back(vrn::serializedSize(child.get()), child->key);
    std::sort(tops.begin(), tops.end(),
              [](const auto &a, const auto &b) { return a.first > b.first; });
    std::printf("Largest top-level entries\n");
    for (size_t i = 0; i < std::min<size_t>(tops.size(), 8); ++i)
        std::printf("  %-28s %s\n", qPrintable(tops[i].second),
                    qPrintable(locale.formattedDataSize(tops[i].first)));
    return reparses ? 0 : 1;
}
