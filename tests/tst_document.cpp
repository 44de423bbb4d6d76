#include "document/values.h"
#include "document/xsdtdocument.h"
#include "document/xsdtwriter.h"
#include "generator/generator.h"
#include "support/treecompare.h"

#include <QLocale>
#include <QtTest>

#include <clocale>

using namespace vrn;

namespace {

QByteArray wrap(const QByteArray &body)
{
    return QByteArray("<xsdt>") + body + "</xsdt>";
}

QString parseError(const QByteArray &bytes)
{
    XsdtDocument doc;
    QString error;
    if (doc.parse(bytes, &error))
        return "(accepted)";
    if (!doc.root.children.empty())
        return "(nodes left after failure)";
    return error;
}

} // namespace

class TestDocument : public QObject
{
    Q_OBJECT

private slots:
    void readerErrors_data();
    void readerErrors();
    void readerAcceptsSubset();
    void readerReportsProgress_data();
    void readerReportsProgress();
    void writerForms();
    void byteOrderMarkSurvives();
    void malformedUtf8IsNoticed_data();
    void malformedUtf8IsNoticed();
    void roundTripGenerated_data();
    void roundTripGenerated();
    void readerLetsGoBehind_data();
    void readerLetsGoBehind();
    void readerNeverConfusesSharedText();
    void pendingChangeBookkeeping();
    void sharedTextStaysPerNode_data();
    void sharedTextStaysPerNode();
    void validateValue_data();
    void validateValue();
    void validateIgnoresUserLocale();
    void blockTexts();
};

