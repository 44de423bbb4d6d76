// Reading and writing settings files, against QXmlStreamReader, QDomDocument and pugixml on
// the same bytes.
#include "benchutil.h"

#include "document/xsdtdocument.h"
#include "document/xsdtwriter_p.h"

#include <QDomDocument>
#include <QSet>
#include <QXmlStreamReader>

#include <pugixml.hpp>

#include <cstdio>
#include <functional>
#include <malloc.h>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace vrn::bench {

namespace {

// What a QXmlStreamReader-based reader would at least have to do: every element's four
// attributes and its text as QStrings.
qint64 streamReaderPass(const QByteArray &bytes)
{
    QXmlStreamReader reader(bytes);
    qint64 chars = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QXmlStreamAttributes attrs = reader.attributes();
            const QString k = attrs.value(QLatin1String("k")).toString();
            const QString t = attrs.value(QLatin1String("t")).toString();
            const QString v = attrs.value(QLatin1String("v")).toString();
            const QString c = attrs.value(QLatin1String("c")).toString();
            chars += k.size() + t.size() + v.size() + c.size();
            break;
        }
        case QXmlStreamReader::Characters:
            chars += reader.text().toString().size();
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        std::fprintf(stderr, "QXmlStreamReader: %s\n", qPrintable(reader.errorString()));
    return chars;
}

struct StringWriter : pugi::xml_writer
{
    std::string out;
    void write(const void *data, size_t size) override
    {
        out.append(static_cast<const char *>(data), size);
    }
};

qint64 g_sink = 0; // results are summed here so the work cannot be optimised away

// The file that varnel-generate writes with its default seed, so that figures can be checked
// against a file on disk.
constexpr quint64 kSeed = 1;

void documentAt(qint64 megabytes)
{
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000, kSeed);
    const qint64 size = bytes.size();
    auto parsed = std::make_unique<XsdtDocument>();
    if (!parsed->parse(bytes) || !parsed->compactLayout) {
        std::fprintf(stderr, "generated file does not parse back compactly\n");
        return;
    }
    pugi::xml_document pugiDoc;
    pugiDoc.load_buffer(bytes.constData(), size_t(size));

    Suite suite(QStringLiteral("Document, %1 MB generated compact file (%2 bytes)")
                    .arg(megabytes)
                    .arg(size));
    // Building is timed, tearing down is not (for every reader alike).
    std::unique_ptr<XsdtDocument> fresh;
    suite.add(
        QStringLiteral("XsdtDocument::parse"), size,
        [&] {
            fresh = std::make_unique<XsdtDocument>();
            g_sink += fresh->parse(bytes);
        },
        QStringLiteral("QXmlStreamReader pass"), [&] { fresh.reset(); });
    suite.add(QStringLiteral("layout check by writer (files not UTF-8)"), size,
              [&] { g_sink += serializesTo(*parsed, bytes); });
    suite.add(
        QStringLiteral("XsdtDocument::serialize"), size,
        [&] { g_sink += parsed->serialize().size(); }, QStringLiteral("pugixml save"));
    suite.add(QStringLiteral("QString::fromUtf8"), size,
              [&] { g_sink += QString::fromUtf8(bytes).size(); });
    suite.add(QStringLiteral("QXmlStreamReader pass"), size,
              [&] { g_sink += streamReaderPass(bytes); });
    std::unique_ptr<QDomDocument> dom;
    // Minutes per round at 50 MB on a busy machine, and the other references already tell.
    if (megabytes <= 10)
        suite.add(
            QStringLiteral("QDomDocument::setContent"), size,
            [&] {
                dom = std::make_unique<QDomDocument>();
                g_sink += dom->setContent(bytes);
            },
            QString(), [&] { dom.reset(); });
    std::unique_ptr<pugi::xml_document> pugiFresh;
    suite.add(
        QStringLiteral("pugixml load_buffer"), size,
        [&] {
            pugiFresh = std::make_unique<pugi::xml_document>();
            g_sink += bool(pugiFresh->load_buffer(bytes.constData(), size_t(size)));
        },
        QString(), [&] { pugiFresh.reset(); });
    suite.add(QStringLiteral("pugixml save"), size, [&] {
        StringWriter w;
        w.out.reserve(size_t(size) + 4096);
        pugiDoc.save(w, "", pugi::format_raw);
        g_sink += qint64(w.out.size());
    });
    int rounds = megabytes >= 50 ? 5 : megabytes >= 10 ? 9 : 21;
    if (options().quick || megabytes > 50)
        rounds = 3;
    suite.run(rounds);
    suite.print();

    const double parse = suite.medianMs(QStringLiteral("XsdtDocument::parse"));
    const double serialize = suite.medianMs(QStringLiteral("XsdtDocument::serialize"));
    const double mb = double(size) / 1e6;
    std::printf(
        "  targets: parse %.2f x QXmlStreamReader (goal >= 3), %.2f x pugixml load (goal >= 0.3); "
        "serialize %.2f x pugixml save (goal >= 0.75)\n",
        suite.medianMs(QStringLiteral("QXmlStreamReader pass")) / parse,
        suite.medianMs(QStringLiteral("pugixml load_buffer")) / parse,
        suite.medianMs(QStringLiteral("pugixml save")) / serialize);
    std::printf("  summary %lldMB: reader %.1f MB/s (%.2f x pugixml load), writer %.1f MB/s "
                "(%.2f x pugixml save)\n",
                static_cast<long long>(megabytes), mb / (parse / 1e3),
                suite.medianMs(QStringLiteral("pugixml load_buffer")) / parse,
                mb / (serialize / 1e3), suite.medianMs(QStringLiteral("pugixml save")) / serialize);
}

