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

namespace {

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
        FolderConfigReader reader;
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
        FolderConfigReader reader;
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

    // The legacy single folder becomes the first binding, once, named by its config file.
    void migration_data() {
        QTest::addColumn<QString>("setup");    // "listed", "attempted", "no folder"
        QTest::addColumn<Bytes>("config");     // the legacy folder's .orvu/config
        QTest::addColumn<QString>("expected"); // "id slug", "relink", "listed" or nothing
        const Bytes good(R"({"repoId":"rid","slug":"my-slug","x":[1]})");
        QTest::newRow("config found") << "" << good << "rid my-slug";
        QTest::newRow("no slug: the id") << "" << Bytes(R"({"repoId":"rid"})") << "rid rid";
        QTest::newRow("no config: relink row named after the folder") << "" << Bytes() << "relink";
        QTest::newRow("empty repoId") << "" << Bytes(R"({"repoId":"","slug":"s"})") << "relink";
        QTest::newRow("repoId is a number") << "" << Bytes(R"({"repoId":42})") << "relink";
        QTest::newRow("config not JSON") << "" << Bytes("repoId=r") << "relink";
        QTest::newRow("list already non-empty") << "listed" << good << "listed";
        QTest::newRow("no legacy folder") << "no folder" << good << "";
        QTest::newRow("already attempted") << "attempted" << good << "";
    }
    void migration() {
        QFETCH(QString, setup);
        QFETCH(Bytes, config);
        QFETCH(QString, expected);
        QTemporaryDir home;
        const QString folder = home.filePath("Legacy Folder/"); // the slash still names it
        if (config) {
            QVERIFY(QDir().mkpath(folder + ".orvu"));
            QFile file(folder + ".orvu/config");
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(*config) == config->size());
        }
        MemorySettingsStore defaults;
        FolderConfigReader reader;
        BindingStore store(defaults, reader);
        const Bindings listed{binding("r1", "/a")};
        if (setup == "listed")
            store.save(listed);
        defaults.setBool("repoBindings.migrated", setup == "attempted");
        const QByteArray bm("legacy-bm");
        const QStringList ids = expected.split(u' ');
        const Bindings result =
            setup == "listed"      ? listed
            : expected == "relink" ? Bindings{{"", "", "Legacy Folder", folder, bm, true}}
            : ids.size() == 2      ? Bindings{{ids[0], ids[1], ids[1], folder, bm, false}}
                                   : Bindings{};
        const auto legacy = setup == "no folder" ? std::nullopt : std::optional(folder);

        QCOMPARE(store.loadMigratingLegacy(legacy, bm), result);
        QVERIFY(defaults.boolValue("repoBindings.migrated"));
        QCOMPARE(defaults.data("repoBindings").has_value(), !result.isEmpty());
        QCOMPARE(store.load(), result);

        // Attempted once for good: even after the list has been emptied nothing comes back.
        store.save({});
        QCOMPARE(store.loadMigratingLegacy(legacy, bm), Bindings{});
    }
};

QTEST_GUILESS_MAIN(TestBindingStore)
#include "test_binding_store.moc"
