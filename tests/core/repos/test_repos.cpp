#include "core/cli/tool_commands.h"
#include "core/repos/add_repo_model.h"
#include "core/repos/repo_cli.h"
#include "core/repos/repo_cli_output.h"
#include "core/repos/scripted_repo_cli.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using Model = AddRepoModel;
using orvu::test::ScriptedRepoCLI;
using orvu::test::ScriptTool;
using Listing = std::optional<QList<RepoInfo>>;

Q_DECLARE_METATYPE(Model::Phase)
Q_DECLARE_METATYPE(Model::BindTarget)

namespace {

const RepoInfo kAlpha{"id-a", "alpha", "Alpha", "public"};
const RepoInfo kBeta{"id-b", "beta", "Beta", "private"};
const RepoInfo kGamma{"id-c", "gamma", "Gamma", "public"};

struct BoundCall {
    RepoInfo repo;
    QString folderPath;
    std::optional<QByteArray> bookmark;
    friend bool operator==(const BoundCall &, const BoundCall &) = default;
};

struct Fixture {
    std::shared_ptr<ScriptedRepoCLI> cli = std::make_shared<ScriptedRepoCLI>();
    std::shared_ptr<QList<BoundCall>> bound = std::make_shared<QList<BoundCall>>();
    std::unique_ptr<Model> model;

    explicit Fixture(QSet<QString> boundIds = {}) {
        auto calls = bound;
        model = std::make_unique<Model>(cli, std::move(boundIds), QStringLiteral("/home/u/Orvu"),
                                        std::nullopt,
                                        [calls](const RepoInfo &repo, const QString &path,
                                                const std::optional<QByteArray> &bookmark) {
                                            calls->append(BoundCall{repo, path, bookmark});
                                        });
    }
};

} // namespace

class TestRepos : public QObject {
    Q_OBJECT

private slots:
    void load_data() {
        QTest::addColumn<Listing>("listing");
        QTest::addColumn<Model::Phase>("expected");
        QTest::newRow("failure") << Listing()
                                 << Model::Phase(Model::Failed{
                                        "Could not list your repos. Are you signed in?"});
        QTest::newRow("bound repos are not offered, order kept")
            << Listing({kAlpha, kBeta, kGamma})
            << Model::Phase(Model::ChooseRepo{{kAlpha, kGamma}});
    }
    void load() {
        QFETCH(Listing, listing);
        QFETCH(Model::Phase, expected);
        Fixture f({kBeta.id});
        f.cli->listings = {listing};
        f.cli->holdNextListing();
        auto task = f.model->load();
        QCOMPARE(f.model->phase(), Model::Phase(Model::Loading{}));
        f.cli->release();
        QCoro::waitFor(task);
        QCOMPARE(f.model->phase(), expected);
    }

    void newRepo() {
        Fixture f;
        f.model->setNewRepoName("!?-- ...");
        f.model->continueWithNewRepo();
        QCOMPARE(f.model->phase(), Model::Phase(Model::Failed{"Enter a name for the new repo."}));
        f.model->setNewRepoName("  My Notes 2024!  ");
        f.model->continueWithNewRepo();
        QCOMPARE(f.model->phase(), Model::Phase(Model::ChooseFolder{
                                       Model::NewRepo{"my-notes-2024", "My Notes 2024!"}}));
    }

