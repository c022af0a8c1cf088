#pragma once

#include <cairo.h>

#include <memory>
#include <vector>

#include "HelperCore/Render/TouchMarks.hpp"

namespace tavrel {

struct CairoSurfaceDestroy {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using CairoSurfacePtr = std::unique_ptr<cairo_surface_t, CairoSurfaceDestroy>;

/// A rectangle of pixels; empty when `width` or `height` is 0.
struct PixelRectangle {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    bool operator==(const PixelRectangle&) const = default;
};

/// Draws touch marks with cairo: a trail is a round-capped line 0.024 of the width wide; a
/// ring a disc at half opacity with a white outline of max(0.009 of the width, 3 px). Agent
/// touches are orange, a person's blue.
namespace TouchPainter {

/// A transparent overlay of exactly width x height (ARGB32, premultiplied) with the marks on
/// it, or null when there are no marks or no surface can be made.
CairoSurfacePtr paint(const std::vector<TouchMark>& marks, int width, int height);

/// Draws the marks straight onto a picture of width x height. Each drawing step composites
/// source-over, so this gives the same pixels as the overlay of `paint` laid over the picture,
/// without a second full-size pass.
void draw(cairo_t* context, const std::vector<TouchMark>& marks, int width, int height);

/// The pixels of a width x height picture that `draw` may change for these marks (their
/// antialiased edges included), clipped to the picture; empty when no mark shows.
PixelRectangle bounds(const std::vector<TouchMark>& marks, int width, int height);

}  // namespace TouchPainter
}  // namespace tavrel
