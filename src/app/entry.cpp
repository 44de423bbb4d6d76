#include "app/entry.h"

#include "app/mainwindow.h"
#include "app/thememanager.h"
#include "environment/buildinfo.h"
#include "environment/englishplurals.h"
#include "privileged/helpermode.h"
#include "views/adbanner.h"
#include "widgets/dialogs.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

#include <cstdio>

namespace vrn {

namespace {

class Entry
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Entry)
};

} // namespace

int themeFromOption(const QString &value)
{
    const QString name = value.toLower();
    if (name == QLatin1String("dark"))
        return ThemeManager::Dark;
    if (name == QLatin1String("light"))
        return ThemeManager::Light;
    return ThemeManager::FollowSystem;
}

bool haveDisplay()
{
#if defined(Q_OS_LINUX) || defined(Q_OS_FREEBSD)
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

namespace {

struct Options
{
    QCommandLineParser parser;
    QCommandLineOption screenshots{QStringLiteral("screenshots"),
                                   Entry::tr("Render the pages to PNG files in <dir> and exit (for "
                                             "layout checks)."),
                                   QStringLiteral("dir")};
    QCommandLineOption screenshotSearch{
        QStringLiteral("screenshot-search"),
        Entry::tr("Search text applied before rendering the Preferences pages."),
        QStringLiteral("text")};
    QCommandLineOption theme{QStringLiteral("theme"),
                             Entry::tr("Use this theme for this run only: light, dark or system."),
                             QStringLiteral("name")};
    QCommandLineOption fontScale{
        QStringLiteral("font-scale"),
        Entry::tr("Use this text size scale for this run only (default 1.25)."),
        QStringLiteral("factor")};
    QCommandLineOption help;
    QCommandLineOption version;

    Options()
        : help(parser.addHelpOption())
        , version(parser.addVersionOption())
    {
        parser.setApplicationDescription(Entry::tr("Edit PixInsight settings safely."));
        parser.addOption(screenshots);
        parser.addOption(screenshotSearch);
        parser.addOption(theme);
        parser.addOption(fontScale);
        parser.addPositionalArgument(
            QStringLiteral("file"),
            Entry::tr("Settings file to open (default: the one found in the PixInsight config "
                      "directory)."));
    }
};

QStringList argumentList(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

} // namespace

int parseCommandLine(const QStringList &arguments, QString *output, QString *error)
{
    Options options;
    if (!options.parser.parse(arguments)) {
        *error = options.parser.errorText() + QLatin1Char('\n');
        return 1;
    }
    // Help and version answer on any machine, with or without a desktop.
    if (options.parser.isSet(options.help)) {
        // Without an application object the parser cannot know the program's name.
        *output = options.parser.helpText().replace(QLatin1String("<executable_name>"),
                                                    arguments.isEmpty()
                                                        ? QStringLiteral("varnel")
                                                        : QFileInfo(arguments.first()).fileName());
        return 0;
    }
    if (options.parser.isSet(options.version)) {
        *output = QStringLiteral("Varnel 0.1.3\n");
        return 0;
    }
    // The parser would keep the last value and drop the others without a word.
    for (const QCommandLineOption *option :
         {&options.screenshots, &options.screenshotSearch, &options.theme, &options.fontScale}) {
        if (options.parser.values(*option).size() > 1) {
            *error = Entry::tr("--%1 is given more than once; it takes one value.\n")
                         .arg(option->names().constFirst());
            return 1;
        }
    }
    if (options.parser.isSet(options.theme)) {
        const QString name = options.parser.value(options.theme).toLower();
        if (name != QLatin1String("light") && name != QLatin1String("dark") &&
            name != QLatin1String("system")) {
            *error = Entry::tr("Unknown theme '%1'. Use light, dark or system.\n")
                         .arg(options.parser.value(options.theme));
            return 1;
        }
    }
    return -1;
}

int runVarnel(int argc, char **argv)
{
    // A helper runs with administrator rights on behalf of the editor: no window, no theme,
    // no option parser, nothing but the one change and its exit code.
    if (argc >= 2 && isHelperSwitch(argv[1])) {
        QCoreApplication app(argc, argv);
        QStringList arguments = QCoreApplication::arguments();
        arguments.removeFirst();
        return runHelperMode(arguments);
    }

    {
        QString output;
        QString error;
        const int code = parseCommandLine(argumentList(argc, argv), &output, &error);
        std::fputs(qPrintable(output), stdout);
        std::fputs(qPrintable(error), stderr);
        if (code >= 0)
            return code;
    }

    if (!haveDisplay()) {
        std::fprintf(stderr, "%s\n",
                     "Varnel needs a graphical desktop, but no display is available here (neither "
                     "DISPLAY nor WAYLAND_DISPLAY is set). Start it from a desktop session.");
        return 1;
    }

    QApplication app(argc, argv);
    installEnglishPlurals(true);
    QApplication::setOrganizationName(QStringLiteral("Varnelhaus"));
    QApplication::setApplicationName(QStringLiteral("Varnelhaus"));
    QApplication::setApplicationDisplayName(QStringLiteral("Varnel"));
    QApplication::setApplicationVersion(programVersion());
    // Lets Wayland desktops match the window to the installed menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.varnelhaus.Varnel"));
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256, 512})
        icon.addFile(QStringLiteral(":/icons/vrne-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    Options options;
    // Already checked above; this parse only reads the values.
    options.parser.parse(QCoreApplication::arguments());
    QCommandLineParser &parser = options.parser;

    ThemeManager *theme = ThemeManager::instance();
    theme->init(true);
    if (parser.isSet(options.theme))
        theme->setTheme(themeFromOption(parser.value(options.theme)), false);
    if (parser.isSet(options.fontScale)) {
        bool ok = false;
        const double scale = parser.value(options.fontScale).toDouble(&ok);
        if (ok)
            theme->setFontScale(scale, false);
    }

    // A file named on the command line is the one opened: when it cannot be, the window stays
    // empty and says why, rather than quietly showing another file.
    const QStringList files = parser.positionalArguments();
    // Nobody is there to answer a box while pictures are made: each one returns at once as if
    // cancelled, and a file that cannot be opened ends the run with its reason.
    if (parser.isSet(options.screenshots))
        Dialogs::setTestMode(true);
    MainWindow window(nullptr, files.isEmpty() ? QString() : files.constFirst());
    if (parser.isSet(options.screenshots)) {
        // No network here: the pictures show a built-in ad at once, and nothing waits.
        window.adBanner()->start(false, 0);
        // Rendered and done: the window never reaches the event loop.
        return window.runScreenshots(parser.value(options.screenshots),
                                     parser.value(options.screenshotSearch))
                   ? 0
                   : 1;
    }
    window.show();
    window.adBanner()->start(true, 100);
    if (qEnvironmentVariableIsSet("VARNEL_REPORT_SHOWN")) {
        // For the start-up benchmark: say when the window has been painted, then leave.
        QTimer::singleShot(0, &window, [&window] {
            window.repaint();
            std::printf("shown %lld\n",
                        static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    }
    return app.exec();
}

} // namespace vrn