void TestDocument::readerErrors_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("error");

    const auto row = [](const char *name, const QByteArray &input, const QString &error) {
        QTest::newRow(name) << input << error;
    };

    row("empty", {}, "Not a PixInsight settings file (no <xsdt> element).");
    row("self-closing root", "<xsdt/>", "The <xsdt> element is empty or malformed.");
    row("unclosed root tag", "<?xml?>\n<xsdt version='1.0'",
        "The <xsdt> element is empty or malformed.");
    row("wrong end of root", wrap("</i>").left(10), "expected </xsdt> (line 1, column 11)");
    row("content after root", "<xsdt></xsdt>\n x", "Unexpected content after </xsdt>.");
    row("end of file in group", "<xsdt><i k=\"A\">",
        "unexpected end of file (line 1, column 16, in A/A)");
    row("group with type", wrap("<i k=\"A\" t=\"b\"/>"),
        "malformed <i> element (line 1, column 23, in A)");
    row("group without key", wrap("<i/>"), "malformed <i> element (line 1, column 11)");
    row("wrong group end", wrap("<i k=\"A\"></v>"), "expected </i> (line 1, column 20, in A)");
    row("value without type", wrap("<v k=\"x\" v=\"1\"/>"),
        "malformed <v> element (line 1, column 23, in x)");
    row("value without value", wrap("<v k=\"x\" t=\"b\"/>"),
        "<v> element without a value (line 1, column 23, in x)");
    row("value twice", wrap("<v k=\"x\" t=\"b\" v=\"1\">true</v>"),
        "<v> element with both an attribute and a text value (line 1, column 28, in x)");
    row("unterminated value", "<xsdt><v k=\"x\" t=\"s\">abc",
        "unterminated <v> element (line 1, column 22, in x)");
    row("unterminated after markup", "<xsdt><v k=\"x\" t=\"s\">a<b>",
        "unterminated <v> element (line 1, column 22, in x)");
    row("markup in text", wrap("<v k=\"x\" t=\"s\">a<b</v>"),
        "markup inside a <v> text value (line 1, column 22, in x)");
    row("self-closing compressed", wrap("<v k=\"x\" t=\"B\" c=\"zlib\"/>"),
        "malformed compressed <v> element (line 1, column 32, in x)");
    row("compressed with value", wrap("<v k=\"x\" t=\"B\" c=\"zlib\" v=\"\">x</v>"),
        "malformed compressed <v> element (line 1, column 36, in x)");
    row("compressed without algorithm", wrap("<v k=\"x\" t=\"B\" c=\"\"><s u=\"1\">AA==</s></v>"),
        "malformed compressed <v> element (line 1, column 27, in x)");
    row("compressed without end", "<xsdt><v k=\"x\" t=\"B\" c=\"zlib\"><s u=\"1\">AA==</s>",
        "unterminated <v> element (line 1, column 31, in x)");
    row("compressed plain text", wrap("<v k=\"x\" t=\"B\" c=\"zlib\">AAAA</v>"),
        "unsupported content in a compressed <v> element (line 1, column 31, in x)");
    row("compressed bad base64", wrap("<v k=\"x\" t=\"B\" c=\"zlib\"><s u=\"4\">A*A=</s></v>"),
        "unsupported content in a compressed <v> element (line 1, column 31, in x)");
    row("unknown element", wrap("<x k=\"a\"/>"),
        "unexpected element <x> (line 1, column 17, in a)");
    row("element name beyond ASCII", wrap("<v\xC3\xA9 k=\"a\"/>"),
        "unexpected element <v\xC3\xA9> (line 1, column 18, in a)");
    row("every name character", wrap("<v k=\"x\" t=\"b\" z_9-.:\xC3\xA9=\"1\"/>"),
        "unsupported attribute 'z_9-.:\xC3\xA9' (line 1, column 33, in x)");
    row("text between elements", wrap("<i k=\"A\">text</i>"),
        "expected '<' (line 1, column 16, in A)");
    row("comment between elements", "<xsdt>\n<i k=\"A\">\n  <!-- note -->\n</i></xsdt>",
        "expected an element name (line 3, column 4, in A)");
    row("end of file in tag", "<xsdt><i k=\"A\"",
        "unexpected end of file inside a tag (line 1, column 15, in A)");
    row("slash in start tag", wrap("<i k=\"A\"/ ></i>"), "malformed tag (line 1, column 15, in A)");
    row("slash in end tag", wrap("<i k=\"A\"></i/>"), "malformed tag (line 1, column 19, in A)");
    row("attribute in end tag", wrap("<i k=\"A\"></i x=\"1\">"),
        "unexpected content in closing tag (line 1, column 20, in A)");
    row("attribute without name", wrap("<i =\"A\"/>"), "malformed attribute (line 1, column 10)");
    row("attribute without equals", wrap("<i k \"A\"/>"),
        "expected '=' after attribute name (line 1, column 12)");
    row("unquoted attribute", wrap("<i k=A/>"),
        "expected a quoted attribute value (line 1, column 12)");
    row("unterminated attribute", "<xsdt><i k=\"A/></xsdt>",
        "unterminated attribute value (line 1, column 12)");
    row("entity without semicolon", wrap("<v k=\"x\" t=\"s\" v=\"a&amp\"/>"),
        "malformed entity reference (line 1, column 31, in x)");
    row("entity name of twelve", wrap("<v k=\"x\" t=\"s\" v=\"&abcdefghijkl;\"/>"),
        "malformed entity reference (line 1, column 40, in x)");
    row("entity name of eleven", wrap("<v k=\"x\" t=\"s\" v=\"&abcdefghijk;\"/>"),
        "unknown entity &abcdefghijk; (line 1, column 39, in x)");
    row("upper-case entity", wrap("<v k=\"x\" t=\"s\" v=\"&AMP;\"/>"),
        "unknown entity &AMP; (line 1, column 31, in x)");
    row("empty entity", wrap("<v k=\"x\" t=\"s\" v=\"&;\"/>"),
        "unknown entity &; (line 1, column 28, in x)");
    row("reference to zero", wrap("<v k=\"x\" t=\"s\" v=\"&#0;\"/>"),
        "invalid character reference (line 1, column 30, in x)");
    row("reference beyond unicode", wrap("<v k=\"x\" t=\"s\" v=\"&#x110000;\"/>"),
        "invalid character reference (line 1, column 36, in x)");
    row("upper-case X reference", wrap("<v k=\"x\" t=\"s\" v=\"&#X41;\"/>"),
        "invalid character reference (line 1, column 32, in x)");
    row("reference to a surrogate", wrap("<v k=\"x\" t=\"s\" v=\"&#xD800;\"/>"),
        "invalid character reference (line 1, column 34, in x)");
    row("entity in text value", wrap("<v k=\"x\" t=\"s\">a&bogus;</v>"),
        "unknown entity &bogus; (line 1, column 22, in x)");
    row("unsupported attribute with path",
        wrap("<i k=\"Global\"><i k=\"Preferences\"><v k=\"X\" t=\"b\" z=\"1\"/></i></i>"),
        "unsupported attribute 'z' (line 1, column 60, in Global/Preferences/X)");
    row("after other spacing", wrap("<v k=\"a\" t=\"s\" v=\"1\"/><v  k = 'x' t=\"bb\" v=\"1\"/>"),
        "malformed <v> element (line 1, column 55, in x)");
    row("second line column", "<xsdt>\r\n\t<i k=\"A\"><v k=\"b\" t=\"i\"></i></i>\n</xsdt>",
        "unterminated <v> element (line 2, column 26, in A/b)");

    QByteArray deep = "<xsdt>";
    for (int i = 0; i < 1200; ++i)
        deep += "<i k=\"d\">";
    // Deep paths and long keys are shortened in messages.
    row("nesting too deep", deep,
        QString("elements nested too deeply (more than 1000 levels) (line 1, column %1, in "
                "d/d/d/\u2026/d/d/d)")
            .arg(6 + 1001 * 9 + 1));
    row("long key",
        wrap(QByteArray("<v k=\"" + QByteArray(61, 'k') + "\" t=\"bb\" v=\"1\"/>").constData()),
        "malformed <v> element (line 1, column 90, in " + QString(59, 'k') + "\u2026)");
    // The message names the last value read, which a sieve has dropped by then.
    row("end of file after a long key",
        "<xsdt><i k=\"A\"><v k=\"" + QByteArray(600, 'k') + "\" t=\"i\" v=\"1\"/>",
        "unexpected end of file (line 1, column 637, in A/" + QString(59, 'k') + "\u2026)");
}

void TestDocument::readerErrors()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, error);
    QCOMPARE(parseError(input), error);
    QString vetted;
    QCOMPARE(XsdtDocument::reads(input, &vetted), error == "(accepted)");
    QCOMPARE(vetted, error == "(accepted)" ? QString() : error);
    // Read through a sieve that drops every element, the message is the same.
    XsdtDocument sifted;
    QString siftError;
    const auto dropAll = [](const XsdtNode &) { return XsdtDocument::Sift::Drop; };
    QCOMPARE(sifted.parseSifted(input, dropAll, &siftError), error == "(accepted)");
    QCOMPARE(siftError, error == "(accepted)" ? QString() : error);
    QVERIFY(sifted.root.children.empty());
}