    // A folder linked elsewhere warns first; going on from the warning forces the link and
    // hands on the warning's bookmark.
    void useFolder_data() {
        QTest::addColumn<Model::BindTarget>("target");
        QTest::addColumn<std::optional<QByteArray>>("config");
        QTest::addColumn<QString>("currentLink"); // empty: binds directly
        using C = std::optional<QByteArray>;
        const Model::BindTarget existing = Model::ExistingRepo{kAlpha};
        const Model::BindTarget fresh = Model::NewRepo{"new-one", "New One"};
        QTest::newRow("existing, no config") << existing << C() << "";
        QTest::newRow("existing, linked to itself")
            << existing << C(R"({"repoId":"id-a","slug":"old-alpha"})") << "";
        QTest::newRow("existing, linked elsewhere")
            << existing << C(R"({"repoId":"id-x","slug":"other"})") << "other";
        QTest::newRow("existing, unreadable config") << existing << C(R"({"repoId":7})") << "";
        QTest::newRow("new repo, any link warns")
            << fresh << C(R"({"repoId":"id-a","slug":"alpha"})") << "alpha";
    }
    void useFolder() {
        QFETCH(Model::BindTarget, target);
        QFETCH(std::optional<QByteArray>, config);
        QFETCH(QString, currentLink);
        QTemporaryDir dir;
        QFile file(dir.filePath(".orvu/config"));
        if (config)
            QVERIFY(QDir(dir.path()).mkdir(".orvu") && file.open(QIODevice::WriteOnly) &&
                    file.write(*config) == config->size() && file.flush());
        Fixture f;
        const RepoInfo created{"created-new-one", "new-one", "New One", "public"};
        f.cli->listings = {QList<RepoInfo>{kAlpha, created}};
        const QByteArray bookmark("bm");

        QCoro::waitFor(f.model->useFolder(target, dir.path(), bookmark));
        const bool warned = !currentLink.isEmpty();
        if (warned) {
            QCOMPARE(f.model->phase(),
                     Model::Phase(Model::RebindWarning{target, dir.path(), bookmark, currentLink}));
            QVERIFY(f.cli->initCalls.isEmpty());
            QVERIFY(f.bound->isEmpty());
            const auto warning = std::get<Model::RebindWarning>(f.model->phase());
            QCoro::waitFor(
                f.model->bind(warning.target, warning.folderPath, warning.bookmark, true));
        }
        const bool isNew = std::holds_alternative<Model::NewRepo>(target);
        const ScriptedRepoCLI::InitCall expectedCall{
            dir.path(), Model::targetSlug(target),
            isNew ? std::optional<QString>("New One") : std::nullopt, warned};
        QCOMPARE(f.cli->initCalls, QList<ScriptedRepoCLI::InitCall>{expectedCall});
        const RepoInfo repo = isNew ? created : kAlpha;
        QCOMPARE(f.model->phase(), Model::Phase(Model::Done{repo}));
        QCOMPARE(*f.bound, (QList<BoundCall>{{repo, dir.path(), bookmark}}));
    }

    void bindOutcomes_data() {
        QTest::addColumn<RepoCLIOutcome>("outcome");
        QTest::addColumn<Listing>("relisting");
        QTest::addColumn<Model::Phase>("expected");
        using L = Listing;
        const Model::Phase unconfirmed =
            Model::Failed{"Repo bound, but couldn't confirm it. Reopen to retry."};
        QTest::newRow("auth required")
            << RepoCLIOutcome::authRequired() << L({kAlpha})
            << Model::Phase(Model::Failed{"You need to sign in to add a repo."});
        QTest::newRow("failed message unchanged")
            << RepoCLIOutcome::failed("Folder is not empty: x") << L({kAlpha})
            << Model::Phase(Model::Failed{"Folder is not empty: x"});
        QTest::newRow("ok, first by slug")
            << RepoCLIOutcome::ok() << L({kBeta, kAlpha, RepoInfo{"dup", "alpha", "Dup", ""}})
            << Model::Phase(Model::Done{kAlpha});
        QTest::newRow("ok, not in listing") << RepoCLIOutcome::ok() << L({kBeta}) << unconfirmed;
        QTest::newRow("ok, listing failed") << RepoCLIOutcome::ok() << L() << unconfirmed;
    }
    void bindOutcomes() {
        QFETCH(RepoCLIOutcome, outcome);
        QFETCH(Listing, relisting);
        QFETCH(Model::Phase, expected);
        Fixture f;
        f.cli->initOutcome = outcome;
        f.cli->listings = {relisting};
        QList<Model::Phase> seen;
        connect(f.model.get(), &Model::changed, this, [&] { seen.append(f.model->phase()); });
        QCoro::waitFor(f.model->bind(Model::ExistingRepo{kAlpha}, "/f", std::nullopt, false));
        QCOMPARE(seen.value(0), Model::Phase(Model::Binding{}));
        QCOMPARE(f.model->phase(), expected);
        QCOMPARE(f.bound->size(), std::holds_alternative<Model::Done>(expected) ? 1 : 0);
        if (outcome.kind != RepoCLIOutcome::Kind::Ok)
            QCOMPARE(f.cli->listCalls, 0);
    }

