// The commands of varnelctl that only read.
#include "cli/ctl.h"

#include "document/valuenodes.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/comparison.h"
#include "knowledge/healthcheck.h"
#include "knowledge/paths.h"
#include "knowledge/repositories.h"
#include "knowledge/setupfile.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace vrn {

namespace {

QString modifiedText(const QFileInfo &info)
{
    return info.lastModified().toString(Qt::ISODate);
}

// Units of text as a JSON string in UTF-8, escaped as QJsonDocument escapes it: UTF-16 units
// that are all ASCII, Latin-1 units, or UTF-8 bytes. Only ASCII characters are ever escaped,
// and UTF-8 keeps those as single bytes. Measured first and then written in place: a large
// diff --json spent a third of its time appending character by character.
enum class Units { Ascii, Latin1, Utf8 };

// Per ASCII character, the bytes its escape adds.
constexpr std::array<quint8, 128> kEscapeExtra = [] {
    std::array<quint8, 128> extra{};
    for (int c = 0; c < 0x20; ++c)
        extra[size_t(c)] = 5;
    for (char c : {'"', '\\', '\b', '\f', '\n', '\r', '\t'})
        extra[size_t(c)] = 1;
    return extra;
}();

// Copies the leading units that JSON takes as they are (printable ASCII but '"' and '\\') to
// `to` as bytes; returns how many. Nearly every path and value is nothing else, and checking
// sixteen units at a time made the records' text cheap next to everything else a diff does.
template <typename Unit>
qsizetype copyPlain(const Unit *text, qsizetype size, char *to)
{
    qsizetype i = 0;
#ifdef __SSE2__
    if constexpr (sizeof(Unit) == 1) {
        const __m128i control = _mm_set1_epi8(0x1f);
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        for (; i + 16 <= size; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
            // Signed: bytes from 0x80 on are below zero, so they fail like control characters.
            const __m128i special =
                _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
            if (_mm_movemask_epi8(_mm_andnot_si128(special, _mm_cmpgt_epi8(v, control))) != 0xffff)
                break;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i), v);
        }
    } else {
        const __m128i control = _mm_set1_epi16(0x1f);
        const __m128i ascii = _mm_set1_epi16(0x80);
        const __m128i quote = _mm_set1_epi16('"');
        const __m128i backslash = _mm_set1_epi16('\\');
        const auto plain = [&](__m128i v) {
            const __m128i special =
                _mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash));
            // Signed: units from 0x8000 on are below zero, so they fail like control characters.
            const __m128i inRange =
                _mm_and_si128(_mm_cmpgt_epi16(v, control), _mm_cmplt_epi16(v, ascii));
            return _mm_movemask_epi8(_mm_andnot_si128(special, inRange)) == 0xffff;
        };
        for (; i + 16 <= size; i += 16) {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i + 8));
            if (!plain(low) || !plain(high))
                break;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i), _mm_packus_epi16(low, high));
        }
    }
#endif
    for (; i < size; ++i) {
        const uint c = uint(text[i]);
        if (c >= 0x80 || kEscapeExtra[c])
            break;
        to[i] = char(c);
    }
    return i;
}