void TestDocument::readerAcceptsSubset()
{
    // Declaration and root attributes stay in the head; an empty root has no nodes.
    {
        XsdtDocument doc;
        const QByteArray bytes =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xsdt version=\"1.0\" a='b'></xsdt >\n\n";
        QVERIFY(doc.parse(bytes));
        QCOMPARE(doc.head,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xsdt version=\"1.0\" a='b'>");
        QCOMPARE(doc.tail, "\n\n");
        QVERIFY(doc.root.children.empty());
        QCOMPARE(doc.serialize(), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xsdt "
                                             "version=\"1.0\" a='b'></xsdt>\n\n"));
        QVERIFY(!doc.compactLayout); // "</xsdt >" is rewritten
    }
    // Attribute and text forms give the same value but keep their own form.
    {
        XsdtDocument doc;
        const QByteArray bytes =
            wrap("<v k=\"a\" t=\"s\" v=\"x &lt; y\"/><v k=\"b\" t=\"s\">x &lt; y</v>");
        QVERIFY(doc.parse(bytes));
        const XsdtNode *a = doc.findPath(u"a");
        const XsdtNode *b = doc.findPath(u"b");
        QVERIFY(a && b);
        QCOMPARE(a->value, "x < y");
        QCOMPARE(b->value, a->value);
        QVERIFY(!a->textForm && a->selfClosing);
        QVERIFY(b->textForm && !b->selfClosing);
        QCOMPARE(doc.serialize(), bytes);
        QVERIFY(doc.compactLayout);
    }
    // Every entity and reference form, attribute order, repeated attributes, single quotes and
    // Unicode white space between elements are accepted; the layout is then not compact.
    {
        XsdtDocument doc;
        const QByteArray bytes = QByteArray("<xsdt>\xC2\xA0\n<i k='G'>\t<v t=\"s\" k=\"x\" k=\"y\" "
                                            "v=\"&amp;&lt;&gt;&quot;&apos;&#65;&#x1F52D;&#xe9;\"/>"
                                            "<v k=\"multi\" t=\"s\">line1\nline2\n</v></i></xsdt>");
        QVERIFY(doc.parse(bytes));
        const XsdtNode *y = doc.findPath(u"G/y");
        QVERIFY(y);
        QCOMPARE(y->value, "&<>\"'A" + QString::fromUcs4(U"\U0001F52D") + QChar(0xE9));
        QCOMPARE(doc.findPath(u"G/multi")->value, "line1\nline2\n");
        QVERIFY(!doc.compactLayout);
        QCOMPARE(doc.serialize(),
                 QByteArray("<xsdt><i k=\"G\"><v k=\"y\" t=\"s\" "
                            "v=\"&amp;&lt;&gt;&quot;&apos;A\xF0\x9F\x94\xAD\xC3\xA9\"/>"
                            "<v k=\"multi\" t=\"s\">line1\nline2\n</v></i></xsdt>"));
    }
    // Compressed values keep their raw blocks, unknown type codes and non-ASCII names are read.
    {
        XsdtDocument doc;
        const QByteArray bytes =
            wrap("<i k=\"M\xC3\xA9t\xC3\xA9o\"><v k=\"p\" t=\"B\" c=\"zlib\">\n <s "
                 "u=\"1536\">QUJD\nREVG</s><s  u=\"512\" >=</s>\n</v>"
                 "<v k=\"q\" t=\"\xE2\x82\xAC\" v=\"1\"/></i>");
        QVERIFY(doc.parse(bytes));
        const XsdtNode *p = doc.findPath(QString::fromUtf8("M\xC3\xA9t\xC3\xA9o/p"));
        QVERIFY(p);
        QCOMPARE(p->compression(), "zlib");
        QCOMPARE(p->compressedText(), "\n <s u=\"1536\">QUJD\nREVG</s><s  u=\"512\" >=</s>\n");
        QCOMPARE(p->value, QString("(compressed zlib block, %1 uncompressed)")
                               .arg(QLocale().formattedDataSize(2048, 2)));
        QCOMPARE(p->originalValue, p->value);
        QVERIFY(!p->isEditable());
        QCOMPARE(doc.findPath(QString::fromUtf8("M\xC3\xA9t\xC3\xA9o/q"))->type, QChar(0x20AC));
        QCOMPARE(doc.serialize(), bytes);
        QVERIFY(doc.compactLayout);
    }
    // A failed parse leaves the document without nodes even when it held a file before.
    {
        XsdtDocument doc;
        QVERIFY(doc.parse(wrap("<i k=\"A\"/>")));
        QString error;
        QVERIFY(!doc.parse(wrap("<i k=\"A\">"), &error));
        QVERIFY(doc.root.children.empty());
        QVERIFY(doc.head.isEmpty());
        QVERIFY(!error.isEmpty());
    }
}

void TestDocument::readerReportsProgress_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("accepted");
    const QByteArray values = wrap(QByteArray("<v k=\"x\" t=\"s\" v=\"1\"/>").repeated(300000));
    QTest::newRow("compact") << values << true;
    QTest::newRow("not UTF-8") << "\xFF" + values << true;
    QTest::newRow("refused at the end") << values.chopped(2) << false;
}