    void bindingFinishesAfterTheWindowClosed() {
        Fixture f;
        f.cli->listings = {QList<RepoInfo>{kAlpha}};
        f.cli->holdNextListing();
        auto task = f.model->bind(Model::ExistingRepo{kAlpha}, "/f", QByteArray("b"), false);
        f.model.reset(); // the window is closed while the tool confirms
        f.cli->release();
        QCoro::waitFor(task);
        QCOMPARE(*f.bound, (QList<BoundCall>{{kAlpha, "/f", QByteArray("b")}}));
    }

    // Slugs and folder names made from what the user typed.
    void names_data() {
        QTest::addColumn<bool>("slug"); // else a folder name
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto slug = [](const char *name, QString text, QString expected) {
            QTest::newRow(name) << true << text << expected;
        };
        const auto folder = [](const char *name, QString text, QString expected) {
            QTest::newRow(name) << false << text << expected;
        };
        slug("capitals, digits, runs", "Q3  --  Report!!x", "q3-report-x");
        // e + combining acute is one character: one separator, and the e is not kept.
        slug("combining accent is one character", "cafe\u0301s", "caf-s");
        slug("emoji sequence is one separator", "a\U0001F468\u200D\U0001F469b", "a-b");
        slug("cut at 40 leaves no dash", QString(39, u'c') + " dd", QString(39, u'c'));
        folder("separators", "a/b\\c:d", "a-b-c-d");
        folder("dots and spaces only", " . . .. ", "repo");
        folder("control characters", "a\tb\x01\nc\x7f", "abc");
        folder("traversal flattened", "../../etc", "-..-etc");
    }
    void names() {
        QFETCH(bool, slug);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(slug ? Model::slugify(text) : Model::safeFolderName(text), expected);
    }

