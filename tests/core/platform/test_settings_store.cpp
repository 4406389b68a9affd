#include "core/platform/memory_settings_store.h"
#include "core/platform/qsettings_store.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace orvu;

// Both stores must behave alike, so callers tested against the memory store hold on disk too.
class TestSettingsStore : public QObject {
    Q_OBJECT

private slots:
    void roundTrips_data() {
        QTest::addColumn<bool>("onDisk");
        QTest::newRow("memory") << false;
        QTest::newRow("ini file") << true;
    }
    void roundTrips() {
        QFETCH(bool, onDisk);
        QTemporaryDir dir;
        const QString ini = dir.filePath("OrvuTray.conf");
        auto open = [&]() -> std::unique_ptr<SettingsStore> {
            if (onDisk)
                return std::make_unique<QSettingsStore>(ini);
            return std::make_unique<MemorySettingsStore>();
        };
        auto store = open();
        QCOMPARE(store->data("repoBindings"), std::nullopt);
        QVERIFY(!store->boolValue("repoBindings.migrated"));

        const QByteArray bytes("[{\"a\":1}]\0\xff", 12);
        store->setData("repoBindings", bytes);
        store->setString("userEmail", "a, b@example.com");
        store->setBool("repoBindings.migrated", true);
        if (onDisk)
            store = open(); // read back what was written, not a cache
        QCOMPARE(store->data("repoBindings"), std::optional(bytes));
        QCOMPARE(store->string("userEmail"), std::optional<QString>("a, b@example.com"));
        QVERIFY(store->boolValue("repoBindings.migrated"));
        // A value of another kind is not reported as the asked-for kind.
        QCOMPARE(store->data("userEmail"), std::nullopt);
        QCOMPARE(store->string("repoBindings"), std::nullopt);
        store->remove("userEmail");
        QCOMPARE(store->string("userEmail"), std::nullopt);

        const QStringList keys = onDisk ? QSettings(ini, QSettings::IniFormat).allKeys()
                                        : static_cast<MemorySettingsStore &>(*store).keys();
        QVERIFY(keys.contains("io.orvu.tray.repoBindings"));
        QVERIFY(!keys.contains("repoBindings"));
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "test_settings_store.moc"
