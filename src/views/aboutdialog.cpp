#include "views/aboutdialog.h"

#include "environment/buildinfo.h"
#include "environment/discovery.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSysInfo>
#include <QVBoxLayout>

#include <cmath>

namespace vrn {

namespace {

QLabel *wrapped(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

} // namespace

AboutDialog::AboutDialog(const QString &openFile, const QString &recordedVersion, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("About Varnel"));
    setMinimumWidth(640);
    // Everything above the buttons scrolls, so that with large text on a low screen the
    // dialog is cut to the screen without squeezing a text into the one below it.
    auto *outer = new QVBoxLayout(this);
    outer->setSpacing(14);
    auto *scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *body = new QWidget(scroll);
    auto *layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(14);

    auto *top = new QHBoxLayout;
    top->setSpacing(20);
    auto *icon = new QLabel(this);
    icon->setFixedSize(128, 128);
    icon->setAlignment(Qt::AlignCenter);
    const QPixmap source(QStringLiteral(":/icons/vrne-256.png"));
    if (source.isNull()) {
        icon->hide();
    } else {
        const qreal ratio = devicePixelRatioF();
        const int side = int(std::lround(128 * ratio));
        QPixmap scaled = source.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        scaled.setDevicePixelRatio(ratio);
        icon->setPixmap(scaled);
    }
    top->addWidget(icon, 0, Qt::AlignTop);

    auto *column = new QVBoxLayout;
    column->setSpacing(6);
    auto *title = new QLabel(tr("Varnel"), this);
    QFont titleFont = title->font();
    titleFont.setWeight(QFont::Bold);
    titleFont.setPointSizeF(QFont().pointSizeF() * 1.7);
    title->setFont(titleFont);
    column->addWidget(title);
    column->addWidget(new QLabel(tr("Version %1").arg(programVersion()), this));
    QLabel *description = wrapped(
        tr("A safe editor for PixInsight's settings files. Change preferences with proper "
           "controls, search everything, clean up data left behind by uninstalled modules, and "
           "compare settings between PixInsight instances or backups - without editing XML by "
           "hand."),
        this);
    description->setContentsMargins(0, 6, 0, 0);
    column->addWidget(description);
    QLabel *protection = wrapped(
        tr("<b>How it protects your settings</b><ul style=\"margin-top:2px; "
           "margin-bottom:0px\"><li>It writes only while PixInsight is closed: PixInsight keeps "
           "its settings in memory and would overwrite the file.</li><li>Every save makes a "
           "timestamped backup, checks the result and replaces the file in one step.</li><li>"
           "Entries are deleted only when they are known to be safe to remove, and it asks "
           "first when they hold your saved configuration.</li></ul>"),
        this);
    protection->setTextFormat(Qt::RichText);
    column->addWidget(protection);
    QString warningText =
        tr("<span style=\"color:#e29600\"><b>Warning:</b></span> Not every entry in \"All "
           "settings (advanced)\" or the Health check is meant to be edited. Varnel flags "
           "values that are out of range or unrecognized, and a backup is only a Restore away. "
           "But if you don't know what a setting does, it's better to leave it alone.");
    // That amber reads at 2:1 on a light window; a darker one keeps the word at 4.5:1.
    if (palette().color(QPalette::Window).lightness() > 128)
        warningText.replace(QLatin1String("#e29600"), QLatin1String("#935600"));
    QLabel *warning = wrapped(warningText, this);
    warning->setTextFormat(Qt::RichText);
    warning->setContentsMargins(0, 6, 0, 0);
    column->addWidget(warning);
    column->addStretch(1);
    top->addLayout(column, 1);
    layout->addLayout(top);

    layout->addWidget(new QLabel(tr("<b>Technical details</b> (for bug reports)"), this));
    m_details = new QPlainTextEdit(technicalDetails(openFile, recordedVersion), this);
    m_details->setReadOnly(true);
    m_details->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(QApplication::font().pointSizeF() * 0.9);
    m_details->setFont(fixed);
    const QFontMetricsF metrics(fixed);
    const int frame = 2 * (m_details->frameWidth() + int(m_details->document()->documentMargin()));
    m_details->setMinimumHeight(int(std::ceil(metrics.lineSpacing() * 4.25)) + frame);
    // Its size hint is a generic 192 pixels, which would make the page scroll for nothing.
    m_details->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    layout->addWidget(m_details, 1);

    QLabel *notice = wrapped(tr("Varnel is an independent program. It is not made or endorsed by "
                                "Pleiades Astrophoto, the makers of PixInsight."),
                             this);
    // A step back from the other texts, yet readable (the disabled grey reads at 2.9:1).
    QPalette palette = notice->palette();
    const QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    const QColor window = palette.color(QPalette::Active, QPalette::Window);
    const QColor muted((3 * text.red() + window.red()) / 4, (3 * text.green() + window.green()) / 4,
                       (3 * text.blue() + window.blue()) / 4);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::WindowText, muted);
    notice->setPalette(palette);
    layout->addWidget(notice);
    scroll->setWidget(body);
    outer->addWidget(scroll, 1);

    auto *buttons = new QHBoxLayout;
    m_copyButton = new QPushButton(tr("Copy details"), this);
    m_copyButton->setAutoDefault(false);
    buttons->addWidget(m_copyButton);
    buttons->addStretch(1);
    m_okButton = new QPushButton(tr("OK"), this);
    m_okButton->setDefault(true);
    buttons->addWidget(m_okButton);
    outer->addLayout(buttons);
    connect(m_copyButton, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(m_details->toPlainText());
        m_copyButton->setText(tr("Copied"));
    });
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
    // Wider than the minimum, so the wrapped texts take fewer lines and the dialog stays
    // lower than a 768-pixel screen.
    // Measured in characters, so larger text gets a wider dialog rather than a taller one.
    int width = qMax(minimumWidth(), fontMetrics().averageCharWidth() * 112);
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (screen)
        width = qBound(minimumWidth(), screen->availableGeometry().width() * 9 / 10, width);
    // Room for the details' lines (7 at most) and what the rest needs at that width.
    const int detailLines = qMin(7, int(m_details->toPlainText().count(QLatin1Char('\n'))) + 2);
    const QMargins margins = outer->contentsMargins();
    int height = layout->minimumHeightForWidth(width - margins.left() - margins.right()) +
                 margins.top() + margins.bottom() + outer->spacing() +
                 buttons->sizeHint().height() + fontMetrics().lineSpacing() +
                 qMax(0, int(std::ceil(metrics.lineSpacing() * (detailLines - 4.25))));
    if (screen)
        height = qMin(height, screen->availableGeometry().height() * 9 / 10);
    resize(width, height);
}

QString AboutDialog::technicalDetails(const QString &openFile, const QString &recordedVersion)
{
    QStringList folders;
    for (const QString &folder : configDirectories())
        folders.append(QDir::toNativeSeparators(folder));
    return QStringList{
        tr("Varnel %1 (source %2)").arg(programVersion(), sourceRevision()),
        tr("Qt %1").arg(QString::fromLatin1(qVersion())),
        tr("System: %1 (%2)")
            .arg(QSysInfo::prettyProductName(), QSysInfo::currentCpuArchitecture()),
        tr("Open file: %1")
            .arg(openFile.isEmpty() ? tr("none") : QDir::toNativeSeparators(openFile)),
        tr("PixInsight recorded in the file: %1")
            .arg(recordedVersion.isEmpty() ? tr("unknown") : recordedVersion),
        tr("Settings folders searched: %1").arg(folders.join(QStringLiteral("; "))),
    }
        .join(QLatin1Char('\n'));
}

} // namespace vrn
