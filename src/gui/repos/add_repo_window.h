#pragma once

#include <QWidget>

#include <memory>

namespace orvu {

class AddRepoModel;
class AddRepoPanel;

// The add-repo window: one fresh flow per opening. The app starts the model's load() itself.
// Closing the window drops the model; a bind the tool is still running finishes anyway and
// still hands its binding on (the model's bound callback does not need the model).
class AddRepoWindow : public QWidget {
    Q_OBJECT
public:
    explicit AddRepoWindow(std::unique_ptr<AddRepoModel> model, QWidget *parent = nullptr);
    ~AddRepoWindow() override;

    AddRepoModel &model() const { return *m_model; }
    AddRepoPanel &panel() const { return *m_panel; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    std::unique_ptr<AddRepoModel> m_model;
    AddRepoPanel *m_panel = nullptr;
};

} // namespace orvu
