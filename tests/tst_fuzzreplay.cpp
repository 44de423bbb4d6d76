// Replays the fuzzing corpus through the reader's property check, so that machines without
// libFuzzer still catch regressions on every input the fuzzer found interesting.
#include "readerproperties.h"

#include <QDir>
#include <QtTest>

class TestFuzzReplay : public QObject
{
    Q_OBJECT

private slots:
    void corpus_data()
    {
        QTest::addColumn<QByteArray>("input");
        const QDir dir(QStringLiteral(VARNEL_FUZZ_CORPUS));
        const QStringList files = dir.entryList(QDir::Files, QDir::Name);
        QVERIFY2(files.size() >= 10, "the committed corpus is missing");
        for (const QString &name : files) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(name)) << file.readAll();
        }
        for (const auto &[name, bytes] : vrn::fuzz::generatedSeeds())
            QTest::newRow(qPrintable(name)) << bytes;
    }

    void corpus()
    {
        QFETCH(QByteArray, input);
        const QString violation = vrn::fuzz::readerPropertyViolation(input);
        QVERIFY2(violation.isEmpty(), qPrintable(violation));
    }
};

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzzreplay.moc"
