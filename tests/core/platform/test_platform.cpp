#include "core/platform/local_folder_access.h"
#include "core/platform/memory_settings_store.h"
#include "core/platform/qsettings_store.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    // Both stores behave alike, so callers tested against the memory store hold on disk too.
    void settingsRoundTrip_data() {
        QTest::addColumn<bool>("onDisk");
        QTest::newRow("memory") << false;
        QTest::newRow("ini file") << true;
    }
    void settingsRoundTrip() {
        QFETCH(bool, onDisk);
        QTemporaryDir dir;
        const QString ini = dir.filePath("OrvuTray.conf");
        auto open = [&]() -> std::unique_ptr<SettingsStore> {
            if (onDisk)
                return std::make_unique<QSettingsStore>(ini);
            return std::make_unique<MemorySettingsStore>();
        };
        auto store = open();
        QVERIFY(!store->boolValue("repoBindings.migrated"));
        const QByteArray bytes("[{\"a\":1}]\0\xff", 12);
        store->setData("repoBindings", bytes);
        store->setString("userEmail", "a, b@example.com");
        store->setBool("repoBindings.migrated", true);
        store->setValue("kept", QStringList{"[{", "}]"}); // kept aside as it was, whatever it is
        if (onDisk)
            store = open(); // read back what was written, not a cache
        QCOMPARE(store->data("repoBindings"), std::optional(bytes));
        QCOMPARE(store->string("userEmail"), std::optional<QString>("a, b@example.com"));
        QVERIFY(store->boolValue("repoBindings.migrated"));
        QCOMPARE(store->value("kept"), QStringList({"[{", "}]"}));
        // A value of another kind is not reported as the asked-for kind.
        QCOMPARE(store->data("userEmail"), std::nullopt);
        QCOMPARE(store->string("repoBindings"), std::nullopt);
        store->remove("userEmail");
        QCOMPARE(store->string("userEmail"), std::nullopt);
        if (onDisk)
            QVERIFY(QSettings(ini, QSettings::IniFormat).contains("io.orvu.tray.repoBindings"));
    }

    // A bookmark is the folder's UTF-8 path; anything else must not resolve to some folder.
    void bookmarks_data() {
        QTest::addColumn<QByteArray>("bookmark");
        QTest::addColumn<bool>("resolves");
        QTest::newRow("UTF-8 absolute") << QString("/tmp/Ørvu b/c").toUtf8() << true;
        QTest::newRow("relative") << QByteArray("Orvu/a") << false;
        QTest::newRow("not UTF-8") << QByteArray("/home/\xff\xfe") << false;
        QTest::newRow("embedded NUL") << QByteArray("/a\0/b", 5) << false;
    }
    void bookmarks() {
        QFETCH(QByteArray, bookmark);
        QFETCH(bool, resolves);
        LocalFolderAccess access;
        const auto resolved = access.resolveBookmark(bookmark);
        QCOMPARE(resolved.has_value(), resolves);
        if (resolved) {
            QCOMPARE((std::pair{resolved->path, resolved->stale}),
                     (std::pair{QString::fromUtf8(bookmark), false}));
            QCOMPARE(access.makeBookmark(resolved->path), bookmark);
        }
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
