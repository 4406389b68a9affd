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

class PanelWindow::Border : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override;
};

PanelWindow::PanelWindow(Mode mode, QWidget *parent) : QWidget(parent), m_mode(mode) {
    setWindowTitle(QStringLiteral("Orvu"));
    if (mode == Mode::attached) {
        setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        connect(qApp, &QGuiApplication::focusWindowChanged, this, &PanelWindow::focusWindowChanged);
    } else {
        setWindowFlags(Qt::Window);
    }
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setAutoFillBackground(true);
    if (mode == Mode::attached) {
        m_border = new Border(this);
        m_border->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
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
    if (m_border) {
        m_border->setGeometry(rect());
        m_border->raise();
    }
}

void PanelWindow::setContent(QWidget *content) {
    layout()->addWidget(content);
    if (m_border)
        m_border->raise();
}

void PanelWindow::open(std::optional<QPoint> position) {
    adjustSize();
    if (position)
        move(*position);
    m_openingAnnounced = false;
    show();
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
    if (event->key() == Qt::Key_Escape) {
        closeItself();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PanelWindow::focusWindowChanged(QWindow *focusWindow) {
    if (!isVisible() || ownsWindow(focusWindow) || hasOpenDialog())
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
