// Deterministic generator of realistic PixInsight settings files for tests, benchmarks, the
// fuzzing corpus and the demo file. It builds its own small tree and writes it with its own
// emitter (not the product's writer), so that byte-for-byte checks compare two independent
// implementations.

#include "generator/generator.h"

#include "document/xsdtnode.h"

#include <QList>
#include <QSet>

#include <deque>
#include <functional>

namespace vrn::testdata {

namespace {

class Rng
{
public:
    explicit Rng(quint64 seed)
        : m_state(seed * 0x9E3779B97F4A7C15ULL + 0x1234567ULL)
    {}
    quint64 next()
    {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int range(int lo, int hi) { return lo + int(next() % quint64(hi - lo + 1)); }
    bool chance(int percent) { return range(1, 100) <= percent; }
    double real(double lo, double hi)
    {
        return lo + (hi - lo) * double(next() >> 11) / double(1ULL << 53);
    }
    template <typename T>
    const T &pick(const QList<T> &list)
    {
        return list.at(range(0, int(list.size()) - 1));
    }

private:
    quint64 m_state;
};

struct Node
{
    bool group = true;
    QString key;
    QChar type;
    QString value;
    bool textForm = false;
    QString compression;
    QString compressed;
    bool selfClosing = false;
    std::deque<Node> children; // deque: references to children stay valid while appending
};

// Rough size of the compact form, kept up to date while the tree grows.
struct Builder
{
    qint64 bytes = 0;

