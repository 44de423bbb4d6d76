#include "history/thinning.h"

#include <QDate>
#include <QDateTime>

#include <algorithm>
#include <vector>

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
    // A version is at least as young as any recorded before it: after the clock went back (a
    // flat battery can take it back years) the versions recorded since count as new, not as
    // old ones to thin.
    std::vector<qint64> times;
    times.reserve(size_t(versions.size()));
    for (const HistoryVersion &version : versions)
        times.push_back(times.empty() ? version.timeMs : std::max(times.back(), version.timeMs));
    // Newest first, so that the first version met in a day or week is the one that stays.
    QSet<qint64> daysTaken;
    QSet<qint64> weeksTaken;
    for (qsizetype i = versions.size() - 1; i >= 0; --i) {
        const qint64 id = versions.at(i).id;
        const qint64 age = nowMs - times.at(size_t(i));
        if (age < kEveryVersionDays * kDayMs) {
            kept.insert(id);
            continue;
        }
        const QDate date = QDateTime::fromMSecsSinceEpoch(times.at(size_t(i))).date();
        if (age < (kEveryVersionDays + kDailyDays) * kDayMs) {
            if (!daysTaken.contains(date.toJulianDay())) {
                daysTaken.insert(date.toJulianDay());
                kept.insert(id);
            }
            continue;
        }
        int year = 0;
        const qint64 week = date.weekNumber(&year) + qint64(year) * 100;
        if (!weeksTaken.contains(week)) {
            weeksTaken.insert(week);
            kept.insert(id);
        }
    }
    return kept;
}

} // namespace vrn
