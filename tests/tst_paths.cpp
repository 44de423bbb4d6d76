// Path values, the rewriting of their beginnings, and the update repositories.
#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/paths.h"
#include "knowledge/repositories.h"
#include "knowledge/schema.h"
#include "knowledge/setupfile.h"

#include <QtTest>

using namespace vrn;

namespace {

// A made-up computer where only the listed paths exist.
HealthEnv computer(const QStringList &existing)
{
    HealthEnv env;
    env.exists = [existing](const QString &path) { return existing.contains(path); };
    return env;
}

std::unique_ptr<XsdtDocument> parsed(const QByteArray &elements)
{
    auto doc = std::make_unique<XsdtDocument>();
    if (!doc->parse(testdata::wrapSettings(elements)))
        qFatal("test document does not parse");
    return doc;
}

QByteArray value(const char *key, const char *text, const char *type = "s")
{
    return QByteArray("<v k='") + key + "' t='" + type + "' v='" + text + "'/>";
}

QString pathsOf(const QList<XsdtNode *> &nodes)
{
    QStringList out;
    for (const XsdtNode *node : nodes)
        out << node->path();
    return out.join(", ");
}

} // namespace

class TestPaths : public QObject
{
    Q_OBJECT

private slots:
    void prefixes_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("oldPrefix");
        QTest::addColumn<QString>("newPrefix");
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QString>("after"); // "-": not matched
        const auto row = [](const char *name, const char *v, const char *o, const char *n, bool w,
                            const char *a) { QTest::newRow(name) << v << o << n << w << a; };
        row("below", "/data/x.fits", "/data", "/mnt/d", false, "/mnt/d/x.fits");
        row("the folder itself", "/data", "/data", "/mnt/d", false, "/mnt/d");
        row("no boundary", "/database/x", "/data", "/mnt/d", false, "-");
        row("old trailing slash", "/data/x", "/data/", "/mnt/d", false, "/mnt/d/x");
        row("new trailing slash", "/data/x", "/data", "/mnt/d/", false, "/mnt/d/x");
        row("value trailing slash", "/data/", "/data", "/mnt", false, "/mnt/");
        row("root", "/x/y", "/", "/mnt", false, "/mnt/x/y");
        row("to the root", "/data/x", "/data", "/", false, "/x");
        row("case counts here", "/Data/x", "/data", "/m", false, "-");
        row("backslash is a name here", "/data\\x", "/data", "/m", false, "-");
        row("drive letter case", "c:\\PI\\x", "C:\\pi", "D:\\PI", true, "D:\\PI\\x");
        row("mixed separators", "C:/PI/x", "C:\\PI\\", "D:\\PI", true, "D:\\PI/x");
        row("drive root", "C:\\x", "C:\\", "E:\\", true, "E:\\x");
        row("drive root to a folder", "C:\\x", "C:/", "E:\\new", true, "E:\\new\\x");
        row("drive no boundary", "C:\\PIX\\x", "C:\\PI", "D:", true, "-");
        row("network share", "\\\\srv\\share\\x", "\\\\srv\\share", "//nas/a", true, "//nas/a\\x");
        row("composed name, decomposed value", "/home/Zoe\xcc\x88/x", "/home/Zo\xc3\xab",
            "/n/Zo\xc3\xab", false, "/n/Zoe\xcc\x88/x");
        row("decomposed name, composed value", "/home/Zo\xc3\xab", "/home/Zoe\xcc\x88/",
            "/n/Zoe\xcc\x88", false, "/n/Zo\xc3\xab");
        row("no form to follow", "/home/\xe5\xa4\xa9/x", "/home/\xe5\xa4\xa9", "/n/Zo\xc3\xab",
            false, "/n/Zo\xc3\xab/x");
        row("decomposed, no boundary", "/home/Zoe\xcc\x88s/x", "/home/Zo\xc3\xab", "/n", false,
            "-");
    }

    void prefixes()
    {
        QFETCH(QString, value);
        QFETCH(QString, oldPrefix);
        QFETCH(QString, newPrefix);
        QFETCH(bool, windows);
        const QString after = replacePathPrefix(value, oldPrefix, newPrefix, windows);
        QTEST(after.isNull() ? QString("-") : after, "after");
        QCOMPARE(matchPathPrefix(value, oldPrefix, windows) >= 0, !after.isNull());
    }

    // The paths a text holds, and the text with /a mapped to /new: every other character kept.
    void pathsInValues_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("paths");
        QTest::addColumn<QString>("mapped");
        const auto row = [](const char *name, const char *text, const char *paths,
                            const char *mapped) { QTest::newRow(name) << text << paths << mapped; };
        row("lines", "/a/x\n/b\r\n\n/a", "/a/x,/b,/a", "/new/x\n/b\r\n\n/new");
        row("place in a script", "/a/t.js|784", "/a/t.js", "/new/t.js|784");
        row("bar without a number", "/a/t|x", "/a/t|x", "/new/t|x");
        row("bar at the end", "/a/t|", "/a/t|", "/new/t|");
        row("words and placeholders", "@a/x\nrun /a\n/a|7", "/a", "@a/x\nrun /a\n/new|7");
    }

    void pathsInValues()
    {
        QFETCH(QString, text);
        QStringList paths;
        for (const PathSpan &span : pathsInText(text, false))
            paths << text.mid(span.start, span.length);
        QTEST(paths.join(','), "paths");
        QTEST(mapImportedValue('s', text, {{"/a", "/new"}}, false), "mapped");
    }

    void pathValuesAndFolders()
    {
        // Anywhere in the file, each line of a list on its own; placeholders, relative paths,
        // other types, compressed values and entries queued for deletion are no path values.
        auto doc = parsed(
            "<i k='Global'><i k='Preferences'>" + value("A", "/data/lights/m31.xisf") +
            value("B", "@pxi_rsc_dir/x") + value("C", "relative/x") + value("D", "/data/b", "B") +
            value("E", "/data/lights") + "</i></i><i k='ModuleData'><i k='Tool'>" +
            value("F", "/data/lights/m33.xisf") +
            value("G", "/data/b&#10;/data/lights/m31.xisf|12") + value("H", "~/flats/f.xisf") +
            "<v k='I' t='s' c='zlib'><s u=\"12\">eJwrzs9NBQAAAP//</s></v>" +
            "</i></i><i k='MainWindow'>" + value("J", "/gone/x") + value("K", "/") + "</i>");
        doc->findPath(u"MainWindow/J")->pendingDelete = true;
        const HealthEnv env = computer({"/data/lights", "/data/lights/m31.xisf", "/"});
        QStringList found;
        for (const PathValue &path : pathValues(*doc, env))
            found << path.node->path() + (path.exists ? "" : " missing");
        QCOMPARE(found,
                 (QStringList{"Global/Preferences/A", "Global/Preferences/E",
                              "ModuleData/Tool/F missing", "ModuleData/Tool/G missing",
                              "ModuleData/Tool/G", "ModuleData/Tool/H missing", "MainWindow/K"}));

        const auto groups = [&](bool missingOnly) {
            QStringList out;
            for (const PathGroup &group :
                 groupByFolder(pathValues(*doc, env), false, missingOnly)) {
                QStringList keys;
                for (const PathValue &v : group.values)
                    keys << v.node->key;
                out << QString("%1: %2 (%3 missing)")
                           .arg(group.folder, keys.join(", "))
                           .arg(group.missing);
            }
            return out;
        };
        QCOMPARE(groups(false),
                 (QStringList{"/: K (0 missing)", "/data: E, G (1 missing)",
                              "/data/lights: A, F, G (1 missing)", "~/flats: H (1 missing)"}));
        QCOMPARE(groups(true), (QStringList{"/data: G (1 missing)", "/data/lights: F (1 missing)",
                                            "~/flats: H (1 missing)"}));
        QCOMPARE(pathFolder("C:\\x", true), "C:\\");
        QCOMPARE(pathFolder("/data/lights/", false), "/data");
    }

    void importMaps_data()
    {
        QTest::addColumn<QStringList>("mappings");
        QTest::addColumn<QString>("result"); // the mapped values, or the error
        QTest::newRow("longest wins")
            << QStringList{"/home=/h", "/home/astro=/home/bea"}
            << "/home/bea/x /h/other/x /homes/x @home/x relative /h/a=b/x";
        QTest::newRow("no chaining") << QStringList{"/home/astro=/home", "/home=/x"}
                                     << "/home/x /x/other/x /homes/x @home/x relative /x/a=b/x";
        QTest::newRow("= in the old path") << QStringList{"/home/a=b=/y"}
                                           << "/home/astro/x /home/other/x /homes/x @home/x "
                                              "relative /y/x";
        QTest::newRow("two readings")
            << QStringList{"/home/a=/b=/y"}
            << "\"/home/a=/b=/y\" can be read as more than one OLD=NEW. Put the old path in double "
               "quotes: \"OLD\"=NEW.";
        QTest::newRow("old path quoted") << QStringList{"\"/home/astro\"=/y=/z"}
                                         << "/y=/z/x /home/other/x /homes/x @home/x relative "
                                            "/home/a=b/x";
        QTest::newRow("no =") << QStringList{"/a=/b", "/home"}
                              << "\"/home\" is not of the form OLD=NEW.";
        QTest::newRow("relative side")
            << QStringList{"/a=b"} << "\"/a=b\": both sides must be absolute paths.";
        QTest::newRow("same old twice")
            << QStringList{"/a=/b", "/a/=/c"} << "\"/a/\" is mapped twice.";
    }

    void importMaps()
    {
        QFETCH(QStringList, mappings);
        QList<PathMap> maps{{"/untouched", "/x"}};
        QString error;
        QStringList mapped;
        if (parsePathMaps(mappings, false, &maps, &error)) {
            for (const char *v : {"/home/astro/x", "/home/other/x", "/homes/x", "@home/x",
                                  "relative", "/home/a=b/x"})
                mapped << mapImportedValue('s', QString::fromLatin1(v), maps, false);
        } else {
            QCOMPARE(maps.size(), 1); // all or nothing
        }
        QTEST(mapped.isEmpty() ? error : mapped.join(' '), "result");
        QCOMPARE(mapImportedValue('B', "/home/astro/x", maps, false), "/home/astro/x");
    }

    // An entry whose path is no setting path is refused, saying so.
    void importPathShapes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("slash first") << "/R/One";
        QTest::newRow("empty key") << "R//One";
        QTest::newRow("slash last") << "R/One/";
    }

    void importPathShapes()
    {
        QFETCH(QString, path);
        auto doc = parsed("<i k='R'>" + value("One", "/old") + "</i>");
        const ImportPlan plan = planImport(*doc, SetupFile{{}, {}, {{path, "s", "/x"}}}, {}, false,
                                           Schema(), nullptr, "f");
        QVERIFY(plan.changes.isEmpty());
        QCOMPARE(plan.problems.value(0).message,
                 "Entry 1 is no setting path: keys joined by \"/\", with none at either end and "
                 "never two in a row.");
    }

    // Values as "TYPE VALUE"; the folders that exist here are /home/here and C:/Users/here.
    void suggestedHome_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QString>("suggested");
        auto row = [](const char *name, QStringList values, bool windows, const char *home) {
            QTest::newRow(name) << values << windows << QString(home);
        };
        row("missing home", {"s /home/old/a", "s /opt/x"}, false, "/home/old");
        row("most values win", {"s /home/a/x", "s /home/b/x", "s /home/b/y"}, false, "/home/b");
        row("the home itself", {"s /home/old"}, false, "/home/old");
        row("macOS", {"s /Users/old/Pictures"}, false, "/Users/old");
        row("home exists here", {"s /home/here/x"}, false, "");
        row("no home", {"s /homes/old/x", "s /opt/home/old"}, false, "");
        row("strings only", {"i /home/old/x", "B /home/old/y"}, false, "");
        row("Windows", {"s C:\\Users\\old\\x", "s d:/users/old/y"}, true, "C:\\Users\\old");
    }

    void suggestedHome()
    {
        QFETCH(QStringList, values);
        QFETCH(bool, windows);
        SetupFile setup;
        for (const QString &value : values)
            setup.values.append({value.section(' ', 1), value.left(1), value.section(' ', 1)});
        const auto exists = [](const QString &folder) {
            return folder == "/home/here" || folder == "C:/Users/here";
        };
        QTEST(suggestedOldHome(setup, windows, exists), "suggested");
    }

    // The folders an import's mapping dialog names, as "FOLDER COUNT" most used first.
    void importFolders_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QString>("folders");
        auto row = [](const char *name, QStringList values, bool windows, const char *folders) {
            QTest::newRow(name) << values << windows << QString(folders);
        };
        row("most used first", {"s /a/x/1", "s /b/y/1", "s /b/y/2"}, false, "/b/y 2, /a/x 1");
        row("ties by name", {"s /b/y", "s /a/x"}, false, "/a/x 1, /b/y 1");
        row("each line, no line number", {"s /a/x|12\n /a/x/z|3"}, false, "/a/x 2");
        row("strings only", {"i /a/x", "s relative/x"}, false, "");
        row("Windows either slash", {"s C:\\Data\\x\\1", "s C:/Data/x/2"}, true,
            "C:/Data/x 1, C:\\Data\\x 1");
    }

    void importFolders()
    {
        QFETCH(QStringList, values);
        QFETCH(bool, windows);
        SetupFile setup;
        for (const QString &value : values)
            setup.values.append({"P", value.left(1), value.mid(2)});
        QStringList found;
        for (const SetupFolder &folder : setupFolders(setup, windows))
            found.append(folder.folder + ' ' + QString::number(folder.paths));
        QTEST(found.join(", "), "folders");
    }

    void repositories()
    {
        auto doc = parsed(
            "<i k='Global'><i k='Preferences'><i k='Security'>" +
            value("AllowUnsignedRepositories", "true", "b") +
            "</i></i><i k='UpdateManager'>"
            "<i k='Repositories'>" +
            value("Loose", "x") + "<i k='1'>" + value("URL", "https://Updates.Example.org/repo/") +
            value("Enabled", "true", "b") + "</i><i k='2'>" +
            value("Address", "HTTPS://updates.example.org/repo") +
            value("Name", "https://not a url") + "</i><i k='3'><i k='Mirror'>" +
            value("Url", "http://mirror.example.org/a") + "</i>" +
            value("Other", "https://updates.example.org/Repo") + "</i><i k='4'>" +
            value("URL", "HTTP://mirror.example.org/a//") + "</i><i k='5'>" +
            value("URL", "https://user:Pw@updates.example.org/repo") + "</i></i></i></i>");
        const auto describe = [&] {
            const RepositoryReport report = repositoryReport(*doc);
            QStringList out;
            for (const Repository &r : report.repositories)
                out << r.group->key + ": " + pathsOf(r.urls) + " | " + pathsOf(r.others);
            for (const QList<XsdtNode *> &same : report.sameUrl)
                out << "same: " + pathsOf(same);
            out << "http: " + pathsOf(report.plainHttp) << "loose: " + pathsOf(report.looseValues);
            out << QString("switches: %1 %2")
                       .arg(pathsOf({report.allowUnsigned}), report.allowInsecure ? "on" : "none");
            return out;
        };
        const QString r = "Global/UpdateManager/Repositories/";
        QStringList expected{
            "1: " + r + "1/URL | " + r + "1/Enabled",
            "2: " + r + "2/Address | " + r + "2/Name",
            "3: " + r + "3/Mirror/Url, " + r + "3/Other | ",
            "4: " + r + "4/URL | ",
            "5: " + r + "5/URL | ",
            "same: " + r + "1/URL, " + r + "2/Address",
            "same: " + r + "3/Mirror/Url, " + r + "4/URL",
            "http: " + r + "3/Mirror/Url, " + r + "4/URL",
            "loose: " + r + "Loose",
            "switches: Global/Preferences/Security/AllowUnsignedRepositories none"};
        QCOMPARE(describe(), expected);
        // A repository queued for deletion is still listed, but flags nothing.
        doc->findPath(u"Global/UpdateManager/Repositories/4")->pendingDelete = true;
        expected.removeAt(6);
        expected[6] = "http: " + r + "3/Mirror/Url";
        QCOMPARE(describe(), expected);
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
