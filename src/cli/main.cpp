// varnelctl: the command-line companion of Varnel. Qt Core only, so it runs over SSH and on
// machines without a display.
#include "cli/ctl.h"
#include "environment/englishplurals.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    vrn::installEnglishPlurals();
    QCoreApplication::setOrganizationName(QStringLiteral("Varnelhaus"));
    QCoreApplication::setApplicationName(QStringLiteral("varnelctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNEL_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    vrn::Ctl ctl(out, err);
    return ctl.run(QCoreApplication::arguments());
}