// Where a document's heap goes, counted from the tree: nodes, child lists, and the text blocks
// its strings point into (a block shared by many strings is counted once, its unused part as
// slack).
struct HeapShare
{
    qint64 nodes = 0, groups = 0, values = 0;
    qint64 nodeBytes = 0, childBytes = 0, childSlack = 0;
    qint64 keyText = 0, valueText = 0, editedText = 0, blockBytes = 0, blocks = 0;
    qint64 repeatedText = 0; // text held twice under different pointers
    std::unordered_set<const void *> seenText;
    QSet<QString> contents;
    std::unordered_map<const void *, qint64> seenBlocks;

    qint64 text(QArrayData *d, const void *at, qsizetype size, int unit,
                const std::function<QString()> &content)
    {
        if (!d || size == 0)
            return 0;
        auto block = seenBlocks.try_emplace(d, 0);
        if (block.second) {
            ++blocks;
            blockBytes += qint64(sizeof(QArrayData)) + 8 + d->allocatedCapacity() * unit;
        }
        if (!seenText.insert(at).second)
            return 0;
        const QString s = content();
        if (!contents.contains(s))
            contents.insert(s);
        else
            repeatedText += (size + 1) * unit;
        return (size + 1) * unit;
    }
    qint64 text(const QString &s)
    {
        return text(const_cast<QString &>(s).data_ptr().d_ptr(), s.constData(), s.size(), 2,
                    [&s] { return s; });
    }
    qint64 text(const XsdtText &s)
    {
        const void *at = s.visit([](auto v) { return static_cast<const void *>(v.data()); });
        return text(s.block(), at, s.size(), s.isLatin1() ? 1 : 2, [&s] { return s.toString(); });
    }
    void count(const XsdtNode &node)
    {
        for (const auto &child : node.children) {
            ++nodes;
            (child->isGroup() ? groups : values) += 1;
            nodeBytes += qint64(sizeof(XsdtNode));
            keyText += text(child->key);
            valueText += text(child->originalValue);
            editedText += text(child->value.text());
            count(*child);
        }
        if (!node.children.empty()) {
            childBytes += 8 + qint64(node.children.capacity() * sizeof(void *));
            childSlack +=
                qint64((node.children.capacity() - node.children.size()) * sizeof(void *));
        }
    }
};

void memoryAt(qint64 megabytes)
{
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000, kSeed);
    const qint64 residentBefore = residentBytes();
    const qint64 heapBefore = heapBytes();
    auto doc = std::make_unique<XsdtDocument>();
    doc->parse(bytes);
    const qint64 heap = heapBytes() - heapBefore;
    const qint64 resident = residentBytes() - residentBefore;
    std::printf("\nMemory held by the parsed %lld MB document: %.1f MB heap (%.2f x the file's "
                "%lld bytes; goal <= 2), %.1f MB resident (%.2f x)\n",
                static_cast<long long>(megabytes), double(heap) / 1e6,
                double(heap) / double(bytes.size()), static_cast<long long>(bytes.size()),
                double(resident) / 1e6, double(resident) / double(bytes.size()));
    g_sink += qint64(doc->root.children.size());

    HeapShare share;
    share.count(doc->root);
    const double mb = 1e6;
    const qint64 counted = share.nodeBytes + share.childBytes + share.blockBytes;
    std::printf("  heap by part: %lld nodes (%lld groups, %lld values) %.1f MB, child lists %.1f "
                "MB (%.1f MB unused), text blocks %.1f MB in %lld blocks: keys %.1f MB, values "
                "%.1f MB, edited %.1f MB, unused %.1f MB, repeated %.1f MB; not counted %.1f MB\n",
                static_cast<long long>(share.nodes), static_cast<long long>(share.groups),
                static_cast<long long>(share.values), double(share.nodeBytes) / mb,
                double(share.childBytes) / mb, double(share.childSlack) / mb,
                double(share.blockBytes) / mb, static_cast<long long>(share.blocks),
                double(share.keyText) / mb, double(share.valueText) / mb,
                double(share.editedText) / mb,
                double(share.blockBytes - share.keyText - share.valueText - share.editedText) / mb,
                double(share.repeatedText) / mb, double(heap - counted) / mb);
}

} // namespace

void benchDocument()
{
    QList<qint64> sizes = options().sizes;
    if (sizes.isEmpty())
        sizes = options().quick ? QList<qint64>{1, 10} : QList<qint64>{1, 10, 50};
    for (qint64 mb : sizes)
        documentAt(mb);
    for (qint64 mb : sizes) {
        if (mb >= 10)
            memoryAt(mb);
    }
}

} // namespace vrn::bench
