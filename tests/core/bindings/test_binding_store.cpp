#include "core/bindings/binding_store.h"
#include "core/bindings/folder_config_reader.h"
#include "core/platform/memory_settings_store.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using Bytes = std::optional<QByteArray>;
using Bindings = QList<RepoBinding>;
using Config = std::optional<FolderConfig>;

Q_DECLARE_METATYPE(Config)

namespace {

// Answers from a table instead of the disk, so migration cases need no folders.
class TableConfigReader final : public FolderConfigReading {
public:
    Config readConfig(const QString &folderPath) const override {
        return configs.value(folderPath);
    }
    QHash<QString, Config> configs;
};

RepoBinding binding(QString repoId, QString folderPath, Bytes bookmark = {},
                    bool needsRelink = false) {
    return RepoBinding{repoId,     repoId + "-slug", repoId + " Name",
                       folderPath, bookmark,         needsRelink};
}

// A stored list whose second element is a valid one with `key` set to `value` (or removed).
QByteArray listWith(const char *key, std::optional<QJsonValue> value) {
    const QJsonObject valid{{"repoId", "r1"},       {"slug", "s"},          {"displayName", "D"},
                            {"folderPath", "/f/a"}, {"needsRelink", false}, {"bookmark", "AAE="}};
    QJsonObject second = valid;
    if (value)
        second.insert(key, *value);
    else
        second.remove(key);
    return QJsonDocument(QJsonArray{valid, second}).toJson();
}

} // namespace

