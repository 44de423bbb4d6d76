// The promotional strip: what it shows from the network, the cache and its built-in records,
// and how it treats whatever lies in its cache folder.
#include "environment/adfeed.h"
#include "support/testfiles.h"
#include "support/watchdog.h"
#include "views/adbanner.h"
#include "widgets/dialogs.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace vrn;

namespace {

using testdata::readFile;
using testdata::writeFile;

// Serves fixed bodies over HTTP on 127.0.0.1; requests for held paths wait for release().
class LocalServer : public QTcpServer
{
public:
    QMap<QString, QByteArray> bodies;
    QMap<QString, qint64> announced; // a longer Content-Length: the rest never comes
    QStringList held, requests;
    QList<QPair<QTcpSocket *, QString>> waiting;

    LocalServer()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray head = socket->peek(8192);
                if (!head.contains("\r\n\r\n"))
                    return;
                socket->readAll();
                const QString path = QString::fromLatin1(head.split(' ').value(1));
                requests.append(path);
                held.contains(path) ? waiting.append({socket, path}) : respond(socket, path);
            });
        });
    }
    QString url(const QString &path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }
    void respond(QTcpSocket *socket, const QString &path)
    {
        const QByteArray body = bodies.value(path);
        const qint64 length = announced.value(path, body.size());
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(length) +
                      "\r\nConnection: close\r\n\r\n" + body);
        if (length == body.size())
            socket->disconnectFromHost();
    }
    void release()
    {
        for (const auto &[socket, path] : std::as_const(waiting))
            respond(socket, path);
        waiting.clear();
    }
};

QByteArray feedWith(const QString &id, const QString &image = QString(), const QString &ttl = "24h",
                    qint64 size = 0)
{
    const QByteArray feed =
        QString("<ads ttl=\"%3\"><ad id=\"%1\"><alt>%1 text</alt><image>%2</image>"
                "<click>file:///etc/passwd</click></ad></ads>")
            .arg(id, image, ttl)
            .toUtf8();
    // Padded to `size` bytes with a comment after the root element.
    return size ? feed + "<!--" + QByteArray(size - feed.size() - 7, 'x') + "-->" : feed;
}

QString imageCacheName(const QString &url)
{
    const QByteArray hash = QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha1);
    return "img_" + QString::fromLatin1(hash.toHex().left(16)) + ".png";
}

constexpr qint64 kMiB4 = 4 * 1024 * 1024;
const QString kImageUrl = "http://127.0.0.1:9/a.png";

} // namespace