// False, with nothing appended, for Ascii units that are not all ASCII.
template <Units units, typename Unit>
bool appendJsonUnits(std::string &out, const Unit *text, qsizetype size)
{
    const size_t start = out.size();
    out.resize(start + size_t(size) + 2);
    char *plain = out.data() + start;
    *plain = '"';
    if (copyPlain(text, size, plain + 1) == size) {
        plain[size + 1] = '"';
        return true;
    }
    out.resize(start);
    qsizetype extras = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const uint c = uint(text[i]);
        if (c < 0x80)
            extras += kEscapeExtra[c];
        else if constexpr (units == Units::Ascii)
            return false;
        else if constexpr (units == Units::Latin1)
            ++extras;
    }
    const size_t at = out.size();
    out.resize(at + size_t(size + extras + 2));
    char *to = out.data() + at;
    *to++ = '"';
    if (extras == 0) {
        to = std::copy(text, text + size, to);
        *to = '"';
        return true;
    }
    for (qsizetype i = 0; i < size; ++i) {
        const uint c = uint(text[i]);
        if (c >= 0x80 && units == Units::Latin1) { // two bytes of UTF-8
            *to++ = char(0xc0 | (c >> 6));
            *to++ = char(0x80 | (c & 0x3f));
            continue;
        }
        if (c >= 0x80 || !kEscapeExtra[c]) {
            *to++ = char(c);
            continue;
        }
        *to++ = '\\';
        switch (c) {
        case '"':
        case '\\':
            *to++ = char(c);
            break;
        case '\b':
            *to++ = 'b';
            break;
        case '\f':
            *to++ = 'f';
            break;
        case '\n':
            *to++ = 'n';
            break;
        case '\r':
            *to++ = 'r';
            break;
        case '\t':
            *to++ = 't';
            break;
        default:
            static const char hex[] = "0123456789abcdef";
            *to++ = 'u';
            *to++ = '0';
            *to++ = '0';
            *to++ = hex[c >> 4];
            *to++ = hex[c & 0xf];
        }
    }
    *to = '"';
    return true;
}

void appendJson(std::string &out, QStringView text)
{
    if (appendJsonUnits<Units::Ascii>(out, text.utf16(), text.size()))
        return;
    const QByteArray utf8 = text.toUtf8();
    appendJsonUnits<Units::Utf8>(out, reinterpret_cast<const uchar *>(utf8.constData()),
                                 utf8.size());
}

void appendJson(std::string &out, QLatin1String text)
{
    appendJsonUnits<Units::Latin1>(out, reinterpret_cast<const uchar *>(text.data()), text.size());
}

// Text known when compiled, not measured again for each of a million records.
template <size_t N>
void put(std::string &out, const char (&text)[N])
{
    out.append(text, N - 1);
}

// One side of a record: its type and value, or null.
void appendSide(std::string &out, const XsdtNode *node)
{
    if (!node) {
        put(out, "null");
        return;
    }
    put(out, "{\n                \"type\": ");
    appendJson(out, QStringView(&node->type, 1));
    put(out, ",\n                \"value\": ");
    node->value.visit([&](auto text) { appendJson(out, text); });
    put(out, "\n            }");
}

// One record of `diff --json`, laid out as QJsonDocument lays out an object in the records
// list (keys in order), with whether the types differ and what the window's copy of the
// second file's value would do. Written by hand: a million records through QJsonDocument
// take several times as long as reading both files.
void appendRecord(std::string &out, const Comparison &comparison, const DiffRecord &record,
                  QStringView path, CopyVerdict verdict)
{
    static const std::string_view kinds[] = {"\"different\"", "\"onlyFirst\"", "\"onlySecond\""};
    // The verdicts' names as JSON strings, made once.
    static const auto verdicts = [] {
        std::array<std::string, kCopyVerdicts> names;
        for (int verdict = 0; verdict < kCopyVerdicts; ++verdict)
            appendJson(names[size_t(verdict)], Comparison::verdictName(CopyVerdict(verdict)));
        return names;
    }();
    const bool different = record.kind() == DiffRecord::Different;
    put(out, "        {\n            \"copy\": ");
    if (different) {
        put(out, "{\n                \"reason\": ");
        appendJson(out, comparison.whyNot(record, verdict));
        put(out, ",\n                \"verdict\": ");
        out += verdicts[size_t(verdict)];
        put(out, "\n            }");
    } else {
        put(out, "null");
    }
    put(out, ",\n            \"first\": ");
    appendSide(out, record.here);
    put(out, ",\n            \"kind\": ");
    out += kinds[record.kind()];
    put(out, ",\n            \"path\": ");
    appendJson(out, path);
    put(out, ",\n            \"second\": ");
    appendSide(out, record.there);
    if (different && record.here->type != record.there->type)
        put(out, ",\n            \"typeDiffers\": true\n        }");
    else
        put(out, ",\n            \"typeDiffers\": false\n        }");
}

// Documents left to the end of the process: still reachable from here, so a leak checker does
// not count them (and the compiler keeps the stores).
const XsdtDocument *volatile g_leftToExit[2] = {};