class TestBindingStore : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data() {
        QTest::addColumn<Bindings>("bindings");
        QTest::newRow("empty") << Bindings{};
        QTest::newRow("binary bookmark") << Bindings{binding("r1", "/a", QByteArray("\0\xff=", 3))};
        QTest::newRow("order, relink, empty bookmark, unicode and quotes kept")
            << Bindings{binding("", "/home/u/Ünïcødé \"q\"", {}, true),
                        binding("r2", "/b", QByteArray()), binding("r3", "/c\\d\n")};
    }
    void roundTrip() {
        QFETCH(Bindings, bindings);
        MemorySettingsStore defaults;
        TableConfigReader reader;
        BindingStore(defaults, reader).save(bindings);
        // The store keeps no copy: a second store over the same defaults reads the same list.
        QCOMPARE(BindingStore(defaults, reader).load(), bindings);
    }

    // An unreadable list reads as empty, is never rewritten by a load, and is kept aside, once,
    // before the first save replaces it.
    void unreadableListIsKeptAside_data() {
        QTest::addColumn<Bytes>("stored");
        QTest::addColumn<bool>("readable");
        QTest::newRow("nothing stored") << Bytes() << true;
        QTest::newRow("readable") << Bytes(encodeBindings({binding("r1", "/a")})) << true;
        QTest::newRow("lacks needsRelink") << Bytes(listWith("needsRelink", {})) << false;
        QTest::newRow("repoId is a number") << Bytes(listWith("repoId", 42)) << false;
        QTest::newRow("bookmark is a number") << Bytes(listWith("bookmark", 7)) << false;
        QTest::newRow("bookmark is not Base64") << Bytes(listWith("bookmark", "**")) << false;
        QTest::newRow("object instead of array") << Bytes(R"({"repoId":"r"})") << false;
        QTest::newRow("not JSON") << Bytes("[{\"repoId\":") << false;
    }
    void unreadableListIsKeptAside() {
        QFETCH(Bytes, stored);
        QFETCH(bool, readable);
        MemorySettingsStore defaults;
        TableConfigReader reader;
        if (stored)
            defaults.setData("repoBindings", *stored);
        BindingStore store(defaults, reader);
        if (!readable) {
            QVERIFY(!decodeBindings(*stored));
            QCOMPARE(store.load(), Bindings{});
            QCOMPARE(defaults.data("repoBindings"), stored); // nothing rewritten by a load
        }
        const Bindings next{binding("r2", "/b")};
        store.save(next);
        QCOMPARE(store.load(), next);
        const Bytes copy = readable ? Bytes() : stored;
        QCOMPARE(defaults.data("repoBindings.unreadable"), copy);
        // A later unreadable list does not replace the first copy.
        defaults.setData("repoBindings", "garbage");
        store.save({});
        QCOMPARE(defaults.data("repoBindings.unreadable"), copy.value_or("garbage"));
    }

    void migration_data() {
        QTest::addColumn<bool>("flagSet");
        QTest::addColumn<Bindings>("stored");
        QTest::addColumn<std::optional<QString>>("legacyPath");
        QTest::addColumn<Config>("config");
        QTest::addColumn<Bindings>("expected");
        using P = std::optional<QString>;
        const QByteArray bm("legacy-bm");
        const QString path("/home/u/Legacy Folder");
        const Config found = FolderConfig{"rid", "my-slug"};
        QTest::newRow("config found")
            << false << Bindings{} << P(path) << found
            << Bindings{RepoBinding{"rid", "my-slug", "my-slug", path, bm, false}};
        QTest::newRow("no config: relink row named after the folder")
            << false << Bindings{} << P(path + "/") << Config()
            << Bindings{RepoBinding{"", "", "Legacy Folder", path + "/", bm, true}};
        QTest::newRow("list already non-empty") << false << Bindings{binding("r1", "/a")} << P(path)
                                                << found << Bindings{binding("r1", "/a")};
        QTest::newRow("no legacy folder") << false << Bindings{} << P() << Config() << Bindings{};
        QTest::newRow("already attempted") << true << Bindings{} << P(path) << found << Bindings{};
    }
    void migration() {
        QFETCH(bool, flagSet);
        QFETCH(Bindings, stored);
        QFETCH(std::optional<QString>, legacyPath);
        QFETCH(Config, config);
        QFETCH(Bindings, expected);
        MemorySettingsStore defaults;
        TableConfigReader reader;
        if (legacyPath)
            reader.configs.insert(*legacyPath, config);
        BindingStore store(defaults, reader);
        if (!stored.isEmpty())
            store.save(stored);
        defaults.setBool("repoBindings.migrated", flagSet);
        const QByteArray bm("legacy-bm");

        QCOMPARE(store.loadMigratingLegacy(legacyPath, bm), expected);
        QVERIFY(defaults.boolValue("repoBindings.migrated"));
        QCOMPARE(defaults.data("repoBindings").has_value(), !expected.isEmpty());
        QCOMPARE(store.load(), expected);

        // Attempted once for good: even after the list has been emptied nothing comes back.
        store.save({});
        QCOMPARE(store.loadMigratingLegacy(legacyPath, bm), Bindings{});
    }

    void folderConfig_data() {
        QTest::addColumn<Bytes>("content");
        QTest::addColumn<Config>("expected");
        QTest::newRow("missing file") << Bytes() << Config();
        QTest::newRow("id and slug")
            << Bytes(R"({"repoId":"r","slug":"s","x":[1]})") << Config(FolderConfig{"r", "s"});
        QTest::newRow("no slug: the id")
            << Bytes(R"({"repoId":"r"})") << Config(FolderConfig{"r", "r"});
        QTest::newRow("empty repoId") << Bytes(R"({"repoId":"","slug":"s"})") << Config();
        QTest::newRow("repoId is a number") << Bytes(R"({"repoId":42})") << Config();
        QTest::newRow("not JSON") << Bytes("repoId=r") << Config();
    }
    void folderConfig() {
        QFETCH(Bytes, content);
        QFETCH(Config, expected);
        QTemporaryDir dir;
        if (content) {
            QVERIFY(QDir(dir.path()).mkdir(".orvu"));
            QFile file(dir.filePath(".orvu/config"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(*content) == content->size());
        }
        QCOMPARE(FolderConfigReader().readConfig(dir.path()), expected);
    }
};

QTEST_GUILESS_MAIN(TestBindingStore)
#include "test_binding_store.moc"
