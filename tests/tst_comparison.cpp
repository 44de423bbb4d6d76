// The comparison engine without a window: the records, their copy verdicts with the rules
// the window and varnelctl share, the worker and the patching after edits.
#include "document/xsdtdocument.h"
#include "generator/generator.h"
#include "knowledge/builtin.h"
#include "knowledge/comparison.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "store/files.h"
#include "support/testfiles.h"
#include "support/testtree.h"

#include <QSignalSpy>
#include <QtTest>

#include <mutex>

using namespace vrn;

namespace {

using testdata::parsedSettings;

// "kind path here there", with "-" for a missing side.
QString describe(const DiffRecord &r, QStringView path)
{
    return QString("%1 %2 %3 %4")
        .arg(r.kind())
        .arg(path, r.here ? r.here->value.toString() : "-",
             r.there ? r.there->value.toString() : "-");
}

QString describe(const DiffRecord &r)
{
    return describe(r, r.path());
}

QStringList describe(const Comparison &comparison)
{
    QStringList out;
    for (int position : comparison.current())
        out << describe(comparison.records()[position]);
    return out;
}

QStringList describeAll(const QList<DiffRecord> &records)
{
    QStringList out;
    for (const DiffRecord &r : records)
        out << describe(r);
    return out;
}

// Every entry below `group`, by path, in document order.
QStringList entryPaths(const XsdtNode &group)
{
    QStringList paths;
    for (const auto &child : group.children)
        paths << child->path() << entryPaths(*child);
    return paths;
}

QByteArray preference(const char *key, const char *type, const char *value)
{
    return QByteArray("<i k='Global'><i k='Preferences'><i k='Process'><v k='") + key + "' t='" +
           type + "' v='" + value + "'/></i></i></i>";
}

// Bytes handed to a comparison, which gives them back as it reads them.
std::shared_ptr<FileBytes> given(const QByteArray &bytes)
{
    auto out = std::make_shared<FileBytes>();
    std::copy_n(bytes.constData(), bytes.size(), out->allocate(bytes.size()));
    return out;
}

} // namespace

class TestComparison : public QObject
{
    Q_OBJECT

    Schema m_schema;
    DeletionPolicy m_policy;

private slots:
    void initTestCase()
    {
        const BuiltInLoad loaded = loadBuiltInKnowledge(m_schema, m_policy);
        QVERIFY2(loaded.schemaLoaded, qPrintable(loaded.schemaError));
        QVERIFY2(loaded.policyLoaded, qPrintable(loaded.policyError));
    }

