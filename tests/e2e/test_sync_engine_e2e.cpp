// The sync engine against the offline tool, with real folders on disk.
#include "core/cli/tool_commands.h"
#include "core/sync/sync_engine.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTest>

#include <QCoro/QCoroTask>

using namespace orvu;
using orvu::test::OrvuLocalSandbox;

namespace {

const QString kSlug = QStringLiteral("work");

bool writeFile(const QString &path, const QByteArray &content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool syncToEnd(SyncEngine &engine) {
    engine.sync(true);
    return QTest::qWaitFor([&] { return !engine.isSyncing(); }, 20000);
}

QStringList describe(const QList<PendingChange> &changes) {
    QStringList out;
    for (const PendingChange &change : changes)
        out << PendingChange::rawValue(change.changeType) + u':' + change.path;
    return out;
}

} // namespace

class TestSyncEngineE2E : public QObject {
    Q_OBJECT

private slots:
    // A manual run pushes everything and leaves the folder clean; local edits then show up
    // without anybody asking for a refresh; a file new on the server is pulled, and one changed
    // on both sides is kept twice.
    void pushEditPullAndConflict() {
        OrvuLocalSandbox sandbox;
        QVERIFY(sandbox.signIn(QStringLiteral("me@example.com")));
        const QString folder = sandbox.makeFolder(QStringLiteral("work"));
        QCOMPARE(sandbox.orvu(tool::init(folder, kSlug, {}, false)).exitCode, 0);
        SyncEngine engine(SyncEngine::Binding{QString(), kSlug, QStringLiteral("Work"), folder},
                          folder, CLIRunner(ToolLocation{sandbox.toolDirectory(), {}}));
        const auto stop = qScopeGuard([&] { engine.stop(); });
        const auto file = [&](const QString &relative) { return folder + u'/' + relative; };

        for (const char *name : {"shared.txt", "b/c.txt", "d.txt"})
            QVERIFY(writeFile(file(name), "base"));
        QCoro::waitFor(engine.refreshAll());
        QCOMPARE(engine.pendingChanges().size(), 3);
        QList<SyncResult> completions;
        engine.setOnManualSyncComplete([&](const SyncResult &r) { completions << r; });
        QVERIFY(syncToEnd(engine));
        QCOMPARE(engine.state(), SyncState(SyncState::idle));
        QCOMPARE(completions.size(), 1);
        QCOMPARE(completions.first().pushed, 3);
        QCOMPARE(engine.lastFileChanges().size(), 3);
        QVERIFY(engine.pendingChanges().isEmpty());
        QCOMPARE(engine.remoteStatus()->toPull, 0); // refilled by the full refresh
        const auto status = sandbox.orvu(tool::status(folder));
        QCOMPARE(status.exitCode, 0);
        QVERIFY(status.lines().first().value("changes").toArray().isEmpty());

        engine.start();
        // The tree is walked off the main thread; an edit made before its watches exist is
        // only seen by a later refresh.
        QVERIFY(QTest::qWaitFor([&] { return engine.fileWatcher()->isArmed(); }, 8000));
        QVERIFY(writeFile(file("docs/new.md"), "new"));
        QVERIFY(QTest::qWaitFor([&] { return engine.pendingChanges().size() == 1; }, 8000));
        QCOMPARE(describe(engine.pendingChanges()), QStringList{"added:docs/new.md"});
        QVERIFY(engine.allSelected());
        QVERIFY(QFile::remove(file("docs/new.md")));
        QVERIFY(QFile::remove(file("d.txt")));
        QVERIFY(QTest::qWaitFor(
            [&] { return describe(engine.pendingChanges()) == QStringList{"deleted:d.txt"}; },
            8000));

        QCOMPARE(sandbox.admin({"put", kSlug, "from-server.txt"}, "hello").exitCode, 0);
        QCOMPARE(sandbox.admin({"put", kSlug, "shared.txt"}, "server side").exitCode, 0);
        QVERIFY(writeFile(file("shared.txt"), "local side"));
        QVERIFY(writeFile(file("other.txt"), "other"));
        QCoro::waitFor(engine.refreshAll());
        QCOMPARE(engine.remoteStatus()->conflicts, 1);
        QCOMPARE(engine.remoteStatus()->toPull, 1);
        const auto &changes = engine.remoteStatus()->changes;
        QVERIFY(changes.contains(RemoteChange{"from-server.txt", RemoteChange::ChangeType::pull}));

        const std::optional<SyncPreview> preview = QCoro::waitFor(engine.preview());
        QVERIFY(preview.has_value());
        QCOMPARE(preview->conflictFiles, QStringList{"shared.txt"});
        QVERIFY(syncToEnd(engine));
        QCOMPARE(engine.state(), SyncState(SyncState::idle));
        // The preview matched the run that followed it.
        QCOMPARE(engine.lastSyncResult()->pushed, preview->toPush);
        QCOMPARE(engine.lastSyncResult()->pulled, preview->toPull);
        QCOMPARE(readFile(file("from-server.txt")), QByteArray("hello"));
        QCOMPARE(engine.lastConflicts().size(), preview->conflicts);
        const ConflictRename conflict = engine.lastConflicts().first();
        QCOMPARE(conflict.original, QStringLiteral("shared.txt"));
        const QByteArrayList versions{readFile(file("shared.txt")),
                                      readFile(file(conflict.renamedTo))};
        QVERIFY(versions.contains("server side"));
        QVERIFY(versions.contains("local side"));
    }
};

QTEST_GUILESS_MAIN(TestSyncEngineE2E)
#include "test_sync_engine_e2e.moc"
