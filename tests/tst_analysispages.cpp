#include "document/xsdtdocument.h"
#include "generator/generator.h"
#include "knowledge/compare.h"
#include "knowledge/deletionpolicy.h"

#include <QtTest>

using namespace vrn;

namespace {

std::unique_ptr<XsdtDocument> parsed(const QByteArray &elements)
{
    auto doc = std::make_unique<XsdtDocument>();
    QString error;
    if (!doc->parse(testdata::wrapSettings(elements), &error))
        qFatal("test document does not parse: %s", qPrintable(error));
    return doc;
}

// "kind path here there", with "-" for a missing side.
QStringList describe(const QList<DiffRecord> &records)
{
    QStringList out;
    for (const DiffRecord &r : records) {
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(r.kind)
                   .arg(r.path, r.here ? r.here->value : QStringLiteral("-"),
                        r.there ? r.there->value : QStringLiteral("-"));
    }
    return out;
}

} // namespace

class TestAnalysisPages : public QObject
{
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
    void copyable_data();
    void copyable();
};

void TestAnalysisPages::compare_data()
{
    QTest::addColumn<QByteArray>("here");
    QTest::addColumn<QByteArray>("there");
    QTest::addColumn<QString>("queue"); // a path of `here` marked for deletion first
    QTest::addColumn<QStringList>("expected");

    const QByteArray tool = "<i k=\"Tool\"><v k=\"a\" t=\"i\" v=\"1\"/><v k=\"b\" t=\"s\" v=\"x\"/>"
                            "</i>";
    QTest::newRow("identical") << tool << tool << QString() << QStringList();
    QTest::newRow("type only") << QByteArray("<v k=\"n\" t=\"i\" v=\"5\"/>")
                               << QByteArray("<v k=\"n\" t=\"u\" v=\"5\"/>") << QString()
                               << QStringList{"0 n 5 5"};
    QTest::newRow("case matters") << QByteArray("<v k=\"n\" t=\"s\" v=\"Abc\"/>")
                                  << QByteArray("<v k=\"n\" t=\"s\" v=\"abc\"/>") << QString()
                                  << QStringList{"0 n Abc abc"};
    // This file's entries in order, kinds interleaved, then the other file's extras in its
    // order.
    QTest::newRow("order")
        << QByteArray("<i k=\"T\"><v k=\"a\" t=\"i\" v=\"1\"/><v k=\"only\" t=\"i\" v=\"2\"/>"
                      "<v k=\"c\" t=\"i\" v=\"3\"/></i>")
        << QByteArray("<v k=\"z\" t=\"i\" v=\"9\"/><i k=\"T\"><v k=\"c\" t=\"i\" v=\"4\"/>"
                      "<v k=\"y\" t=\"i\" v=\"8\"/><v k=\"a\" t=\"i\" v=\"0\"/></i>")
        << QString()
        << QStringList{"0 T/a 1 0", "1 T/only 2 -", "0 T/c 3 4", "2 z - 9", "2 T/y - 8"};
    QTest::newRow("queued here counts as missing")
        << tool << tool << QStringLiteral("Tool") << QStringList{"2 Tool/a - 1", "2 Tool/b - x"};
    // The later twin of the other file is the one compared; both of this file's twins get a
    // record; the other file's twins that nobody here has each get one.
    QTest::newRow("duplicates")
        << QByteArray("<v k=\"d\" t=\"i\" v=\"1\"/><v k=\"d\" t=\"i\" v=\"2\"/>")
        << QByteArray("<v k=\"d\" t=\"i\" v=\"2\"/><v k=\"d\" t=\"i\" v=\"3\"/>"
                      "<v k=\"e\" t=\"i\" v=\"5\"/><v k=\"e\" t=\"i\" v=\"6\"/>")
        << QString() << QStringList{"0 d 1 3", "0 d 2 3", "2 e - 5", "2 e - 6"};
    QTest::newRow("twin groups merge")
        << QByteArray("<i k=\"G\"><v k=\"a\" t=\"i\" v=\"1\"/></i>")
        << QByteArray("<i k=\"G\"><v k=\"a\" t=\"i\" v=\"7\"/></i>"
                      "<i k=\"G\"><v k=\"a\" t=\"i\" v=\"1\"/><v k=\"b\" t=\"i\" v=\"2\"/></i>")
        << QString() << QStringList{"2 G/b - 2"};
    // A group here and a value of the same path there do not match each other.
    QTest::newRow("group against value")
        << QByteArray("<i k=\"P\"><v k=\"x\" t=\"i\" v=\"1\"/></i>")
        << QByteArray("<v k=\"P\" t=\"i\" v=\"1\"/>") << QString()
        << QStringList{"1 P/x 1 -", "2 P - 1"};
    // Same algorithm and size give the same summary text; the blocks still differ.
    QTest::newRow("compressed blocks")
        << QByteArray("<v k=\"c\" t=\"s\" c=\"zlib\"><s u=\"1\">AA==</s></v>")
        << QByteArray("<v k=\"c\" t=\"s\" c=\"zlib\"><s u=\"1\">AQ==</s></v>") << QString()
        << QStringList{QStringLiteral("0 c %1 %1")
                           .arg(parsed("<v k=\"c\" t=\"s\" c=\"zlib\"><s u=\"1\">AA==</s></v>")
                                    ->root.children[0]
                                    ->value)};
}

