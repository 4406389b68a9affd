// The panel's text, count and colour rules as tables; a failing row prints its values.
#include "gui/views/view_rules.h"

#include <QTest>

using namespace orvu;
using namespace orvu::rules;

static std::optional<RemoteStatusInfo> remote(qint64 pull, qint64 remove, qint64 conflicts) {
    return RemoteStatusInfo{pull, remove, conflicts, {}};
}

class TestViewRules : public QObject {
    Q_OBJECT

private slots:
    void repoRow() {
        struct Case {
            SyncState state;
            int pending, selected;
            std::optional<RemoteStatusInfo> remote;
            QString line;
            Tint color;
            QString label;
            std::optional<QString> checkFailure = {};
            bool stopped = false;
        };
        const SyncState idle(SyncState::idle);
        const Case cases[] = {
            {idle, 0, 0, {}, "Up to date", Tint::green, "Sync"},
            {idle, 0, 0, remote(3, 0, 0), "3 files ready to download", Tint::blue,
             "Download 3 files"},
            {idle, 0, 0, remote(1, 0, 0), "1 file ready to download", Tint::blue,
             "Download 1 file"},
            {idle, 2, 1, remote(1, 0, 0), "2 up · 1 down", Tint::blue, "Sync (1 up, 1 down)"},
            {idle, 1, 0, {}, "1 local change", Tint::blue, "Sync"},
            {idle, 0, 0, remote(0, 2, 0), "2 updates", Tint::blue, "Sync (2 updates)"},
            {SyncState::networkError, 0, 0, {}, "Offline", Tint::orange, "Sync"},
            {SyncState::failure("Disk full"), 1, 1, {}, "Disk full", Tint::red, "Sync (1 change)"},
            {SyncState::syncing, 2, 2, {}, "Syncing...", Tint::blue, "Syncing..."},
            {SyncState::notAuthenticated, 0, 0, remote(0, 0, 1), "1 update", Tint::orange,
             "Sync (1 update)"},
            {SyncState::pulling, 0, 0, remote(0, 0, 0), "Up to date", Tint::blue, "Sync"},
            {idle, 1, 1, {}, "Check failed: no store", Tint::red, "Sync (1 change)", "no store"},
            {idle, 2, 0, {}, "Sync stopped · 2 local changes", Tint::blue, "Sync", {}, true},
            {idle, 0, 0, {}, "Sync stopped", Tint::green, "Sync", {}, true},
        };
        for (const Case &c : cases) {
            const RepoValues values{c.state,  c.pending,      c.selected,
                                    c.remote, c.checkFailure, c.stopped};
            QCOMPARE(statusLine(values), c.line);
            QCOMPARE(statusColor(values), c.color);
            QCOMPARE(syncLabel(values), c.label);
        }
    }

    void header() {
        struct Case {
            bool syncing;
            SyncState::Kind aggregate;
            int remote, pending, engines;
            QString text;
            Tint color;
            std::optional<QString> checkFailure = {};
        };
        const Case cases[] = {
            {false, SyncState::noFolder, 0, 0, 0, "No repos", Tint::neutral},
            {false, SyncState::idle, 0, 0, 0, "0 repos · up to date", Tint::green},
            {false, SyncState::idle, 0, 0, 1, "1 repo · up to date", Tint::green},
            {false, SyncState::idle, 0, 1, 1, "1 local change", Tint::green},
            {false, SyncState::idle, 2, 0, 1, "Check failed: gone", Tint::red, "gone"},
            {false, SyncState::idle, 4, 1, 2, "Updates available", Tint::blue},
            {true, SyncState::syncing, 4, 1, 2, "Syncing...", Tint::blue},
            {false, SyncState::pulling, 0, 0, 1, "1 repo · up to date", Tint::blue},
            {false, SyncState::error, 3, 0, 1, "A repo needs attention", Tint::red},
            {false, SyncState::networkError, 0, 0, 1, "Offline", Tint::orange},
            {false, SyncState::notAuthenticated, 1, 0, 1, "Not authenticated", Tint::orange},
        };
        for (const Case &c : cases) {
            QCOMPARE(headerStatusText(c.syncing, c.aggregate, c.remote, c.pending, c.engines,
                                      c.checkFailure),
                     c.text);
            QCOMPARE(headerStatusColor(c.aggregate, c.remote, c.checkFailure.has_value()), c.color);
        }
    }