// Large pages for a large buffer not yet touched, where the system gives them on request.
void adviseLargePages(char *data, qsizetype size)
{
    const quintptr page = quintptr(::sysconf(_SC_PAGESIZE));
    const quintptr start = (quintptr(data) + page - 1) & ~(page - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(page - 1);
    if (end > start)
        (void)::madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}

using VerdictSink = std::function<void(const DiffRecord &, QStringView path, CopyVerdict)>;

// The records of a comparison found by the walk on this thread and handed to `write` on a
// second one, in the same order: making a record's text costs about as much as finding the
// record, and the two then share the two cores that most machines have. The walk runs ahead
// by a few batches at most. Given `verdicts`, the walk also works out the copy verdict of each
// record that differs: it has time to spare, and the writer then has less to do.
qint64 forEachRecordAside(const DocumentComparison &index, const XsdtDocument &here,
                          const Comparison *verdicts, const VerdictSink &write)
{
    struct Entry
    {
        qsizetype pathAt;
        qsizetype pathSize;
        CopyVerdict verdict;
        XsdtNode *here;
        XsdtNode *there;
    };
    // A record's path is valid only during the walk's call, so the batch keeps its own copy.
    struct Batch
    {
        QString paths;
        std::vector<Entry> entries;
    };
    constexpr size_t kBatchRecords = 4096;
    constexpr size_t kBatchesAhead = 4;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Batch> full;
    std::vector<Batch> spare;
    bool walked = false;
    std::thread writer([&] {
        for (;;) {
            Batch batch;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return !full.empty() || walked; });
                if (full.empty())
                    return;
                batch = std::move(full.front());
                full.pop_front();
            }
            changed.notify_all();
            for (const Entry &entry : batch.entries)
                write(DiffRecord{entry.here, entry.there},
                      QStringView(batch.paths).mid(entry.pathAt, entry.pathSize), entry.verdict);
            batch.paths.truncate(0); // keeps the memory for another batch
            batch.entries.clear();
            const std::lock_guard lock(mutex);
            spare.push_back(std::move(batch));
        }
    });
    Batch current;
    const auto hand = [&] {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return full.size() < kBatchesAhead; });
        full.push_back(std::move(current));
        current = Batch();
        if (!spare.empty()) {
            current = std::move(spare.back());
            spare.pop_back();
        }
        lock.unlock();
        changed.notify_all();
    };
    const qint64 count = index.forEachRecord(here, [&](const DiffRecord &record, QStringView path) {
        const CopyVerdict verdict = verdicts && record.kind() == DiffRecord::Different
                                        ? verdicts->verdictOf(record)
                                        : CopyVerdict::OneSide;
        current.entries.push_back(
            {current.paths.size(), path.size(), verdict, record.here, record.there});
        current.paths.append(path);
        if (current.entries.size() == kBatchRecords)
            hand();
    });
    hand();
    {
        const std::lock_guard lock(mutex);
        walked = true;
    }
    changed.notify_all();
    writer.join();
    return count;
}

} // namespace

int Ctl::files(const QStringList &)
{
    const QStringList found =
        m_parser->isSet(QStringLiteral("file")) ? QStringList{chosenFile()} : findSettingsFiles();
    // Finding none is an answer, not a failure; the note goes where it cannot be taken for a
    // record.
    if (found.isEmpty())
        note(tr("No PixInsight settings file found in %1.")
                 .arg(native(configDirectories().join(QStringLiteral(", ")))));
    QJsonArray array;
    QStringList lines;
    int code = ExitDone;
    for (const QString &path : found) {
        const QFileInfo info(path);
        if (!info.isFile()) {
            code = fail(ExitNotFound, path, QString(), tr("No such file."));
            continue;
        }
        const qsizetype count = listBackups(path).size();
        array.append(QJsonObject{{QStringLiteral("path"), path},
                                 {QStringLiteral("label"), fileLabel(path)},
                                 {QStringLiteral("instance"), instanceNumber(path)},
                                 {QStringLiteral("size"), info.size()},
                                 {QStringLiteral("modified"), modifiedText(info)},
                                 {QStringLiteral("backups"), count}});
        lines.append(QStringList{escaped(native(path)), escaped(fileLabel(path)),
                                 tr("%n backups", nullptr, int(count))}
                         .join(QLatin1Char('\t')));
    }
    print({{QStringLiteral("files"), array}}, lines);
    return code;
}