    void records_data()
    {
        QTest::addColumn<QByteArray>("here");
        QTest::addColumn<QByteArray>("there");
        QTest::addColumn<QString>("queue"); // a path of `here` marked for deletion first
        QTest::addColumn<QStringList>("expected");

        const auto row = [](const char *name, const QByteArray &here, const QByteArray &there,
                            const QString &queue, const QStringList &expected) {
            QTest::newRow(name) << here << there << queue << expected;
        };

        row("case matters", "<v k='n' t='s' v='Abc'/>", "<v k='n' t='s' v='abc'/>", {},
            {"0 n Abc abc"});
        // This file's entries in order, kinds interleaved, then the other file's extras in its
        // order.
        row("order",
            "<i k='T'><v k='a' t='i' v='1'/><v k='only' t='i' v='2'/><v k='c' t='i' v='3'/></i>",
            "<v k='z' t='i' v='9'/><i k='T'><v k='c' t='i' v='4'/>"
            "<v k='y' t='i' v='8'/><v k='a' t='i' v='0'/></i>",
            {}, {"0 T/a 1 0", "1 T/only 2 -", "0 T/c 3 4", "2 z - 9", "2 T/y - 8"});
        // A key written twice pairs by rank; twins left over on either side are only there.
        const QByteArray twins = "<i k='R'><v k='F' t='s' v='a'/><v k='F' t='s' v='b'/></i>";
        row("duplicates", "<v k='d' t='i' v='1'/><v k='d' t='i' v='2'/>",
            "<v k='d' t='i' v='2'/><v k='d' t='i' v='3'/>"
            "<v k='e' t='i' v='5'/><v k='e' t='i' v='6'/>",
            {}, {"0 d 1 2", "0 d 2 3", "2 e - 5", "2 e - 6"});
        row("extra twin here", twins + "<i k='R'><v k='F' t='s' v='c'/></i>", twins, {},
            {"1 R/F c -"});
        row("queued twin takes no part", twins, twins, "R/F", {"0 R/F b a", "2 R/F - b"});
        row("twin groups pair in order", "<i k='G'><v k='a' t='i' v='1'/></i>",
            "<i k='G'><v k='a' t='i' v='7'/></i>"
            "<i k='G'><v k='a' t='i' v='1'/><v k='b' t='i' v='2'/></i>",
            {}, {"0 G/a 1 7", "2 G/a - 1", "2 G/b - 2"});
        // A group here and a value of the same path there do not match each other.
        row("group against value", "<i k='P'><v k='x' t='i' v='1'/></i>", "<v k='P' t='i' v='1'/>",
            {}, {"1 P/x 1 -", "2 P - 1"});
        row("value after a group of its name", "<v k='P' t='i' v='2'/>",
            "<i k='P'><v k='x' t='i' v='1'/></i><v k='P' t='i' v='1'/>", {},
            {"0 P 2 1", "2 P/x - 1"});
        // Ranks past the few that nearly every path has still pair.
        const QByteArray many = QByteArray("<v k='d' t='i' v='1'/>").repeated(300);
        row("a key written 300 times", many,
            many.left(289 * 22) + "<v k='d' t='i' v='2'/>" + many.mid(290 * 22) +
                "<v k='d' t='i' v='9'/>",
            {}, {"0 d 1 2", "2 d - 9"});
        // Same algorithm and size give the same summary text; the blocks still differ.
        row("compressed blocks", "<v k='c' t='s' c='zlib'><s u=\"1\">AA==</s></v>",
            "<v k='c' t='s' c='zlib'><s u=\"1\">AQ==</s></v>", {},
            {QString("0 c %1 %1")
                 .arg(parsedSettings("<v k='c' t='s' c='zlib'><s u=\"1\">AA==</s></v>")
                          ->root.children[0]
                          ->value)});
    }

    void records()
    {
        QFETCH(QByteArray, here);
        QFETCH(QByteArray, there);
        QFETCH(QString, queue);
        auto a = parsedSettings(here);
        auto b = parsedSettings(there);
        if (!queue.isEmpty())
            a->findPath(queue)->pendingDelete = true;
        Comparison comparison;
        comparison.compare(*a, *b);
        QTEST(describe(comparison), "expected");
        // Handed out one by one and kept nowhere, they are the same records in the same order.
        QStringList handed;
        const qint64 count = DocumentComparison(*b).forEachRecord(
            *a, [&](const DiffRecord &r, QStringView path) { handed << describe(r, path); });
        QTEST(handed, "expected");
        QCOMPARE(count, handed.size());
        // Read through a sieve against this document, the other file gives the same records and
        // keeps only the values they point at.
        XsdtDocument sifted;
        QList<DiffRecord> fromSieve;
        const std::atomic_bool no = false;
        const auto read = [&](const XsdtDocument::Sieve &sieve) {
            return sifted.parseSifted(testdata::wrapSettings(there), sieve, nullptr);
        };
        QVERIFY(DocumentComparison::compareSifted(*a, read, &fromSieve, nullptr, no, no, {}));
        QSet<const XsdtNode *> needed;
        for (const DiffRecord &r : std::as_const(fromSieve)) {
            for (const XsdtNode *n = r.there; n && n->parent; n = n->parent)
                needed.insert(n);
        }
        QStringList kept;
        for (const XsdtNode *n : std::as_const(needed))
            kept << n->path();
        QCOMPARE(describeAll(fromSieve), describeAll(compareDocuments(*a, *b)));
        QStringList entries = entryPaths(sifted.root);
        entries.sort();
        kept.sort();
        QCOMPARE(entries, kept);
        // Told to stop, the reading ends without an error and keeps nothing.
        const auto stopAtOnce = [](const XsdtNode &) { return XsdtDocument::Sift::Stop; };
        QString stopError = "not told";
        QVERIFY(!sifted.parseSifted(testdata::wrapSettings(there), stopAtOnce, &stopError));
        QVERIFY(stopError.isEmpty());
        QVERIFY(sifted.root.children.empty());
    }

