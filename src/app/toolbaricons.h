#pragma once

#include <QColor>
#include <QIcon>
#include <QPainterPath>

namespace vrn {

// The toolbar's glyphs, drawn with painter paths on a 24-unit grid so they follow the theme's
// colours and stay sharp at any scale.
enum class ToolbarGlyph {
    Open = 0,
    Reload = 1,
    Save = 2,
    RevertAll = 3,
    FindModule = 4,
    Backups = 5,
    Restore = 6,
    Theme = 7,
    About = 8,
    Undo = 9,
    Redo = 10,
};

// The glyph's outline on the 24 x 24 grid; strokes are returned as outlines already, so the
// whole glyph is one filled path.
QPainterPath toolbarGlyphPath(ToolbarGlyph glyph);

// A square icon of `pixels` device pixels: the glyph in `normal` for the Normal and Active
// modes and in `disabled` for the Disabled mode.
QIcon toolbarIcon(ToolbarGlyph glyph, const QColor &normal, const QColor &disabled, int pixels,
                  qreal devicePixelRatio = 1.0);

} // namespace vrn
