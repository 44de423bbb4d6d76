#include "views/adbanner.h"

#include "environment/buildinfo.h"
#include "widgets/dialogs.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QSaveFile>
#include <QTimer>

#include <cerrno>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrn {

namespace {

struct AdText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::AdBanner)
};

// Nothing the banner downloads is anywhere near this; a larger body is cut off and counts as
// missing rather than filling memory, and a larger cache file is not read.
constexpr qint64 kMaxDownloadBytes = 4 * 1024 * 1024;
// A fetch time is a number of milliseconds; anything longer is not one.
constexpr qint64 kMaxStampBytes = 32;

// The cache folder is the user's to fill: a FIFO or a device there would block the start for
// good, and a huge file would stall it on every run. Only a regular file of at most `cap`
// bytes, not reached through a link, is read.
std::optional<QByteArray> readCacheFile(const QString &path, qint64 cap)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> result;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= cap) {
        // One byte more than the size, to see a file that grew meanwhile.
        QByteArray bytes(qsizetype(info.st_size) + 1, Qt::Uninitialized);
        qsizetype got = 0;
        bool failed = false;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failed = n < 0;
                break;
            }
            got += n;
        }
        if (!failed && got <= cap) {
            bytes.truncate(got);
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

bool isWebUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

// Cache files are replaced in one step, so a banner starting meanwhile never reads half a file.
void writeCacheFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        file.commit();
}

QString imageExtension(const QByteArray &data)
{
    if (data.startsWith("\x89PNG"))
        return QStringLiteral(".png");
    if (data.startsWith("\xFF\xD8\xFF"))
        return QStringLiteral(".jpg");
    return QStringLiteral(".img");
}

QString defaultText()
{
    return AdText::tr("Click for our other PixInsight modules");
}

} // namespace

QList<AdRecord> builtInAds()
{
    auto record = [](const char *word, const QString &alt) {
        AdRecord r;
        r.id = QStringLiteral("emb-") + QLatin1String(word);
        r.image = QStringLiteral(":/ads/%1.png").arg(QLatin1String(word));
        r.click = QStringLiteral("https://varnelhaus.org/modules/%1/").arg(QLatin1String(word));
        r.alt = alt;
        r.embedded = true;
        return r;
    };
    return {
        record("skyglass", AdText::tr("Skyglass - flattens light-pollution gradients in one "
                                      "pass, right inside PixInsight")),
        record("haloquell", AdText::tr("Haloquell - tames halos and blooming around bright "
                                       "stars without touching the faint ones")),
        record("driftmend", AdText::tr("Driftmend - finds satellite trails and tracking drift in "
                                       "your subframes before you integrate them")),
    };
}

AdBanner::AdBanner(const QString &cacheDirectory, QWidget *parent)
    : QWidget(parent)
    , m_cacheDirectory(cacheDirectory)
    , m_network(new QNetworkAccessManager(this))
    , m_random(QRandomGenerator::securelySeeded())
    , m_feedUrl(adFeedUrl())
{
    setFixedHeight(100);
    m_label = new QLabel(AdText::tr("Ad:"), this);
    QFont font = m_label->font();
    font.setPointSizeF(font.pointSizeF() * 0.8);
    m_label->setFont(font);
    updateLabelColour();
    m_label->adjustSize();
    m_label->move(10, 6);
    m_strip = new Strip(this);
    m_strip->setFixedSize(532, 92);
    m_strip->setCursor(Qt::PointingHandCursor);
    m_strip->setToolTip(AdText::tr("Click for our other PixInsight modules."));
    resizeEvent(nullptr);
}

QSize AdBanner::minimumSizeHint() const
{
    return QSize(m_strip->width() + 2 * m_label->width() + 20, height());
}

QSize AdBanner::sizeHint() const
{
    return minimumSizeHint();
}

void AdBanner::resizeEvent(QResizeEvent *)
{
    const int dx = width() - m_strip->width();
    const int dy = height() - m_strip->height();
    m_strip->move(dx < 2 ? 0 : dx / 2, dy < 2 ? 0 : dy / 2);
}

void AdBanner::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // The label's colour is taken from the palette; a theme switch brings a new one.
    if (event->type() == QEvent::PaletteChange)
        updateLabelColour();
}

void AdBanner::updateLabelColour()
{
    QPalette palette = m_label->palette();
    palette.setColor(QPalette::WindowText, this->palette().color(QPalette::PlaceholderText));
    m_label->setPalette(palette);
}

void AdBanner::start(bool networkAllowed, int delayMs)
{
    m_networkAllowed = networkAllowed;
    if (delayMs < 1)
        load();
    else
        QTimer::singleShot(delayMs, this, &AdBanner::load);
}

void AdBanner::load()
{
    QByteArray manifest;
    qint64 fetchedMs = 0;
    bool cached = false;
    const std::optional<QByteArray> manifestFile =
        readCacheFile(m_cacheDirectory + QStringLiteral("/manifest.xml"), kMaxDownloadBytes);
    const std::optional<QByteArray> fetchedFile =
        readCacheFile(m_cacheDirectory + QStringLiteral("/manifest.fetched"), kMaxStampBytes);
    if (manifestFile && fetchedFile) {
        bool ok = false;
        fetchedMs = QString::fromLatin1(*fetchedFile).trimmed().toLongLong(&ok, 10);
        cached = ok && !manifestFile->isEmpty();
        if (cached)
            manifest = *manifestFile;
    }
    const double ttlHours = cached ? parseAdFeed(manifest).ttlHours : 24.0;
    // Something shows at once, the cached feed or a built-in record; a feed fetched now
    // replaces it when it arrives.
    showFrom(manifest);
    if (!m_networkAllowed)
        return;
    if (cached) {
        // A fetch time in the future means the clock was moved back: the cache counts as old.
        const double age = double(QDateTime::currentMSecsSinceEpoch() - fetchedMs) / 3600000.0;
        if (age >= 0 && age < ttlHours)
            return;
    }
    fetch(m_feedUrl, [this](const QByteArray &body) {
        // Without a usable feed the record shown at the start stays.
        if (body.isEmpty() || !parseAdFeed(body).ok)
            return;
        writeCacheFile(m_cacheDirectory + QStringLiteral("/manifest.xml"), body);
        writeCacheFile(m_cacheDirectory + QStringLiteral("/manifest.fetched"),
                       QByteArray::number(QDateTime::currentMSecsSinceEpoch()));
        showFrom(body);
    });
}