int Ctl::get(const QStringList &paths)
{
    XsdtDocument document;
    const QString file = chosenFile();
    QByteArray hash;
    if (const int code = readDocument(document, file, m_json ? &hash : nullptr, &paths))
        return code;
    return printValues(document, file, paths,
                       {{QStringLiteral("file"), file},
                        {QStringLiteral("sha256"), QString::fromLatin1(hash.toHex())}});
}

int Ctl::printValues(const XsdtDocument &document, const QString &file, const QStringList &paths,
                     QJsonObject json)
{
    const bool recursive = m_parser->isSet(QStringLiteral("recursive"));
    int code = ExitDone;
    QJsonArray array;
    QStringList lines;
    for (const QString &path : paths) {
        // Twins too: each value the path names.
        const QList<XsdtNode *> nodes = nodesAtPath(document.root, path);
        if (nodes.isEmpty() || nodes.contains(&document.root)) {
            code = fail(ExitNotFound, file, path, tr("No such setting."));
            continue;
        }
        QList<XsdtNode *> values;
        for (XsdtNode *node : nodes)
            collectValueNodes(node, values, recursive);
        for (const XsdtNode *value : std::as_const(values)) {
            array.append(valueJson(value));
            lines.append(QStringList{escaped(value->path()), typeDisplayName(value->type),
                                     escaped(value->value)}
                             .join(QLatin1Char('\t')));
        }
    }
    json.insert(QStringLiteral("values"), array);
    print(json, lines);
    return code;
}

int Ctl::check(const QStringList &)
{
    loadKnowledge();
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    const QList<Finding> findings = runHealthCheck(document, m_schema, HealthEnv::system());
    QJsonArray array;
    QStringList lines;
    int code = ExitDone;
    for (const Finding &finding : findings) {
        QStringList paths;
        for (const XsdtNode *node : finding.nodes) {
            if (!paths.contains(node->path()))
                paths.append(node->path());
        }
        if (finding.severity != Severity::Note)
            code = ExitFinding;
        array.append(QJsonObject{{QStringLiteral("id"), finding.id},
                                 {QStringLiteral("severity"), severityName(finding.severity)},
                                 {QStringLiteral("paths"), QJsonArray::fromStringList(paths)},
                                 {QStringLiteral("title"), finding.title},
                                 {QStringLiteral("text"), finding.text}});
        lines.append(QStringList{severityName(finding.severity),
                                 paths.isEmpty() ? QStringLiteral("-")
                                                 : escaped(paths.join(QStringLiteral(", "))),
                                 escaped(finding.title), escaped(finding.text)}
                         .join(QLatin1Char('\t')));
    }
    print({{QStringLiteral("file"), file}, {QStringLiteral("findings"), array}}, lines);
    return code;
}

int Ctl::diff(const QStringList &files)
{
    const QString first =
        files.size() == 2 ? QFileInfo(files.at(0)).absoluteFilePath() : chosenFile();
    const QString second = QFileInfo(files.constLast()).absoluteFilePath();
    if (first.isEmpty())
        return noFile(first);
    // Both files and the comparison are held at once: the check asks for all of it.
    if (const int code = checkMemory(MemoryFit::forComparison(first, second, false),
                                     tr("%1 and %2").arg(first, second)))
        return code;
    // One after the other: reading both at once held both files' bytes beside both documents,
    // the largest part of a diff's memory, and saved waiting but no processor time. Both are
    // read into the same memory, asked for in large pages: faulting in page after page of the
    // files' bytes cost more than copying them.
    QByteArray bytes;
    bytes.reserve(qMax(QFileInfo(first).size(), QFileInfo(second).size()) + 1);
    adviseLargePages(bytes.data(), bytes.capacity());
    auto a = std::make_unique<XsdtDocument>();
    QString error;
    const bool okA = parseFile(*a, first, nullptr, nullptr, &error, &bytes);
    if (const int code = reportRead(okA, error))
        return code;
    auto b = std::make_unique<XsdtDocument>();
    const bool okB = parseFile(*b, second, nullptr, nullptr, &error, &bytes);
    if (const int code = reportRead(okB, error))
        return code;
    bytes = QByteArray();
    const int code =
        printDiff({{QStringLiteral("first"), first}, {QStringLiteral("second"), second}}, *a, *b);
    // The process ends with this command: taking two large documents apart node by node only
    // to give the memory back to a process about to return all of it cost a twentieth of a
    // large diff.
    g_leftToExit[0] = a.release();
    g_leftToExit[1] = b.release();
    return code;
}

