// The panel's text, count and colour rules as tables.
#include "gui/views/view_rules.h"

#include <QTest>

using namespace orvu;
using namespace orvu::rules;

Q_DECLARE_METATYPE(orvu::SyncState)
Q_DECLARE_METATYPE(orvu::rules::Tint)

namespace {

std::optional<RemoteStatusInfo> remote(qint64 pull, qint64 remove, qint64 conflicts) {
    return RemoteStatusInfo{pull, remove, conflicts, {}};
}

} // namespace

class TestViewRules : public QObject {
    Q_OBJECT

private slots:
    void repoRow_data() {
        QTest::addColumn<SyncState>("state");
        QTest::addColumn<int>("pending");
        QTest::addColumn<int>("selected");
        QTest::addColumn<std::optional<RemoteStatusInfo>>("remoteStatus");
        QTest::addColumn<QString>("line");
        QTest::addColumn<Tint>("color");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("work");
        const SyncState idle(SyncState::idle);
        const std::optional<RemoteStatusInfo> none;
        QTest::newRow("up to date")
            << idle << 0 << 0 << none << "Up to date" << Tint::green << "Sync" << false;
        QTest::newRow("remote, all zero")
            << idle << 0 << 0 << remote(0, 0, 0) << "Up to date" << Tint::green << "Sync" << false;
        QTest::newRow("3 to pull")
            << idle << 0 << 0 << remote(3, 0, 0) << "3 files ready to download" << Tint::blue
            << "Download 3 files" << true;
        QTest::newRow("1 to pull")
            << idle << 0 << 0 << remote(1, 0, 0) << "1 file ready to download" << Tint::blue
            << "Download 1 file" << true;
        QTest::newRow("2 up 1 down") << idle << 2 << 1 << remote(1, 0, 0) << "2 up · 1 down"
                                     << Tint::blue << "Sync (1 up, 1 down)" << true;
        QTest::newRow("1 local, none selected")
            << idle << 1 << 0 << none << "1 local change" << Tint::blue << "Sync" << true;
        QTest::newRow("3 local, all selected") << idle << 3 << 3 << none << "3 local changes"
                                               << Tint::blue << "Sync (3 changes)" << true;
        QTest::newRow("remote deletions") << idle << 0 << 0 << remote(0, 2, 0) << "2 updates"
                                          << Tint::blue << "Sync (2 updates)" << true;
        QTest::newRow("pull and conflict") << idle << 0 << 0 << remote(1, 0, 1) << "2 updates"
                                           << Tint::blue << "Sync (2 updates)" << true;
        QTest::newRow("offline") << SyncState(SyncState::networkError) << 0 << 0 << none
                                 << "Offline" << Tint::orange << "Sync" << false;
        QTest::newRow("error keeps work") << SyncState::failure("Disk full") << 1 << 1 << none
                                          << "Disk full" << Tint::red << "Sync (1 change)" << true;
        QTest::newRow("syncing") << SyncState(SyncState::syncing) << 2 << 2 << none << "Syncing..."
                                 << Tint::blue << "Syncing..." << true;
        QTest::newRow("signed out, remote")
            << SyncState(SyncState::notAuthenticated) << 0 << 0 << remote(0, 0, 1) << "1 update"
            << Tint::orange << "Sync (1 update)" << true;
        QTest::newRow("pulling") << SyncState(SyncState::pulling) << 0 << 0 << none << "Up to date"
                                 << Tint::blue << "Sync" << false;
    }
    void repoRow() {
        QFETCH(SyncState, state);
        QFETCH(int, pending);
        QFETCH(int, selected);
        QFETCH(std::optional<RemoteStatusInfo>, remoteStatus);
        const RepoValues values{state, pending, selected, remoteStatus};
        QTEST(statusLine(values), "line");
        QTEST(statusColor(values), "color");
        QTEST(syncLabel(values), "label");
        QTEST(hasWork(values), "work");
    }

    void header_data() {
        QTest::addColumn<bool>("syncing");
        QTest::addColumn<int>("aggregate");
        QTest::addColumn<int>("remoteTotal");
        QTest::addColumn<int>("pendingTotal");
        QTest::addColumn<int>("engines");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Tint>("color");
        QTest::newRow("no bindings")
            << false << int(SyncState::noFolder) << 0 << 0 << 0 << "No repos" << Tint::orange;
        QTest::newRow("only stale") << false << int(SyncState::idle) << 0 << 0 << 0
                                    << "0 repos · up to date" << Tint::green;
        QTest::newRow("one engine")
            << false << int(SyncState::idle) << 0 << 0 << 1 << "1 repo · up to date" << Tint::green;
        QTest::newRow("two engines") << false << int(SyncState::idle) << 0 << 0 << 2
                                     << "2 repos · up to date" << Tint::green;
        QTest::newRow("one pending")
            << false << int(SyncState::idle) << 0 << 1 << 1 << "1 local changes" << Tint::green;
        QTest::newRow("remote waits")
            << false << int(SyncState::idle) << 4 << 1 << 2 << "Updates available" << Tint::blue;
        QTest::newRow("syncing") << true << int(SyncState::syncing) << 4 << 1 << 2 << "Syncing..."
                                 << Tint::blue;
        QTest::newRow("pulling only") << false << int(SyncState::pulling) << 0 << 0 << 1
                                      << "1 repo · up to date" << Tint::blue;
        QTest::newRow("error") << false << int(SyncState::error) << 3 << 0 << 1
                               << "A repo needs attention" << Tint::red;
        QTest::newRow("offline") << false << int(SyncState::networkError) << 0 << 0 << 1
                                 << "Offline" << Tint::orange;
        QTest::newRow("signed out") << false << int(SyncState::notAuthenticated) << 0 << 0 << 1
                                    << "Not authenticated" << Tint::orange;
    }
    void header() {
        QFETCH(bool, syncing);
        QFETCH(int, aggregate);
        QFETCH(int, remoteTotal);
        QFETCH(int, pendingTotal);
        QFETCH(int, engines);
        const auto kind = SyncState::Kind(aggregate);
        QTEST(headerStatusText(syncing, kind, remoteTotal, pendingTotal, engines), "text");
        QTEST(headerStatusColor(kind, remoteTotal), "color");
    }