class TestBanner : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QUrl m_opened;
    QString cacheDir() const { return m_home.path() + "/ads"; }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        Dialogs::setTestMode(true);
        Dialogs::setUrlOpener([this](const QUrl &url) { return (m_opened = url).isValid(); });
    }

    void init()
    {
        Dialogs::reset();
        QDir(cacheDir()).removeRecursively();
    }

    void bannerLoading_data()
    {
        QTest::addColumn<bool>("network");
        QTest::addColumn<int>("cacheAgeHours"); // -1000: no cache
        QTest::addColumn<QString>("ttl");
        QTest::addColumn<QString>("server"); // answers, silent, drips or too big
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("fetched");
        auto row = [](const char *name, bool network, int age, const char *ttl, const char *server,
                      const char *shown, bool fetched) {
            QTest::newRow(name) << network << age << QString(ttl) << QString(server)
                                << QString(shown) << fetched;
        };
        row("network off, no cache", false, -1000, "24h", "answers", "emb-", false);
        row("network off, old cache", false, 100, "24h", "answers", "cached", false);
        row("fresh cache", true, 1, "24h", "answers", "cached", false);
        row("old cache", true, 30, "24h", "answers", "served", true);
        row("older than the feed's own lifetime", true, 2, "1h", "answers", "served", true);
        row("cache in the future", true, -2, "24h", "answers", "served", true);
        row("server silent, no cache", true, -1000, "24h", "silent", "emb-", true);
        row("server silent, old cache", true, 30, "24h", "silent", "cached", true);
        row("server drips", true, -1000, "24h", "drips", "emb-", true);
        row("feed of exactly 4 MiB", true, -1000, "24h", "4 MiB", "served", true);
        row("feed past 4 MiB", true, -1000, "24h", "too big", "emb-", true);
    }

    void bannerLoading()
    {
        QFETCH(bool, network);
        QFETCH(int, cacheAgeHours);
        QFETCH(QString, ttl);
        QFETCH(QString, server);
        QFETCH(QString, shown);
        LocalServer local;
        const qint64 padded = server == "4 MiB" ? kMiB4 : server == "too big" ? kMiB4 + 1 : 0;
        local.bodies["/feed.xml"] = feedWith("served", {}, "24h", padded);
        if (server == "silent")
            local.held.append("/feed.xml");
        if (server == "drips")
            local.announced["/feed.xml"] = local.bodies["/feed.xml"].size() + 1;
        const qint64 fetched = QDateTime::currentMSecsSinceEpoch() - cacheAgeHours * 3600000LL;
        const bool cache = cacheAgeHours != -1000;
        if (cache) {
            QVERIFY(writeFile(cacheDir() + "/manifest.xml", feedWith("cached", {}, ttl)));
            QVERIFY(writeFile(cacheDir() + "/manifest.fetched", QByteArray::number(fetched)));
        }
        AdBanner banner(cacheDir());
        banner.setFeedUrl(QUrl(local.url("/feed.xml")));
        // Only the limit on the whole fetch ends a server that stalls; it is cut short for the
        // servers that never finish, so no row waits on a clock.
        banner.setTransferTimeout(3600000);
        banner.setFetchDeadline(server == "silent" || server == "drips" ? 100 : 3600000);
        QSignalSpy spy(&banner, &AdBanner::adShown);
        QSignalSpy finished(banner.findChild<QNetworkAccessManager *>(),
                            &QNetworkAccessManager::finished);
        banner.start(network, 0);
        // Something shows at once, before any download ends.
        QCOMPARE(spy.size(), 1);
        const QString first = cache ? "cached" : "emb-";
        QVERIFY(spy.at(0).at(0).toString().startsWith(first));
        QTEST(!banner.findChildren<QNetworkReply *>().isEmpty(), "fetched");
        if (!banner.findChildren<QNetworkReply *>().isEmpty())
            QVERIFY(finished.wait(5000));
        QCOMPARE(spy.size(), shown == first ? 1 : 2);
        QVERIFY2(spy.constLast().at(0).toString().startsWith(shown), qPrintable(shown));
        // A click opens a web page of ours, never a local file a feed names.
        QTest::mouseClick(banner.strip(), Qt::LeftButton);
        QCOMPARE(m_opened.scheme() + "://" + m_opened.host(), "https://varnelhaus.org");
        QCOMPARE(readFile(cacheDir() + "/manifest.xml"), shown == "served" ? local.bodies.first()
                                                         : cache ? feedWith(shown, {}, ttl)
                                                                 : QByteArray());
    }

    // Whatever lies in the cache folder, the start neither blocks nor reads past 4 MiB.
    void bannerCacheFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("planted"); // a FIFO, a link to this target or a feed this long
        QTest::addColumn<QString>("shown");
        auto row = [](const char *name, const QString &file, const QString &planted,
                      const char *shown) {
            QTest::newRow(name) << file << planted << QString(shown);
        };
        row("manifest a FIFO", "manifest.xml", "fifo", "emb-");
        row("fetch time a FIFO", "manifest.fetched", "fifo", "emb-");
        row("image a FIFO", imageCacheName(kImageUrl), "fifo", "cached");
        row("manifest a link to /dev/zero", "manifest.xml", "/dev/zero", "emb-");
        row("manifest a link to a feed", "manifest.xml", "feed.xml", "emb-");
        row("manifest of 4 MiB", "manifest.xml", QString::number(kMiB4), "planted");
        row("manifest past 4 MiB", "manifest.xml", QString::number(kMiB4 + 1), "emb-");
    }

    void bannerCacheFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, planted);
        const testdata::Watchdog watchdog; // a FIFO opened by mistake would block
        QVERIFY(writeFile(cacheDir() + "/manifest.xml", feedWith("cached", kImageUrl)));
        QVERIFY(writeFile(cacheDir() + "/manifest.fetched",
                          QByteArray::number(QDateTime::currentMSecsSinceEpoch())));
        QVERIFY(writeFile(cacheDir() + "/feed.xml", feedWith("planted")));
        const QString path = cacheDir() + '/' + file;
        QFile::remove(path);
        if (planted == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(path), 0600), 0);
        else if (planted.toLongLong() > 0)
            QVERIFY(writeFile(path, feedWith("planted", {}, "24h", planted.toLongLong())));
        else
            QVERIFY(
                QFile::link(planted.startsWith('/') ? planted : cacheDir() + '/' + planted, path));
        AdBanner banner(cacheDir());
        banner.start(false, 0);
        QTEST(banner.currentAd().id.left(banner.currentAd().embedded ? 4 : -1), "shown");
        // Built-in records bring their own picture; the cached one is never read.
        QCOMPARE(banner.currentPixmap().isNull(), !banner.currentAd().embedded);
    }

    void lateImageIsDropped_data()
    {
        QTest::addColumn<bool>("newerAdFirst");
        QTest::newRow("image arrives in time") << false;
        QTest::newRow("newer ad shown meanwhile") << true;
    }

    void lateImageIsDropped()
    {
        QFETCH(bool, newerAdFirst);
        LocalServer server;
        server.bodies["/a.png"] = readFile(":/icons/vrne-16.png");
        server.held.append("/a.png");
        AdBanner banner(cacheDir());
        banner.start(true, 1000000); // network on, but nothing loads by itself
        const QString url = server.url("/a.png");
        const AdRecord withImage = parseAdFeed(feedWith("a", url)).records.constFirst();
        banner.showAd(withImage);
        QTRY_COMPARE(server.waiting.size(), 1);
        if (newerAdFirst)
            banner.showAd(parseAdFeed(feedWith("b")).records.constFirst());
        QSignalSpy finished(banner.findChild<QNetworkAccessManager *>(),
                            &QNetworkAccessManager::finished);
        server.release();
        QVERIFY(finished.wait(5000));
        const QString cached = cacheDir() + '/' + imageCacheName(url);
        QCOMPARE(QFile::exists(cached), !newerAdFirst);
        QCOMPARE(banner.currentPixmap().isNull(), newerAdFirst);
        QCOMPARE(banner.currentAd().id, newerAdFirst ? "b" : "a");
        // Once cached, the image shows without the network.
        AdBanner offline(cacheDir());
        offline.start(false, 1000000);
        offline.showAd(withImage);
        QCOMPARE(offline.currentPixmap().isNull(), newerAdFirst);
    }
};

QTEST_MAIN(TestBanner)
#include "tst_banner.moc"
