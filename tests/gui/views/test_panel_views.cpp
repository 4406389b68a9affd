// The panel against real engines on the offline tool.
#include "core/account/auth_manager.h"
#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/cli/tool_commands.h"
#include "core/platform/memory_folder_access.h"
#include "core/platform/memory_settings_store.h"
#include "core/repos/add_repo_model.h"
#include "core/repos/stub_repo_cli.h"
#include "core/sync/sync_engine.h"
#include "gui/account/auth_window.h"
#include "gui/repos/add_repo_window.h"
#include "gui/views/panel_controls.h"
#include "gui/views/pending_change_row_view.h"
#include "gui/views/pending_changes_list_view.h"
#include "gui/views/popover_content_view.h"
#include "gui/views/repo_row_view.h"
#include "gui/views/signed_in_multi_repo_view.h"
#include "gui/views/sync_button_view.h"
#include "gui/views/view_services.h"
#include "gui/views/view_style.h"
#include "support/quiesce/child_processes.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTest>

#include <QCoro/QCoroTask>

using namespace orvu;

namespace {

bool writeFile(const QString &path, const QByteArray &content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `window` fits its screen, shows every text whole and readable (WCAG AA, 4.5:1) and keeps every
// control 24 px high or more.
void checkFits(QWidget *window) {
    const QColor ground = window->palette().color(QPalette::Window);
    const QSize screen = window->screen()->availableGeometry().size();
    QVERIFY(window->width() <= screen.width() && window->height() <= screen.height());
    for (QWidget *w : window->findChildren<QWidget *>()) {
        const auto *label = qobject_cast<QLabel *>(w);
        const bool control =
            (qobject_cast<QAbstractButton *>(w) && !qobject_cast<QCheckBox *>(w)) ||
            qobject_cast<QLineEdit *>(w);
        const QByteArray what = (label ? label->text() : w->accessibleName()).toUtf8();
        if (!w->isVisibleTo(window))
            continue;
        QVERIFY2(!control || w->height() >= 24, what);
        if (label && label->isEnabled())
            QVERIFY2(style::contrast(label->palette().color(QPalette::WindowText), ground) >= 4.5,
                     what);
        if (qobject_cast<ProminentButton *>(w))
            QVERIFY(style::contrast(style::accentText(window->palette()),
                                    style::accentFill(window->palette())) >= 4.5);
        if (label && label->wordWrap())
            QVERIFY2(w->height() >= label->heightForWidth(w->width()), what);
        else if ((label && !label->text().isEmpty()) || control || qobject_cast<ElidedLabel *>(w))
            QVERIFY2(w->width() >= w->sizeHint().width(), what);
        bool scrolls = false; // else it must lie inside the window
        for (QWidget *up = w->parentWidget(); up != window; up = up->parentWidget())
            scrolls = scrolls || up->inherits("QAbstractScrollArea");
        QVERIFY2(scrolls || window->rect().contains(QRect(w->mapTo(window, QPoint()), w->size())),
                 what);
    }
}

} // namespace

class TestPanelViews : public QObject {
    Q_OBJECT

    std::unique_ptr<test::OrvuLocalSandbox> m_sandbox;
    MemorySettingsStore m_defaults;
    MemoryFolderAccess m_access;
    FolderConfigReader m_reader;
    std::shared_ptr<StubRepoCLI> m_repos = std::make_shared<StubRepoCLI>();
    std::unique_ptr<SyncCoordinator> m_coordinator;
    std::unique_ptr<AuthManager> m_auth;
    std::unique_ptr<PopoverContentView> m_panel;
    QList<RepoBinding> m_bindings;
    int m_addRepoCalls = 0;

    RepoBinding bindFolder(const QString &slug) {
        const QString folder = m_sandbox->makeFolder(slug);
        m_sandbox->orvu(tool::init(folder, slug, {}, false));
        return RepoBinding{"id-" + slug, slug, slug.toUpper(), folder, {}, false};
    }
    SyncEngine *engine(int index = 0) const { return m_coordinator->engines().value(index); }
    RepoRowView *row(int index = 0) const {
        return m_panel->signedInView()->repoRows().value(index);
    }
    QString file(const QString &name) const { return m_bindings[0].folderPath + u'/' + name; }
    void refreshAll() { QCoro::waitFor(engine()->refreshAll()); }
    bool syncToEnd() {
        engine()->sync(true);
        return QTest::qWaitFor([&] { return !engine()->isSyncing(); }, 20000);
    }

private slots:
    void init() {
        m_sandbox = std::make_unique<test::OrvuLocalSandbox>();
        QVERIFY(m_sandbox->signIn("me@example.com"));
        m_coordinator = std::make_unique<SyncCoordinator>(
            BindingStore(m_defaults, m_reader), m_repos, Preferences(m_defaults, m_access),
            m_access, CLIRunner(ToolLocation{m_sandbox->toolDirectory(), {}}));
        m_auth = std::make_unique<AuthManager>(nullptr, std::make_shared<MemorySettingsStore>(),
                                               std::nullopt);
        m_auth->applySignedIn("me@example.com", QString("me"));
        m_bindings = {bindFolder("work")};
        m_coordinator->apply(m_bindings);
        m_panel = std::make_unique<PopoverContentView>(
            *m_auth, *m_coordinator,
            PopoverCallbacks{
                {}, [this] { ++m_addRepoCalls; }, [this] { m_auth->clearSignIn(); }, {}, {}});
        m_panel->show();
        QTRY_VERIFY(engine()->remoteStatus().has_value());
    }
    void cleanup() {
        m_panel.reset();
        m_coordinator.reset();
        test::waitForToolRunsToEnd();
        m_sandbox.reset(); // before the next one saves the environment
    }

