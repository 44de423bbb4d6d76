// Writes a program's manual page from what the program itself prints for --help and --version,
// so the page never tells another story than the help:
//   varnel-manpage PROGRAM SUMMARY OUTPUT [SEE_ALSO...]
// The help is read as both programs lay it out: "Usage: ..." first, then a description, then
// sections, each a heading that ends with a colon, rows of two columns indented by two spaces
// (continued on lines indented further) and paragraphs.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>

namespace {

QString runProgram(const QString &program, const QString &option)
{
    QProcess process;
    process.start(program, {option});
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Text for troff: backslashes and dashes that begin a word (options) escaped, and a line that
// would start with a control character guarded.
QString roff(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\e");
        else if (c == QLatin1Char('-') && (i == 0 || !text.at(i - 1).isLetterOrNumber()))
            out += QLatin1String("\\-");
        else
            out += c;
    }
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\'')))
        out.prepend(QLatin1String("\\&"));
    return out;
}

// The first column of a row: the command or option in bold, what it takes in italics.
QString tag(const QString &text)
{
    QString out;
    const QStringList words = text.split(QLatin1Char(' '));
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString &word = words.at(i);
        const bool name = i == 0 || word.startsWith(QLatin1Char('-'));
        out += (i ? QStringLiteral(" ") : QString()) + (name ? "\\fB" : "\\fI") + roff(word) +
               QLatin1String("\\fR");
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fputs("usage: varnel-manpage PROGRAM SUMMARY OUTPUT [SEE_ALSO...]\n", stderr);
        return 2;
    }
    const QString name = QFileInfo(args.at(0)).fileName();
    const QString help = runProgram(args.at(0), QStringLiteral("--help"));
    const QString version = runProgram(args.at(0), QStringLiteral("--version")).trimmed();
    if (!help.startsWith(QLatin1String("Usage: ")) || version.isEmpty()) {
        std::fprintf(stderr, "varnel-manpage: %s gave no usable --help or --version\n",
                     qPrintable(args.at(0)));
        return 1;
    }

    QString page = QStringLiteral(".TH %1 1 \"\" \"%2\" \"User Commands\"\n")
                       .arg(name.toUpper(), roff(version));
    // No hyphenation: every word of the help stays whole.
    page += QStringLiteral(".nh\n.SH NAME\n%1 \\- %2\n").arg(roff(name), roff(args.at(1)));
    const QRegularExpression row(QStringLiteral("^  (\\S.*?)(?:  +(\\S.*))?$"));
    bool inRow = false;
    bool paragraph = false;
    const QStringList lines = help.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (i == 0) {
            const QString synopsis = line.mid(7);
            page += QLatin1String(".SH SYNOPSIS\n\\fB") + roff(synopsis.section(' ', 0, 0)) +
                    QLatin1String("\\fR ") + roff(synopsis.section(' ', 1)) +
                    QLatin1String("\n.SH DESCRIPTION\n");
            continue;
        }
        if (line.trimmed().isEmpty()) {
            inRow = false;
            paragraph = false;
            continue;
        }
        if (!line.startsWith(QLatin1Char(' ')) && line.endsWith(QLatin1Char(':'))) {
            page += QLatin1String(".SH ") + roff(line.chopped(1).toUpper()) + QLatin1Char('\n');
            inRow = false;
            paragraph = false;
            continue;
        }
        if (inRow && line.startsWith(QLatin1String("   "))) {
            page += roff(line.trimmed()) + QLatin1Char('\n');
            continue;
        }
        const QRegularExpressionMatch match = row.match(line);
        if (match.hasMatch()) {
            page += QLatin1String(".TP\n") + tag(match.captured(1)) + QLatin1Char('\n');
            if (!match.captured(2).isEmpty())
                page += roff(match.captured(2)) + QLatin1Char('\n');
            inRow = true;
            continue;
        }
        if (!paragraph && !page.endsWith(QLatin1String("DESCRIPTION\n")))
            page += QLatin1String(".PP\n");
        page += roff(line.trimmed()) + QLatin1Char('\n');
        paragraph = true;
        inRow = false;
    }
    if (args.size() > 3) {
        QStringList others;
        for (const QString &other : args.mid(3))
            others.append(QLatin1String("\\fB") + roff(other) + QLatin1String("\\fR(1)"));
        page += QLatin1String(".SH \"SEE ALSO\"\n") + others.join(QLatin1String(",\n")) +
                QLatin1Char('\n');
    }

    QFile out(args.at(2));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(page.toUtf8()) != page.toUtf8().size() || !out.flush()) {
        std::fprintf(stderr, "varnel-manpage: cannot write %s\n", qPrintable(args.at(2)));
        return 1;
    }
    return 0;
}