    Node &group(Node &parent, const QString &key, bool selfClosing = false)
    {
        parent.children.push_back(Node{});
        Node &n = parent.children.back();
        n.key = key;
        n.selfClosing = selfClosing;
        bytes += 13 + key.toUtf8().size();
        return n;
    }
    Node &value(Node &parent, const QString &key, char type, const QString &text,
                bool textForm = false)
    {
        parent.children.push_back(Node{});
        Node &n = parent.children.back();
        n.group = false;
        n.key = key;
        n.type = QChar::fromLatin1(type);
        n.value = text;
        n.textForm = textForm;
        bytes += 22 + key.toUtf8().size() + text.toUtf8().size();
        return n;
    }
    Node &compressedValue(Node &parent, const QString &key, const QString &algorithm,
                          const QString &content)
    {
        Node &n = value(parent, key, 'B', QString());
        n.textForm = true;
        n.compression = algorithm;
        n.compressed = content;
        bytes += 6 + algorithm.size() + content.size();
        return n;
    }
};

QString base64(Rng &rng, int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        raw[i] = char(rng.next() & 0xFF);
    return QString::fromLatin1(raw.toBase64());
}

QString timeText(Rng &rng)
{
    return QStringLiteral("2026-%1-%2T%3:%4:%5.%6Z")
        .arg(rng.range(1, 12), 2, 10, QLatin1Char('0'))
        .arg(rng.range(1, 28), 2, 10, QLatin1Char('0'))
        .arg(rng.range(0, 23), 2, 10, QLatin1Char('0'))
        .arg(rng.range(0, 59), 2, 10, QLatin1Char('0'))
        .arg(rng.range(0, 59), 2, 10, QLatin1Char('0'))
        .arg(rng.range(0, 999), 3, 10, QLatin1Char('0'));
}

const QList<QString> kSyllables = {
    QStringLiteral("Kes"), QStringLiteral("tra"), QStringLiteral("Or"),  QStringLiteral("rin"),
    QStringLiteral("pad"), QStringLiteral("Vel"), QStringLiteral("mo"),  QStringLiteral("Stel"),
    QStringLiteral("lar"), QStringLiteral("Neb"), QStringLiteral("ula"), QStringLiteral("Cor"),
    QStringLiteral("vex"), QStringLiteral("Lum"), QStringLiteral("ina"), QStringLiteral("Gra"),
    QStringLiteral("dix"), QStringLiteral("Hal"), QStringLiteral("ion"), QStringLiteral("Syl"),
    QStringLiteral("ven"), QStringLiteral("Aur"), QStringLiteral("ex"),  QStringLiteral("Bri"),
};
const QList<QString> kProcessSuffixes = {
    QStringLiteral("Process"),     QStringLiteral("Integration"), QStringLiteral("Alignment"),
    QStringLiteral("Calibration"), QStringLiteral("Extraction"),  QStringLiteral("Transform"),
};
const QList<QString> kTexts = {
    QStringLiteral("Ångström calibration"),
    QStringLiteral("Zoë's flats & darks <v2> \"final\""),
    QStringLiteral("Straße der Sterne"),
    QStringLiteral("天体写真の処理"),
    QStringLiteral("Ñandú > 3 arcsec"),
    QStringLiteral("\U0001F52D session notes"),
    QStringLiteral("M31 mosaic, panel 4 of 9"),
    QStringLiteral("  padded with spaces  "),
    QStringLiteral("tab\tseparated"),
};

QString moduleName(Rng &rng, QSet<QString> &used)
{
    for (;;) {
        QString name = rng.pick(kSyllables) + rng.pick(kSyllables).toLower();
        if (rng.chance(40))
            name += rng.pick(kSyllables).toLower();
        if (rng.chance(15))
            name += QString::number(rng.range(2, 9));
        if (name == QLatin1String(kUnregisteredModule) || used.contains(name))
            continue;
        used.insert(name);
        return name;
    }
}

struct Tree
{
    Node root;
    QStringList modules;
};

void addGeometry(Builder &b, Rng &rng, Node &parent)
{
    Node &geometry = b.group(parent, QStringLiteral("Geometry"));
    b.value(geometry, QStringLiteral("x"), 'i', QString::number(rng.range(0, 2400)));
    b.value(geometry, QStringLiteral("y"), 'i', QString::number(rng.range(0, 1300)));
    b.value(geometry, QStringLiteral("width"), 'i', QString::number(rng.range(200, 900)));
    b.value(geometry, QStringLiteral("height"), 'i', QString::number(rng.range(150, 900)));
    b.value(geometry, QStringLiteral("Visible"), 'b',
            rng.chance(50) ? QStringLiteral("true") : QStringLiteral("false"));
}

// Settings a module or script keeps: a mix of every editable type plus an encoded block.
void addModuleSettings(Builder &b, Rng &rng, Node &parent, int blockBytes)
{
    b.value(parent, QStringLiteral("Version"), 'u', QString::number(rng.range(1, 40)));
    b.value(parent, QStringLiteral("Enabled"), 'b',
            rng.chance(70) ? QStringLiteral("true") : QStringLiteral("false"));
    b.value(parent, QStringLiteral("Iterations"), 'i', QString::number(rng.range(-5, 500)));
    b.value(parent, QStringLiteral("Sigma"), 'F', QString::number(rng.real(0.1, 8.0), 'g', 17));
    b.value(parent, QStringLiteral("Weight"), 'f',
            QString::number(double(float(rng.real(0, 1))), 'g', 9));
    b.value(parent, QStringLiteral("LastRun"), 't', timeText(rng));
    b.value(parent, QStringLiteral("Comment"), 's', rng.pick(kTexts), rng.chance(30));
    if (blockBytes > 0)
        b.value(parent, QStringLiteral("State"), 'B', base64(rng, blockBytes));
    // Process parameters: many small values, which is what most of a real file consists of.
    Node &parameters = b.group(parent, QStringLiteral("Parameters"));
    const int count = rng.range(6, 28);
    for (int i = 0; i < count; ++i) {
        const QString key = QStringLiteral("p%1").arg(i, 2, 10, QLatin1Char('0'));
        switch (rng.range(0, 5)) {
        case 0:
            b.value(parameters, key, 'b',
                    rng.chance(50) ? QStringLiteral("true") : QStringLiteral("false"));
            break;
        case 1:
            b.value(parameters, key, 'i', QString::number(rng.range(-100, 100000)));
            break;
        case 2:
            b.value(parameters, key, 'u', QString::number(rng.range(0, 65535)));
            break;
        case 3:
            b.value(parameters, key, 'F',
                    QString::number(rng.real(-10, 10), 'g', rng.range(2, 17)));
            break;
        case 4:
            b.value(parameters, key, 'f', QString::number(double(float(rng.real(0, 1))), 'g', 7));
            break;
        default:
            b.value(parameters, key, 's',
                    rng.chance(10) ? rng.pick(kTexts)
                                   : QStringLiteral("mode%1").arg(rng.range(0, 9)));
            break;
        }
    }
}

Tree buildTree(const GeneratorOptions &o)
{
    Rng rng(o.seed);
    Builder b;
    Tree tree;
    Node &root = tree.root;
    QSet<QString> usedNames;

    Node &global = b.group(root, QStringLiteral("Global"));
    Node &prefs = b.group(global, QStringLiteral("Preferences"));

    Node &app = b.group(prefs, QStringLiteral("Application"));
    b.value(app, QStringLiteral("AutoSaveSettingsPeriod"), 'i', QStringLiteral("30"));
    b.value(app, QStringLiteral("AutoUIScaling"), 'b', QStringLiteral("true"));
    b.value(app, QStringLiteral("BaseDirectory"), 's', QStringLiteral("/opt/PixInsight"));
    b.value(app, QStringLiteral("BinDirectory"), 's', QStringLiteral("/opt/PixInsight/bin"));
    b.value(app, QStringLiteral("CompressSettingsBlocks"), 'b', QStringLiteral("true"));
    b.value(app, QStringLiteral("CoreFilePath"), 's',
            QStringLiteral("/opt/PixInsight/bin/PixInsight"));
    b.value(app, QStringLiteral("FontResolution"), 'i',
            o.plantProblems ? QStringLiteral("20") : QStringLiteral("100"));
    b.value(app, QStringLiteral("HighResFont"), 's', QStringLiteral("Open Sans"));
    b.value(app, QStringLiteral("LowResFont"), 's', QStringLiteral("DejaVu Sans"));
    b.value(app, QStringLiteral("MessageBoxOkCancelButtonOrder"), 'i', QStringLiteral("0"));
    b.value(app, QStringLiteral("MessageBoxYesNoButtonOrder"), 'i', QStringLiteral("1"));
    b.value(app, QStringLiteral("StyleSheetFile"), 's',
            QStringLiteral("/opt/PixInsight/rsc/style/core.qss"));
    b.value(app, QStringLiteral("UIScalingFactor"), 'F', QStringLiteral("1.25"));
    b.value(app, QStringLiteral("StartJD"), 'F', QStringLiteral("2461380.4312"));
    b.value(app, QStringLiteral("ResourceFile01"), 's',
            QStringLiteral("/opt/PixInsight/rsc/rsc/core-icons.rcc"));
    b.value(app, QStringLiteral("ResourceFile02"), 's', QString());

    Node &mainWindowPrefs = b.group(prefs, QStringLiteral("MainWindow"));
    b.value(mainWindowPrefs, QStringLiteral("AnimateCombo"), 'b', QStringLiteral("true"));
    b.value(mainWindowPrefs, QStringLiteral("AnimateMenu"), 'b', QStringLiteral("false"));
    b.value(mainWindowPrefs, QStringLiteral("ActiveWindowOpacity"), 'F', QStringLiteral("1"));
    b.value(mainWindowPrefs, QStringLiteral("InactiveWindowOpacity"), 'F', QStringLiteral("0.85"));
    b.value(mainWindowPrefs, QStringLiteral("MovingWindowOpacity"), 'F', QStringLiteral("0.7"));
    b.value(mainWindowPrefs, QStringLiteral("DropShadowColor"), 'u', QStringLiteral("2147483648"));
    b.value(mainWindowPrefs, QStringLiteral("MaxRecentFiles"), 'i', QStringLiteral("32"));
    b.value(mainWindowPrefs, QStringLiteral("CheckForUpdatesAtStartup"), 'b',
            QStringLiteral("true"));
    b.value(mainWindowPrefs, QStringLiteral("WallpaperFile01"), 's',
            QStringLiteral("/opt/PixInsight/rsc/wallpapers/m42.jpg"));

    Node &imageWindow = b.group(prefs, QStringLiteral("ImageWindow"));
    b.value(imageWindow, QStringLiteral("BackupFiles"), 'b', QStringLiteral("false"));
    b.value(imageWindow, QStringLiteral("DefaultFileExtension"), 's', QStringLiteral(".xisf"));
    b.value(imageWindow, QStringLiteral("DefaultHorizontalResolution"), 'F', QStringLiteral("72"));
    b.value(imageWindow, QStringLiteral("DefaultVerticalResolution"), 'F', QStringLiteral("72"));
    b.value(imageWindow, QStringLiteral("DefaultMaskMode"), 'i',
            o.plantMoreProblems ? QStringLiteral("12") : QStringLiteral("2"));
    b.value(imageWindow, QStringLiteral("DefaultTransparencyMode"), 'i', QStringLiteral("1"));
    b.value(imageWindow, QStringLiteral("DownloadsDirectory"), 's',
            o.plantProblems ? QString::fromLatin1(kMissingFolder)
                            : o.home + QStringLiteral("/Downloads"));
    b.value(imageWindow, QStringLiteral("ImageThumbnailSize"), 'i', QStringLiteral("128"));
    b.value(imageWindow, QStringLiteral("Prefix"), 's', QStringLiteral("Image"));
    b.value(imageWindow, QStringLiteral("ProxyURL"), 's', QString());
    b.value(imageWindow, QStringLiteral("ZoomAtCursor"), 'b', QStringLiteral("true"));

    Node &process = b.group(prefs, QStringLiteral("Process"));
    b.value(process, QStringLiteral("MaxProcessors"), 'i',
            o.plantMoreProblems ? QStringLiteral("64") : QStringLiteral("2"));
    b.value(process, QStringLiteral("MaxModuleThreadPriority"), 'i', QStringLiteral("4"));
    b.value(process, QStringLiteral("AutoSavePSMPeriod"), 'i', QStringLiteral("60"));
    b.value(process, QStringLiteral("EnableParallelProcessing"), 'b', QStringLiteral("true"));
    b.value(process, QStringLiteral("EnableCUDAAcceleration"), 'b', QStringLiteral("false"));
    b.value(process, QStringLiteral("MaxConsoleLines"), 'i', QStringLiteral("10000"));
    b.value(process, QStringLiteral("MaxFileReadThreads"), 'i', QStringLiteral("2"));

    Node &security = b.group(prefs, QStringLiteral("Security"));
    const QString allowed = o.plantMoreProblems ? QStringLiteral("true") : QStringLiteral("false");
    b.value(security, QStringLiteral("AllowInsecureRepositories"), 'b',
            o.plantMoreProblems ? QStringLiteral("True") : QStringLiteral("false"));
    b.value(security, QStringLiteral("AllowUnsignedModuleInstallation"), 'b',
            QStringLiteral("false"));
    b.value(security, QStringLiteral("AllowUnsignedRepositories"), 'b', allowed);
    b.value(security, QStringLiteral("AllowUnsignedScriptExecution"), 'b', allowed);
    b.value(security, QStringLiteral("WarnOnUnsignedCodeExecution"), 'b', QStringLiteral("true"));

    Node &scriptEditor = b.group(prefs, QStringLiteral("ScriptEditor"));
    b.value(scriptEditor, QStringLiteral("FontFamily"), 's', QStringLiteral("DejaVu Sans Mono"));
    b.value(scriptEditor, QStringLiteral("TabSize"), 'i', QStringLiteral("3"));
    Node &cache = b.group(scriptEditor, QStringLiteral("Cache"));
    Node &identifiers = b.group(prefs, QStringLiteral("Identifiers"));
    b.value(identifiers, QStringLiteral("NewImagePrefix"), 's', QStringLiteral("Image"));
    Node &gui = b.group(prefs, QStringLiteral("GUI"));
    b.value(gui, QStringLiteral("ToolTipDelay"), 'i', QStringLiteral("700"));
    Node &processInterface = b.group(prefs, QStringLiteral("ProcessInterface"));

    Node &color = b.group(global, QStringLiteral("ColorManagement"));
    b.value(color, QStringLiteral("IsEnabled"), 'b', QStringLiteral("true"));
    b.value(color, QStringLiteral("DefaultRenderingIntent"), 'i', QStringLiteral("0"));
    b.value(color, QStringLiteral("ProofingIntent"), 'i', QStringLiteral("2"));
    b.value(color, QStringLiteral("DefaultRGBProfilePath"), 's',
            QStringLiteral("/opt/PixInsight/library/color/sRGB_IEC61966-2-1.icc"));
    b.value(color, QStringLiteral("GamutWarningColor"), 'u', QStringLiteral("4294902015"));
    b.value(color, QStringLiteral("MonitorProfilePath"), 's',
            QStringLiteral("/usr/share/color/icc/colord/sRGB.icc"));

    Node &rgb = b.group(global, QStringLiteral("RGBWorkingSpace"));
    b.value(rgb, QStringLiteral("Gamma"), 'F', QStringLiteral("2.2"));
    b.value(rgb, QStringLiteral("sRGBGamma"), 'b', QStringLiteral("true"));
    b.value(rgb, QStringLiteral("RedX"), 'F', QStringLiteral("0.648431"));
    b.value(rgb, QStringLiteral("GreenX"), 'F', QStringLiteral("0.321152"));
    b.value(rgb, QStringLiteral("BlueX"), 'F', QStringLiteral("0.155886"));

    Node &readout = b.group(global, QStringLiteral("ReadoutOptions"));
    b.value(readout, QStringLiteral("Precision"), 'i', QStringLiteral("4"));
    b.value(readout, QStringLiteral("ShowAlpha"), 'b', QStringLiteral("true"));

    Node &statistics = b.group(global, QStringLiteral("Statistics"));
    Node &statProcess = b.group(statistics, QStringLiteral("Process"));
    Node &featured = b.group(global, QStringLiteral("FeaturedScripts"));
    b.value(featured, QStringLiteral("Script01"), 's',
            QStringLiteral("/opt/PixInsight/src/scripts/AdP/ImageSolver.js"));
    Node &favorites = b.group(global, QStringLiteral("FavoriteProcesses"));
    Node &updates = b.group(global, QStringLiteral("UpdateManager"));
    Node &repositories = b.group(updates, QStringLiteral("Repositories"));
    for (int r = 1; r <= 3; ++r) {
        Node &repo = b.group(repositories, QString::number(r));
        b.value(repo, QStringLiteral("URL"), 's',
                QStringLiteral("https://updates.example.org/repo%1/").arg(r));
        b.value(repo, QStringLiteral("Enabled"), 'b', QStringLiteral("true"));
    }
    Node &fileDialogs = b.group(global, QStringLiteral("FileDialogs"));
    b.value(fileDialogs, QStringLiteral("OpenDirectory"), 's',
            o.home + QStringLiteral("/Pictures/Lights"));
    b.value(fileDialogs, QStringLiteral("Filter"), 's', QStringLiteral("XISF files (*.xisf)"));

    Node &modules = b.group(root, QStringLiteral("Modules"));
    Node &moduleData = b.group(root, QStringLiteral("ModuleData"));
    Node &module0 = b.group(moduleData, QStringLiteral("0"));
    b.value(module0, QStringLiteral("Reserved"), 'u', QStringLiteral("0"));
    if (o.unknownType)
        b.value(module0, QStringLiteral("Opaque"), 'q', QStringLiteral("?"));
    Node &moduleDataAccess = b.group(root, QStringLiteral("ModuleDataAccess"));
    Node &scriptData = b.group(root, QStringLiteral("ScriptData"));

    // Top-level groups of tools and windows.
    Node &tools = root;
    if (o.pixelClipboard) {
        Node &pixelClipboard = b.group(tools, QStringLiteral("PixelClipboard"));
        b.value(pixelClipboard, QStringLiteral("Width"), 'i', QStringLiteral("0"));
    }
    Node &central = b.group(tools, QStringLiteral("CentralWidgetClients"));
    addGeometry(b, rng, central);
    Node &extensible = b.group(tools, QStringLiteral("ExtensibleWidgets"));
    b.value(extensible, QStringLiteral("Count"), 'i', QStringLiteral("3"));
    b.group(tools, QStringLiteral("FileExplorer"));                     // empty, start and end tag
    b.group(tools, QStringLiteral("FloatingInstanceInfoViewer"), true); // empty element form
    Node &sourceEditor = b.group(tools, QStringLiteral("FloatingSourceEditor"));
    addGeometry(b, rng, sourceEditor);
    b.group(tools, QStringLiteral("DontShowAgain"), true);
    Node &threadOpt = b.group(tools, QStringLiteral("ThreadPerformanceOptimization"));
    b.value(threadOpt, QStringLiteral("Result"), 'B', base64(rng, 96));

    Node &mainWindow = b.group(root, QStringLiteral("MainWindow"));
    addGeometry(b, rng, mainWindow);
    b.value(mainWindow, QStringLiteral("Layout"), 'B', base64(rng, 1536));
    Node &workspace = b.group(mainWindow, QStringLiteral("Workspace"));
    b.value(workspace, QStringLiteral("Current"), 'i', QStringLiteral("1"));
    Node &recent = b.group(mainWindow, QStringLiteral("RecentFiles"));
    Node &history = b.group(root, QStringLiteral("CommandHistory"));
    b.value(root, QStringLiteral("LastVersion"), 's', QStringLiteral("1.9.3"));
    b.value(root, QStringLiteral("PixInsight"), 's', QStringLiteral("PixInsight Core 1.9.3 (x64)"));

    // Fixed entries with the awkward cases every file should exercise.
    b.value(recent, QStringLiteral("File01"), 's',
            o.home + QStringLiteral("/Pictures/M42 <Orion> & \"Running Man\".xisf"));
    b.value(recent, QStringLiteral("File02"), 's',
            o.home + QStringLiteral("/Bilder/Ångström/Straße.xisf"));
    b.value(history, QStringLiteral("Command01"), 's',
            QStringLiteral(
                "run --execute-mode=auto \"Batch Preprocessing\"\nsecond line\n  indented third"),
            true);
    b.value(history, QStringLiteral("Command02"), 's', QString(), true);
    b.value(history, QStringLiteral("Command03"), 's', QStringLiteral("it's > 5 & < 9"), true);
    if (o.compressed) {
        const int size = rng.range(800, 4000);
        b.compressedValue(
            module0, QStringLiteral("Packed"), QStringLiteral("zlib"),
            QStringLiteral("<s u=\"%1\">%2</s>").arg(size).arg(base64(rng, size / 3)));
        b.compressedValue(module0, QStringLiteral("PackedLines"), QStringLiteral("lz4+sh"),
                          QStringLiteral("\n  <s u=\"%1\">%2\n%3</s>\n  <s  u=\"12\" >%4</s>\n")
                              .arg(size * 2)
                              .arg(base64(rng, 48), base64(rng, 48), base64(rng, 9)));
    }
    if (o.duplicateKeys || o.plantProblems) {
        b.value(recent, QStringLiteral("File02"), 's',
                o.home + QStringLiteral("/Pictures/duplicate.xisf"));
    }

    // Modules, their data and the related per-process entries, repeated until the file is big
    // enough. Most modules are registered; the generator never leaves one unregistered unless
    // problems are planted.
    auto addModule = [&](const QString &name, bool registered, int blockBytes) {
        if (registered) {
            const QString file = rng.chance(80)
                                     ? QStringLiteral("@pxi_bin_dir/%1-pxm.so").arg(name)
                                     : QStringLiteral("/opt/PixInsight/bin/%1-pxm.so").arg(name);
            b.value(modules, QString::number(modules.children.size() + 1), 's', file);
            tree.modules.append(name);
        }
        Node &data = b.group(moduleData, name);
        addModuleSettings(b, rng, data, blockBytes);
        Node &interfaces = b.group(data, QStringLiteral("Interfaces"));
        const int processes = rng.range(1, 3);
        for (int p = 0; p < processes; ++p) {
            const QString proc =
                name + kProcessSuffixes.at((p + name.size()) % kProcessSuffixes.size());
            Node &iface = b.group(interfaces, proc);
            addGeometry(b, rng, iface);
            Node &pi = b.group(processInterface, proc);
            b.value(pi, QStringLiteral("AutoApply"), 'b', QStringLiteral("false"));
            b.value(pi, QStringLiteral("Mode"), 'i', QString::number(rng.range(0, 3)));
            Node &stat = b.group(statProcess, proc);
            b.value(stat, QStringLiteral("Count"), 'u', QString::number(rng.range(1, 5000)));
            b.value(stat, QStringLiteral("LastUsed"), 't', timeText(rng));
        }
        Node &access = b.group(moduleDataAccess, name);
        b.value(access, QStringLiteral("Access"), 'u', QString::number(rng.range(0, 7)));
        if (rng.chance(25)) {
            Node &top = b.group(root, name);
            b.value(top, QStringLiteral("Preset"), 's', rng.pick(kTexts));
            Node &topIfaces = b.group(top, QStringLiteral("Interfaces"));
            Node &topIface = b.group(topIfaces, name + QStringLiteral("Interface"));
            addGeometry(b, rng, topIface);
        }
    };

    if (o.plantProblems)
        addModule(QString::fromLatin1(kUnregisteredModule), false, 256);

    const qint64 target = qMax<qint64>(o.targetBytes, 8 * 1024);
    int round = 0;
    while (b.bytes < target) {
        ++round;
        const qint64 left = target - b.bytes;
        const int block = left > 64 * 1024 ? (rng.chance(60) ? rng.range(64, 3 * 1024) : 0)
                                           : int(qMin<qint64>(left / 8, 300));
        addModule(moduleName(rng, usedNames), true, block);
        if (round % 2 == 0) {
            Node &script = b.group(scriptData, QStringLiteral("Script%1").arg(round));
            addModuleSettings(b, rng, script, rng.chance(30) ? rng.range(100, 2000) : 0);
            b.value(script, QStringLiteral("Note"), 's',
                    rng.pick(kTexts) + QStringLiteral("\nline two"), true);
        }
        for (int h = 0; h < 4; ++h)
            b.value(history,
                    QStringLiteral("Command%1")
                        .arg(history.children.size() + 1, 4, 10, QLatin1Char('0')),
                    's',
                    QStringLiteral("%1 -p=%2 -q=\"%3\"")
                        .arg(rng.pick(kProcessSuffixes))
                        .arg(rng.range(0, 99))
                        .arg(rng.pick(kTexts)),
                    rng.chance(20));
        if (round % 3 == 0) {
            b.value(cache, QStringLiteral("File%1").arg(round), 's',
                    QString(o.home + QStringLiteral("/scripts/tool%1.js|%2"))
                        .arg(round)
                        .arg(rng.range(1, 900)));
            b.value(favorites, QStringLiteral("Process%1").arg(round), 's',
                    rng.pick(kProcessSuffixes));
        }
        if (round % 5 == 0)
            b.value(
                recent,
                QStringLiteral("File%1").arg(recent.children.size() + 1, 2, 10, QLatin1Char('0')),
                's',
                QString(o.home + QStringLiteral("/Pictures/session-%1/master_%2.xisf"))
                    .arg(round)
                    .arg(rng.pick(kTexts)));
    }
    return tree;
}

class Emitter
{
public:
    Emitter(const GeneratorOptions &o)
        : m_o(o)
        , m_rng(o.seed ^ 0xA5A5A5A5ULL)
    {}