    // What a copy would do with the one record the two files make, by the built-in rules; a
    // copy is offered only when the other file's text is stored as it stands.
    void verdicts_data()
    {
        QTest::addColumn<QByteArray>("here");
        QTest::addColumn<QByteArray>("there");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("reason"); // the start of why it is not copied

        const auto row = [](const char *name, const QByteArray &here, const QByteArray &there,
                            CopyVerdict verdict, const QString &reason) {
            QTest::newRow(name) << here << there << int(verdict) << reason;
        };
        const QByteArray plain = "<v k='v' t='i' v='1'/>";
        row("copyable", plain, "<v k='v' t='i' v='2'/>", CopyVerdict::Copyable, "");
        row("only here", plain, "<v k='w' t='i' v='1'/>", CopyVerdict::OneSide,
            "the entry exists in one of the files only.");
        row("protected type", "<v k='v' t='t' v='1'/>", "<v k='v' t='t' v='2'/>",
            CopyVerdict::Protected, "this file's entry is of the protected type Time.");
        row("protected unknown type", "<v k='v' t='x' v='1'/>", "<v k='v' t='x' v='2'/>",
            CopyVerdict::Protected, "this file's entry is of the protected type Unknown (x).");
        // Copying would store the summary text of the other file's blocks as the value.
        row("compressed there", "<v k='v' t='s' v='x'/>",
            "<v k='v' t='s' c='zlib'><s u=\"1\">AA==</s></v>", CopyVerdict::Protected,
            "the other file's value is compressed data");
        row("no-copy list", "<i k='MainWindow'><v k='Layout' t='s' v='1'/></i>",
            "<i k='MainWindow'><v k='Layout' t='s' v='2'/></i>", CopyVerdict::Rules,
            "the rules never copy this entry between files");
        row("locked against editing", "<v k='LastVersion' t='s' v='1'/>",
            "<v k='LastVersion' t='s' v='2'/>", CopyVerdict::Rules,
            "the rules lock this entry against editing");
        row("real into single", "<v k='v' t='f' v='0.5'/>",
            "<v k='v' t='F' v='0.123456789012345'/>", CopyVerdict::TypeDiffers,
            "the entries have different types (Real (single) in this file, Real in the other).");
        row("number over a path", "<v k='v' t='s' v='/home/a'/>", "<v k='v' t='i' v='4656'/>",
            CopyVerdict::TypeDiffers,
            "the entries have different types (String in this file, Integer in the other).");
        row("not valid for the type", plain, "<v k='v' t='i' v='abc'/>", CopyVerdict::Invalid,
            "the other file's value does not fit this file's entry. Expected an integer");
        row("stored in another spelling", "<v k='v' t='F' v='2'/>", "<v k='v' t='F' v='1.50'/>",
            CopyVerdict::Inexact,
            "the other file's value would be stored as 1.5, so the two would still differ.");
        row("same value, other spelling", "<v k='v' t='F' v='1.5'/>", "<v k='v' t='F' v='1.50'/>",
            CopyVerdict::AlreadySame, "copying would not change");
        row("outside the documented range", preference("MaxProcessors", "i", "4"),
            preference("MaxProcessors", "i", "0"), CopyVerdict::Refused,
            "Max processors: 0 is below the allowed minimum 1");
        row("out of range here and there, other spelling", preference("MaxProcessors", "i", "0"),
            preference("MaxProcessors", "i", "00"), CopyVerdict::AlreadySame,
            "copying would not change");
    }

    void verdicts()
    {
        QFETCH(QByteArray, here);
        QFETCH(QByteArray, there);
        QFETCH(int, verdict);
        QFETCH(QString, reason);
        auto a = parsedSettings(here);
        auto b = parsedSettings(there);
        Comparison comparison;
        comparison.setRules(&m_policy, &m_schema);
        comparison.compare(*a, *b);
        QVERIFY(!comparison.records().isEmpty());
        QCOMPARE(int(comparison.verdict(0)), verdict);
        const QString why = comparison.whyNot(0);
        QCOMPARE(why.left(reason.size()), reason);
        QCOMPARE(why.isEmpty(), reason.isEmpty());
        const Comparison::CopyPlan plan = comparison.planCopy({0});
        QCOMPARE(plan.counts[verdict], 1);
        if (verdict != int(CopyVerdict::Copyable)) {
            QVERIFY(plan.values.empty());
            return;
        }
        // A copy makes the two equal: compared again, the record is gone.
        QCOMPARE(plan.values.size(), size_t(1));
        plan.values.front().first->value = plan.values.front().second;
        comparison.compare(*a, *b);
        QVERIFY(comparison.records().isEmpty());
    }

