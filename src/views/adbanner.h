#pragma once

#include "environment/adfeed.h"

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

// The records shown when the feed offers none.
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