    QByteArray write(const Node &root)
    {
        m_out.reserve(int(m_o.targetBytes * 11 / 10));
        m_out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<xsdt version=\"1.0\" xmlns=\"http://www.pixinsight.com/xsdt\" "
                 "created=\"2026-12-01T08:00:00Z\">";
        for (const Node &child : root.children)
            node(child, 1);
        if (m_o.indented)
            m_out += '\n';
        m_out += "</xsdt>\n";
        return m_out;
    }

private:
    void breakLine(int depth)
    {
        if (!m_o.indented)
            return;
        m_out += '\n';
        m_out += QByteArray(depth * 2, ' ');
    }

    bool alt(int percent) { return m_o.alternateSyntax && m_rng.chance(percent); }

    // Escapes for the given quote; the compact form escapes exactly the five characters.
    QByteArray escaped(const QString &text, char quote)
    {
        QByteArray out;
        out.reserve(text.size() + 8);
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            switch (c.unicode()) {
            case '&':
                out += "&amp;";
                continue;
            case '<':
                out += "&lt;";
                continue;
            case '>':
                out += alt(50) ? QByteArray(">") : QByteArray("&gt;");
                continue;
            case '"':
                out += quote == '"' ? QByteArray("&quot;")
                                    : (alt(50) ? QByteArray("\"") : QByteArray("&quot;"));
                continue;
            case '\'':
                out += quote == '\'' ? QByteArray("&apos;")
                                     : (alt(50) ? QByteArray("'") : QByteArray("&apos;"));
                continue;
            default:
                break;
            }
            if (c.isLetter() && c.unicode() < 0x80 && alt(5)) {
                out += alt(50) ? QByteArray("&#") + QByteArray::number(c.unicode()) + ';'
                               : QByteArray("&#x") + QByteArray::number(c.unicode(), 16) + ';';
                continue;
            }
            if (c.isHighSurrogate() && i + 1 < text.size()) {
                out += text.mid(i, 2).toUtf8();
                ++i;
                continue;
            }
            out += QString(c).toUtf8();
        }
        return out;
    }