void AdBanner::showFrom(const QByteArray &feedText)
{
    showAd(chooseAd(feedText));
}

AdRecord AdBanner::chooseAd(const QByteArray &feedText)
{
    const AdFeed feed = parseAdFeed(feedText);
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    const QString version = programVersion();
    QList<AdRecord> eligible;
    for (const AdRecord &record : feed.records) {
        if (isAdEligible(record, today, version))
            eligible.append(record);
    }
    if (eligible.isEmpty())
        eligible = builtInAds();
    QList<AdRecord> candidates;
    for (const AdRecord &record : std::as_const(eligible)) {
        if (record.id != m_lastShownId)
            candidates.append(record);
    }
    if (candidates.isEmpty())
        return eligible.constFirst();
    return candidates.at(pickWeighted(candidates, m_random.generateDouble()));
}

QString AdBanner::imageCacheBase(const QString &url) const
{
    const QByteArray hash =
        QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return m_cacheDirectory + QStringLiteral("/img_") + QString::fromLatin1(hash);
}

void AdBanner::showAd(const AdRecord &record)
{
    ++m_generation;
    m_current = record;
    m_lastShownId = record.id;
    m_pixmap = QPixmap();
    m_strip->setToolTip(record.alt.isEmpty() ? AdText::tr("Click for our other PixInsight modules.")
                                             : record.alt);
    if (record.embedded) {
        if (!record.image.isEmpty())
            m_pixmap.load(record.image);
    } else if (!record.image.isEmpty()) {
        const QString base = imageCacheBase(record.image);
        bool loaded = false;
        for (const char *extension : {".png", ".jpg", ".img"}) {
            if (const auto data =
                    readCacheFile(base + QLatin1String(extension), kMaxDownloadBytes)) {
                loaded = m_pixmap.loadFromData(*data);
                break;
            }
        }
        if (!loaded && m_networkAllowed) {
            const int generation = m_generation;
            fetch(QUrl(record.image), [this, generation, base](const QByteArray &body) {
                // A newer record may have been shown while this image was on its way.
                QPixmap pixmap;
                if (generation != m_generation || body.isEmpty() || !pixmap.loadFromData(body))
                    return;
                writeCacheFile(base + imageExtension(body), body);
                m_pixmap = pixmap;
                m_strip->update();
            });
        }
    }
    m_strip->update();
    emit adShown(record.id);
}

void AdBanner::fetch(const QUrl &url, std::function<void(const QByteArray &)> done)
{
    // Feed records come from outside: only web addresses are fetched, never local files.
    if (!isWebUrl(url)) {
        done(QByteArray());
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(m_transferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString(QStringLiteral("Varnelkit/") + programVersion()));
    QNetworkReply *reply = m_network->get(request);
    // The body is taken as it arrives, so the limit holds for the bytes received whatever the
    // server announces; the download stops as soon as it passes the limit.
    auto body = std::make_shared<QByteArray>();
    auto take = [reply, body] {
        if (reply->isOpen()) // not after an abort
            body->append(reply->read(kMaxDownloadBytes + 1 - body->size()));
        return body->size() <= kMaxDownloadBytes;
    };
    connect(reply, &QNetworkReply::readyRead, reply, [reply, take] {
        if (!take())
            reply->abort();
    });
    // The transfer timeout only ends a silent server; one that sends a byte now and then is
    // stopped by this limit on the whole fetch.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(m_fetchDeadlineMs);
    connect(reply, &QNetworkReply::finished, this, [reply, take, body, done = std::move(done)] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool good = take() && reply->error() == QNetworkReply::NoError && status == 200;
        reply->deleteLater();
        done(good ? *body : QByteArray());
    });
}

void AdBanner::openLink() const
{
    // A feed could name anything as its link; only web pages are handed to the desktop.
    const QUrl link(m_current.click);
    Dialogs::openUrl(isWebUrl(link) ? link : adDefaultClickUrl());
}

AdBanner::Strip::Strip(AdBanner *banner)
    : QWidget(banner)
    , m_banner(banner)
{}

void AdBanner::Strip::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    m_banner->openLink();
}

void AdBanner::Strip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPixmap &pixmap = m_banner->m_pixmap;
    if (!pixmap.isNull()) {
        painter.drawPixmap(rect(), pixmap);
        return;
    }
    const QRect box(0, 0, width() - 1, height() - 1);
    painter.fillRect(box, QColor(0x15, 0x23, 0x3F));
    painter.setPen(QPen(QColor(0x34, 0x50, 0x7F), 1));
    painter.drawRect(box);
    painter.setPen(QColor(0xBC, 0xD3, 0xFF));
    const QString alt = m_banner->m_current.alt;
    painter.drawText(rect().adjusted(6, 0, -6, 0), Qt::AlignCenter | Qt::TextWordWrap,
                     alt.isEmpty() ? defaultText() : alt);
}

} // namespace vrn
