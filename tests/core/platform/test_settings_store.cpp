#include "core/platform/memory_settings_store.h"
#include "core/platform/qsettings_store.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using namespace orvu;

// Both stores must behave alike, so callers tested against the memory store hold on disk too.
class TestSettingsStore : public QObject {
    Q_OBJECT

    using Factory = std::function<std::unique_ptr<SettingsStore>(const QString &iniPath)>;

private slots:
    void roundTrips_data() {
        QTest::addColumn<bool>("onDisk");
        QTest::newRow("memory") << false;
        QTest::newRow("ini file") << true;
    }

    void roundTrips() {
        QFETCH(bool, onDisk);
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("OrvuTray.conf"));
        auto make = [&]() -> std::unique_ptr<SettingsStore> {
            if (onDisk)
                return std::make_unique<QSettingsStore>(ini);
            return nullptr;
        };
        MemorySettingsStore memory;
        std::unique_ptr<SettingsStore> disk = make();
        SettingsStore &store = onDisk ? *disk : static_cast<SettingsStore &>(memory);

        QCOMPARE(store.data(QStringLiteral("repoBindings")), std::nullopt);
        QCOMPARE(store.string(QStringLiteral("userEmail")), std::nullopt);
        QVERIFY(!store.boolValue(QStringLiteral("repoBindings.migrated")));

        const QByteArray bytes("[{\"a\":1}]\0\xff", 12);
        store.setData(QStringLiteral("repoBindings"), bytes);
        store.setString(QStringLiteral("userEmail"), QStringLiteral("a, b@example.com"));
        store.setBool(QStringLiteral("repoBindings.migrated"), true);

        if (onDisk)
            disk = make(); // read back what was written, not a cache
        SettingsStore &reread = onDisk ? *disk : static_cast<SettingsStore &>(memory);
        QCOMPARE(reread.data(QStringLiteral("repoBindings")), std::optional<QByteArray>(bytes));
        QCOMPARE(reread.string(QStringLiteral("userEmail")),
                 std::optional<QString>(QStringLiteral("a, b@example.com")));
        QVERIFY(reread.boolValue(QStringLiteral("repoBindings.migrated")));
        // A value of another kind is not reported as the asked-for kind.
        QCOMPARE(reread.data(QStringLiteral("userEmail")), std::nullopt);
        QCOMPARE(reread.string(QStringLiteral("repoBindings")), std::nullopt);

        reread.remove(QStringLiteral("userEmail"));
        QCOMPARE(reread.string(QStringLiteral("userEmail")), std::nullopt);

        if (onDisk) {
            QSettings raw(ini, QSettings::IniFormat);
            QVERIFY(raw.contains(QStringLiteral("io.orvu.tray.repoBindings")));
            QVERIFY(!raw.contains(QStringLiteral("repoBindings")));
        } else {
            QVERIFY(memory.keys().contains(QStringLiteral("io.orvu.tray.repoBindings")));
        }
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "test_settings_store.moc"
