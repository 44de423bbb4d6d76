#pragma once

#include "history/historystore.h"

#include <QList>
#include <QSet>

namespace vrn {

// The versions a history keeps for their age at `nowMs`: every version of the last 7 days;
// for the 30 days before, the newest of each day; before that, the newest of each week. Days
// and weeks are those of the local calendar, so what is kept once stays kept. A version counts
// as at least as young as every version recorded before it, so a clock that went back makes
// nothing look old. Pinned versions, the newest and the newest that parsed are always kept.
QSet<qint64> keptByAge(const QList<HistoryVersion> &versions, qint64 nowMs);

// Versions that must stay whatever the limits: pinned ones, the newest, and the newest that
// parsed (the one to go back to after a damaged write).
QSet<qint64> alwaysKept(const QList<HistoryVersion> &versions);

} // namespace vrn