    // Deletions are asked about after a confirmed conflict, and alone when the dry run fails.
    void syncButtonAsksFirst_data() {
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QString>("messageEnd");
        const QString one = "1 file will be deleted locally";
        QTest::newRow("conflict") << QStringList{"1 file has conflicts", one} << "\n\n  shared.txt";
        QTest::newRow("delete") << QStringList{"12 files will be deleted locally"}
                                << "\n  ...and 2 more";
        QTest::newRow("offline") << QStringList{one} << "\n  gone.txt";
    }
    void syncButtonAsksFirst() {
        const QString setup = QTest::currentDataTag();
        QFETCH(QStringList, titles);
        QFETCH(QString, messageEnd);
        QStringList names{"shared.txt"}; // all but the first are deleted on the server
        for (int i = 1; i <= (setup == "delete" ? 12 : 0); ++i)
            names << QString("f%1.txt").arg(i, 2, 10, QChar('0'));
        if (setup != "delete")
            names << "gone.txt";
        for (const QString &name : names)
            QVERIFY(writeFile(file(name), "base"));
        refreshAll();
        QVERIFY(syncToEnd());
        for (const QString &name : names.mid(1))
            QCOMPARE(m_sandbox->admin({"rm", "work", name}).exitCode, 0);
        if (setup != "delete") {
            QCOMPARE(m_sandbox->admin({"put", "work", "shared.txt"}, "server").exitCode, 0);
            QVERIFY(writeFile(file("shared.txt"), "local"));
        }
        refreshAll();
        if (setup == "offline")
            QCOMPARE(m_sandbox->admin({"offline", "on"}).exitCode, 0);

        Alerts &alerts = m_panel->services().alerts;
        alerts.answerWith(true);
        SyncButtonView *button = row()->syncButton();
        button->handleSyncTap();
        if (setup != "delete") { // the dry run is under way
            QCOMPARE(button->button()->text(), "Checking...");
            QVERIFY(!button->button()->isEnabled());
        }
        QTRY_VERIFY(!button->isCheckingPreview() && !engine()->isSyncing());
        QStringList asked;
        for (const auto &alert : alerts.asked())
            asked << alert.title;
        QCOMPARE(asked, titles);
        QVERIFY(alerts.asked()[0].message.endsWith(messageEnd));
        if (setup == "offline")
            QCOMPARE(row()->statusLabel()->text(), "Offline"); // it did try to sync
        else
            QVERIFY(!QFileInfo::exists(file(names.last())));
        if (setup == "conflict")
            QCOMPARE(readFile(file("shared.txt")), "server");
    }

    void pendingListShowsFiftyRows_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("footer");
        QTest::newRow("50") << 50 << QString();
        QTest::newRow("57") << 57 << "and 7 more...";
    }
    void pendingListShowsFiftyRows() {
        QFETCH(int, count);
        QFETCH(QString, footer);
        for (int i = 0; i < count; ++i)
            QVERIFY(writeFile(file(QString("f%1.txt").arg(i, 2, 10, QChar('0'))), "x"));
        refreshAll();
        QTest::mouseClick(row()->expandButton(), Qt::LeftButton);
        PendingChangesListView *list = row()->changesList();
        QTest::qWait(20); // laid out
        QVERIFY(list && list->isVisible());
        QCOMPARE(list->rows().size(), std::min(count, 50));
        QCOMPARE(list->findChild<QLabel *>()->text(), QString("Changes (%1)").arg(count));
        QCOMPARE(list->footer()->isVisibleTo(list), !footer.isEmpty());
        QCOMPARE(list->footer()->text(), footer);
        QCOMPARE(list->rows().last()->change().path,
                 QString("f%1.txt").arg(std::min(count, 50) - 1, 2, 10, QChar('0')));
        // Select All covers the changes beyond the rows too.
        QCOMPARE(list->selectAllButton()->text(), "Deselect All");
        QTest::mouseClick(list->selectAllButton(), Qt::LeftButton);
        QVERIFY(engine()->selectedPaths().isEmpty());
        QVERIFY(!list->rows().last()->isSelected());
        QTest::keyClick(list->rows().first(), Qt::Key_Space); // one row by keyboard
        QCOMPARE(engine()->selectedPaths(), QSet<QString>{"f00.txt"});
        QTest::mouseClick(list->selectAllButton(), Qt::LeftButton);
        QCOMPARE(engine()->selectedPaths().size(), count);
    }

