#pragma once

#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace orvu {

class CappedScrollArea;
class PendingChangeRowView;
class PlainButton;
struct ViewServices;
class SyncEngine;

// The expanded part of a repo row: "Changes (N)" with Select All / Deselect All, then at most
// `maxDisplay` change rows (scrolling beyond 160 points) and a line saying how many more
// there are. Rows are kept per path, so a refresh that keeps a path keeps its row (with its
// hover and any confirmation) and only rows whose values changed are touched.
class PendingChangesListView : public QWidget {
    Q_OBJECT
public:
    PendingChangesListView(SyncEngine *engine, ViewServices &services, int maxDisplay,
                           QWidget *parent = nullptr);

    // The owner re-points the list when the engine of its repo is replaced.
    void setEngine(SyncEngine *engine);
    // Everything: header, button, rows and footer.
    void refresh();
    // Only the rows' transfer marks, for the stream of progress during a run.
    void refreshStatuses();

    PlainButton *selectAllButton() const { return m_selectAll; }
    QLabel *footer() const { return m_footer; }
    // The rows shown, in order.
    QList<PendingChangeRowView *> rows() const;

private:
    PendingChangeRowView *makeRow();

    QPointer<SyncEngine> m_engine;
    ViewServices &m_services;
    int m_maxDisplay;
    QLabel *m_header;
    PlainButton *m_selectAll;
    CappedScrollArea *m_area = nullptr;
    QWidget *m_rowsBox;
    QVBoxLayout *m_rowsLayout;
    QLabel *m_footer;
    QHash<QString, PendingChangeRowView *> m_rows;
    QStringList m_order;
};

} // namespace orvu
