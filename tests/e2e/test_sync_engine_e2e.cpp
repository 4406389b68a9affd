// The sync engine against the offline tool, with real folders on disk.
#include "core/cli/tool_commands.h"
#include "core/sync/sync_engine.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

#include <QCoro/QCoroTask>

#include <memory>

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

QStringList describe(const QList<PendingChange> &changes) {
    QStringList out;
    for (const PendingChange &change : changes)
        out << PendingChange::rawValue(change.changeType) + u':' + change.path;
    return out;
}

} // namespace

class TestSyncEngineE2E : public QObject {
    Q_OBJECT

    std::unique_ptr<OrvuLocalSandbox> m_sandbox;
    std::unique_ptr<SyncEngine> m_engine;
    QString m_folder;

    QString file(const QString &relative) const { return m_folder + u'/' + relative; }

    bool syncToEnd() {
        m_engine->sync(true);
        return QTest::qWaitFor([&] { return !m_engine->isSyncing(); }, 20000);
    }

    void refreshAll() { QCoro::waitFor(m_engine->refreshAll()); }
    void refreshStatus() { QCoro::waitFor(m_engine->refreshStatus()); }

private slots:
    void init() {
        m_sandbox = std::make_unique<OrvuLocalSandbox>();
        QVERIFY(m_sandbox->signIn(QStringLiteral("me@example.com")));
        m_folder = m_sandbox->makeFolder(QStringLiteral("work"));
        QCOMPARE(m_sandbox->orvu(tool::init(m_folder, kSlug, {}, false)).exitCode, 0);
        m_engine = std::make_unique<SyncEngine>(
            SyncEngine::Binding{QString(), kSlug, QStringLiteral("Work"), m_folder}, m_folder,
            CLIRunner(ToolLocation{m_sandbox->toolDirectory(), {}}));
    }
    void cleanup() {
        if (m_engine)
            m_engine->stop();
        m_engine.reset();
        m_sandbox.reset();
    }

    // A manual run pushes everything and leaves the folder clean; local edits then show up
    // without anybody asking for a refresh; a file new on the server is pulled, and one changed
    // on both sides is kept twice.
    void pushEditPullAndConflict() {
        for (const char *name : {"shared.txt", "b/c.txt", "d.txt"})
            QVERIFY(writeFile(file(name), "base"));
        refreshAll();
        QCOMPARE(m_engine->pendingChanges().size(), 3);
        QList<SyncResult> completions;
        m_engine->setOnManualSyncComplete([&](const SyncResult &r) { completions << r; });
        QVERIFY(syncToEnd());
        QCOMPARE(m_engine->state(), SyncState(SyncState::idle));
        QCOMPARE(completions.size(), 1);
        QCOMPARE(completions.first().pushed, 3);
        QCOMPARE(m_engine->lastFileChanges().size(), 3);
        QVERIFY(m_engine->pendingChanges().isEmpty());
        QCOMPARE(m_engine->remoteStatus()->toPull, 0); // refilled by the full refresh
        const auto status = m_sandbox->orvu(tool::status(m_folder));
        QCOMPARE(status.exitCode, 0);
        QVERIFY(status.lines().first().value("changes").toArray().isEmpty());

        m_engine->start();
        QVERIFY(writeFile(file("docs/new.md"), "new"));
        QVERIFY(QTest::qWaitFor([&] { return m_engine->pendingChanges().size() == 1; }, 8000));
        QCOMPARE(describe(m_engine->pendingChanges()), QStringList{"added:docs/new.md"});
        QVERIFY(m_engine->allSelected());
        QVERIFY(QFile::remove(file("docs/new.md")));
        QVERIFY(QFile::remove(file("d.txt")));
        QVERIFY(QTest::qWaitFor(
            [&] { return describe(m_engine->pendingChanges()) == QStringList{"deleted:d.txt"}; },
            8000));

        QCOMPARE(m_sandbox->admin({"put", kSlug, "from-server.txt"}, "hello").exitCode, 0);
        QCOMPARE(m_sandbox->admin({"put", kSlug, "shared.txt"}, "server side").exitCode, 0);
        QVERIFY(writeFile(file("shared.txt"), "local side"));
        QVERIFY(writeFile(file("other.txt"), "other"));
        refreshAll();
        QCOMPARE(m_engine->remoteStatus()->conflicts, 1);
        QCOMPARE(m_engine->remoteStatus()->toPull, 1);
        const auto &changes = m_engine->remoteStatus()->changes;
        QVERIFY(changes.contains(RemoteChange{"from-server.txt", RemoteChange::ChangeType::pull}));

        const std::optional<SyncPreview> preview = QCoro::waitFor(m_engine->preview());
        QVERIFY(preview.has_value());
        QCOMPARE(preview->conflictFiles, QStringList{"shared.txt"});
        QVERIFY(syncToEnd());
        QCOMPARE(m_engine->state(), SyncState(SyncState::idle));
        // The preview matched the run that followed it.
        QCOMPARE(m_engine->lastSyncResult()->pushed, preview->toPush);
        QCOMPARE(m_engine->lastSyncResult()->pulled, preview->toPull);
        QCOMPARE(readFile(file("from-server.txt")), QByteArray("hello"));
        QCOMPARE(m_engine->lastConflicts().size(), preview->conflicts);
        const ConflictRename conflict = m_engine->lastConflicts().first();
        QCOMPARE(conflict.original, QStringLiteral("shared.txt"));
        const QByteArrayList versions{readFile(file("shared.txt")),
                                      readFile(file(conflict.renamedTo))};
        QVERIFY(versions.contains("server side"));
        QVERIFY(versions.contains("local side"));
    }
};

QTEST_GUILESS_MAIN(TestSyncEngineE2E)
#include "test_sync_engine_e2e.moc"