void TestDocument::readerReportsProgress()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, accepted);
    QList<qint64> done;
    XsdtDocument doc;
    const bool ok = doc.parse(input, nullptr, [&](qint64 at, qint64 total) {
        QCOMPARE(total, input.size());
        done.append(at);
    });
    QCOMPARE(ok, accepted);
    // Every few MB in order; all of the file only once it was read.
    QVERIFY(done.size() >= 4);
    for (qsizetype i = 1; i < done.size(); ++i)
        QVERIFY(done[i] > done[i - 1] && done[i] - done[i - 1] < 3'000'000);
    QCOMPARE(done.last() == input.size(), accepted);
}

void TestDocument::writerForms()
{
    XsdtDocument doc;
    const QByteArray bytes = "<?xml version=\"1.0\"?>\n<xsdt a=\"1\"><i k=\"Global\">"
                             "<i k=\"Preferences\"><i k=\"MainWindow\"><v k=\"AnimateCombo\" "
                             "t=\"b\" v=\"true\"/></i></i></i><i k=\"E1\"/><i k=\"E2\"></i>"
                             "<i k=\"S\"><v k=\"empty\" t=\"s\" v=\"\"/><v k=\"t\" t=\"s\"></v></i>"
                             "<i k=\"Stats\"><v k=\"n\" t=\"u\" v=\"12\"/></i></xsdt>\n";
    QVERIFY(doc.parse(bytes));
    QVERIFY(doc.compactLayout);
    QCOMPARE(doc.serialize(), bytes);

    // Escaping of the five characters, in both forms.
    XsdtNode *empty = doc.findPath(u"S/empty");
    empty->value = "a<b & \"c\" 'd' >";
    XsdtNode *text = doc.findPath(u"S/t");
    text->value = "x\n\t<y>";
    QCOMPARE(xmlEscape(empty->value), "a&lt;b &amp; &quot;c&quot; &apos;d&apos; &gt;");
    QByteArray out = doc.serialize();
    QVERIFY(out.contains(
        "<v k=\"empty\" t=\"s\" v=\"a&lt;b &amp; &quot;c&quot; &apos;d&apos; &gt;\"/>"));
    QVERIFY(out.contains("<v k=\"t\" t=\"s\">x&#10;&#9;&lt;y&gt;</v>"));

    // Breaks typed into a value are written as references, also by later saves; untouched
    // values keep the form they were read in.
    XsdtDocument breaks;
    const QByteArray read = "<v k=\"raw\" t=\"s\" v=\"a\tb\"/><v k=\"ref\" t=\"s\" v=\"a&#10;b\"/>";
    QVERIFY(breaks.parse(wrap(read + "<v k=\"e\" t=\"s\" v=\"\"/>")));
    QVERIFY(breaks.compactLayout);
    breaks.findPath(u"e")->value = "1\t2\n3\r";
    const QByteArray edited = wrap(read + "<v k=\"e\" t=\"s\" v=\"1&#9;2&#10;3&#13;\"/>");
    QCOMPARE(breaks.serialize(), edited);
    breaks.commit();
    QCOMPARE(breaks.serialize(), edited);

    // Text kept as the file holds it is escaped like any other, also where it is copied
    // sixteen characters at a time.
    XsdtDocument raw;
    QVERIFY(raw.parse(wrap("<v k=\"r\" t=\"s\" v=\"012>456789abcdefghij\"/>")));
    QCOMPARE(raw.serialize(), wrap("<v k=\"r\" t=\"s\" v=\"012&gt;456789abcdefghij\"/>"));

    // A marked top-level group is absent but still measured in full.
    XsdtNode *stats = doc.findPath(u"Stats");
    const qint64 statsSize = QByteArray("<i k=\"Stats\"><v k=\"n\" t=\"u\" v=\"12\"/></i>").size();
    QCOMPARE(serializedSize(stats), statsSize);
    stats->pendingDelete = true;
    out = doc.serialize();
    QVERIFY(!out.contains("Stats"));
    QCOMPARE(serializedSize(stats), statsSize);

    // A group whose children are all marked keeps a start and an end tag, even when it was
    // read as an empty element and a child was added since.
    XsdtNode *e1 = doc.findPath(u"E1");
    XsdtNode *added = e1->appendChild(XsdtNode::Value, "v");
    added->type = 'i';
    added->pendingDelete = true;
    out = doc.serialize();
    QVERIFY(out.contains("<i k=\"E1\"></i><i k=\"E2\"></i>"));
    QVERIFY(out.startsWith("<?xml version=\"1.0\"?>\n<xsdt a=\"1\"><i k=\"Global\"><i "
                           "k=\"Preferences\"><i k=\"MainWindow\">"
                           "<v k=\"AnimateCombo\" t=\"b\" v=\"true\"/></i></i></i>"));
    QVERIFY(out.endsWith("</xsdt>\n"));
    QCOMPARE(serializedSize(nullptr), 0);
}

