#include "core/repos/add_repo_model.h"

#include "core/bindings/folder_config_reader.h"

#include <QDir>
#include <QPointer>
#include <QTextBoundaryFinder>

namespace orvu {

namespace {

constexpr qsizetype kMaxSlugLength = 40;

bool isSlugCharacter(QStringView grapheme) {
    if (grapheme.size() != 1)
        return false;
    const char16_t c = grapheme.front().unicode();
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
}

bool isNewline(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

bool isHorizontalSpace(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QString trimmedWhere(const QString &text, bool (*strip)(QChar)) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && strip(text.at(begin)))
        ++begin;
    while (end > begin && strip(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

void chopTrailingDashes(QString &text) {
    while (text.endsWith(u'-'))
        text.chop(1);
}

} // namespace

AddRepoModel::AddRepoModel(std::shared_ptr<RepoCLIRunning> repoCLI, QSet<QString> boundRepoIds,
                           QString defaultFolderRoot, std::optional<QString> fixedFolderOverride,
                           BoundCallback onBound, QObject *parent)
    : QObject(parent), m_repoCLI(std::move(repoCLI)), m_boundRepoIds(std::move(boundRepoIds)),
      m_defaultFolderRoot(std::move(defaultFolderRoot)),
      m_fixedFolderOverride(std::move(fixedFolderOverride)), m_onBound(std::move(onBound)) {}

void AddRepoModel::setPhase(Phase phase) {
    m_phase = std::move(phase);
    emit changed();
}

void AddRepoModel::setNewRepoName(const QString &name) {
    if (name == m_newRepoName)
        return;
    m_newRepoName = name;
    emit changed();
}

QCoro::Task<> AddRepoModel::load() {
    QPointer<AddRepoModel> self(this);
    const std::shared_ptr<RepoCLIRunning> repoCLI = m_repoCLI;
    setPhase(Loading{});
    QCoro::Task<std::optional<QList<RepoInfo>>> listing = repoCLI->listRepos();
    const std::optional<QList<RepoInfo>> repos = co_await listing;
    if (!self)
        co_return;
    if (!repos) {
        self->setPhase(Failed{QStringLiteral("Could not list your repos. Are you signed in?")});
        co_return;
    }
    QList<RepoInfo> offerable;
    for (const RepoInfo &repo : *repos) {
        if (!self->m_boundRepoIds.contains(repo.id))
            offerable.append(repo);
    }
    self->setPhase(ChooseRepo{offerable});
}

void AddRepoModel::chooseRepo(const RepoInfo &repo) {
    setPhase(ChooseFolder{ExistingRepo{repo}});
}

void AddRepoModel::continueWithNewRepo() {
    const QString name = m_newRepoName.trimmed();
    const QString slug = slugify(name);
    if (slug.isEmpty()) {
        setPhase(Failed{QStringLiteral("Enter a name for the new repo.")});
        return;
    }
    setPhase(ChooseFolder{NewRepo{slug, name}});
}

QCoro::Task<> AddRepoModel::useFolder(BindTarget target, QString folderPath,
                                      std::optional<QByteArray> bookmark) {
    if (const auto config = FolderConfigReader().readConfig(folderPath)) {
        const auto *existing = std::get_if<ExistingRepo>(&target);
        // A new repo never matches: any existing link would be replaced.
        if (!existing || existing->repo.id != config->repoId) {
            setPhase(RebindWarning{target, folderPath, bookmark, config->slug});
            co_return;
        }
    }
    QCoro::Task<> binding =
        bind(std::move(target), std::move(folderPath), std::move(bookmark), false);
    co_await binding;
}

QCoro::Task<> AddRepoModel::bind(BindTarget target, QString folderPath,
                                 std::optional<QByteArray> bookmark, bool force) {
    // The window may close while the tool runs; the binding the tool made must still reach
    // the coordinator, so everything needed after a suspension is held here, not in `this`.
    QPointer<AddRepoModel> self(this);
    const std::shared_ptr<RepoCLIRunning> repoCLI = m_repoCLI;
    const BoundCallback onBound = m_onBound;
    const QString slug = targetSlug(target);
    const std::optional<QString> displayName =
        std::holds_alternative<NewRepo>(target) ? std::optional(targetName(target)) : std::nullopt;

    setPhase(Binding{});
    QCoro::Task<RepoCLIOutcome> initializing =
        repoCLI->initFolder(folderPath, slug, displayName, force);
    const RepoCLIOutcome outcome = co_await initializing;
    switch (outcome.kind) {
    case RepoCLIOutcome::Kind::AuthRequired:
        if (self)
            self->setPhase(Failed{QStringLiteral("You need to sign in to add a repo.")});
        co_return;
    case RepoCLIOutcome::Kind::Failed:
        if (self)
            self->setPhase(Failed{outcome.message});
        co_return;
    case RepoCLIOutcome::Kind::Ok:
        break;
    }

    QCoro::Task<std::optional<QList<RepoInfo>>> relisting = repoCLI->listRepos();
    const std::optional<QList<RepoInfo>> relisted = co_await relisting;
    const QList<RepoInfo> repos = relisted.value_or(QList<RepoInfo>{});
    const auto found = std::find_if(repos.cbegin(), repos.cend(),
                                    [&](const RepoInfo &repo) { return repo.slug == slug; });
    if (found == repos.cend()) {
        if (self)
            self->setPhase(
                Failed{QStringLiteral("Repo bound, but couldn't confirm it. Reopen to retry.")});
        co_return;
    }
    const RepoInfo repo = *found;
    if (onBound)
        onBound(repo, folderPath, bookmark);
    if (self)
        self->setPhase(Done{repo});
}

QString AddRepoModel::suggestedFolder(const BindTarget &target) const {
    if (m_fixedFolderOverride)
        return *m_fixedFolderOverride;
    return QDir(m_defaultFolderRoot).filePath(safeFolderName(targetName(target)));
}

QString AddRepoModel::targetName(const BindTarget &target) {
    if (const auto *existing = std::get_if<ExistingRepo>(&target))
        return existing->repo.name;
    return std::get<NewRepo>(target).name;
}

QString AddRepoModel::targetSlug(const BindTarget &target) {
    if (const auto *existing = std::get_if<ExistingRepo>(&target))
        return existing->repo.slug;
    return std::get<NewRepo>(target).slug;
}

QString AddRepoModel::slugify(const QString &text) {
    const QString lower = text.toLower();
    QString slug;
    bool lastWasSeparator = false;
    // User-perceived characters: a letter with a combining accent is one separator, not a
    // letter followed by one.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, lower);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
        const QStringView grapheme = QStringView(lower).mid(start, end - start);
        start = end;
        if (isSlugCharacter(grapheme)) {
            slug.append(grapheme);
            lastWasSeparator = false;
        } else if (!slug.isEmpty() && !lastWasSeparator) {
            slug.append(u'-');
            lastWasSeparator = true;
        }
    }
    chopTrailingDashes(slug);
    if (slug.size() > kMaxSlugLength) {
        slug.truncate(kMaxSlugLength);
        chopTrailingDashes(slug);
    }
    return slug;
}

QString AddRepoModel::safeFolderName(const QString &name) {
    QString result = name;
    result.replace(u'/', u'-').replace(u'\\', u'-').replace(u':', u'-');
    result.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    result = trimmedWhere(result, [](QChar c) { return isHorizontalSpace(c) || isNewline(c); });
    // Dots and spaces are stripped together until neither leads: stripping them once each
    // would turn ". .." into "." (the root itself) and ". .x" into a hidden folder.
    do {
        while (result.startsWith(u'.'))
            result.remove(0, 1);
        result = trimmedWhere(result, isHorizontalSpace);
    } while (result.startsWith(u'.'));
    return result.isEmpty() ? QStringLiteral("repo") : result;
}

} // namespace orvu
