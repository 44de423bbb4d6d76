#include "app/entry.h"

#include "app/mainwindow.h"
#include "app/thememanager.h"
#include "environment/buildinfo.h"
#include "privileged/helpermode.h"
#include "views/adbanner.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
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

    if (!haveDisplay()) {
        std::fprintf(stderr, "%s\n",
                     "Varnel needs a graphical desktop, but no display is available here (neither "
                     "DISPLAY nor WAYLAND_DISPLAY is set). Start it from a desktop session.");
        return 1;
    }

    QApplication app(argc, argv);
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

    QCommandLineParser parser;
    parser.setApplicationDescription(Entry::tr("Edit PixInsight settings safely."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption screenshotsOption(
        QStringLiteral("screenshots"),
        Entry::tr("Render the pages to PNG files in <dir> and exit (for layout checks)."),
        QStringLiteral("dir"));
    const QCommandLineOption screenshotSearchOption(
        QStringLiteral("screenshot-search"),
        Entry::tr("Search text applied before rendering the Preferences pages."),
        QStringLiteral("text"));
    const QCommandLineOption themeOption(
        QStringLiteral("theme"),
        Entry::tr("Use this theme for this run only: light, dark or system."),
        QStringLiteral("name"));
    const QCommandLineOption fontScaleOption(
        QStringLiteral("font-scale"),
        Entry::tr("Use this text size scale for this run only (default 1.25)."),
        QStringLiteral("factor"));
    parser.addOption(screenshotsOption);
    parser.addOption(screenshotSearchOption);
    parser.addOption(themeOption);
    parser.addOption(fontScaleOption);
    parser.addPositionalArgument(
        QStringLiteral("file"),
        Entry::tr("Settings file to open (default: the one found in the PixInsight config "
                  "directory)."));
    parser.process(app);

    ThemeManager *theme = ThemeManager::instance();
    theme->init(true);
    if (parser.isSet(themeOption))
        theme->setTheme(themeFromOption(parser.value(themeOption)), false);
    if (parser.isSet(fontScaleOption)) {
        bool ok = false;
        const double scale = parser.value(fontScaleOption).toDouble(&ok);
        if (ok)
            theme->setFontScale(scale, false);
    }

    MainWindow window;
    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty())
        window.loadFile(files.constFirst());
    if (parser.isSet(screenshotsOption)) {
        // No network here: the pictures show a built-in ad at once, and nothing waits.
        window.adBanner()->start(false, 0);
        // Rendered and done: the window never reaches the event loop.
        return window.runScreenshots(parser.value(screenshotsOption),
                                     parser.value(screenshotSearchOption))
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