    // The commands over a real child.
    void reposLine_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<Listing>("expected");
        const RepoInfo minimal{"r1", "one", "one", "public"};
        QTest::newRow("id and slug only; element without slug skipped")
            << R"({"type":"repos","repos":[{"id":"r1","slug":"one"},{"id":"r2"}]})"
            << Listing({minimal});
        QTest::newRow("all fields, wrong types defaulted")
            << R"({"type":"repos","repos":[{"id":"a","slug":"s","name":"N","visibility":"private"},)"
               R"({"id":"b","slug":"t","name":5,"visibility":null},{"id":3,"slug":"u"}]})"
            << Listing({{"a", "s", "N", "private"}, {"b", "t", "t", "public"}});
        QTest::newRow("non-object element: line skipped, next one used")
            << "{\"type\":\"repos\",\"repos\":[1]}\n"
               "{\"type\":\"repos\",\"repos\":\"x\"}\r\n"
               "  \t{\"type\":\"repos\",\"repos\":[{\"id\":\"r1\",\"slug\":\"one\"}]}\t\n"
               "{\"type\":\"repos\",\"repos\":[]}"
            << Listing({minimal});
        QTest::newRow("empty array, noise around")
            << "progress...\n\n[1,2]\n{\"type\":\"repos\",\"repos\":[]}\n"
            << Listing(QList<RepoInfo>{});
    }
    void reposLine() {
        QFETCH(QString, output);
        QFETCH(Listing, expected);
        QCOMPARE(decodeReposLine(output), expected);
    }

    void listRepos_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<Listing>("expected");
        const QByteArray line = R"(echo '{"type":"repos","repos":[{"id":"r1","slug":"one"}]}')";
        QTest::newRow("ok") << line << Listing({{"r1", "one", "one", "public"}});
        QTest::newRow("exit 0 without line") << QByteArray("echo '{}'") << Listing();
        QTest::newRow("exit 2") << line + "; exit 2" << Listing();
        QTest::newRow("crashed") << line + "; kill -INT $$" << Listing();
    }
    void listRepos() {
        QFETCH(QByteArray, script);
        QFETCH(Listing, expected);
        ScriptTool tool(script);
        RepoCLI cli(tool::kDefaultServerURL, CLIRunner(tool.location()));
        QCOMPARE(QCoro::waitFor(cli.listRepos()), expected);
        QCOMPARE(tool.lastRun().mid(2),
                 (QStringList{"--server", tool::kDefaultServerURL, "repos", "--json"}));
    }

    void initFolder_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<std::optional<QString>>("displayName");
        QTest::addColumn<bool>("force");
        QTest::addColumn<RepoCLIOutcome>("expected");
        const auto row = [](const char *name, QByteArray script, std::optional<QString> name_,
                            bool force, RepoCLIOutcome expected) {
            QTest::newRow(name) << script << name_ << force << expected;
        };
        const QByteArray error = R"(echo '{"type":"error","error":"Repo not found"}';)";
        row("ok, empty name, no force", {}, "", false, RepoCLIOutcome::ok());
        row("name and force follow --json", error, "My Repo", true, RepoCLIOutcome::ok());
        row("exit 2 with error line", error + "exit 2", {}, false, RepoCLIOutcome::authRequired());
        row("error line", error + "echo x >&2; exit 1", {}, false,
            RepoCLIOutcome::failed("Repo not found"));
        row("white space only", "echo ' ' >&2; exit 1", {}, false,
            RepoCLIOutcome::failed("init failed (exit 1)"));
        // A signal is no exit code: never "sign in" (SIGINT is 2), always a crash.
        row("crashed", error + "kill -INT $$", {}, false,
            RepoCLIOutcome::failed(tool::kCrashedMessage));
    }
    void initFolder() {
        QFETCH(QByteArray, script);
        QFETCH(std::optional<QString>, displayName);
        QFETCH(bool, force);
        QFETCH(RepoCLIOutcome, expected);
        ScriptTool tool(script);
        RepoCLI cli(std::nullopt, CLIRunner(tool.location()));
        QCOMPARE(QCoro::waitFor(cli.initFolder("/f/x y", "slug", displayName, force)), expected);
        QStringList arguments{"init", "/f/x y", "--repo", "slug", "--json"};
        if (displayName && !displayName->isEmpty())
            arguments << "--name" << *displayName;
        if (force)
            arguments << "--force";
        QCOMPARE(tool.lastRun().mid(2), arguments);
    }

    void toolMissing() {
        RepoCLI cli(tool::kDefaultServerURL,
                    CLIRunner(ToolLocation{"/nonexistent", {"/nonexistent/orvu"}}));
        QCOMPARE(QCoro::waitFor(cli.listRepos()), Listing());
        QCOMPARE(QCoro::waitFor(cli.initFolder("/f", "s", std::nullopt, false)),
                 RepoCLIOutcome::failed("Could not run the orvu CLI"));
    }

    void callerMayDropTheCommandsMidRun() {
        ScriptTool tool(R"(sleep 0.1; echo '{"type":"repos","repos":[]}')");
        auto cli = std::make_unique<RepoCLI>(tool::kDefaultServerURL, CLIRunner(tool.location()));
        auto task = cli->listRepos();
        cli.reset();
        QCOMPARE(QCoro::waitFor(task), Listing(QList<RepoInfo>{}));
    }
};

QTEST_GUILESS_MAIN(TestRepos)
#include "test_repos.moc"
