#include "ui/shapes.h"

#include <QPainter>

namespace quillmere {

ShapeWidget::ShapeWidget(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ShapeWidget::setFilled(bool filled)
{
    if (m_filled == filled)
        return;
    m_filled = filled;
    update();
}

void ShapeWidget::setFillColor(const QColor& colour)
{
    if (m_fillColor == colour)
        return;
    m_fillColor = colour;
    update();
}

void ShapeWidget::setBorderVisible(bool visible)
{
    if (m_borderVisible == visible)
        return;
    m_borderVisible = visible;
    update();
}

void ShapeWidget::setBorderColor(const QColor& colour)
{
    if (m_borderColor == colour)
        return;
    m_borderColor = colour;
    update();
}

QSize ShapeWidget::sizeHint() const
{
    return {32, 32};
}

void ShapeWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int w = width();
    const int h = height();
    if (m_filled)
        painter.fillRect(0, 0, w, h, m_fillColor);
    if (m_borderVisible) {
        // Four 1-pixel strips on the outermost rows and columns; fills rather than a stroked
        // rectangle, so the border stays on the edge whatever the pen rasterisation does.
        painter.fillRect(0, 0, w, 1, m_borderColor);
        painter.fillRect(0, h - 1, w, 1, m_borderColor);
        painter.fillRect(0, 0, 1, h, m_borderColor);
        painter.fillRect(w - 1, 0, 1, h, m_borderColor);
    }
}

LineWidget::LineWidget(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

QColor LineWidget::lineColor() const
{
    return m_lineColor.isValid() ? m_lineColor : palette().color(QPalette::WindowText);
}

void LineWidget::setLineColor(const QColor& colour)
{
    if (m_lineColor == colour)
        return;
    m_lineColor = colour;
    update();
}

void LineWidget::resetLineColor()
{
    setLineColor(QColor());
}

QSize LineWidget::sizeHint() const
{
    return {32, 1};
}

void LineWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(0, 0, width(), 1, lineColor());
}

PictureBox::PictureBox(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void PictureBox::setPicture(const QPixmap& picture)
{
    m_picture = picture;
    updateGeometry();
    update();
}

void PictureBox::setStretch(bool stretch)
{
    if (m_stretch == stretch)
        return;
    m_stretch = stretch;
    update();
}

QSize PictureBox::sizeHint() const
{
    if (m_picture.isNull())
        return {32, 32};
    return m_picture.deviceIndependentSize().toSize();
}

void PictureBox::paintEvent(QPaintEvent*)
{
    if (m_picture.isNull())
        return;
    QPainter painter(this);
    if (m_stretch) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(rect(), m_picture);
    } else {
        painter.drawPixmap(QPoint(0, 0), m_picture);
    }
}

} // namespace quillmere
