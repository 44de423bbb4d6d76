#pragma once

// The promotional banner's feed and the rules for what it may show; no widgets, so the rules
// are tested without a display. The strip itself is views/adbanner.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

namespace vrn {

// One advertisement: from the feed, or one of the built-in records whose image is a resource.
struct AdRecord
{
    QString id;
    QString image;
    QString click;
    QString alt;
    QString minVersion;
    QString maxVersion;
    QString start;
    QString end;
    double weight = 1.0;
    bool embedded = false;
};

struct AdFeed
{
    bool ok = false;
    double ttlHours = 24.0;
    QList<AdRecord> records;
};

// Where the feed comes from, and where a click goes when a record has no link of its own.
QUrl adFeedUrl();
QUrl adDefaultClickUrl();

AdFeed parseAdFeed(const QByteArray &xml);
// "2d", "12H", "90m", "1w" or a plain number of hours; false for anything else, including
// negative durations.
bool parseAdDuration(const QString &text, double *hours);
// -1, 0 or 1; parts compare as numbers, a missing or unreadable part counts as 0.
int compareVersions(const QString &a, const QString &b);
// Whether a record may be shown on `today` (an ISO date) by this program `version`.
bool isAdEligible(const AdRecord &record, const QString &today, const QString &version);
// The index picked from candidates by weight for a draw in [0, 1).
int pickWeighted(const QList<AdRecord> &candidates, double draw);

} // namespace vrn
