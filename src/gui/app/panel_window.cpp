#include "gui/app/panel_window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

namespace orvu {

namespace {

// Between the icon and the panel, so the panel does not look glued to the tray.
constexpr int kGap = 4;
// A click on the icon arrives shortly after the focus change it caused.
constexpr qint64 kSameClickMs = 300;
// When the panel is not drawn at all (hidden again at once), the opening is announced anyway.
constexpr int kOpenedFallbackMs = 250;

} // namespace

QPoint panelPosition(const QRect &iconGeometry, const QPoint &cursor, const QSize &panelSize,
                     const QRect &available) {
    const QRect anchor = iconGeometry.isValid() ? iconGeometry : QRect(cursor, QSize(1, 1));
    const bool topPanel = anchor.center().y() < available.center().y();
    int x = anchor.center().x() - panelSize.width() / 2;
    int y = topPanel ? anchor.bottom() + 1 + kGap : anchor.top() - kGap - panelSize.height();
    x = std::max(available.left(), std::min(x, available.right() + 1 - panelSize.width()));
    y = std::max(available.top(), std::min(y, available.bottom() + 1 - panelSize.height()));
    return {x, y};
}

bool closesOnFocusLoss(bool placedByCompositor, bool usedSinceOpening, bool dialogOpen) {
    return !dialogOpen && (!placedByCompositor || usedSinceOpening);
}

class PanelWindow::Border : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override;
};

PanelWindow::PanelWindow(Mode mode, QWidget *parent) : QWidget(parent), m_mode(mode) {
    setWindowTitle(QStringLiteral("Orvu"));
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &PanelWindow::focusWindowChanged);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setAutoFillBackground(true);
    m_border = new Border(this);
    m_border->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_mode = mode == Mode::attached ? Mode::standalone : Mode::attached;
    setMode(mode);
}

void PanelWindow::setMode(Mode mode) {
    if (mode == m_mode)
        return;
    m_mode = mode;
    hide();
    setWindowFlags(mode == Mode::attached
                       ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                       : Qt::Window);
    m_border->setVisible(mode == Mode::attached);
}

bool PanelWindow::placedByCompositor() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// The palette's window colour with a subtle border stands in for a translucent popover. The
// border lies over the content, which fills the whole width.
void PanelWindow::Border::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void PanelWindow::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    m_border->setGeometry(rect());
    m_border->raise();
}

// The window sees every key and the pointer's arrival before any widget of the content does.
bool PanelWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == windowHandle() &&
        (event->type() == QEvent::Enter || event->type() == QEvent::KeyPress))
        m_usedSinceOpening = true;
    return QWidget::eventFilter(watched, event);
}

void PanelWindow::closeEvent(QCloseEvent *event) {
    QWidget::closeEvent(event);
    if (m_mode == Mode::standalone)
        emit closedByUser();
}

void PanelWindow::setContent(QWidget *content) {
    layout()->addWidget(content);
    m_border->raise();
}

void PanelWindow::open(std::optional<QPoint> position) {
    adjustSize();
    if (position)
        move(*position);
    m_openingAnnounced = false;
    m_usedSinceOpening = false;
    show();
    windowHandle()->installEventFilter(this);
    raise();
    activateWindow();
    QTimer::singleShot(kOpenedFallbackMs, this, &PanelWindow::announceOpened);
}

void PanelWindow::paintEvent(QPaintEvent *event) {
    QWidget::paintEvent(event);
    if (!m_openingAnnounced)
        // After this paint has reached the screen.
        QMetaObject::invokeMethod(this, &PanelWindow::announceOpened, Qt::QueuedConnection);
}

void PanelWindow::announceOpened() {
    if (std::exchange(m_openingAnnounced, true))
        return;
    emit opened();
}

bool PanelWindow::closedItselfJustNow() const {
    return m_closedItself.isValid() && m_closedItself.elapsed() < kSameClickMs;
}

void PanelWindow::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Escape && m_mode == Mode::attached) {
        closeItself();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PanelWindow::focusWindowChanged(QWindow *focusWindow) {
    if (m_mode != Mode::attached || !isVisible() || ownsWindow(focusWindow) ||
        !closesOnFocusLoss(placedByCompositor(), m_usedSinceOpening, hasOpenDialog()))
        return;
    closeItself();
}

bool PanelWindow::ownsWindow(const QWindow *window) const {
    for (; window; window = window->transientParent())
        if (window == windowHandle())
            return true;
    return false;
}

bool PanelWindow::hasOpenDialog() const {
    // Any visible window whose parent chain leads here, such as a confirmation of the content.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *window : windows) {
        if (window == this || !window->isVisible())
            continue;
        for (const QWidget *up = window->parentWidget(); up; up = up->parentWidget())
            if (up == this)
                return true;
    }
    return false;
}

void PanelWindow::closeItself() {
    m_closedItself.start();
    hide();
}

} // namespace orvu
