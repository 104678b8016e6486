// Soft drop shadows under widgets, as QGraphicsDropShadowEffect draws them,
// without its cost. A graphics effect renders its widget into a pixmap and
// blurs it on every paint, and a strip of tiles each with their own effect,
// inside a strip with its effect too, made every repaint of the home page
// tens of milliseconds. Here one transparent layer per parent widget, below
// its other children, paints the shadows of the children that cast one; a
// shadow is made once per shape (tiles of one size share it) and painted
// from the cache afterwards. The widgets themselves paint as usual on top.
#pragma once

#include <QColor>
#include <QPoint>

class QWidget;

namespace shadows {

// `widget` casts a shadow of `color`, blurred by `blur` pixels and moved by
// `offset`, onto its parent (now or once it has one). Its shape is taken
// from what it paints, the first time the shadow is needed and again when
// it is resized.
void cast(QWidget* widget, const QColor& color, int blur, const QPoint& offset);

// The look of `widget` changed in a way that may change its outline (an
// image with transparent parts, square corners instead of round ones): its
// shape is taken again before its shadow is next painted.
void refresh(QWidget* widget);

}  // namespace shadows