void TestDocument::byteOrderMarkSurvives()
{
    const QByteArray bytes =
        "\xEF\xBB\xBF<?xml version=\"1.0\"?><xsdt><v k=\"a\" t=\"b\" v=\"true\"/></xsdt>";
    XsdtDocument doc;
    QVERIFY(doc.parse(bytes));
    QVERIFY(doc.head.startsWith(QChar(0xFEFF)));
    QVERIFY(doc.compactLayout);
    QCOMPARE(doc.serialize(), bytes);

    // Malformed UTF-8 reads as replacement characters and is then not byte-identical.
    const QByteArray broken = "<xsdt><v k=\"a\" t=\"s\" v=\"\xFF\"/></xsdt>";
    QVERIFY(doc.parse(broken));
    QCOMPARE(doc.findPath(u"a")->value, QString(QChar::ReplacementCharacter));
    QVERIFY(!doc.compactLayout);

    // A save reads its bytes without decoding them first: the same characters, Unicode spaces
    // between elements and byte-order marks inside values must come out.
    const QByteArray mixed =
        "\xEF\xBB\xBF<xsdt>\xC2\xA0<i k=\"\xC3\xBC\xE6\x97\xA5\"><v k=\"a\" "
        "t=\"s\" v=\"&amp;\xEF\xBB\xBF\xF0\x9F\x94\xAD\"/>\xE2\x80\x83</i></xsdt>";
    QVERIFY(doc.parse(mixed));
    QString error;
    QString where;
    QVERIFY(doc.readsBackAs(mixed, &error, &where) &&
            doc.readsBackAs(doc.serialize(), &error, &where));
    XsdtNode *mixedValue = doc.findPath(u"\u00fc\u65e5/a");
    mixedValue->value = mixedValue->value.left(mixedValue->value.size() - 1);
    QVERIFY(!doc.readsBackAs(mixed, &error, &where));
    QCOMPARE(where, "\u00fc\u65e5/a");
}

// A file that is not UTF-8 is read through the decoder, which replaces what it cannot read and
// tells where: the check that decides it must not miss a bad sequence.
void TestDocument::malformedUtf8IsNoticed_data()
{
    QTest::addColumn<QByteArray>("value");
    const QByteArray run(70, 'x'); // long enough for the check's wide steps
    QTest::newRow("lone continuation byte") << QByteArray("\x80");
    QTest::newRow("overlong form") << QByteArray("\xC0\xAF");
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80");
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xF4\x90\x80\x80");
    QTest::newRow("cut short") << QByteArray("\xE2\x82");
    QTest::newRow("bad byte after a long run") << run + "\xFF";
    QTest::newRow("bad byte after a character") << "\xC3\xA9" + run + "\x80" + run;
}

void TestDocument::malformedUtf8IsNoticed()
{
    QFETCH(QByteArray, value);
    XsdtDocument doc;
    QVERIFY(doc.parse(wrap("<v k=\"a\" t=\"s\" v=\"" + value + "\"/>")));
    QVERIFY(doc.invalidUtf8.count > 0);
    QCOMPARE(doc.findPath(u"a")->value.toString(), QString::fromUtf8(value));
}

void TestDocument::roundTripGenerated_data()
{
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<qint64>("size");

    const auto row = [](const char *name, const quint64 &seed, qint64 size) {
        QTest::newRow(name) << seed << size;
    };
    row("2 MiB seed 4", quint64(4), qint64(2 * 1024 * 1024));
}

void TestDocument::roundTripGenerated()
{
    QFETCH(quint64, seed);
    QFETCH(qint64, size);
    testdata::GeneratorOptions options;
    options.seed = seed;
    options.targetBytes = size;
    options.plantProblems = seed % 2 == 0;
    const QByteArray compact = testdata::generateSettings(options);
    QVERIFY(compact.size() > size * 8 / 10);

    XsdtDocument doc;
    QString error;
    QVERIFY2(doc.parse(compact, &error), qPrintable(error));
    QVERIFY(doc.compactLayout);
    const QByteArray written = doc.serialize();
    QCOMPARE(written.size(), compact.size());
    QVERIFY(written == compact);
    QCOMPARE(serializedSize(&doc.root) - 12,
             qint64(written.size() - doc.head.toUtf8().size() - 7 - doc.tail.toUtf8().size()));

    // Indented, and indented with the other spellings the reader accepts: the same tree.
    for (bool alternate : {false, true}) {
        options.indented = true;
        options.alternateSyntax = alternate;
        const QByteArray indented = testdata::generateSettings(options);
        QVERIFY(indented != compact);
        XsdtDocument other;
        QVERIFY2(other.parse(indented, &error), qPrintable(error));
        QVERIFY(!other.compactLayout);
        QCOMPARE(testdata::treeDifference(doc.root, other.root, false, true), QString());
        // Written again, the indented file becomes the compact one and stays that way.
        QVERIFY(other.serialize() == compact);
    }
}

void TestDocument::readerLetsGoBehind_data()
{
    QTest::addColumn<QByteArray>("input");
    testdata::GeneratorOptions options;
    options.seed = 4;
    options.targetBytes = 6 * 1024 * 1024;
    options.indented = true;
    const QByteArray indented = testdata::generateSettings(options);
    // Long lines of characters of two, three and four bytes, where the bytes let go of end
    // inside a character: columns count characters.
    const QByteArray value = QByteArray("<v k=\"x\" t=\"s\" v=\"\xC3\xA9\xF0\x9D\x84\x9E") +
                             QByteArray("\xE2\x82\xAC").repeated(100) + "\"/>";
    const QByteArray wide = wrap(value.repeated(10000) + "\n" + value.repeated(10000));
    const qsizetype lastClose = indented.lastIndexOf("</i>");
    QTest::newRow("indented") << indented;
    QTest::newRow("indented, refused near the end")
        << QByteArray(indented).replace(lastClose, 4, "</v>");
    QTest::newRow("long lines") << wide;
    QTest::newRow("long lines, refused near the end") << wide.chopped(9) + "<v/></xsdt>";
}

