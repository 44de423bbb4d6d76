#include "app/userguide.h"

#include "widgets/dialogs.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QRegularExpression>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace vrn {

namespace {

class UserGuideText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::UserGuide)
};

QDialog *makeGuide(QWidget *parent)
{
    auto *guide = new QDialog(parent);
    guide->setObjectName(QStringLiteral("userGuide"));
    guide->setWindowTitle(UserGuideText::tr("Varnel - User Guide"));
    auto *browser = new QTextBrowser(guide);
    browser->setOpenLinks(false);
    QObject::connect(browser, &QTextBrowser::anchorClicked, browser, [browser](const QUrl &url) {
        // Places in the page scroll; anything else goes to the desktop's browser.
        if (url.isRelative() && url.path().isEmpty())
            browser->scrollToAnchor(url.fragment());
        else
            Dialogs::openUrl(url);
    });
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, guide);
    QObject::connect(buttons, &QDialogButtonBox::rejected, guide, &QDialog::close);
    auto *layout = new QVBoxLayout(guide);
    layout->addWidget(browser);
    layout->addWidget(buttons);
    guide->resize(800, 700);
    return guide;
}

} // namespace

void showUserGuide(QWidget *parent)
{
    // Shown inside the program from the built-in page: nothing is written to a shared folder,
    // where another user's file of the same name would be in the way (or planted), and it
    // opens the same when the desktop has no browser.
    auto *guide =
        parent->findChild<QDialog *>(QStringLiteral("userGuide"), Qt::FindDirectChildrenOnly);
    if (!guide)
        guide = makeGuide(parent);
    // The page keeps its dark colours in a media query, which the text browser does not read;
    // it becomes plain rules with a dark palette and goes with a light one.
    const bool dark = parent->palette().color(QPalette::Window).lightness() < 128;
    if (guide->property("dark") != QVariant(dark)) {
        guide->setProperty("dark", dark);
        QFile file(QStringLiteral(":/help/help.html"));
        QString page =
            file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        static const QRegularExpression darkRules(QStringLiteral(
            R"(@media\s*\(prefers-color-scheme:\s*dark\)\s*\{((?:[^{}]*\{[^{}]*\})*)\s*\})"));
        const QRegularExpressionMatch match = darkRules.match(page);
        if (match.hasMatch())
            page.replace(match.capturedStart(), match.capturedLength(),
                         dark ? match.captured(1) : QString());
        guide->findChild<QTextBrowser *>()->setHtml(page);
    }
    guide->show();
    guide->raise();
    guide->activateWindow();
}

} // namespace vrn
