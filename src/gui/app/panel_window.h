#pragma once

#include <QElapsedTimer>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>

class QWindow;

namespace orvu {

// Where the panel's top-left corner goes. Against the tray icon: below it when the icon sits
// in the upper half of the screen (a top panel), above it otherwise. When the tray host gives
// no icon geometry (StatusNotifierItem hosts report an empty one), against the cursor instead.
// Always kept inside `available`.
QPoint panelPosition(const QRect &iconGeometry, const QPoint &cursor, const QSize &panelSize,
                     const QRect &available);

// Whether the panel's losing the focus closes it. Where the compositor places the panel (on
// Wayland) it opens away from the icon, and with focus following the mouse the way there
// crosses other windows: there the panel closes on focus loss only once the pointer or the
// keyboard has been in it since it opened. A dialog opened from the panel never closes it.
bool closesOnFocusLoss(bool placedByCompositor, bool usedSinceOpening, bool dialogOpen);

// The window that holds the panel's content. Attached to the tray icon it is a frameless tool
// window (not a Qt::Popup, which screen readers cannot reach) that closes when another window
// of the desktop takes the focus and on Escape; a dialog opened from the panel keeps it open.
// Without a tray it is an ordinary small window, and closing it ends the app.
class PanelWindow : public QWidget {
    Q_OBJECT
public:
    enum class Mode { attached, standalone };

    explicit PanelWindow(Mode mode, QWidget *parent = nullptr);

    Mode mode() const { return m_mode; }
    // A tray that appears late turns the window into the tray's panel (hidden until clicked).
    void setMode(Mode mode);
    // Whether the desktop, not the app, decides where the window goes (Wayland).
    static bool placedByCompositor();
    // The panel takes ownership.
    void setContent(QWidget *content);

    // Shows the panel at `position` (attached) or where it was (standalone), raised and active.
    // opened() follows once the panel has been painted.
    void open(std::optional<QPoint> position);
    // Whether the panel closed itself just now: a click on the tray icon that took the focus
    // away from the panel must not open it again at once.
    bool closedItselfJustNow() const;

signals:
    // Once per open(), after the first paint (or shortly after, if the panel is never drawn),
    // so that work started then does not hold up the panel's first appearance.
    void opened();
    // The user closed the standalone window.
    void closedByUser();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void focusWindowChanged(QWindow *focusWindow);
    bool ownsWindow(const QWindow *window) const;
    bool hasOpenDialog() const;
    void closeItself();
    void announceOpened();

    class Border;

    Mode m_mode;
    Border *m_border = nullptr;
    QElapsedTimer m_closedItself;
    bool m_openingAnnounced = true;
    bool m_usedSinceOpening = false;
};

} // namespace orvu