// Bytes let go of are overwritten here: a reader that looked at them again would read another
// tree or place a fault elsewhere.
void TestDocument::readerLetsGoBehind()
{
    QFETCH(QByteArray, input);
    XsdtDocument whole;
    QString wholeError;
    const bool accepted = whole.parse(input, &wholeError);

    QByteArray bytes = input;
    char *data = bytes.data(); // its own copy, which the reader reads
    qsizetype gone = 0;
    XsdtDocument partly;
    QString error;
    const bool ok = partly.parse(QByteArrayView(bytes), &error, {}, [&](qsizetype before) {
        QVERIFY(before > gone);
        std::fill(data + gone, data + before, '#');
        gone = before;
    });
    QVERIFY(gone > bytes.size() / 2);
    QCOMPARE(ok, accepted);
    QCOMPARE(error, wholeError);
    if (accepted)
        QCOMPARE(testdata::treeDifference(whole.root, partly.root, false, true), QString());
}

// Repeated keys and values are shared through small tables. Strings alike but for a few
// characters, more of them than the tables hold, must each come back as they were read.
void TestDocument::readerNeverConfusesSharedText()
{
    QByteArray body;
    for (int i = 0; i < 6000; ++i)
        body += QStringLiteral("<v k=\"%1Key\" t=\"s\" v=\"Value%2\"/>")
                    .arg(i, 8, 10, QLatin1Char('0'))
                    .arg(i * 7, 11, 10, QLatin1Char('0'))
                    .toLatin1();
    XsdtDocument doc;
    QVERIFY(doc.parse(wrap(body)));
    QVERIFY(doc.serialize() == wrap(body));
}

void TestDocument::pendingChangeBookkeeping()
{
    XsdtDocument doc;
    QVERIFY(doc.parse(
        wrap("<i k=\"A\"><i k=\"B\"><v k=\"x\" t=\"i\" v=\"1\"/><v k=\"y\" t=\"s\" v=\"a\"/></i><i "
             "k=\"E\"/></i>"
             "<v k=\"top\" t=\"b\" v=\"true\"/><i k=\"C\"><v k=\"z\" t=\"t\" v=\"2026\"/></i>")));
    XsdtNode *x = doc.findPath(u"A/B/x");
    XsdtNode *y = doc.findPath(u"//A//B/y/");
    QVERIFY(x && y);
    QCOMPARE(doc.findPath(u"A/B/x/"), x);
    QCOMPARE(doc.findPath(u"a/B/x"), nullptr);
    QCOMPARE(doc.findPath(u""), &doc.root);
    QCOMPARE(x->path(), "A/B/x");
    QCOMPARE(doc.root.path(), QString());
    QCOMPARE(y->indexInParent(), 1);
    QCOMPARE(doc.root.indexInParent(), 0);
    QCOMPARE(doc.findPath(u"A/E")->valueCount(), 0);
    QCOMPARE(doc.findPath(u"A")->valueCount(), 2);
    QCOMPARE(doc.root.valueCount(), 4);
    QVERIFY(x->isEditable());
    QVERIFY(!doc.findPath(u"C/z")->isEditable());
    QVERIFY(!doc.findPath(u"A")->isEditable());

    x->value = "2";
    doc.findPath(u"top")->value = "false";
    QCOMPARE(doc.changedValues(), (QList<XsdtNode *>{x, doc.findPath(u"top")}));
    QCOMPARE(doc.pendingChangeCount(), 2);

    // A marked group hides the changes inside it and counts once.
    XsdtNode *b = doc.findPath(u"A/B");
    b->pendingDelete = true;
    y->pendingDelete = true;
    QVERIFY(x->isDeleted());
    QVERIFY(!doc.findPath(u"A")->isDeleted());
    QCOMPARE(doc.deletedNodes(), QList<XsdtNode *>{b});
    QCOMPARE(doc.changedValues(), QList<XsdtNode *>{doc.findPath(u"top")});
    QCOMPARE(doc.pendingChangeCount(), 2);

    doc.revertAll();
    QCOMPARE(doc.pendingChangeCount(), 0);
    QCOMPARE(x->value, "1");
    QVERIFY(!y->pendingDelete);

    x->value = "3";
    doc.findPath(u"C")->pendingDelete = true;
    doc.commit();
    QCOMPARE(doc.pendingChangeCount(), 0);
    QCOMPARE(x->originalValue, "3");
    QCOMPARE(doc.findPath(u"C"), nullptr);
    QCOMPARE(doc.root.children.size(), size_t(2));

    // A long value has a block of its own: an edit in place must leave the read text intact.
    const QString text(600, QLatin1Char('a'));
    QVERIFY(doc.parse(wrap("<v k=\"long\" t=\"s\" v=\"" + text.toLatin1() + "\"/>")));
    XsdtNode *text600 = doc.findPath(u"long");
    text600->value = QLatin1Char('b') + text600->value.mid(1);
    QCOMPARE(doc.changedValues(), QList<XsdtNode *>{text600});
    doc.revertAll();
    QCOMPARE(text600->value, text);
}