int Ctl::printDiff(QJsonObject frame, const XsdtDocument &first, const XsdtDocument &second)
{
    // The rules the window's Compare page copies by, so that both tell the same about a copy.
    loadKnowledge();
    Comparison comparison;
    comparison.setRules(&m_policy, &m_schema);
    // Written as they are made, and kept nowhere: a list of the records of two large unrelated
    // files would take more memory than both files. They reach the stream in large pieces: it
    // grows its buffer anew after every 16 KiB it passes on, which cost a tenth of a large diff
    // in reallocations.
    constexpr qsizetype kPiece = 256 * 1024;
    QString piece;
    const auto flush = [&] {
        if (piece.size() >= kPiece) {
            m_out << QStringView(piece);
            piece.truncate(0); // keeps its capacity for the next piece
        }
    };
    const DocumentComparison index(second);
    qint64 count = 0;
    if (m_json) {
        // The frame as print() would lay it out, with the records in their place (the only
        // array in it). The records are made as UTF-8 and go to the device as they are, past
        // the stream's encoding of every character, the same bytes it would write.
        frame.insert(QStringLiteral("records"), QJsonArray());
        const QByteArray laidOut = QJsonDocument(frame).toJson(QJsonDocument::Indented);
        const qsizetype at = laidOut.indexOf("[\n    ]");
        std::string bytes(laidOut.constData(), size_t(at + 1));
        const auto write = [&] {
            if (QIODevice *device = m_out.device()) {
                m_out.flush();
                device->write(bytes.data(), qint64(bytes.size()));
            } else {
                m_out << QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
            }
            bytes.clear(); // keeps its capacity for the next piece
        };
        const char *separator = "\n";
        const auto writeRecord = [&](const DiffRecord &record, QStringView path,
                                     CopyVerdict verdict) {
            bytes += separator;
            appendRecord(bytes, comparison, record, path, verdict);
            separator = ",\n";
            if (bytes.size() >= size_t(kPiece))
                write();
        };
        count = forEachRecordAside(index, first, &comparison, writeRecord);
        bytes += "\n    ";
        bytes.append(laidOut.constData() + at + 6, size_t(laidOut.size() - at - 6));
        write();
        m_out.flush();
        return count == 0 ? ExitDone : ExitFinding;
    }
    const QString different = tr("Different");
    const QString onlyFirst = tr("Only in the first file");
    const QString onlySecond = tr("Only in the second file");
    const auto writeLine = [&](const DiffRecord &record, QStringView path, CopyVerdict) {
        if (record.kind() == DiffRecord::OnlyHere)
            piece += onlyFirst;
        else if (record.kind() == DiffRecord::OnlyThere)
            piece += onlySecond;
        else if (record.here->type != record.there->type)
            piece +=
                different + tr(" (type %1 / %2)").arg(record.here->type).arg(record.there->type);
        else
            piece += different;
        piece += QLatin1Char('\t') + escaped(path.toString()) + QLatin1Char('\t');
        if (record.here)
            piece += escaped(record.here->value);
        piece += QLatin1Char('\t');
        if (record.there)
            piece += escaped(record.there->value);
        piece += QLatin1Char('\n');
        flush();
    };
    count = forEachRecordAside(index, first, nullptr, writeLine);
    m_out << QStringView(piece);
    m_out.flush();
    return count == 0 ? ExitDone : ExitFinding;
}

