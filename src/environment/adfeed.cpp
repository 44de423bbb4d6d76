#include "environment/adfeed.h"

#include <QStringList>
#include <QXmlStreamReader>

#include <cmath>

namespace vrn {

namespace {

double weightOf(const AdRecord &record)
{
    return record.weight > 0 && std::isfinite(record.weight) ? record.weight : 1.0;
}

} // namespace

QUrl adFeedUrl()
{
    return QUrl(QStringLiteral("https://varnelhaus.org/varnel/ads/feed.xml"));
}

QUrl adDefaultClickUrl()
{
    return QUrl(QStringLiteral("https://varnelhaus.org/modules/"));
}

bool parseAdDuration(const QString &text, double *hours)
{
    QString rest = text.trimmed();
    if (rest.isEmpty())
        return false;
    double factor = 1.0;
    switch (rest.back().toLower().unicode()) {
    case 'd':
        factor = 24.0;
        break;
    case 'h':
        factor = 1.0;
        break;
    case 'm':
        factor = 1.0 / 60.0;
        break;
    case 'w':
        factor = 168.0;
        break;
    default:
        factor = 0.0;
        break;
    }
    if (factor == 0.0)
        factor = 1.0;
    else
        rest.chop(1);
    bool ok = false;
    const double number = rest.trimmed().toDouble(&ok);
    // "inf" reads as a number too, and would keep a cached feed forever.
    if (!ok || !(number >= 0) || !std::isfinite(number))
        return false;
    *hours = number * factor;
    return true;
}

AdFeed parseAdFeed(const QByteArray &xml)
{
    AdFeed feed;
    QXmlStreamReader reader(xml);
    int depth = 0;
    bool inAd = false;
    AdRecord record;
    QString field;
    QString text;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            ++depth;
            const QXmlStreamAttributes attributes = reader.attributes();
            auto attribute = [&](const char *name) {
                return attributes.value(QLatin1String(name)).toString().trimmed();
            };
            if (depth == 1) {
                feed.ok = true;
                QString ttl = attributes.value(QLatin1String("ttl")).toString();
                if (ttl.isEmpty())
                    ttl = attributes.value(QLatin1String("ttlHours")).toString();
                double hours = 0;
                if (parseAdDuration(ttl, &hours))
                    feed.ttlHours = hours;
            } else if (depth == 2 && reader.name() == QLatin1String("ad")) {
                inAd = true;
                record = AdRecord();
                record.id = attribute("id");
                record.start = attribute("start");
                record.end = attribute("end");
                record.minVersion = attribute("minVersion");
                record.maxVersion = attribute("maxVersion");
                bool ok = false;
                const double weight = attribute("weight").toDouble(&ok);
                if (ok && weight > 0 && std::isfinite(weight))
                    record.weight = weight;
            } else if (depth == 3 && inAd &&
                       (reader.name() == QLatin1String("image") ||
                        reader.name() == QLatin1String("click") ||
                        reader.name() == QLatin1String("alt"))) {
                field = reader.name().toString();
                text.clear();
            }
        } else if (reader.isCharacters()) {
            if (depth == 3 && !field.isEmpty())
                text += reader.text();
        } else if (reader.isEndElement()) {
            if (depth == 3 && !field.isEmpty()) {
                const QString value = text.trimmed();
                if (field == QLatin1String("image"))
                    record.image = value;
                else if (field == QLatin1String("click"))
                    record.click = value;
                else
                    record.alt = value;
                field.clear();
            } else if (depth == 2 && inAd) {
                if (!record.image.isEmpty() || !record.click.isEmpty() || !record.alt.isEmpty())
                    feed.records.append(record);
                inAd = false;
            }
            --depth;
        }
    }
    if (reader.hasError())
        return AdFeed();
    return feed;
}

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    auto part = [](const QStringList &parts, qsizetype i) {
        bool ok = false;
        const int value = i < parts.size() ? parts.at(i).toInt(&ok) : 0;
        return ok ? value : 0;
    };
    for (qsizetype i = 0; i < qMax(left.size(), right.size()); ++i) {
        const int x = part(left, i);
        const int y = part(right, i);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool isAdEligible(const AdRecord &record, const QString &today, const QString &version)
{
    return (record.start.isEmpty() || record.start <= today) &&
           (record.end.isEmpty() || record.end >= today) &&
           (record.minVersion.isEmpty() || compareVersions(version, record.minVersion) >= 0) &&
           (record.maxVersion.isEmpty() || compareVersions(version, record.maxVersion) <= 0);
}

int pickWeighted(const QList<AdRecord> &candidates, double draw)
{
    double total = 0;
    for (const AdRecord &record : candidates)
        total += weightOf(record);
    double remainder = draw * total;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        remainder -= weightOf(candidates.at(i));
        if (remainder <= 0)
            return int(i);
    }
    return int(candidates.size()) - 1;
}

} // namespace vrn