    // A copy holds its own text, exactly the other file's: sharing that file's storage would keep
    // all of it in memory for as long as the copy can be undone.
    void copiesOwnTheirText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("ASCII") << "plain";
        QTest::newRow("beyond Latin-1") << "Grüße → ☃";
        QTest::newRow("longer than a shared block takes") << QString(3000, 'x');
        QTest::newRow("empty") << "";
    }

    void copiesOwnTheirText()
    {
        QFETCH(QString, text);
        auto a = parsedSettings("<v k='v' t='s' v='here'/>");
        auto b = parsedSettings("<v k='v' t='s' v='" + text.toUtf8() + "'/>");
        Comparison comparison;
        comparison.compare(*a, *b);
        const Comparison::CopyPlan plan = comparison.planCopy({0});
        QCOMPARE(plan.values.size(), size_t(1));
        const XsdtText &copied = plan.values.front().second;
        QCOMPARE(copied.toString(), text);
        QVERIFY(!copied.isNull());
        const XsdtText &there = b->root.children[0]->value;
        QVERIFY(!there.block() || copied.block() != there.block());
    }

    // Marked for deletion after the comparison: never written to.
    void queuedAfterComparing()
    {
        auto a = parsedSettings("<v k='v' t='i' v='1'/>");
        auto b = parsedSettings("<v k='v' t='i' v='2'/>");
        Comparison comparison;
        comparison.compare(*a, *b);
        a->root.children[0]->pendingDelete = true;
        QCOMPARE(comparison.verdict(0), CopyVerdict::Queued);
        QCOMPARE(comparison.whyNot(0), "this file's entry is marked for deletion.");
    }

    // The other side read on a worker, edits patched in, a bad file reported and forgotten.
    void worker()
    {
        auto here = parsedSettings(
            "<i k='T'><v k='a' t='i' v='1'/><v k='b' t='i' v='1'/><v k='c' t='i' v='1'/></i>");
        Comparison comparison;
        QSignalSpy finished(&comparison, &Comparison::finished);
        QSignalSpy failed(&comparison, &Comparison::failed);
        comparison.startWithBytes(
            *here,
            given(testdata::wrapSettings("<i k='T'><v k='a' t='i' v='2'/><v k='b' t='i' v='1'/>"
                                         "<v k='c' t='i' v='3'/></i>")),
            "other.settings");
        QCOMPARE(comparison.runningPath(), "other.settings");
        QCOMPARE(comparison.progressTotal(), 4);
        QVERIFY(finished.wait(10000));
        QCOMPARE(comparison.otherPath(), "other.settings");
        QCOMPARE(describe(comparison), QStringList({"0 T/a 1 2", "0 T/c 1 3"}));

        XsdtNode *a = here->findPath(u"T/a");
        XsdtNode *b = here->findPath(u"T/b");
        a->value = "2";
        b->value = "7";
        comparison.noteValueChanged(a);
        comparison.noteValueChanged(b);
        Comparison::Patch patch;
        QVERIFY(comparison.patch(&patch));
        QCOMPARE(patch.removed, QSet<int>{0});
        QVERIFY(patch.added);
        QCOMPARE(describe(comparison), QStringList({"0 T/b 7 1", "0 T/c 1 3"}));
        // A change of marks needs the whole comparison again.
        comparison.noteOtherChange();
        QVERIFY(!comparison.patch(&patch));

        comparison.startWithBytes(*here, given("<xsdt><v k="), "bad.settings");
        QVERIFY(failed.wait(10000));
        QVERIFY(failed.first().first().toString().startsWith(
            "bad.settings is not a valid PixInsight settings file: "));
        QVERIFY(!comparison.hasOther());
        QVERIFY(comparison.records().isEmpty());
    }

    // Walked on the worker: once let go of, the document is not read again, and a run whose
    // walk was cut short gives no records but asks to be compared again.
    void outlineOnWorker()
    {
        auto here = parsedSettings("<i k='T'><v k='a' t='i' v='1'/><v k='b' t='i' v='1'/></i>");
        std::atomic_bool stop = true;
        QVERIFY(!DocumentOutline::take(*here, stop));
        stop = false;
        QCOMPARE(DocumentOutline::take(*here, stop)->size(), 3);
        Comparison comparison;
        comparison.setOutlineOnWorker(true);
        QSignalSpy finished(&comparison, &Comparison::finished);
        const QByteArray other =
            testdata::wrapSettings("<i k='T'><v k='a' t='i' v='2'/><v k='b' t='i' v='1'/></i>");
        QTemporaryDir dir;
        const QString path = dir.filePath("other.settings");
        QVERIFY(testdata::writeFile(path, other));
        comparison.startWithFile(*here, path);
        comparison.releaseDocument();
        QVERIFY(finished.wait(10000));
        QCOMPARE(comparison.otherPath(), path);
        if (comparison.hasChanges()) {
            QVERIFY(comparison.records().isEmpty());
            comparison.clearRecords();
            comparison.startAgain(*here);
            QVERIFY(finished.wait(10000));
        }
        QCOMPARE(describe(comparison), QStringList{"0 T/a 1 2"});
        // Read through a sieve against the document, the other file's bytes are the measure.
        QCOMPARE(comparison.progressTotal(), other.size());
        // The other file kept only what differed: an edit of a value with a record is patched,
        // one of a value that was the same needs the file read again.
        XsdtNode *a = here->findPath(u"T/a");
        a->value = "2";
        comparison.noteValueChanged(a);
        Comparison::Patch patch;
        QVERIFY(comparison.patch(&patch));
        QCOMPARE(patch.removed, QSet<int>{0});
        XsdtNode *b = here->findPath(u"T/b");
        b->value = "5";
        comparison.noteValueChanged(b);
        QVERIFY(!comparison.patch(&patch));
        comparison.clearRecords();
        comparison.startAgain(*here);
        QVERIFY(finished.wait(10000));
        QCOMPARE(describe(comparison), QStringList{"0 T/b 5 1"});
        // Bytes given are given back as they are read: nothing is read again.
        comparison.startWithBytes(*here, given(other), "given");
        QVERIFY(finished.wait(10000));
        comparison.startAgain(*here);
        QVERIFY(!comparison.isRunning());
        // Asked to let go of the document, it stops at the file's first element, before it
        // reads the document, or within a few thousand values while it reads it, and lets go as
        // soon as the reading stops, before the reader frees what it read.
        QByteArray values;
        for (int i = 0; i < 5000; ++i)
            values += "<v k='v" + QByteArray::number(i) + "' t='i' v='1'/>";
        const QByteArray many = testdata::wrapSettings("<i k='T'>" + values + "</i>");
        for (const auto &[file, releasedAt] : {std::pair{other, 0}, std::pair{many, 10}}) {
            const std::atomic_bool no = false;
            std::atomic_bool released = releasedAt == 0;
            std::mutex lock;
            std::unique_lock held(lock, std::defer_lock);
            int sifted = 0;
            bool heldWhileRead = true;
            bool heldAfterStop = false;
            const auto read = [&](const XsdtDocument::Sieve &sieve) {
                return XsdtDocument().parseSifted(
                    file,
                    [&](const XsdtNode &element) {
                        if (++sifted == releasedAt)
                            released = true;
                        const XsdtDocument::Sift sift = sieve(element);
                        if (sift == XsdtDocument::Sift::Stop)
                            heldAfterStop = held.owns_lock();
                        else
                            heldWhileRead = heldWhileRead && held.owns_lock();
                        return sift;
                    },
                    nullptr);
            };
            QList<DiffRecord> records;
            QVERIFY(!DocumentComparison::compareSifted(*here, read, &records, nullptr, no, released,
                                                       {}, &held));
            QVERIFY(records.isEmpty() && heldWhileRead && !heldAfterStop && !held.owns_lock());
            QVERIFY(releasedAt ? sifted < 5000 : sifted == 1);
        }
    }

    // A file compared through the sieve is read from disk as the reader comes to it. What the
    // reader cannot take from the part read ahead, a value longer than it or text that is not
    // UTF-8, makes it read the file again whole: the same records, the same message.
    void readAsItComes()
    {
        // Ten megabytes of values, one of them not UTF-8 past the part first read ahead.
        const auto padded = [](const QByteArray &odd) -> QByteArray {
            QByteArray padding = "<i k='P'>";
            for (int i = 0; i < 100'000; ++i)
                padding += "<v k='p" + QByteArray::number(i) + "' t='s' v='" + QByteArray(80, 'p') +
                           (i == 80'000 ? odd : "") + "'/>";
            return padding + "</i>";
        };
        const QByteArray padding = padded("\xF0");
        const auto here = parsedSettings(padded("") + "<i k='T'><v k='a' t='s' v='1'/></i>");
        const QByteArray longValue(9 << 20, 'x');
        const QByteArray longer = testdata::wrapSettings(
            "<i k='T'><v k='a' t='s' v='1'/><v k='long' t='s' v='" + longValue + "'/></i>");
        const QByteArray broken = testdata::wrapSettings(
            padding + "<i k='T'><v k='a' t='s' v='\xF0'/><v k='b' t='s' v='2'/<</i>");
        QString why;
        QVERIFY(!XsdtDocument().parse(broken, &why));
        QTemporaryDir dir;
        for (const QByteArray &bytes : {longer, broken}) {
            const QString path = dir.filePath("other.settings");
            QVERIFY(testdata::writeFile(path, bytes));
            XsdtDocument there;
            Comparison atOnce;
            if (there.parse(bytes))
                atOnce.compare(*here, there);
            Comparison comparison;
            comparison.setOutlineOnWorker(true);
            QSignalSpy finished(&comparison, &Comparison::finished);
            QSignalSpy failed(&comparison, &Comparison::failed);
            comparison.startWithFile(*here, path);
            QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || !failed.isEmpty(), 60000);
            if (bytes == broken) {
                QCOMPARE(failed.first().first().toString(),
                         QString("%1 is not a valid PixInsight settings file: %2")
                             .arg(QDir::toNativeSeparators(path), why));
            } else {
                QVERIFY(failed.isEmpty());
                QCOMPARE(describe(comparison), describe(atOnce));
            }
        }

        // Bytes that read but were not all there was are read again whole, and only that
        // reading counts.
        const QByteArray first = testdata::wrapSettings("<i k='T'><v k='a' t='s' v='2'/></i>");
        const QByteArray whole = testdata::wrapSettings("<i k='T'><v k='a' t='s' v='3'/></i>"
                                                        "<i k='U'><v k='b' t='s' v='1'/></i>");
        auto grown = std::make_shared<FileBytes>();
        // The bytes, then one more where they should end.
        FileBytes::Fill fill = [first, at = qsizetype(0)](char *into, qint64 most) mutable {
            const qsizetype n = qMin(qsizetype(most), first.size() - at);
            std::copy_n(first.constData() + at, n, into);
            at += n;
            return qint64(qMax(n, qsizetype(1)));
        };
        QVERIFY(grown->fillFrom(first.size(), fill));

        Comparison comparison;
        comparison.setOutlineOnWorker(true);
        QSignalSpy finished(&comparison, &Comparison::finished);
        comparison.startWithBytes(*here, grown, "grown", [whole](FileBytes *into, QString *) {
            std::copy_n(whole.constData(), whole.size(), into->allocate(whole.size()));
            return true;
        });
        QVERIFY(finished.wait(60000));
        XsdtDocument there;
        Comparison atOnce;
        QVERIFY(there.parse(whole));
        atOnce.compare(*here, there);
        QCOMPARE(describe(comparison), describe(atOnce));
        for (int position : atOnce.current())
            QCOMPARE(comparison.groupOf(position), atOnce.groupOf(position));
    }

    // Kept for its records only, a comparison lists what a whole one lists, and of each side
    // keeps the entries the records point at and the groups holding them, nothing else; what is
    // left is never compared again.
    void keepOnlyRecords()
    {
        auto here = parsedSettings("<i k='T'><v k='a' t='i' v='1'/><v k='b' t='i' v='1'/>"
                                   "<v k='gone' t='s' v='x'/></i>"
                                   "<i k='U'><v k='same' t='i' v='5'/></i>");
        Comparison comparison;
        comparison.setOutlineOnWorker(true);
        comparison.keepOnlyRecords(true, here.get());
        QSignalSpy finished(&comparison, &Comparison::finished);
        comparison.startWithBytes(
            *here,
            given(testdata::wrapSettings("<i k='U'><v k='same' t='i' v='5'/></i>"
                                         "<i k='T'><v k='new' t='s' v='y'/>"
                                         "<v k='b' t='i' v='1'/><v k='a' t='i' v='2'/></i>")),
            "version");
        QVERIFY(finished.wait(10000));
        QCOMPARE(entryPaths(here->root), QStringList({"T", "T/a", "T/gone"}));
        QCOMPARE(entryPaths(comparison.otherDocument()->root), QStringList({"T", "T/new", "T/a"}));
        QCOMPARE(describe(comparison), QStringList({"0 T/a 1 2", "1 T/gone x -", "2 T/new - y"}));
        comparison.startAgain(*here);
        QVERIFY(!comparison.isRunning());
    }

    // Walked by the worker, or outlined first and let go of piece by piece as it is walked, a
    // large document gives the records and groups of a comparison made at once on this thread,
    // and the worker has told the noise by the rules it was given.
    void largeOnWorker()
    {
        testdata::GeneratorOptions options;
        options.targetBytes = 12'000'000;
        options.seed = 3;
        XsdtDocument here;
        QVERIFY(here.parse(testdata::generateSettings(options)));
        QVERIFY(DocumentOutline(here).size() > 150'000);
        options.seed = 4;
        const QByteArray bytes = testdata::generateSettings(options);
        XsdtDocument there;
        QVERIFY(there.parse(bytes));
        Comparison atOnce;
        atOnce.setRules(&m_policy, nullptr);
        atOnce.compare(here, there);
        const auto seen = [](Comparison &c) {
            QStringList out;
            for (int p : c.current())
                out << describe(c.records()[p]) + c.groupLabels().at(c.groupOf(p)) +
                           QString::number(c.isNoise(p));
            return out;
        };
        const QStringList expected = seen(atOnce);
        const qsizetype noise = expected.filter(QRegularExpression("1$")).size();
        QVERIFY(noise > 0 && noise < expected.size());
        // Asked to let go of the document, a walk gives up at once instead of holding it.
        const std::atomic_bool no = false;
        const std::atomic_bool yes = true;
        QVERIFY(DocumentComparison(there)
                    .compare(here, nullptr, nullptr, no, yes, nullptr, nullptr, {})
                    .isEmpty());
        // Read from a file as from bytes; a file that does not parse is reported with the place
        // of the error.
        QTemporaryDir dir;
        const QString path = dir.filePath("other.settings");
        const QString broken = dir.filePath("broken.settings");
        QByteArray brokenBytes = bytes;
        brokenBytes.insert(bytes.size() - 300, "<<");
        QString why;
        QVERIFY(!XsdtDocument().parse(brokenBytes, &why));
        QVERIFY(testdata::writeFile(path, bytes));
        QVERIFY(testdata::writeFile(broken, brokenBytes));
        const std::shared_ptr<FileBytes> handed = given(bytes);
        for (const bool walkOnWorker : {true, false}) {
            Comparison worker;
            worker.setRules(&m_policy, nullptr);
            worker.setOutlineOnWorker(walkOnWorker);
            QSignalSpy finished(&worker, &Comparison::finished);
            if (walkOnWorker)
                worker.startWithFile(here, path);
            else
                worker.startWithBytes(here, handed, "other.settings");
            QVERIFY(finished.wait(60000));
            worker.setRules(nullptr, nullptr);
            QCOMPARE(seen(worker), expected);
        }
        // The bytes handed over were given back once read.
        QCOMPARE(handed->view().first(4096), QByteArray(4096, '\0'));
        Comparison failing;
        QSignalSpy failed(&failing, &Comparison::failed);
        failing.startWithFile(here, broken);
        QVERIFY(failed.wait(60000));
        QCOMPARE(failed.first().first().toString(),
                 QString("%1 is not a valid PixInsight settings file: %2")
                     .arg(QDir::toNativeSeparators(broken), why));
    }
};

QTEST_GUILESS_MAIN(TestComparison)
#include "tst_comparison.moc"