int Ctl::backups(const QStringList &)
{
    const QString file = chosenFile();
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return noFile(file);
    QJsonArray array;
    QStringList lines;
    for (const QString &path : listBackups(file)) {
        const QFileInfo info(path);
        array.append(QJsonObject{{QStringLiteral("name"), info.fileName()},
                                 {QStringLiteral("path"), path},
                                 {QStringLiteral("size"), info.size()},
                                 {QStringLiteral("modified"), modifiedText(info)}});
        lines.append(
            QStringList{escaped(info.fileName()), QString::number(info.size()), modifiedText(info)}
                .join(QLatin1Char('\t')));
    }
    print({{QStringLiteral("file"), file}, {QStringLiteral("backups"), array}}, lines);
    return ExitDone;
}

int Ctl::exportValues(const QStringList &paths)
{
    loadKnowledge();
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    SetupChoice choice;
    for (const QString &path : paths) {
        const QList<XsdtNode *> nodes = nodesAtPath(document.root, path);
        if (nodes.isEmpty() || nodes.contains(&document.root))
            return fail(ExitNotFound, file, path, tr("No such setting."));
        choice.subtrees.append(nodes);
    }
    choice.modules = m_parser->values(QStringLiteral("module"));
    // A module's data carried alone does not bring the preferences along unasked.
    choice.preferences = (paths.isEmpty() && choice.modules.isEmpty()) ||
                         m_parser->isSet(QStringLiteral("preferences"));
    QList<XsdtNode *> values;
    QString error;
    if (!setupValues(document, m_schema, m_policy, choice, &values, &error))
        return fail(ExitNotFound, file, QString(), error);
    m_out << writeSetupFile(values, file, choice.modules);
    m_out.flush();
    return ExitDone;
}

int Ctl::paths(const QStringList &)
{
    const bool replacing = m_parser->isSet(QStringLiteral("replace"));
    if (replacing && m_parser->isSet(QStringLiteral("missing")))
        return usage(tr("--missing and --replace cannot be used together."));
    if (replacing)
        return replacePaths(m_parser->values(QStringLiteral("replace")));
    for (const char *option : {"dry-run", "expect-hash", "allow-replacement"}) {
        if (m_parser->isSet(QLatin1String(option)))
            return usage(
                tr("--%1 applies to paths only with --replace.").arg(QLatin1String(option)));
    }
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    const bool missingOnly = m_parser->isSet(QStringLiteral("missing"));
    QJsonArray array;
    QStringList lines;
    int missing = 0;
    for (const PathValue &value : pathValues(document, HealthEnv::system())) {
        missing += value.exists ? 0 : 1;
        if (missingOnly && value.exists)
            continue;
        array.append(QJsonObject{{QStringLiteral("path"), value.node->path()},
                                 {QStringLiteral("value"), value.path},
                                 {QStringLiteral("exists"), value.exists}});
        lines.append(
            QStringList{escaped(value.node->path()), escaped(native(value.path)),
                        value.exists ? QStringLiteral("exists") : QStringLiteral("missing")}
                .join(QLatin1Char('\t')));
    }
    print({{QStringLiteral("file"), file},
           {QStringLiteral("missing"), missing},
           {QStringLiteral("paths"), array}},
          lines);
    return ExitDone;
}

