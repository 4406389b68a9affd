#include "core/bindings/binding_store.h"
#include "core/bindings/folder_config_reader.h"
#include "core/bindings/preferences.h"
#include "core/platform/memory_folder_access.h"
#include "core/platform/memory_settings_store.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;

Q_DECLARE_METATYPE(std::optional<FolderConfig>)

namespace {

// Answers from a table instead of the disk, so migration cases need no folders.
class TableConfigReader final : public FolderConfigReading {
public:
    std::optional<FolderConfig> readConfig(const QString &folderPath) const override {
        reads.append(folderPath);
        return configs.value(folderPath);
    }
    QHash<QString, std::optional<FolderConfig>> configs;
    mutable QStringList reads;
};

RepoBinding binding(QString repoId, QString folderPath, std::optional<QByteArray> bookmark = {},
                    bool needsRelink = false) {
    return RepoBinding{repoId,
                       repoId + QStringLiteral("-slug"),
                       repoId + QStringLiteral(" Name"),
                       folderPath,
                       bookmark,
                       needsRelink};
}

QJsonObject validElement() {
    return QJsonObject{{"repoId", "r1"},       {"slug", "s"},          {"displayName", "D"},
                       {"folderPath", "/f/a"}, {"needsRelink", false}, {"bookmark", "AAE="}};
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestBindingStore : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data() {
        QTest::addColumn<QList<RepoBinding>>("bindings");
        QTest::newRow("empty") << QList<RepoBinding>{};
        QTest::newRow("without bookmark") << QList<RepoBinding>{binding("r1", "/home/u/a")};
        QTest::newRow("with bookmark, binary bytes")
            << QList<RepoBinding>{binding("r1", "/a", QByteArray("\x00\xff\x10 =", 5))};
        QTest::newRow("empty bookmark is still a bookmark")
            << QList<RepoBinding>{binding("r1", "/a", QByteArray())};
        QTest::newRow("order, relink, unicode and quotes kept")
            << QList<RepoBinding>{binding("", "/home/u/Ünïcødé \"q\"", {}, true),
                                  binding("r2", "/b", QByteArray("bm")), binding("r3", "/c\\d\n")};
    }
    void roundTrip() {
        QFETCH(QList<RepoBinding>, bindings);
        MemorySettingsStore defaults;
        TableConfigReader reader;
        BindingStore store(defaults, reader);
        store.save(bindings);
        QCOMPARE(store.load(), bindings);
        // The store keeps no copy: a second store over the same defaults reads the same list.
        QCOMPARE(BindingStore(defaults, reader).load(), bindings);
    }

    void storedFormWritesBookmarkOnlyWhenPresent() {
        MemorySettingsStore defaults;
        TableConfigReader reader;
        BindingStore store(defaults, reader);
        store.save({binding("r1", "/a"), binding("r2", "/b", QByteArray("\x01\x02", 2))});
        const QJsonArray array = QJsonDocument::fromJson(*defaults.data("repoBindings")).array();
        QCOMPARE(array.size(), 2);
        QVERIFY(!array[0].toObject().contains("bookmark"));
        QCOMPARE(array[1].toObject().value("bookmark").toString(), QStringLiteral("AQI="));
        QCOMPARE(array[1].toObject().keys(), (QStringList{"bookmark", "displayName", "folderPath",
                                                          "needsRelink", "repoId", "slug"}));
        QVERIFY(!defaults.data("repoBindings")->contains('\n'));
    }

    void idFallsBackToFolderPath() {
        QCOMPARE(binding("", "/x/y").id(), QStringLiteral("/x/y"));
        QCOMPARE(binding("r9", "/x/y").id(), QStringLiteral("r9"));
    }

    void undecodableListReadsEmpty_data() {
        QTest::addColumn<QByteArray>("stored");
        auto arrayWith = [](QJsonObject second) {
            return QJsonDocument(QJsonArray{validElement(), second}).toJson();
        };
        auto without = [](const char *key) {
            QJsonObject object = validElement();
            object.remove(key);
            return object;
        };
        auto with = [](const char *key, QJsonValue value) {
            QJsonObject object = validElement();
            object.insert(key, value);
            return object;
        };
        QTest::newRow("second lacks needsRelink") << arrayWith(without("needsRelink"));
        QTest::newRow("second lacks repoId") << arrayWith(without("repoId"));
        QTest::newRow("second lacks folderPath") << arrayWith(without("folderPath"));
        QTest::newRow("repoId is a number") << arrayWith(with("repoId", 42));
        QTest::newRow("needsRelink is a string") << arrayWith(with("needsRelink", "false"));
        QTest::newRow("displayName is null") << arrayWith(with("displayName", QJsonValue()));
        QTest::newRow("bookmark is a number") << arrayWith(with("bookmark", 7));
        QTest::newRow("bookmark is not Base64") << arrayWith(with("bookmark", "**not base64**"));
        QTest::newRow("element is not an object")
            << QJsonDocument(QJsonArray{validElement(), 3}).toJson();
        QTest::newRow("object instead of array") << QJsonDocument(validElement()).toJson();
        QTest::newRow("not JSON") << QByteArray("[{\"repoId\":");
        QTest::newRow("UTF-16 bytes") << QByteArray("\xff\xfe[\0]\0", 6);
    }
    void undecodableListReadsEmpty() {
        QFETCH(QByteArray, stored);
        MemorySettingsStore defaults;
        TableConfigReader reader;
        defaults.setData("repoBindings", stored);
        QVERIFY(!decodeBindings(stored));
        QCOMPARE(BindingStore(defaults, reader).load(), QList<RepoBinding>{});
        QCOMPARE(*defaults.data("repoBindings"), stored); // nothing rewritten by a load
    }

    void acceptsForeignButValidJson() {
        // Escaped characters, other key order, a null bookmark and unknown keys are fine.
        const QByteArray stored = R"([ {"needsRelink":true,"folderPath":"\/a\u00e9",
            "displayName":"D","slug":"s","repoId":"r","bookmark":null,"extra":1} ])";
        const auto decoded = decodeBindings(stored);
        QVERIFY(decoded);
        const QList<RepoBinding> expected{
            RepoBinding{"r", "s", "D", QStringLiteral("/a\u00e9"), std::nullopt, true}};
        QCOMPARE(*decoded, expected);
    }

    void missingListReadsEmpty() {
        MemorySettingsStore defaults;
        TableConfigReader reader;
        QCOMPARE(BindingStore(defaults, reader).load(), QList<RepoBinding>{});
    }

    void unreadableListIsKeptAsideOnce_data() {
        QTest::addColumn<std::optional<QByteArray>>("stored");
        QTest::addColumn<std::optional<QByteArray>>("existingCopy");
        QTest::addColumn<std::optional<QByteArray>>("expectedCopy");
        const QByteArray garbage("[{\"repoId\":\"r1\"}]");
        const QByteArray valid = encodeBindings({binding("r1", "/a")});
        QTest::newRow("undecodable is copied")
            << std::optional(garbage) << std::optional<QByteArray>() << std::optional(garbage);
        QTest::newRow("an earlier copy is kept")
            << std::optional(garbage) << std::optional(QByteArray("older"))
            << std::optional(QByteArray("older"));
        QTest::newRow("decodable is not copied")
            << std::optional(valid) << std::optional<QByteArray>() << std::optional<QByteArray>();
        QTest::newRow("nothing stored")
            << std::optional<QByteArray>() << std::optional<QByteArray>()
            << std::optional<QByteArray>();
    }
    void unreadableListIsKeptAsideOnce() {
        QFETCH(std::optional<QByteArray>, stored);
        QFETCH(std::optional<QByteArray>, existingCopy);
        QFETCH(std::optional<QByteArray>, expectedCopy);
        MemorySettingsStore defaults;
        TableConfigReader reader;
        if (stored)
            defaults.setData("repoBindings", *stored);
        if (existingCopy)
            defaults.setData("repoBindings.unreadable", *existingCopy);
        BindingStore store(defaults, reader);
        const QList<RepoBinding> next{binding("r2", "/b")};
        store.save(next);
        QCOMPARE(store.load(), next);
        QCOMPARE(defaults.data("repoBindings.unreadable"), expectedCopy);
        // A second save over the now readable list changes nothing about the copy.
        store.save({});
        QCOMPARE(defaults.data("repoBindings.unreadable"), expectedCopy);
    }

    void migration_data() {
        QTest::addColumn<bool>("flagSet");
        QTest::addColumn<QList<RepoBinding>>("stored");
        QTest::addColumn<std::optional<QString>>("legacyPath");
        QTest::addColumn<std::optional<FolderConfig>>("config");
        QTest::addColumn<QList<RepoBinding>>("expected");
        QTest::addColumn<bool>("expectSave");

        const QByteArray bm("legacy-bm");
        const QString path("/home/u/Legacy Folder");
        QTest::newRow("config found")
            << false << QList<RepoBinding>{} << std::optional(path)
            << std::optional(FolderConfig{"rid", "my-slug"})
            << QList<RepoBinding>{RepoBinding{"rid", "my-slug", "my-slug", path, bm, false}}
            << true;
        QTest::newRow("config without slug falls back to repoId")
            << false << QList<RepoBinding>{} << std::optional(path)
            << std::optional(FolderConfig{"rid", "rid"})
            << QList<RepoBinding>{RepoBinding{"rid", "rid", "rid", path, bm, false}} << true;
        QTest::newRow("no config: relink row named after the folder")
            << false << QList<RepoBinding>{} << std::optional(path + "/")
            << std::optional<FolderConfig>()
            << QList<RepoBinding>{RepoBinding{"", "", "Legacy Folder", path + "/", bm, true}}
            << true;
        QTest::newRow("list already non-empty")
            << false << QList<RepoBinding>{binding("r1", "/a")} << std::optional(path)
            << std::optional(FolderConfig{"rid", "s"}) << QList<RepoBinding>{binding("r1", "/a")}
            << false;
        QTest::newRow("empty legacy path")
            << false << QList<RepoBinding>{} << std::optional(QString())
            << std::optional<FolderConfig>() << QList<RepoBinding>{} << false;
        QTest::newRow("no legacy folder")
            << false << QList<RepoBinding>{} << std::optional<QString>()
            << std::optional<FolderConfig>() << QList<RepoBinding>{} << false;
        QTest::newRow("already attempted")
            << true << QList<RepoBinding>{} << std::optional(path)
            << std::optional(FolderConfig{"rid", "s"}) << QList<RepoBinding>{} << false;
    }
    void migration() {
        QFETCH(bool, flagSet);
        QFETCH(QList<RepoBinding>, stored);
        QFETCH(std::optional<QString>, legacyPath);
        QFETCH(std::optional<FolderConfig>, config);
        QFETCH(QList<RepoBinding>, expected);
        QFETCH(bool, expectSave);

        MemorySettingsStore defaults;
        TableConfigReader reader;
        if (legacyPath)
            reader.configs.insert(*legacyPath, config);
        BindingStore store(defaults, reader);
        if (!stored.isEmpty())
            store.save(stored);
        if (flagSet)
            defaults.setBool("repoBindings.migrated", true);
        const QByteArray bm("legacy-bm");

        QCOMPARE(store.loadMigratingLegacy(legacyPath, bm), expected);
        QVERIFY(defaults.boolValue("repoBindings.migrated"));
        QCOMPARE(defaults.data("repoBindings").has_value(), expectSave || !stored.isEmpty());
        QCOMPARE(store.load(), expected);

        // Attempted once for good: even after the list has been emptied nothing comes back.
        store.save({});
        QCOMPARE(store.loadMigratingLegacy(legacyPath, bm), QList<RepoBinding>{});
    }

    void migrationReadsTheRealConfigFile() {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(".orvu/config"), R"({"repoId":"abc"})"));
        MemorySettingsStore defaults;
        FolderConfigReader reader;
        BindingStore store(defaults, reader);
        const auto migrated = store.loadMigratingLegacy(dir.path(), std::nullopt);
        const QList<RepoBinding> expected{
            RepoBinding{"abc", "abc", "abc", dir.path(), std::nullopt, false}};
        QCOMPARE(migrated, expected);
    }

    void folderConfig_data() {
        QTest::addColumn<std::optional<QByteArray>>("content");
        QTest::addColumn<std::optional<FolderConfig>>("expected");
        using C = std::optional<FolderConfig>;
        using B = std::optional<QByteArray>;
        QTest::newRow("missing file") << B() << C();
        QTest::newRow("id and slug")
            << B(R"({"repoId":"r","slug":"s","x":[1]})") << C(FolderConfig{"r", "s"});
        QTest::newRow("no slug: the id") << B(R"({"repoId":"r"})") << C(FolderConfig{"r", "r"});
        QTest::newRow("empty slug stays empty")
            << B(R"({"repoId":"r","slug":""})") << C(FolderConfig{"r", ""});
        QTest::newRow("empty repoId") << B(R"({"repoId":"","slug":"s"})") << C();
        QTest::newRow("no repoId") << B(R"({"slug":"s"})") << C();
        QTest::newRow("repoId is a number") << B(R"({"repoId":42})") << C();
        QTest::newRow("slug is a number") << B(R"({"repoId":"r","slug":1})") << C();
        QTest::newRow("array") << B(R"(["r"])") << C();
        QTest::newRow("not JSON") << B("repoId=r") << C();
        QTest::newRow("empty file") << B("") << C();
    }
    void folderConfig() {
        QFETCH(std::optional<QByteArray>, content);
        QFETCH(std::optional<FolderConfig>, expected);
        QTemporaryDir dir;
        if (content)
            QVERIFY(writeFile(dir.filePath(".orvu/config"), *content));
        QCOMPARE(FolderConfigReader().readConfig(dir.path()), expected);
    }

    void legacyFolder_data() {
        QTest::addColumn<std::optional<QByteArray>>("stored");
        QTest::addColumn<bool>("stale");
        QTest::addColumn<bool>("makeFails");
        QTest::addColumn<std::optional<QString>>("expectedPath");
        QTest::addColumn<std::optional<QByteArray>>("expectedStored");
        using B = std::optional<QByteArray>;
        using S = std::optional<QString>;
        const QByteArray bm = MemoryFolderAccess::bookmarkFor("/legacy");
        QTest::newRow("none") << B() << false << false << S() << B();
        QTest::newRow("unresolvable") << B("junk") << false << false << S() << B("junk");
        QTest::newRow("fresh") << B(bm) << false << false << S("/legacy") << B(bm);
        QTest::newRow("stale is refreshed") << B("old") << true << false << S("/legacy") << B(bm);
        QTest::newRow("stale, refresh fails: old kept")
            << B("old") << true << true << S("/legacy") << B("old");
    }
    void legacyFolder() {
        QFETCH(std::optional<QByteArray>, stored);
        QFETCH(bool, stale);
        QFETCH(bool, makeFails);
        QFETCH(std::optional<QString>, expectedPath);
        QFETCH(std::optional<QByteArray>, expectedStored);
        MemorySettingsStore defaults;
        MemoryFolderAccess access;
        access.addBookmark("old", "/legacy", stale);
        access.setMakeBookmarkFails(makeFails);
        if (stored)
            defaults.setData("folderBookmark", *stored);
        QCOMPARE(Preferences(defaults, access).legacyFolderURL(), expectedPath);
        QCOMPARE(defaults.data("folderBookmark"), expectedStored);
        QVERIFY(access.started().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBindingStore)
#include "test_binding_store.moc"