    void changeIcons_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("upper-case photo") << "Photos/IMG_1.JPG"
                                          << "photo";
        QTest::newRow("no extension") << "notes/readme"
                                      << "doc";
        QTest::newRow("markdown") << "a.MD"
                                  << "doc.text";
        QTest::newRow("film") << "clip.mov"
                              << "film";
        QTest::newRow("pdf") << "x/y.pdf"
                             << "doc.richtext";
        QTest::newRow("text") << "a.txt"
                              << "doc.plaintext";
        QTest::newRow("last extension") << "backup.png.gz"
                                        << "doc";
        QTest::newRow("folder extension") << "shots.png/raw"
                                          << "doc";
    }
    void changeIcons() {
        QFETCH(QString, path);
        QTEST(changeIcon(path), "symbol");
    }

    void textsAndCounts() {
        QCOMPARE(changeLetter(PendingChange::ChangeType::added), (ChangeMark{"A", Tint::green}));
        QCOMPARE(changeLetter(PendingChange::ChangeType::modified),
                 (ChangeMark{"M", Tint::orange}));
        QCOMPARE(changeLetter(PendingChange::ChangeType::deleted), (ChangeMark{"D", Tint::red}));
        QCOMPARE(userDisplayName(std::nullopt, "me@example.com"), "me@example.com");
        QCOMPARE(userDisplayName(QString("me"), "me@example.com"), "@me");
        QCOMPARE(relinkName({}, "/home/me/Notes"), "Notes");
        QCOMPARE(relinkName("Team", "/home/me/Notes"), "Team");
        QCOMPARE(progressText({5, 0, "a", SyncProgress::Phase::pushing}), "Pushing 1 of 5...");
        QCOMPARE(progressText({3, 2, "c", SyncProgress::Phase::pulling}), "Pulling 3 of 3...");
        QCOMPARE(progressFraction({0, 0, {}, SyncProgress::Phase::pushing}), 0.0);
        QCOMPARE(pendingFooterText(50, 50), QString());
        QCOMPARE(pendingFooterText(57, 50), "and 7 more...");
        QCOMPARE(discardAlert("docs/plan.md"),
                 (AlertText{"Discard change?", "Revert \"plan.md\" to its last synced state. This "
                                               "cannot be undone."}));
        QCOMPARE(removeRepoAlert("Notes").title, "Remove Notes?");
    }

    void alerts() {
        const QString conflictIntro = "Both versions will be kept: local files will be renamed "
                                      "with _ prefix (making them private) and server versions "
                                      "will be downloaded.\n";
        QCOMPARE(conflictAlert(SyncPreview{0, 1, 0, 0, 1, {"a.txt"}}),
                 (AlertText{"1 file has conflicts", conflictIntro + "\n  a.txt"}));
        QCOMPARE(conflictAlert(SyncPreview{0, 2, 0, 0, 2, {"a", "b/c"}}),
                 (AlertText{"2 files have conflicts", conflictIntro + "\n  a\n  b/c"}));
        QCOMPARE(conflictAlert(std::nullopt), (AlertText{"0 files have conflicts", {}}));

        const QString deleteIntro =
            "These files were deleted on the server and will be removed locally:\n";
        QCOMPARE(deleteAlert({"only.txt"}),
                 (AlertText{"1 file will be deleted locally", deleteIntro + "\n  only.txt"}));
        QStringList twelve;
        QString listed;
        for (int i = 1; i <= 12; ++i) {
            twelve << QString("f%1").arg(i);
            if (i <= 10)
                listed += QString("\n  f%1").arg(i);
        }
        QCOMPARE(deleteAlert(twelve), (AlertText{"12 files will be deleted locally",
                                                 deleteIntro + listed + "\n  ...and 2 more"}));
        RemoteStatusInfo info{1,
                              2,
                              0,
                              {{"p", RemoteChange::ChangeType::pull},
                               {"d1", RemoteChange::ChangeType::remove},
                               {"c", RemoteChange::ChangeType::conflict},
                               {"d2", RemoteChange::ChangeType::remove}}};
        QCOMPARE(remoteDeletePaths(info), (QStringList{"d1", "d2"}));
        QCOMPARE(remoteDeletePaths(std::nullopt), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestViewRules)
#include "test_view_rules.moc"