int Ctl::repos(const QStringList &)
{
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    const RepositoryReport report = repositoryReport(document);
    QJsonObject json{{QStringLiteral("file"), file}};
    QStringList lines;
    const auto addSwitch = [&](const char *name, const XsdtNode *node) {
        json.insert(QLatin1String(name),
                    node ? QJsonValue(node->value == QLatin1String("true")) : QJsonValue());
        if (node)
            lines.append(
                QStringList{QStringLiteral("switch"), escaped(node->path()), escaped(node->value)}
                    .join(QLatin1Char('\t')));
    };
    addSwitch("allowUnsigned", report.allowUnsigned);
    addSwitch("allowInsecure", report.allowInsecure);
    QJsonArray repositories;
    for (const Repository &repository : report.repositories) {
        QStringList urls;
        QStringList sameAs;
        bool plain = false;
        for (const XsdtNode *url : repository.urls) {
            urls.append(url->value);
            plain = plain || report.plainHttp.contains(url);
            for (const QList<XsdtNode *> &same : report.sameUrl) {
                if (!same.contains(url))
                    continue;
                for (const XsdtNode *other : same) {
                    if (other != url && !sameAs.contains(other->parent->path()))
                        sameAs.append(other->parent->path());
                }
            }
        }
        QJsonArray values;
        QStringList others;
        for (const XsdtNode *value : repository.others) {
            values.append(valueJson(value));
            others.append(escaped(value->key) + QLatin1Char('=') + escaped(value->value));
        }
        QStringList flags;
        if (!sameAs.isEmpty())
            flags.append(QStringLiteral("same-url"));
        if (plain)
            flags.append(QStringLiteral("http"));
        repositories.append(
            QJsonObject{{QStringLiteral("path"), repository.group->path()},
                        {QStringLiteral("urls"), QJsonArray::fromStringList(urls)},
                        {QStringLiteral("values"), values},
                        {QStringLiteral("sameUrlAs"), QJsonArray::fromStringList(sameAs)},
                        {QStringLiteral("plainHttp"), plain}});
        const auto field = [](const QStringList &parts) {
            return parts.isEmpty() ? QStringLiteral("-") : parts.join(QLatin1Char(','));
        };
        QStringList escapedUrls;
        for (const QString &url : std::as_const(urls))
            escapedUrls.append(escaped(url));
        lines.append(QStringList{QStringLiteral("repository"), escaped(repository.group->path()),
                                 field(escapedUrls), field(flags), field(others)}
                         .join(QLatin1Char('\t')));
    }
    json.insert(QStringLiteral("repositories"), repositories);
    // Having none is an answer; the note goes where it cannot be taken for a record.
    if (!report.container)
        note(tr("%1 lists no update repositories.").arg(native(file)));
    print(json, lines);
    return ExitDone;
}

int Ctl::completions(const QStringList &arguments)
{
    // Run at each press of Tab: quick, silent, and simply nothing to offer when the file is
    // missing, too large or broken.
    const QString kind = arguments.value(0);
    const QString word = arguments.value(1);
    const QString file = chosenFile();
    QStringList offered;
    if (kind == QLatin1String("backups")) {
        for (const QString &path : listBackups(file))
            offered.append(QFileInfo(path).fileName());
    } else if (kind == QLatin1String("paths") || kind == QLatin1String("modules")) {
        const bool paths = kind == QLatin1String("paths");
        const QString parent =
            paths ? word.left(qMax(word.lastIndexOf(QLatin1Char('/')), 0)) : QString();
        QByteArray bytes;
        XsdtDocument document;
        // Without a parent the whole tree is kept.
        const double factor = parent.isEmpty() ? MemoryFit::kReadFactor : MemoryFit::kLookUpFactor;
        if (file.isEmpty() || !MemoryFit::forFile(file, factor).fits() || !readFile(file, bytes) ||
            !document.parsePaths(bytes, {parent}))
            return ExitNotFound;
        const XsdtNode *group = parent.isEmpty() ? &document.root : document.findPath(parent);
        if (paths && group) {
            const QString prefix = parent.isEmpty() ? QString() : parent + QLatin1Char('/');
            QSet<QString> twins;
            for (const auto &child : group->children) {
                // A group goes on with a slash, so the next Tab looks inside it.
                const QString path =
                    prefix + child->key + (child->isGroup() ? QStringLiteral("/") : QString());
                if (!twins.contains(path))
                    offered.append(path);
                twins.insert(path);
            }
        } else if (!paths) {
            offered = exportableModules(document);
        }
    } else {
        return ExitUsage;
    }
    const auto control = [](QChar c) { return c.category() == QChar::Other_Control; };
    for (const QString &candidate : std::as_const(offered)) {
        // One candidate a line, as the shell reads them: a name holding a line break or another
        // control character is typed, not completed.
        if (candidate.startsWith(word) &&
            std::none_of(candidate.cbegin(), candidate.cend(), control))
            m_out << candidate << '\n';
    }
    m_out.flush();
    return ExitDone;
}

} // namespace vrn
