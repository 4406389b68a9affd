#pragma once

#include "core/platform/local_folder_access.h"
#include "core/repos/add_repo_model.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace orvu {

// The add-repo window's content: draws the model's current phase and turns each control into
// one model operation. It keeps nothing of its own beyond what the model publishes; a change
// of phase rebuilds the phase's controls, any other change (typing a name) only updates the
// texts that depend on it, so the field keeps its focus and cursor.
class AddRepoPanel : public QWidget {
    Q_OBJECT
public:
    // Asks the user for a folder; an empty result means the choice was cancelled.
    using FolderChooser = std::function<QString(QWidget *parent, const QString &title)>;

    AddRepoPanel(AddRepoModel &model, std::function<void()> onClose, QWidget *parent = nullptr);
    ~AddRepoPanel() override;

    // Replaces the file dialog, for tests.
    void setFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }

    // Height of the repo list for `count` rows: 44 each plus the border, at most 170.
    static int repoListHeight(qsizetype count);

    // The least width; the height follows what the phase shows.
    static constexpr int kWidth = 380;
    // How long "Added …" stays before the window closes.
    static constexpr int kDoneCloseDelayMs = 600;

private:
    void modelChanged();
    void showPhase(const AddRepoModel::Phase &phase);
    QWidget *buildProgress(const QString &text);
    QWidget *buildChooseRepo(const QList<RepoInfo> &repos);
    QWidget *buildChooseFolder(const AddRepoModel::BindTarget &target);
    QWidget *buildRebindWarning(const AddRepoModel::RebindWarning &warning);
    QWidget *buildDone(const RepoInfo &repo);
    QWidget *buildFailed(const QString &message);
    void useSuggestedFolder(const AddRepoModel::BindTarget &target);
    void chooseOtherFolder(const AddRepoModel::BindTarget &target);
    void close();
    // Puts a phase's buttons in the window's last row: `leading` on the left, `trailing` after
    // Cancel on the right. They go with the phase.
    void addToFooter(QPushButton *leading, std::initializer_list<QPushButton *> trailing);

    AddRepoModel &m_model;
    std::function<void()> m_onClose;
    FolderChooser m_chooseFolder;
    LocalFolderAccess m_folderAccess;

    QVBoxLayout *m_layout = nullptr;
    QWidget *m_content = nullptr;
    QHBoxLayout *m_footer = nullptr;
    QPushButton *m_cancel = nullptr;
    QList<QPushButton *> m_footerButtons;
    std::optional<AddRepoModel::Phase> m_shownPhase;
    // Step 1's controls that follow the typed name.
    QPointer<QLineEdit> m_nameField;
    QPointer<QLabel> m_urlPreview;
    QPointer<QPushButton> m_continueButton;
};

} // namespace orvu
