#pragma once

#include "core/sync/sync_types.h"

#include <QWidget>

class QLabel;
class QProgressBar;

namespace orvu {

class ElidedLabel;

// A running sync: a bar of the files done so far, "Pushing 3 of 10..." and the file being
// transferred, cut in the middle.
class SyncProgressView : public QWidget {
    Q_OBJECT
public:
    explicit SyncProgressView(QWidget *parent = nullptr);
    void setProgress(const SyncProgress &progress);

    QProgressBar *bar() const { return m_bar; }
    QLabel *counter() const { return m_counter; }

private:
    std::optional<SyncProgress> m_shown;
    QProgressBar *m_bar;
    QLabel *m_counter;
    ElidedLabel *m_currentFile;
};

} // namespace orvu
