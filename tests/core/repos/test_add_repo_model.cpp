#include "core/repos/add_repo_model.h"
#include "core/repos/scripted_repo_cli.h"
#include "core/repos/stub_repo_cli.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using Model = AddRepoModel;
using orvu::test::ScriptedRepoCLI;

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

bool writeConfig(const QString &folder, const QByteArray &json) {
    QDir().mkpath(folder + "/.orvu");
    QFile file(folder + "/.orvu/config");
    return file.open(QIODevice::WriteOnly) && file.write(json) == json.size();
}

} // namespace

namespace QTest {
template <> char *toString(const Model::Phase &phase) {
    return qstrdup(std::visit(
        [](const auto &p) -> QByteArray {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, Model::Failed>)
                return "failed(" + p.message.toUtf8() + ")";
            else if constexpr (std::is_same_v<T, Model::ChooseRepo>)
                return "chooseRepo(" + QByteArray::number(p.existing.size()) + ")";
            else if constexpr (std::is_same_v<T, Model::RebindWarning>)
                return "rebindWarning(" + p.currentLink.toUtf8() + ")";
            else if constexpr (std::is_same_v<T, Model::Done>)
                return "done(" + p.repo.slug.toUtf8() + ")";
            else
                return typeid(T).name();
        },
        phase));
}
} // namespace QTest

class TestAddRepoModel : public QObject {
    Q_OBJECT

private slots:
    void load_data() {
        QTest::addColumn<std::optional<QList<RepoInfo>>>("listing");
        QTest::addColumn<Model::Phase>("expected");
        using L = std::optional<QList<RepoInfo>>;
        QTest::newRow("failure") << L()
                                 << Model::Phase(Model::Failed{
                                        "Could not list your repos. Are you signed in?"});
        QTest::newRow("bound repos are not offered, order kept")
            << L({kAlpha, kBeta, kGamma}) << Model::Phase(Model::ChooseRepo{{kAlpha, kGamma}});
        QTest::newRow("all bound") << L({kBeta}) << Model::Phase(Model::ChooseRepo{{}});
        QTest::newRow("empty") << L(QList<RepoInfo>{}) << Model::Phase(Model::ChooseRepo{{}});
    }
    void load() {
        QFETCH(std::optional<QList<RepoInfo>>, listing);
        QFETCH(Model::Phase, expected);
        Fixture f({kBeta.id});
        f.cli->listings = {listing};
        QCOMPARE(f.model->phase(), Model::Phase(Model::Loading{}));
        f.cli->holdNextListing();
        auto task = f.model->load();
        QCOMPARE(f.model->phase(), Model::Phase(Model::Loading{}));
        f.cli->release();
        QCoro::waitFor(task);
        QCOMPARE(f.model->phase(), expected);
    }