    void attribute(const char *name, const QString &value)
    {
        const char quote = alt(30) ? '\'' : '"';
        m_out += ' ';
        m_out += name;
        m_out += alt(10) ? " = " : "=";
        m_out += quote;
        m_out += escaped(value, quote);
        m_out += quote;
    }

    void node(const Node &n, int depth)
    {
        breakLine(depth);
        if (n.group) {
            m_out += "<i";
            attribute("k", n.key);
            if (n.children.empty() && n.selfClosing) {
                m_out += alt(20) ? " />" : "/>";
                return;
            }
            m_out += '>';
            for (const Node &child : n.children)
                node(child, depth + 1);
            if (!n.children.empty())
                breakLine(depth);
            m_out += alt(10) ? "</i >" : "</i>";
            return;
        }
        m_out += "<v";
        const bool swap = alt(30);
        if (swap) {
            attribute("t", QString(n.type));
            attribute("k", n.key);
        } else {
            attribute("k", n.key);
            attribute("t", QString(n.type));
        }
        if (!n.compression.isEmpty()) {
            attribute("c", n.compression);
            m_out += '>';
            m_out += n.compressed.toUtf8();
            m_out += "</v>";
        } else if (!n.textForm) {
            attribute("v", n.value);
            m_out += alt(20) ? " />" : "/>";
        } else {
            m_out += '>';
            m_out += escaped(n.value, 0);
            m_out += "</v>";
        }
    }

