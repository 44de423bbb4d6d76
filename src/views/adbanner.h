#pragma once

#include <QByteArray>
#include <QList>
#include <QPixmap>
#include <QRandomGenerator>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>

class QLabel;
class QNetworkAccessManager;

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
QList<AdRecord> builtInAds();

// The promotional strip under the pages. It shows one record for the whole run, chosen from the
// feed (downloaded at most once per time-to-live and cached on disk) or from the built-in
// records. It never blocks or fails anything: every network or cache problem ends in the
// cached feed or a built-in record.
class AdBanner : public QWidget
{
    Q_OBJECT

public:
    class Strip;

    explicit AdBanner(const QString &cacheDirectory, QWidget *parent = nullptr);

    // Loads once, at once or after the delay; without network only the cache and the built-in
    // records are used.
    void start(bool networkAllowed, int delayMs);
    void load();
    AdRecord chooseAd(const QByteArray &feedText);
    void showAd(const AdRecord &record);

    const AdRecord &currentAd() const { return m_current; }
    const QPixmap &currentPixmap() const { return m_pixmap; }
    Strip *strip() const { return m_strip; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Seams for tests only: the feed address, the time a download may stay silent and the
    // time the whole download may take.
    void setFeedUrl(const QUrl &url) { m_feedUrl = url; }
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }
    void setFetchDeadline(int ms) { m_fetchDeadlineMs = ms; }

signals:
    void adShown(const QString &id);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void fetch(const QUrl &url, std::function<void(const QByteArray &)> done);
    void showFrom(const QByteArray &feedText);
    void openLink() const;
    void updateLabelColour();
    QString imageCacheBase(const QString &url) const;

    QString m_cacheDirectory;
    QNetworkAccessManager *m_network = nullptr;
    QLabel *m_label = nullptr;
    Strip *m_strip = nullptr;
    QRandomGenerator m_random;
    AdRecord m_current;
    QPixmap m_pixmap;
    QString m_lastShownId;
    bool m_networkAllowed = true;
    int m_generation = 0;
    QUrl m_feedUrl;
    int m_transferTimeoutMs = 8000;
    int m_fetchDeadlineMs = 20000;
};

class AdBanner::Strip : public QWidget
{
    Q_OBJECT

public:
    explicit Strip(AdBanner *banner);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    AdBanner *m_banner;
};

} // namespace vrn
