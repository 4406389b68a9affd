// The file-manager layer against a stand-in FileManager1 service on a private session bus.
#include "gui/platform/freedesktop_file_manager.h"

#include <QDBusConnection>
#include <QProcess>
#include <QTest>

using namespace orvu;

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList calls;
public slots:
    void ShowItems(const QStringList &u, const QString &) { calls << "items " + u.join(','); }
    void ShowFolders(const QStringList &u, const QString &) { calls << "dirs " + u.join(','); }
};

class TestFreedesktopFileManager : public QObject {
    Q_OBJECT
    QProcess m_daemon; // killed with the test
    QString m_address;

private slots:
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

QTEST_GUILESS_MAIN(TestFreedesktopFileManager)
#include "test_freedesktop_file_manager.moc"