    void changeMarks() {
        const QList<QPair<QString, QString>> icons{
            {"Photos/IMG_1.JPG", "photo"}, {"notes/readme", "doc"},     {"a.MD", "doc.text"},
            {"clip.mov", "film"},          {"x/y.pdf", "doc.richtext"}, {"a.txt", "doc.plaintext"},
            {"shots.png/raw", "doc"},      {"backup.png.gz", "doc"}};
        for (const auto &[path, symbol] : icons)
            QCOMPARE(changeIcon(path), symbol);
        QCOMPARE(changeLetter(PendingChange::ChangeType::added), (ChangeMark{"A", Tint::green}));
        QCOMPARE(changeLetter(PendingChange::ChangeType::modified),
                 (ChangeMark{"M", Tint::orange}));
        QCOMPARE(changeLetter(PendingChange::ChangeType::deleted), (ChangeMark{"D", Tint::red}));
    }

    void textsAndCounts() {
        QCOMPARE(userDisplayName(std::nullopt, "me@example.com"), "me@example.com");
        QCOMPARE(userDisplayName(QString("me"), "me@example.com"), "@me");
        QCOMPARE(relinkName({}, "/home/me/Notes"), "Notes");
        QCOMPARE(unreadableBindingsNotice(1, "k", "/c.conf"),
                 "1 saved folder could not be read. A copy of the saved list is kept in /c.conf "
                 "as k.");
        QVERIFY(unreadableBindingsNotice(0, "k", "f").startsWith("Your saved folders could not"));
        QCOMPARE(progressText({5, 0, "a", SyncProgress::Phase::pushing}), "Pushing 1 of 5...");
        QCOMPARE(progressText({3, 2, "c", SyncProgress::Phase::pulling}), "Pulling 3 of 3...");
        QCOMPARE(discardAlert("docs/plan.md").title, "Discard change?"); // the body: panel test
    }

    void alerts() {
        const QString conflictIntro = "Both versions will be kept: local files will be renamed "
                                      "with _ prefix (making them private) and server versions "
                                      "will be downloaded.\n";
        QCOMPARE(conflictAlert(SyncPreview{0, 1, 0, 0, 1, {"a.txt"}}),
                 (AlertText{"1 file has conflicts", conflictIntro + "\n  a.txt"}));
        QCOMPARE(conflictAlert(std::nullopt), (AlertText{"0 files have conflicts", {}}));

        const QString deleteIntro = "Deleted on the server since your last sync:\n";
        QCOMPARE(deleteAlert({"only.txt"}),
                 (AlertText{"1 file will be deleted locally", deleteIntro + "\n  only.txt"}));
        QStringList many;
        for (int i = 1; i <= 12; ++i)
            many << QString("c%1").arg(i);
        QVERIFY(conflictAlert(SyncPreview{0, 12, 0, 0, 12, many})
                    .message.endsWith("c10\n  ...and 2 more"));
        // Twelve deletions ("...and 2 more"): the panel test.
        using Change = RemoteChange::ChangeType;
        RemoteStatusInfo info{1, 2, 0, {}};
        info.changes = {{"p", Change::pull}, {"d1", Change::remove}, {"c", Change::conflict}};
        info.changes.append({"d2", Change::remove});
        QCOMPARE(remoteDeletePaths(info), (QStringList{"d1", "d2"}));
        QCOMPARE(remoteDeletePaths(std::nullopt), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestViewRules)
#include "test_view_rules.moc"
