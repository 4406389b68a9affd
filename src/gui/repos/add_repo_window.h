#pragma once

#include <QWidget>

#include <memory>

namespace orvu {

class AddRepoModel;

// The add-repo window: one fresh flow per opening, over a model that lives as long as the
// window's flow does. The app starts the model's load() itself.
class AddRepoWindow : public QWidget {
    Q_OBJECT
public:
    explicit AddRepoWindow(std::unique_ptr<AddRepoModel> model, QWidget *parent = nullptr);
    ~AddRepoWindow() override;

    AddRepoModel &model() const { return *m_model; }

private:
    std::unique_ptr<AddRepoModel> m_model;
};

} // namespace orvu