void TestAnalysisPages::compare()
{
    QFETCH(QByteArray, here);
    QFETCH(QByteArray, there);
    QFETCH(QString, queue);
    QFETCH(QStringList, expected);
    auto a = parsed(here);
    auto b = parsed(there);
    if (!queue.isEmpty())
        a->findPath(queue)->pendingDelete = true;
    QCOMPARE(describe(compareDocuments(*a, *b)), expected);
}

void TestAnalysisPages::copyable_data()
{
    QTest::addColumn<QByteArray>("here");
    QTest::addColumn<QByteArray>("there");
    QTest::addColumn<bool>("copyable");

    QTest::newRow("plain") << QByteArray("<v k=\"v\" t=\"i\" v=\"1\"/>")
                           << QByteArray("<v k=\"v\" t=\"i\" v=\"2\"/>") << true;
    QTest::newRow("protected type here") << QByteArray("<v k=\"v\" t=\"t\" v=\"1\"/>")
                                         << QByteArray("<v k=\"v\" t=\"t\" v=\"2\"/>") << false;
    // Copying would store the summary text of the other file's blocks as the value.
    QTest::newRow("compressed there")
        << QByteArray("<v k=\"v\" t=\"s\" v=\"x\"/>")
        << QByteArray("<v k=\"v\" t=\"s\" c=\"zlib\"><s u=\"1\">AA==</s></v>") << false;
    QTest::newRow("no-copy list") << QByteArray("<v k=\"LastVersion\" t=\"s\" v=\"1\"/>")
                                  << QByteArray("<v k=\"LastVersion\" t=\"s\" v=\"2\"/>") << false;
}

void TestAnalysisPages::copyable()
{
    QFETCH(QByteArray, here);
    QFETCH(QByteArray, there);
    QFETCH(bool, copyable);
    DeletionPolicy policy;
    QVERIFY(policy.load(R"({"compareNoCopy": ["LastVersion"]})"));
    auto a = parsed(here);
    auto b = parsed(there);
    const QList<DiffRecord> records = compareDocuments(*a, *b);
    QCOMPARE(records.size(), 1);
    QCOMPARE(isCopyable(records.first(), &policy), copyable);
    // Queued for deletion after the comparison: never written to.
    a->root.children[0]->pendingDelete = true;
    QVERIFY(!isCopyable(records.first(), &policy));
}

QTEST_MAIN(TestAnalysisPages)
#include "tst_analysispages.moc"
