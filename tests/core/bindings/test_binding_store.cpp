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

const QByteArray kGood = R"({"repoId":"r1","slug":"s","displayName":"D","folderPath":"/a",
                             "needsRelink":false,"bookmark":"AAE="})";
const QByteArray kGood2 = R"({"repoId":"r2","slug":"s","displayName":"D","folderPath":"/b",
                              "needsRelink":true})";

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

    // Entry by entry: good ones load, and a value that could not be read in full, whatever its
    // kind, is copied aside (once, and told once) before anything replaces it. Nothing is
    // rewritten while the content stays the same.
    void damagedListsLoseNothing_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QStringList>("loaded"); // repo ids
        QTest::addColumn<int>("unreadable");     // -1: nothing to tell
        const auto list = [](const QByteArray &entries) { return QVariant("[" + entries + "]"); };
        QTest::newRow("nothing stored") << QVariant() << QStringList{} << -1;
        QTest::newRow("readable, spaced")
            << list(kGood + " , " + kGood2) << QStringList{"r1", "r2"} << -1;
        QTest::newRow("as text") << QVariant(QString(list(kGood2).toByteArray()))
                                 << QStringList{"r2"} << -1;
        QTest::newRow("one lacks needsRelink")
            << list(QByteArray(kGood2).replace(R"("needsRelink":true)", R"("x":1)") + "," + kGood)
            << QStringList{"r1"} << 1;
        QTest::newRow("bad Base64, a number, an array")
            << list(QByteArray(kGood).replace("AAE=", "**") + ",7,[" + kGood + "]," + kGood2)
            << QStringList{"r2"} << 3;
        QTest::newRow("cut short") << QVariant(list(kGood + "," + kGood2).toByteArray().chopped(9))
                                   << QStringList{"r1"} << 1;
        QTest::newRow("strings with brackets, junk after")
            << QVariant(list(QByteArray(kGood).replace("/a", R"(/a],\"{[)")).toByteArray() + "x")
            << QStringList{"r1"} << 0;
        QTest::newRow("random bytes")
            << QVariant(QByteArray("\x93\x01{]\xff", 5)) << QStringList{} << 0;
        QTest::newRow("a list of strings")
            << QVariant(QStringList{"[{", "}]"}) << QStringList{} << 0;
    }
    void damagedListsLoseNothing() {
        QFETCH(QVariant, stored);
        QFETCH(QStringList, loaded);
        QFETCH(int, unreadable);
        MemorySettingsStore defaults;
        FolderConfigReader reader;
        defaults.setValue("repoBindings", stored);
        BindingStore store(defaults, reader);
        QStringList ids;
        for (const RepoBinding &binding : store.load())
            ids.append(binding.repoId);
        QCOMPARE(ids, loaded);
        store.save(store.load()); // what a start does with an unchanged list
        const bool kept = unreadable >= 0 || stored.typeId() == QMetaType::QString;
        QCOMPARE(defaults.value("repoBindings"),
                 kept ? QVariant(encodeBindings(store.load())) : stored);
        const auto told = store.takeUnreadableNotice();
        QCOMPARE(told.has_value(), unreadable >= 0);
        if (told)
            QCOMPARE(*told, (UnreadableBindings{unreadable, "io.orvu.tray.repoBindings.unreadable",
                                                defaults.location()}));
        QCOMPARE(store.takeUnreadableNotice(), std::nullopt);
        const QVariant copy = kept ? stored : QVariant();
        QCOMPARE(defaults.value("repoBindings.unreadable"), copy);
        store.save({binding("r3", "/c")});
        QCOMPARE(store.load(), Bindings{binding("r3", "/c")});
        // A later, different damage gets a copy of its own.
        defaults.setData("repoBindings", "garbage");
        store.save({});
        QCOMPARE(defaults.value("repoBindings.unreadable"),
                 copy.isValid() ? copy : QVariant(QByteArray("garbage")));
        QCOMPARE(defaults.data("repoBindings.unreadable.2").has_value(), copy.isValid());
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
