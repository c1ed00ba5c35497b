#pragma once

// Passive decorations of the main window: rectangles, the horizontal rule and the background
// picture. They derive from QWidget itself, not from QFrame or QLabel, so that the theming pass,
// which colours frames and labels by their kind, leaves them alone. None of them takes the
// mouse or the keyboard focus: clicks go through to whatever lies behind them.

#include <QColor>
#include <QPixmap>
#include <QWidget>

namespace quillmere {

// A rectangle, optionally filled, with an optional 1-pixel border drawn on the widget's own
// outer edge.
class ShapeWidget : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool filled READ isFilled WRITE setFilled)
    Q_PROPERTY(QColor fillColor READ fillColor WRITE setFillColor)
    Q_PROPERTY(bool borderVisible READ isBorderVisible WRITE setBorderVisible)
    Q_PROPERTY(QColor borderColor READ borderColor WRITE setBorderColor)

public:
    explicit ShapeWidget(QWidget* parent = nullptr);

    bool isFilled() const { return m_filled; }
    void setFilled(bool filled);
    QColor fillColor() const { return m_fillColor; }
    void setFillColor(const QColor& colour);
    bool isBorderVisible() const { return m_borderVisible; }
    void setBorderVisible(bool visible);
    QColor borderColor() const { return m_borderColor; }
    void setBorderColor(const QColor& colour);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_filled = false;
    QColor m_fillColor{Qt::black};
    bool m_borderVisible = true;
    QColor m_borderColor{Qt::black};
};

// A horizontal 1-pixel rule along the widget's top row, across its whole width. Its colour is
// the palette's window-text colour until one is set.
class LineWidget : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor lineColor READ lineColor WRITE setLineColor RESET resetLineColor)

public:
    explicit LineWidget(QWidget* parent = nullptr);

    QColor lineColor() const;
    void setLineColor(const QColor& colour);
    void resetLineColor();

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_lineColor; // invalid: follow the palette
};

// A picture, stretched to fill the widget or drawn at its natural size at the top-left corner.
class PictureBox : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QPixmap picture READ picture WRITE setPicture)
    Q_PROPERTY(bool stretch READ stretch WRITE setStretch)

public:
    explicit PictureBox(QWidget* parent = nullptr);

    QPixmap picture() const { return m_picture; }
    void setPicture(const QPixmap& picture);
    bool stretch() const { return m_stretch; }
    void setStretch(bool stretch);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_picture;
    bool m_stretch = true;
};

} // namespace quillmere
