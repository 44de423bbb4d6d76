#include "history/thinning.h"

#include <QDate>
#include <QDateTime>

namespace vrn {

namespace {

constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;
constexpr int kEveryVersionDays = 7;
constexpr int kDailyDays = 30;

} // namespace

QSet<qint64> alwaysKept(const QList<HistoryVersion> &versions)
{
    QSet<qint64> kept;
    if (versions.isEmpty())
        return kept;
    kept.insert(versions.constLast().id);
    bool good = false;
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        if (it->pinned)
            kept.insert(it->id);
        if (!good && !it->isDamaged()) {
            kept.insert(it->id);
            good = true;
        }
    }
    return kept;
}

QSet<qint64> keptByAge(const QList<HistoryVersion> &versions, qint64 nowMs)
{
    QSet<qint64> kept = alwaysKept(versions);
    // Newest first, so that the first version met in a day or week is the one that stays.
    QSet<qint64> daysTaken;
    QSet<qint64> weeksTaken;
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const qint64 age = nowMs - it->timeMs;
        if (age < kEveryVersionDays * kDayMs) {
            kept.insert(it->id);
            continue;
        }
        const QDate date = QDateTime::fromMSecsSinceEpoch(it->timeMs).date();
        if (age < (kEveryVersionDays + kDailyDays) * kDayMs) {
            if (!daysTaken.contains(date.toJulianDay())) {
                daysTaken.insert(date.toJulianDay());
                kept.insert(it->id);
            }
            continue;
        }
        int year = 0;
        const qint64 week = date.weekNumber(&year) + qint64(year) * 100;
        if (!weeksTaken.contains(week)) {
            weeksTaken.insert(week);
            kept.insert(it->id);
        }
    }
    return kept;
}

} // namespace vrn