    const GeneratorOptions &m_o;
    Rng m_rng;
    QByteArray m_out;
};

} // namespace

QByteArray generateSettings(const GeneratorOptions &options)
{
    const Tree tree = buildTree(options);
    return Emitter(options).write(tree.root);
}

QByteArray wrapSettings(const QByteArray &elements)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<xsdt version=\"1.0\" xmlns=\"http://www.pixinsight.com/xsdt\">" +
           elements + "</xsdt>\n";
}

QStringList generatedModuleNames(const GeneratorOptions &options)
{
    return buildTree(options).modules;
}

} // namespace vrn::testdata

namespace vrn::testdata {

QByteArray generateRecordFile(int packages, quint64 seed)
{
    Rng rng(seed);
    QSet<QString> used = {QStringLiteral("Orrinpad"), QStringLiteral("OrrinpadTools")};
    QString twice;
    QByteArray out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<!-- PixInsight update record -->\n"
                     "<xri version=\"1.0\">\n";
    const QStringList coreTypes = {QStringLiteral("core"), QStringLiteral("rsc"),
                                   QStringLiteral("doc"), QStringLiteral("script")};
    for (int i = 0; i < packages; ++i) {
        QString name;
        QString type;
        QString title;
        // The first few are fixed so the demo has something to find: PixInsight's own
        // package, a module recorded twice and a second module of the same family.
        if (i == 0 || (i >= 4 && rng.chance(12))) {
            type = i == 0 ? QStringLiteral("core") : rng.pick(coreTypes);
            name = QStringLiteral("%1-1.9.%2-%3-x64.tar.gz").arg(type).arg(i).arg(rng.range(1, 9));
            title = QStringLiteral("PixInsight %1 package").arg(type);
        } else {
            type = QStringLiteral("module");
            const QString module = i <= 2   ? QStringLiteral("Orrinpad")
                                   : i == 3 ? QStringLiteral("OrrinpadTools")
                                            : moduleName(rng, used);
            name = QStringLiteral("%1-pxm-1.%2.%3-linux-x64.tar.gz")
                       .arg(module)
                       .arg(rng.range(0, 4))
                       .arg(rng.range(0, 20));
            if (i == 1)
                twice = name;
            else if (i == 2)
                name = twice;
            title = QStringLiteral("%1 - %2").arg(module, rng.pick(kTexts));
        }
        const QString installDate = QStringLiteral("2026%1%2%3%4%5")
                                        .arg(rng.range(1, 12), 2, 10, QLatin1Char('0'))
                                        .arg(rng.range(1, 28), 2, 10, QLatin1Char('0'))
                                        .arg(rng.range(0, 23), 2, 10, QLatin1Char('0'))
                                        .arg(rng.range(0, 59), 2, 10, QLatin1Char('0'))
                                        .arg(rng.range(0, 59), 2, 10, QLatin1Char('0'));
        QByteArray sha1;
        for (int k = 0; k < 20; ++k)
            sha1 += QByteArray::number(int(rng.next() & 0xFF) | 0x100, 16).mid(1);
        const QString repo = type == QLatin1String("module")
                                 ? QStringLiteral("https://%1.example.org/pixinsight/")
                                       .arg(name.section(QLatin1Char('-'), 0, 0).toLower())
                                 : QStringLiteral("https://pixinsight.example.com/update/");
        const QString tag =
            QStringLiteral("   <package fileName=\"%1\" sha1=\"%2\" type=\"%3\" releaseDate=\"%4\" "
                           "installDate=\"%5\" repo=\"%6\" title=\"%7\"")
                .arg(name, QString::fromLatin1(sha1), type, installDate.left(8), installDate, repo,
                     title.toHtmlEscaped());
        out += tag.toUtf8();
        out += rng.chance(20)
                   ? ">\n      <description>Release notes.</description>\n   </package>\n"
                   : "/>\n";
    }
    out += "</xri>\n";
    return out;
}

XsdtNode *firstEditableString(const XsdtNode &node)
{
    for (const auto &child : node.children) {
        if (child->isEditable() && child->type == QLatin1Char('s'))
            return child.get();
        if (XsdtNode *found = firstEditableString(*child))
            return found;
    }
    return nullptr;
}

} // namespace vrn::testdata
