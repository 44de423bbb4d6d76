#include "history/historypreferences.h"

#include <QSettings>

namespace vrn {

// Named in full: varnelctl runs under an application name of its own.
HistoryPreferences HistoryPreferences::read()
{
    const QSettings settings(QStringLiteral("Varnelhaus"), QStringLiteral("Varnelhaus"));
    HistoryPreferences prefs;
    prefs.enabled = settings.value(QStringLiteral("History/Enabled"), prefs.enabled).toBool();
    const qint64 megabytes =
        settings.value(QStringLiteral("History/MaxMegabytes"), prefs.maxBytes >> 20).toLongLong();
    prefs.maxBytes = qMax<qint64>(0, megabytes) << 20;
    return prefs;
}

void HistoryPreferences::write() const
{
    QSettings settings(QStringLiteral("Varnelhaus"), QStringLiteral("Varnelhaus"));
    settings.setValue(QStringLiteral("History/Enabled"), enabled);
    settings.setValue(QStringLiteral("History/MaxMegabytes"), maxBytes >> 20);
}

} // namespace vrn
