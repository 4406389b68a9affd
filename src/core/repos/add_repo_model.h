#pragma once

#include "core/repos/repo_cli_running.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace orvu {

// The add-repo flow: list the user's repos, pick one or name a new one, choose a folder, warn
// when that folder is linked elsewhere, bind it through the tool and hand the binding on.
// Every phase is written on the main thread; the last write wins when operations overlap.
class AddRepoModel : public QObject {
    Q_OBJECT
public:
    struct ExistingRepo {
        RepoInfo repo;
        friend bool operator==(const ExistingRepo &, const ExistingRepo &) = default;
    };
    struct NewRepo {
        QString slug;
        QString name;
        friend bool operator==(const NewRepo &, const NewRepo &) = default;
    };
    using BindTarget = std::variant<ExistingRepo, NewRepo>;

    struct Loading {
        friend bool operator==(const Loading &, const Loading &) = default;
    };
    struct ChooseRepo {
        QList<RepoInfo> existing;
        friend bool operator==(const ChooseRepo &, const ChooseRepo &) = default;
    };
    struct ChooseFolder {
        BindTarget target;
        friend bool operator==(const ChooseFolder &, const ChooseFolder &) = default;
    };
    struct RebindWarning {
        BindTarget target;
        QString folderPath;
        std::optional<QByteArray> bookmark;
        QString currentLink;
        friend bool operator==(const RebindWarning &, const RebindWarning &) = default;
    };
    struct Binding {
        friend bool operator==(const Binding &, const Binding &) = default;
    };
    struct Done {
        RepoInfo repo;
        friend bool operator==(const Done &, const Done &) = default;
    };
    struct Failed {
        QString message;
        friend bool operator==(const Failed &, const Failed &) = default;
    };
    using Phase =
        std::variant<Loading, ChooseRepo, ChooseFolder, RebindWarning, Binding, Done, Failed>;

    // Called once a binding has been made and confirmed: the repo, the folder path and the
    // folder's bookmark. It may arrive after the model is gone; it must hold its target weakly.
    using BoundCallback =
        std::function<void(const RepoInfo &, const QString &, const std::optional<QByteArray> &)>;

    AddRepoModel(std::shared_ptr<RepoCLIRunning> repoCLI, QSet<QString> boundRepoIds,
                 QString defaultFolderRoot, std::optional<QString> fixedFolderOverride,
                 BoundCallback onBound, QObject *parent = nullptr);

    const Phase &phase() const { return m_phase; }
    const QString &newRepoName() const { return m_newRepoName; }
    void setNewRepoName(const QString &name);

    QCoro::Task<> load();
    void chooseRepo(const RepoInfo &repo);
    void continueWithNewRepo();
    QCoro::Task<> useFolder(BindTarget target, QString folderPath,
                            std::optional<QByteArray> bookmark);
    QCoro::Task<> bind(BindTarget target, QString folderPath, std::optional<QByteArray> bookmark,
                       bool force);

    // The folder proposed for a target: the fixed override, else a folder named after the
    // target under the default root.
    QString suggestedFolder(const BindTarget &target) const;

    static QString targetName(const BindTarget &target);
    static QString targetSlug(const BindTarget &target);
    // Only a-z, 0-9 and single inner dashes, at most 40 characters.
    static QString slugify(const QString &text);
    // Never empty, never starts with a dot, never holds a path separator.
    static QString safeFolderName(const QString &name);

signals:
    void changed();

private:
    void setPhase(Phase phase);

    Phase m_phase = Loading{};
    QString m_newRepoName;
    std::shared_ptr<RepoCLIRunning> m_repoCLI;
    QSet<QString> m_boundRepoIds;
    QString m_defaultFolderRoot;
    std::optional<QString> m_fixedFolderOverride;
    BoundCallback m_onBound;
};

} // namespace orvu
