#include "app/mainwindow.h"
#include "environment/discovery.h"
#include "environment/englishplurals.h"
#include "support/testfiles.h"
#include "views/aboutdialog.h"
#include "views/adbanner.h"
#include "views/backupsdialog.h"
#include "views/dialogs.h"

#include <QClipboard>
#include <QCryptographicHash>
#include <QLabel>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSpinBox>
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

class TestDialogs : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QUrl m_opened;
    QString settingsFile() const { return m_home.path() + "/.PixInsight/core-1-pxi.settings"; }
    QString cacheDir() const { return m_home.path() + "/ads"; }

private slots:
    void initTestCase()
    {
        installEnglishPlurals();
        QStandardPaths::setTestModeEnabled(true);
        qputenv("HOME", QFile::encodeName(m_home.path()));
        // The screenshot process is no test: it would use these folders.
        for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            qputenv(name, QFile::encodeName(m_home.path() + '/' + name));
        QCoreApplication::setOrganizationName("Varnelhaus");
        QCoreApplication::setApplicationName("Varnelhaus");
        Dialogs::setTestMode(true);
        Dialogs::setUrlOpener([this](const QUrl &url) { return (m_opened = url).isValid(); });
    }

    void init()
    {
        Dialogs::reset();
        QDir(m_home.path()).removeRecursively();
        // The real trash, in the data folder that test mode places below HOME.
        QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
        QSettings().clear();
    }

    void backups_data()
    {
        QTest::addColumn<int>("keep");
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<QString>("olderButton");
        QTest::addColumn<int>("left");
        QTest::addColumn<bool>("trash");
        // Seven backups of 1600 bytes each, 2 KiB apiece as the dialog rounds them.
        QTest::newRow("keep 5 of 7")
            << 5 << QMessageBox::Yes << "Delete the 2 older backups (3 KiB)" << 5 << true;
        QTest::newRow("keep 0") << 0 << QMessageBox::Yes << "Delete the 7 older backups (11 KiB)"
                                << 0 << true;
        QTest::newRow("No deletes nothing")
            << 3 << QMessageBox::No << "Delete the 4 older backups (6 KiB)" << 7 << true;
        QTest::newRow("no trash, deleted for good when asked")
            << 5 << QMessageBox::Yes << "Delete the 2 older backups (3 KiB)" << 5 << false;
        QTest::newRow("no trash, No")
            << 5 << QMessageBox::No << "Delete the 2 older backups (3 KiB)" << 7 << false;
    }

    void backups()
    {
        QFETCH(int, keep);
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(int, left);
        QFETCH(bool, trash);
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (!trash)
            QVERIFY(QDir(data).removeRecursively());
        QVERIFY(writeFile(settingsFile(), "<xsdt/>"));
        // Another settings file's backup in the same folder is never listed or touched.
        QVERIFY(writeFile(settingsFile().replace("core-1", "core-2") + ".bak-1", "x"));
        for (int i = 0; i < 7; ++i)
            QVERIFY(writeFile(settingsFile() + QString(".bak-2026120%1").arg(i),
                              QByteArray(1600, 'x'), QDateTime::currentDateTime().addDays(i - 10)));
        QCOMPARE(BackupsDialog::sizeText(900), "900 B");
        QCOMPARE(BackupsDialog::sizeText(1572864), "1.5 MiB");

        BackupsDialog dialog(settingsFile());
        QCOMPARE(dialog.keepSpin()->value(), 5);
        dialog.keepSpin()->setValue(keep);
        QCOMPARE(dialog.headerLabel()->text(), "7 backups of core-1-pxi.settings, 11 KiB in "
                                               "total (newest first):");
        QVERIFY(dialog.list()->item(0)->text().startsWith(
            "core-1-pxi.settings.bak-20261206        2 KiB    "));
        QTEST(dialog.deleteOlderButton()->text(), "olderButton");
        QSignalSpy messages(&dialog, &BackupsDialog::message);
        Dialogs::setNextAnswer(answer);
        QTest::mouseClick(dialog.deleteOlderButton(), Qt::LeftButton);
        const int removed = 7 - left;
        QCOMPARE(Dialogs::lastShown().title, "Delete backups");
        QVERIFY(Dialogs::lastShown().text.endsWith(
            trash ? QString("They are moved to the trash folder %1/Trash.").arg(data)
                  : QString("%1 does not exist or cannot be written). They will be deleted for "
                            "good.")
                        .arg(data)));
        const QStringList kept = listBackups(settingsFile());
        QCOMPARE(kept.size(), left);
        QVERIFY(left == 0 || kept.constFirst().endsWith(".bak-20261206")); // the newest stay
        QCOMPARE(messages.size(), left == 7 ? 0 : 1);
        if (removed > 0)
            QCOMPARE(
                messages.at(0).at(0).toString(),
                (trash ? QString("Backups moved to the trash folder %1/Trash: ").arg(data)
                       : QString("Backups deleted for good: ")) +
                    QString("%1 (%2).").arg(removed).arg(BackupsDialog::sizeText(removed * 1600)));
        QCOMPARE(QDir(data + "/Trash/files").entryList(QDir::Files).size(), trash ? removed : 0);
        QCOMPARE(dialog.deleteAllButton()->isEnabled(), left > 0);
        QVERIFY(QFile::exists(settingsFile()));
        // The number kept is remembered for the next dialog.
        QCOMPARE(BackupsDialog(settingsFile()).keepSpin()->value(), keep);
    }

    void aboutDetails()
    {
        const QStringList none = AboutDialog::technicalDetails(QString(), QString()).split('\n');
        QCOMPARE(none.size(), 6);
        QCOMPARE(none.at(3), "Open file: none");
        QCOMPARE(none.at(4), "PixInsight recorded in the file: unknown");
        QVERIFY(none.at(5).contains(m_home.path() + "/.PixInsight; "));

        // The main window hands over the open file and the version lines recorded in it.
        QVERIFY(writeFile(settingsFile(), readFile(QString(VARNEL_DEMO_FILE))));
        MainWindow window;
        QString details;
        Dialogs::setNextDialogHandler([&](QDialog *dialog) {
            QTest::mouseClick(qobject_cast<AboutDialog *>(dialog)->copyButton(), Qt::LeftButton);
            details = QGuiApplication::clipboard()->text();
            return int(QDialog::Accepted);
        });
        window.aboutAction()->trigger();
        QVERIFY2(details.contains("\nOpen file: " + settingsFile() +
                                  "\nPixInsight recorded in the file: PixInsight Core 1.9.3 "
                                  "(x64) [1.9.3]\n"),
                 qPrintable(details));
    }

    void feedParsing_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("ttl");
        QTest::addColumn<QString>("records"); // id:weight per record
        const QByteArray ad = "<ad id=\"a\"><alt>A</alt></ad>";
        const std::pair<const char *, double> ttls[] = {{"2d", 48.0},  {"12H", 12.0}, {"90m", 1.5},
                                                        {"1w", 168.0}, {"6", 6.0},    {"-1h", 24.0},
                                                        {"abc", 24.0}, {"inf", 24.0}, {" ", 24.0}};
        for (const auto &[ttl, hours] : ttls)
            QTest::newRow(ttl) << "<feed ttl=\"" + QByteArray(ttl) + "\">" + ad + "</feed>" << true
                               << hours << "a:1";
        QTest::newRow("ttlHours when ttl is empty")
            << QByteArray("<x ttl=\"\" ttlHours=\"3d\"/>") << true << 72.0 << "";
        QTest::newRow("weights 0, -2, abc, 2.5")
            << QByteArray("<f><ad id=\"z\" weight=\"0\"><alt>x</alt></ad><ad id=\"n\" "
                          "weight=\"-2\"><alt>x</alt></ad><ad id=\"s\" weight=\"abc\"><alt>x</alt>"
                          "</ad><ad id=\"w\" weight=\" 2.5 \"><click>c</click></ad></f>")
            << true << 24.0 << "z:1 n:1 s:1 w:2.5";
        QTest::newRow("only an id is dropped, only an alt kept")
            << QByteArray("<f><ad id=\"i\"/><ad id=\"j\"><note>n</note></ad><ad><alt> t </alt>"
                          "</ad><other><ad id=\"deep\"><alt>x</alt></ad></other></f>")
            << true << 24.0 << ":1";
        QTest::newRow("xml error") << "<feed ttl=\"2d\">" + ad + "<ad>" << false << 24.0 << "";
        QTest::newRow("empty") << QByteArray() << false << 24.0 << "";
    }

    void feedParsing()
    {
        QFETCH(QByteArray, xml);
        const AdFeed feed = parseAdFeed(xml);
        QTEST(feed.ok, "ok");
        QTEST(feed.ttlHours, "ttl");
        QStringList got;
        for (const AdRecord &record : feed.records)
            got.append(record.id + ':' + QString::number(record.weight));
        QTEST(got.join(' '), "records");
    }

    void eligibility_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("eligible");
        const QDate today = QDate::currentDate();
        QTest::newRow("start today") << "start" << today.toString(Qt::ISODate) << true;
        QTest::newRow("start tomorrow")
            << "start" << today.addDays(1).toString(Qt::ISODate) << false;
        QTest::newRow("end today") << "end" << today.toString(Qt::ISODate) << true;
        QTest::newRow("end yesterday") << "end" << today.addDays(-1).toString(Qt::ISODate) << false;
        const std::tuple<const char *, const char *, bool> bounds[] = {
            {"min", "1.2.0", true},  {"min", "1.10", false}, {"max", "1.10", true},
            {"max", "1.1.9", false}, {"max", "1.2.x", true}, {"min", "1.2.99999999999", true}};
        for (const auto &[field, value, eligible] : bounds)
            QTest::newRow(qPrintable(QString("%1 %2").arg(field, value)))
                << field << value << eligible;
    }

    void eligibility()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        AdRecord record;
        (field == "start" ? record.start
         : field == "end" ? record.end
         : field == "min" ? record.minVersion
                          : record.maxVersion) = value;
        QTEST(isAdEligible(record, QDate::currentDate().toString(Qt::ISODate), "1.2"), "eligible");

        // Weighted choice walks the candidates in order.
        AdRecord heavy;
        heavy.weight = 3;
        QCOMPARE(pickWeighted({AdRecord(), heavy}, 0.0), 0);
        QCOMPARE(pickWeighted({AdRecord(), heavy}, 0.26), 1);
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
        local.bodies["/feed.xml"] =
            feedWith("served", {}, "24h", server == "too big" ? kMiB4 + 1 : 0);
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
        QCOMPARE(readFile(cacheDir() + "/manifest.xml"), shown == "served" ? feedWith(shown)
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

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
