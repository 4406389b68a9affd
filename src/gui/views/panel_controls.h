#pragma once

#include <QAbstractButton>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QWidget>

// The small controls the panel's views are made of.
namespace orvu {

// An 8 × 8 filled circle; its accessible description says what its colour means.
class StatusDot : public QWidget {
    Q_OBJECT
public:
    explicit StatusDot(QWidget *parent = nullptr);
    void setColor(const QColor &color);
    QColor color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
};

// A borderless button showing a tinted symbol or a short text; its accessible name is its
// text, or its tooltip when it shows only a symbol. Enter presses it, like Space.
class PlainButton : public QToolButton {
    Q_OBJECT
public:
    explicit PlainButton(QWidget *parent = nullptr);
    void setSymbol(const QString &name, int size, const QColor &color);
    void setToolTipText(const QString &tip);
    void setLabel(const QString &text);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_symbolKey;
};

// A button drawn as a rounded outline (radius 6, separator colour) with a symbol and a text,
// washed while hovered and ringed while focused: the sign-out and sync buttons.
class OutlineButton : public QAbstractButton {
    Q_OBJECT
public:
    OutlineButton(const QString &symbol, int symbolSize, const QFont &font, int horizontalPadding,
                  int height, QWidget *parent = nullptr);
    void setLabel(const QString &text);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QString m_symbol;
    int m_symbolSize;
    int m_padding;
};

// The one button that stands out in a view: filled with the accent colour, deepened until its
// white label reads on it whatever the desktop's accent, and otherwise sized, padded and
// pressed like every other push button.
class ProminentButton : public QPushButton {
    Q_OBJECT
public:
    explicit ProminentButton(const QString &text, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

// One line of text cut with an ellipsis where `mode` says, and never wider than it is given.
class ElidedLabel : public QWidget {
    Q_OBJECT
public:
    ElidedLabel(Qt::TextElideMode mode, QWidget *parent = nullptr);
    void setText(const QString &text);
    const QString &text() const { return m_text; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    Qt::TextElideMode m_mode;
};

// A one-pixel line in the separator colour.
class Divider : public QWidget {
    Q_OBJECT
public:
    explicit Divider(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A vertical scroll area exactly as high as its content up to `maxHeight`, scrolling beyond.
class CappedScrollArea : public QScrollArea {
    Q_OBJECT
public:
    CappedScrollArea(int maxHeight, QWidget *content, QWidget *parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int contentHeight() const;
    int m_maxHeight;
};

// Keyboard navigation. A widget marked as a row is reached with the arrow keys; the tab order
// below a root follows the order in which its layouts show the widgets, top to bottom.
void markAsRow(QWidget *widget);
// Moves the focus to the next (`delta` 1) or previous (-1) visible row of `from`'s window.
bool focusNeighbourRow(QWidget *from, int delta);
void markAsTabOrderRoot(QWidget *root);
// Widgets were added or moved below `changed`: its root's tab order is redone, once, when
// control returns to the event loop.
void requestVisualTabOrder(QWidget *changed);

} // namespace orvu