    void newRepo_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Model::Phase>("expected");
        const Model::Phase empty = Model::Failed{"Enter a name for the new repo."};
        QTest::newRow("spaces only") << "   \n\t" << empty;
        QTest::newRow("punctuation only") << "!?-- ..." << empty;
        QTest::newRow("accents only") << "éàü" << empty;
        QTest::newRow("trimmed name, slugged")
            << "  My Notes 2024!  "
            << Model::Phase(Model::ChooseFolder{Model::NewRepo{"my-notes-2024", "My Notes 2024!"}});
    }
    void newRepo() {
        QFETCH(QString, name);
        QFETCH(Model::Phase, expected);
        Fixture f;
        f.model->setNewRepoName(name);
        f.model->continueWithNewRepo();
        QCOMPARE(f.model->phase(), expected);
        QCOMPARE(f.model->newRepoName(), name);
    }

    void chooseExisting() {
        Fixture f;
        f.model->chooseRepo(kAlpha);
        QCOMPARE(f.model->phase(), Model::Phase(Model::ChooseFolder{Model::ExistingRepo{kAlpha}}));
    }

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
        QTest::newRow("existing, linked elsewhere without slug")
            << existing << C(R"({"repoId":"id-x"})") << "id-x";
        QTest::newRow("existing, unreadable config") << existing << C(R"({"repoId":7})") << "";
        QTest::newRow("new repo, any link warns")
            << fresh << C(R"({"repoId":"id-a","slug":"alpha"})") << "alpha";
        QTest::newRow("new repo, no config") << fresh << C() << "";
    }
    void useFolder() {
        QFETCH(Model::BindTarget, target);
        QFETCH(std::optional<QByteArray>, config);
        QFETCH(QString, currentLink);
        QTemporaryDir dir;
        if (config)
            QVERIFY(writeConfig(dir.path(), *config));
        Fixture f;
        const RepoInfo created{"created-new-one", "new-one", "New One", "public"};
        f.cli->listings = {QList<RepoInfo>{kAlpha, created}};
        const std::optional<QByteArray> bookmark = QByteArray("bm");

        QCoro::waitFor(f.model->useFolder(target, dir.path(), bookmark));

        if (!currentLink.isEmpty()) {
            QCOMPARE(f.model->phase(),
                     Model::Phase(Model::RebindWarning{target, dir.path(), bookmark, currentLink}));
            QVERIFY(f.cli->initCalls.isEmpty());
            QVERIFY(f.bound->isEmpty());
            return;
        }
        const bool isNew = std::holds_alternative<Model::NewRepo>(target);
        const ScriptedRepoCLI::InitCall expectedCall{
            dir.path(), Model::targetSlug(target),
            isNew ? std::optional<QString>("New One") : std::nullopt, false};
        QCOMPARE(f.cli->initCalls, QList<ScriptedRepoCLI::InitCall>{expectedCall});
        const RepoInfo repo = isNew ? created : kAlpha;
        QCOMPARE(f.model->phase(), Model::Phase(Model::Done{repo}));
        QCOMPARE(*f.bound, (QList<BoundCall>{{repo, dir.path(), bookmark}}));
    }

    void replaceLinkForcesAndHandsOnTheWarningsBookmark() {
        QTemporaryDir dir;
        QVERIFY(writeConfig(dir.path(), R"({"repoId":"id-x","slug":"other"})"));
        Fixture f;
        f.cli->listings = {QList<RepoInfo>{kBeta, kAlpha}};
        const Model::BindTarget target = Model::ExistingRepo{kAlpha};
        QCoro::waitFor(f.model->useFolder(target, dir.path(), QByteArray("warned-bm")));
        const auto warning = std::get<Model::RebindWarning>(f.model->phase());

        QCoro::waitFor(f.model->bind(warning.target, warning.folderPath, warning.bookmark, true));
        QCOMPARE(f.cli->initCalls,
                 (QList<ScriptedRepoCLI::InitCall>{{dir.path(), "alpha", std::nullopt, true}}));
        QCOMPARE(*f.bound, (QList<BoundCall>{{kAlpha, dir.path(), QByteArray("warned-bm")}}));
        QCOMPARE(f.model->phase(), Model::Phase(Model::Done{kAlpha}));
    }

    void bindOutcomes_data() {
        QTest::addColumn<RepoCLIOutcome>("outcome");
        QTest::addColumn<std::optional<QList<RepoInfo>>>("relisting");
        QTest::addColumn<Model::Phase>("expected");
        using L = std::optional<QList<RepoInfo>>;
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
        QFETCH(std::optional<QList<RepoInfo>>, relisting);
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

    void stubCreatesUnknownSlugsOnce() {
        auto stub = std::make_shared<StubRepoCLI>(QList<RepoInfo>{kAlpha});
        QCOMPARE(QCoro::waitFor(stub->initFolder("/x", "alpha", std::nullopt, false)),
                 RepoCLIOutcome::ok());
        QCOMPARE(QCoro::waitFor(stub->initFolder("/x", "fresh", QString("Fresh"), true)),
                 RepoCLIOutcome::ok());
        QCOMPARE(QCoro::waitFor(stub->initFolder("/y", "other", std::nullopt, false)),
                 RepoCLIOutcome::ok());
        const QList<RepoInfo> expected{kAlpha,
                                       {"created-fresh", "fresh", "Fresh", "public"},
                                       {"created-other", "other", "other", "public"}};
        QCOMPARE(*QCoro::waitFor(stub->listRepos()), expected);

        // The whole flow over the stub: a new repo is created and confirmed.
        QList<RepoInfo> boundRepos;
        Model model(stub, {}, "/home/u/Orvu", std::nullopt,
                    [&](const RepoInfo &repo, const QString &, const std::optional<QByteArray> &) {
                        boundRepos.append(repo);
                    });
        model.setNewRepoName("Team Wiki");
        model.continueWithNewRepo();
        const auto target = std::get<Model::ChooseFolder>(model.phase()).target;
        QTemporaryDir dir;
        QCoro::waitFor(model.useFolder(target, dir.path(), std::nullopt));
        const RepoInfo wiki{"created-team-wiki", "team-wiki", "Team Wiki", "public"};
        QCOMPARE(model.phase(), Model::Phase(Model::Done{wiki}));
        QCOMPARE(boundRepos, QList<RepoInfo>{wiki});
    }

    void slugify_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("capitals") << "Hello World"
                                  << "hello-world";
        QTest::newRow("runs of separators") << "a  --  b!!c"
                                            << "a-b-c";
        QTest::newRow("leading and trailing") << "  --Notes--  "
                                              << "notes";
        QTest::newRow("digits") << "Q3 2024 Report"
                                << "q3-2024-report";
        QTest::newRow("precomposed accent separates") << "caf\u00e9 bar"
                                                      << "caf-bar";
        QTest::newRow("accent splits words") << "na\u00efve"
                                             << "na-ve";
        // e + combining acute is one character: one separator, and the e is not kept.
        QTest::newRow("combining accent is one character") << "cafe\u0301s"
                                                           << "caf-s";
        QTest::newRow("emoji sequence is one separator")
            << "a\U0001F468\u200D\U0001F469\u200D\U0001F467b"
            << "a-b";
        QTest::newRow("non-Latin only") << "\u65E5\u672C\u8A9E"
                                        << "";
        QTest::newRow("fullwidth digits are not ASCII") << "x\uFF11y"
                                                        << "x-y";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("40 exactly") << QString(40, u'a') << QString(40, u'a');
        QTest::newRow("cut at 40") << QString(45, u'b') << QString(40, u'b');
        QTest::newRow("cut leaves no dash") << QString(39, u'c') + " dd" << QString(39, u'c');
        QTest::newRow("cut after dash at 41") << QString(40, u'c') + " dd" << QString(40, u'c');
    }
    void slugify() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(Model::slugify(text), expected);
    }

    void safeFolderName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "My Notes"
                               << "My Notes";
        QTest::newRow("separators") << "a/b\\c:d"
                                    << "a-b-c-d";
        QTest::newRow("dots and spaces only") << " . . .. "
                                              << "repo";
        QTest::newRow("parent directory") << ".."
                                          << "repo";
        QTest::newRow("hidden name") << "...config"
                                     << "config";
        QTest::newRow("spaces after dots") << ".  x "
                                           << "x";
        QTest::newRow("control characters") << "a\tb\x01\nc\x7f"
                                            << "abc";
        QTest::newRow("newline around") << "\n  Docs \r\n"
                                        << "Docs";
        QTest::newRow("empty") << ""
                               << "repo";
        QTest::newRow("unicode kept") << "Ünïcødé 日本"
                                      << "Ünïcødé 日本";
        QTest::newRow("traversal flattened") << "../../etc"
                                             << "-..-etc";
    }
    void safeFolderName() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(Model::safeFolderName(name), expected);
    }

    void suggestedFolder() {
        Fixture f;
        QCOMPARE(f.model->suggestedFolder(Model::NewRepo{"x", "Team: Plans"}),
                 QStringLiteral("/home/u/Orvu/Team- Plans"));
        QCOMPARE(f.model->suggestedFolder(Model::ExistingRepo{kBeta}),
                 QStringLiteral("/home/u/Orvu/Beta"));
        Model fixed(f.cli, {}, "/home/u/Orvu", QStringLiteral("/fixed"), {});
        QCOMPARE(fixed.suggestedFolder(Model::ExistingRepo{kBeta}), QStringLiteral("/fixed"));
    }
};

QTEST_GUILESS_MAIN(TestAddRepoModel)
#include "test_add_repo_model.moc"