    // Rows are kept by engine id and by path: a refresh and another binding keep the row.
    void rowsSurviveRefreshAndRebinding() {
        QVERIFY(writeFile(file("a.txt"), "a"));
        QVERIFY(writeFile(file("c.txt"), "c"));
        refreshAll();
        RepoRowView *expanded = row();
        expanded->setExpanded(true);
        PendingChangeRowView *rowA = expanded->changesList()->rows().first();
        QVERIFY(writeFile(file("b.txt"), "b"));
        QCoro::waitFor(engine()->refreshStatus());
        QCOMPARE(row(), expanded);
        QCOMPARE(expanded->changesList()->rows().size(), 3);
        QCOMPARE(expanded->changesList()->rows().first(), rowA);

        m_coordinator->apply(m_bindings << bindFolder("other"));
        QCOMPARE(row(), expanded);
        QVERIFY(expanded->isExpanded());
        QTRY_COMPARE(expanded->changesList() ? expanded->changesList()->rows().size() : 0, 3);
        QVERIFY(m_panel->findChild<QWidget *>("removeRepo_other"));
        // The last pending change takes the list with it; `expanded` stays.
        QVERIFY(syncToEnd());
        QTRY_VERIFY(!expanded->changesList() && !expanded->expandButton()->isVisible());
        QVERIFY(expanded->isExpanded());
        m_coordinator->apply({}); // no bindings: the empty state; signed out: its own view
        QVERIFY(m_panel->findChild<QWidget *>("noReposState")->isVisible());
        m_panel->findChild<QAbstractButton *>("signOutButton")->click(); // from inside the panel
        QVERIFY(m_panel->findChild<QWidget *>("signInButton") && !m_panel->signedInView());
    }

    // Light and dark, at 9, 11 and 12 pt, and (run again with QT_SCALE_FACTOR=2) at 200%, on
    // the 800×600 screen of the offscreen platform.
    void panelAndWindowsFit() {
        QVERIFY(writeFile(file("notes.md"), "x"));
        refreshAll();
        QPalette dark(QColor(0x313338), QColor(0x202124));    // texts in white
        dark.setColor(QPalette::Highlight, QColor(0x9fd0ff)); // a pale accent
        for (const QPalette &palette : {QApplication::palette(), dark})
            for (qreal points : {9.0, 11.0, 12.0}) {
                QApplication::setPalette(palette);
                QFont font = QApplication::font();
                font.setPointSizeF(points);
                QApplication::setFont(font);
                PopoverContentView panel(*m_auth, *m_coordinator, {});
                AuthWindow auth(*m_auth);
                auth.setupUI();
                m_repos->repos = {{"r", "notes", "Holiday Notes", "public"}, {"p", "p", "P", "x"}};
                AddRepoWindow add(m_coordinator->makeAddRepoModel());
                add.model().load();
                const QList<QWidget *> windows{&panel, &auth, &add};
                for (QWidget *window : windows)
                    window->show();
                QTRY_VERIFY(add.findChild<QWidget *>("chooseRepo_notes"));
                for (QWidget *window : windows)
                    checkFits(window);
            }
    }

    // A screen reader's "Press" animates a click, which the button's own timer completes.
    void menuEntryAnswersAccessiblePress() {
        auto *button = m_panel->findChild<QAbstractButton *>("addRepoButton");
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(button);
        QVERIFY(accessible && accessible->actionInterface());
        accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(m_addRepoCalls, 1);
    }
    void confirmedDiscardRevertsTheFile() {
        QVERIFY(writeFile(file("docs/plan.md"), "original"));
        refreshAll();
        QVERIFY(syncToEnd());
        QVERIFY(writeFile(file("docs/plan.md"), "scribbles"));
        QCoro::waitFor(engine()->refreshStatus());
        row()->setExpanded(true);
        PendingChangeRowView *change = row()->changesList()->rows().first();
        Alerts &alerts = m_panel->services().alerts;
        alerts.answerWith(false);
        QTest::keyClick(change, Qt::Key_Delete);
        QCOMPARE(alerts.asked().size(), 1);
        alerts.answerWith(true);
        QTest::qWait(20);         // laid out
        QTest::mouseMove(change); // the discard button shows on hover
        QTRY_VERIFY(change->discardButton()->isVisible());
        QTest::mouseClick(change->discardButton(), Qt::LeftButton);
        QCOMPARE(alerts.asked().last().message,
                 "Revert \"plan.md\" to its last synced state. This cannot be undone.");
        QTRY_VERIFY(engine()->pendingChanges().isEmpty());
        QCOMPARE(readFile(file("docs/plan.md")), "original");
    }
};

QTEST_MAIN(TestPanelViews)
#include "test_panel_views.moc"
