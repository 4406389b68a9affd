// The update check against a local feed; the file manager against a stand-in on a private bus.
#include "core/platform/memory_settings_store.h"
#include "gui/platform/feed_updater.h"
#include "gui/platform/freedesktop_file_manager.h"

#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using Kind = UpdateCheckOutcome::Kind;

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList calls;
public slots:
    void ShowItems(const QStringList &u, const QString &) { calls << "items " + u.join(','); }
    void ShowFolders(const QStringList &u, const QString &) { calls << "dirs " + u.join(','); }
};

class TestDesktopLayers : public QObject {
    Q_OBJECT
    QProcess m_daemon; // killed with the test
    QString m_address;

private slots:
    // The user's check of version 1.9.0 against a feed served on this computer (versions compare
    // as numbers: 1.10 is newer, 1.9 the same); no status: no update.json.
    void check_data() {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        const QByteArray ok = "200 OK";
        QTest::newRow("newer") << ok
                               << QByteArray(R"({"version":"1.10.0","downloadURL":"https:x"})")
                               << "Orvu 1.10.0 is available.";
        QTest::newRow("same") << ok << QByteArray(R"({"version":"1.9","downloadURL":"https:x"})")
                              << "Orvu is up to date.";
        const QString failed = "Could not check for updates: ";
        QTest::newRow("newer, nowhere to get it")
            << ok << QByteArray(R"({"version":"2"})") << failed + "The update feed does not say";
        QTest::newRow("garbage") << ok << QByteArray("<html>")
                                 << failed + "The update feed does not name";
        QTest::newRow("missing") << QByteArray("404 Not Found") << QByteArray()
                                 << failed + "Error transferring";
        QTest::newRow("no update.json")
            << QByteArray() << QByteArray()
            << "Updates for Orvu come from your system's package manager.";
    }
    void check() {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [=] {
                socket->readAll();
                socket->write("HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        });
        QTemporaryDir resources;
        QFile config(resources.filePath("update.json"));
        if (!status.isEmpty()) {
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write("{\"feedURL\":\"http://127.0.0.1:" +
                         QByteArray::number(server.serverPort()) + "/feed.json\"}");
            config.close();
        }
        MemorySettingsStore settings;
        FeedUpdater updater(resources.path(), settings, "1.9.0");
        std::optional<UpdateCheckOutcome> outcome;
        updater.fetch([&](const UpdateCheckOutcome &found) { outcome = found; });
        QTRY_VERIFY(outcome);
        QVERIFY(FeedUpdater::messageFor(*outcome).startsWith(message));
        QCOMPARE(outcome->downloadURL.isEmpty(), outcome->kind != Kind::available);
    }

    void initTestCase() {
        m_daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(m_daemon.waitForReadyRead(5000));
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }

    // Files are selected in their folder, folders opened; a missing file is passed on as well.
    // Without a file manager on the bus, or without a bus, the folder opens as a URL.
    void showsThroughTheFileManagerOrOpensTheFolder() {
        QDBusConnection service = QDBusConnection::connectToBus(m_address, "service");
        FakeFileManager fake;
        QVERIFY(service.registerObject("/org/freedesktop/FileManager1", &fake,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService("org.freedesktop.FileManager1"));
        QStringList opened;
        const auto open = [&](const QUrl &url) { opened << url.toLocalFile(); };
        FreedesktopFileManager manager(QDBusConnection::connectToBus(m_address, "client"), open);
        manager.revealFile("/gone/a b.txt");
        manager.revealFolder("/home/me/Notes");
        QTRY_COMPARE(fake.calls,
                     (QStringList{"items file:///gone/a%20b.txt", "dirs file:///home/me/Notes"}));
        QVERIFY(opened.isEmpty());
        service.unregisterService("org.freedesktop.FileManager1");
        manager.revealFile("/home/me/Notes/a.txt");
        QTRY_COMPARE(opened, QStringList{"/home/me/Notes"});
        FreedesktopFileManager noBus(QDBusConnection::connectToBus("unix:path=/none", "no"), open);
        noBus.revealFolder("/home/me/Photos");
        QCOMPARE(opened, (QStringList{"/home/me/Notes", "/home/me/Photos"}));
        QDBusConnection::disconnectFromBus("service");
    }
};

QTEST_MAIN(TestDesktopLayers)
#include "test_desktop_layers.moc"