// Keys and values read from a file share their text, and child lists and compressed blocks
// live outside the nodes: a change to one node must reach the file for that node alone.
void TestDocument::sharedTextStaysPerNode_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QByteArray>("written");
    const QByteArray c1 = "<v k=\"c1\" t=\"B\" c=\"zlib\"><s u=\"1\">QQ==</s></v>";
    const QByteArray c2 = "<v k=\"c2\" t=\"B\" c=\"zlib\"> <s u=\"2\">QUI=</s></v>";
    const QByteArray g2 = "<v k=\"Geometry\" t=\"b\" v=\"true\"/>";
    const QByteArray b =
        QByteArray("<i k=\"B\"><v k=\"Geometry\" t=\"s\" v=\"2 3\"/>") + c1 + c2 + "</i>";
    auto a = [&](const QByteArray &first) -> QByteArray {
        return "<i k=\"A\">" + first + g2 + "</i>" + b;
    };
    QTest::newRow("untouched") << "" << a(g2);
    QTest::newRow("key renamed") << "rename" << a("<v k=\"Size\" t=\"b\" v=\"true\"/>");
    QTest::newRow("key changed in place")
        << "appendKey" << a("<v k=\"Geometrys\" t=\"b\" v=\"true\"/>");
    QTest::newRow("value changed in place")
        << "replaceValue" << a("<v k=\"Geometry\" t=\"b\" v=\"True\"/>");
    QTest::newRow("value chopped") << "chopValue" << a("<v k=\"Geometry\" t=\"b\" v=\"tr\"/>");
    QTest::newRow("first child erased") << "erase"
                                        << "<i k=\"A\">" + g2 + "</i>" + b;
    QTest::newRow("child inserted first") << "insert" << a("<v k=\"New\" t=\"i\" v=\"7\"/>" + g2);
    QTest::newRow("child added last")
        << "append"
        << QByteArray("<i k=\"A\">" + g2 + g2 + "<v k=\"Geometry2\" t=\"i\" v=\"7\"/></i>" + b);
    QTest::newRow("compressed sibling erased") << "eraseCompressed" << a(g2).replace(c1, "");
    QTest::newRow("compressed value replaced")
        << "recompress" << a(g2).replace(c1, "<v k=\"c1\" t=\"B\" c=\"lz4\">x</v>");
}

void TestDocument::sharedTextStaysPerNode()
{
    QFETCH(QString, edit);
    QFETCH(QByteArray, written);
    const QByteArray g2 = "<v k=\"Geometry\" t=\"b\" v=\"true\"/>";
    XsdtDocument doc;
    QVERIFY(doc.parse(wrap("<i k=\"A\">" + g2 + g2 +
                           "</i><i k=\"B\"><v k=\"Geometry\" t=\"s\" "
                           "v=\"2 3\"/><v k=\"c1\" t=\"B\" c=\"zlib\"><s u=\"1\">QQ==</s></v>"
                           "<v k=\"c2\" t=\"B\" c=\"zlib\"> <s u=\"2\">QUI=</s></v></i>")));
    XsdtNode *a = doc.findPath(u"A");
    XsdtNode *first = a->children.front().get();
    const XsdtNode *twin = a->children.back().get();
    auto added = [&](const QString &key) {
        auto node = std::make_unique<XsdtNode>();
        node->kind = XsdtNode::Value;
        node->key = key;
        node->type = 'i';
        node->value = node->originalValue = "7";
        node->parent = a;
        return node;
    };
    if (edit == "rename")
        first->key = "Size";
    else if (edit == "appendKey")
        first->key += QLatin1Char('s');
    else if (edit == "replaceValue")
        first->value = "T" + first->value.mid(1);
    else if (edit == "chopValue")
        first->value = first->value.left(first->value.size() - 2);
    else if (edit == "erase")
        a->children.erase(a->children.begin());
    else if (edit == "insert")
        a->children.insert(a->children.begin(), added("New"));
    else if (edit == "append")
        a->children.push_back(added(first->key + '2'));
    else if (edit == "eraseCompressed")
        doc.findPath(u"B")->children.erase(doc.findPath(u"B")->children.begin() + 1);
    else if (edit == "recompress")
        doc.findPath(u"B/c1")->setCompressed("lz4", "x");
    QCOMPARE(doc.serialize(), wrap(written));
    // The node that shared every string with the one changed still reads as in the file.
    QCOMPARE(twin->key, "Geometry");
    QCOMPARE(twin->value, "true");
    QCOMPARE(doc.findPath(u"B/c2")->compressedText(), " <s u=\"2\">QUI=</s>");
}

void TestDocument::validateValue_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("result"); // stored text, or the message

    const auto row = [](const char *name, const QString &type, const QString &input, bool ok,
                        const QString &result) {
        QTest::newRow(name) << type << input << ok << result;
    };

    const QString boolMsg = "Expected true or false.";
    const QString intMsg = "Expected an integer between -2147483648 and 2147483647.";
    const QString uintMsg = "Expected an integer between 0 and 4294967295.";
    const QString realMsg = "Expected a real number.";
    const QString floatMsg = "Expected a real number in single-precision range.";

    row("b TRUE spaced", "b", " TRUE ", true, "true");
    row("b 0", "b", "0", true, "false");
    row("b 1", "b", "1", true, "true");
    row("b yes", "b", "yes", false, boolMsg);
    row("b empty", "b", "", false, boolMsg);
    row("i max", "i", "2147483647", true, "2147483647");
    row("i min", "i", "-2147483648", true, "-2147483648");
    row("i plus and zeros", "i", " +007 ", true, "7");
    row("i -0", "i", "-0", true, "0");
    row("i too big", "i", "2147483648", false, intMsg);
    row("i too small", "i", "-2147483649", false, intMsg);
    row("i huge", "i", "99999999999999999999999", false, intMsg);
    row("i real", "i", "1.0", false, intMsg);
    row("i exponent", "i", "1e3", false, intMsg);
    row("i hex", "i", "0x10", false, intMsg);
    row("i arabic digits", "i", QString::fromUtf8("\xD9\xA3"), false, intMsg);
    row("u max", "u", "4294967295", true, "4294967295");
    row("u too big", "u", "4294967296", false, uintMsg);
    row("u -0", "u", "-0", false, uintMsg);
    row("u -1", "u", "-1", false, uintMsg);
    row("F exponent", "F", "1e3", true, "1000");
    row("F shortest", "F", "0.1000000000000000055511151231257827", true, "0.1");
    row("F big", "F", "1.5e300", true, "1.5e+300");
    row("F grouped", "F", "1,000.5", false, realMsg);
    row("F inf", "F", "inf", false, realMsg);
    row("F nan", "F", "nan", false, realMsg);
    row("F overflow", "F", "1e400", false, realMsg);
    row("F word", "F", "abc", false, realMsg);
    // The plain forms are read without QLocale; everything else still goes through it.
    row("F plus sign", "F", "+1.5", true, "1.5");
    row("F negative exponent", "F", "2.5E-3", true, "0.0025");
    row("F leading dot", "F", ".5", true, "0.5");
    row("F trailing dot", "F", "5.", true, "5");
    row("F four exponent digits", "F", "1e0005", true, "1e+05");
    row("F exponent past 250", "F", "1e251", true, "1e+251");
    row("F subnormal", "F", "4.9e-324", true, "5e-324");
    row("F 41 digits", "F", "1.0000000000000000000000000000000000000001", true, "1");
    row("F trailing junk", "F", "1.5x", false, realMsg);
    row("f 0.1", "f", "0.1", true, "0.1");
    row("f third", "f", "0.333333333333", true, "0.33333334");
    row("f 1e-50", "f", "1e-50", true, "0");
    row("f max", "f", "3.4028234663852886e38", true, "3.4028235e+38");
    row("f 3.5e38", "f", "3.5e38", false, floatMsg);
    row("f -3.5e38", "f", "-3.5e38", false, floatMsg);
    row("f 2.5", "f", "2.5", true, "2.5");
    row("f smallest", "f", "1.4e-45", true, "1e-45");
    row("s spaces kept", "s", "  a b  ", true, "  a b  ");
    row("s empty", "s", "", true, "");
    row("s breaks kept", "s", "a\tb\nc\rd", true, "a\tb\nc\rd");
    const QString xml = "Character %1 at position %2 cannot be stored in a settings file: XML "
                        "does not allow it.";
    row("s U+0001", "s", "Open\x01Sans", false, xml.arg("U+0001").arg(5));
    row("s NUL", "s", QString(QChar(0)), false, xml.arg("U+0000").arg(1));
    row("s U+FFFF after a pair", "s", QString::fromUcs4(U"\U0001F52Dx\uFFFF"), false,
        xml.arg("U+FFFF").arg(3));
    row("s U+FFFE", "s", QString(QChar(0xFFFE)), false, xml.arg("U+FFFE").arg(1));
    row("s lone surrogate", "s", "a" + QString(QChar(0xD83D)), false, xml.arg("U+D83D").arg(2));
    row("t protected", "t", "2026", false, "This value type is protected and cannot be edited.");
    row("B protected", "B", "AAAA", false, "This value type is protected and cannot be edited.");
}

void TestDocument::validateValue()
{
    QFETCH(QString, type);
    QFETCH(QString, input);
    QFETCH(bool, ok);
    QFETCH(QString, result);
    QString normalized = "unchanged";
    QString error;
    QCOMPARE(vrn::validateValue(type.at(0), input, &normalized, &error), ok);
    if (ok) {
        QCOMPARE(normalized, result);
        QVERIFY(error.isEmpty());
    } else {
        QCOMPARE(error, result);
        QCOMPARE(normalized, "unchanged");
    }
}

void TestDocument::validateIgnoresUserLocale()
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QByteArray savedC = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8"); // may be missing; Qt's default locale is what counts
    QString out;
    QString error;
    QVERIFY(!vrn::validateValue('F', "1,5", &out, &error));
    QCOMPARE(error, "Expected a real number.");
    QVERIFY(vrn::validateValue('F', "1.5", &out));
    QCOMPARE(out, "1.5");
    QVERIFY(vrn::validateValue('f', "-0.25e1", &out));
    QCOMPARE(out, "-2.5");
    QVERIFY(vrn::validateValue('i', "1234567", &out));
    QCOMPARE(out, "1234567");
    QVERIFY(!vrn::validateValue('i', "1.234", &out));
    QVERIFY(!vrn::validateValue('f', "0,1", &out));
    std::setlocale(LC_ALL, savedC.constData());
    QLocale::setDefault(saved);
}

void TestDocument::blockTexts()
{
    QCOMPARE(blockDisplayText("abcd"), "(4 characters of encoded data)");
    // A compressed block counts the Base64 its file holds, not its summary text.
    XsdtDocument doc;
    QVERIFY(doc.parse("<xsdt><v k=\"P\" t=\"B\" c=\"zlib\"><s u=\"30\">QUJD\n"
                      "REVG</s> <s u=\"9\">R0g=</s></v></xsdt>"));
    QCOMPARE(blockDisplayText(*doc.findPath(u"P")), "(12 characters of encoded data)");
}

QTEST_GUILESS_MAIN(TestDocument)
#include "tst_document.moc"
