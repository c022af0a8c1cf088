#include "HelperPlatform/Render/TouchPainter.hpp"

#include <algorithm>
#include <numbers>

namespace tavrel::TouchPainter {
namespace {

struct Colour {
    double red, green, blue;
};
constexpr Colour agentColour{1.0, 0.54, 0.1};
constexpr Colour personColour{0.04, 0.52, 1.0};

constexpr double trailWidth = 0.024;
constexpr double trailOpacity = 0.7;
constexpr double ringFillOpacity = 0.5;
constexpr double ringOutlineWidth = 0.009;
constexpr double thinnestOutline = 3;
constexpr double ringOutlineOpacity = 0.95;

}  // namespace

void draw(cairo_t* context, const std::vector<TouchMark>& marks, int width, int height) {
    const double w = width;
    const double h = height;
    cairo_save(context);
    cairo_set_operator(context, CAIRO_OPERATOR_OVER);
    for (const TouchMark& mark : marks) {
        const Colour colour = mark.byAgent ? agentColour : personColour;
        // The mark's alpha scales every step, as a global alpha does.
        const double alpha = std::clamp(mark.alpha, 0.0, 1.0);
        if (const auto* trail = std::get_if<TouchMark::Trail>(&mark.shape)) {
            // One point is no line: round caps would leave a dot under the ring.
            if (trail->points.size() < 2) continue;
            cairo_set_line_cap(context, CAIRO_LINE_CAP_ROUND);
            cairo_set_line_join(context, CAIRO_LINE_JOIN_ROUND);
            cairo_set_line_width(context, trailWidth * w);
            cairo_set_source_rgba(context, colour.red, colour.green, colour.blue,
                                  trailOpacity * alpha);
            cairo_new_path(context);
            cairo_move_to(context, trail->points[0][0] * w, trail->points[0][1] * h);
            for (std::size_t index = 1; index < trail->points.size(); ++index) {
                cairo_line_to(context, trail->points[index][0] * w, trail->points[index][1] * h);
            }
            cairo_stroke(context);
            continue;
        }
        const auto& ring = std::get<TouchMark::Ring>(mark.shape);
        cairo_new_path(context);
        cairo_arc(context, ring.x * w, ring.y * h, ring.radius * w, 0, 2 * std::numbers::pi);
        cairo_set_source_rgba(context, colour.red, colour.green, colour.blue,
                              ringFillOpacity * alpha);
        cairo_fill_preserve(context);
        cairo_set_line_width(context, std::max(ringOutlineWidth * w, thinnestOutline));
        cairo_set_source_rgba(context, 1, 1, 1, ringOutlineOpacity * alpha);
        cairo_stroke(context);
    }
    cairo_restore(context);
}

CairoSurfacePtr paint(const std::vector<TouchMark>& marks, int width, int height) {
    if (marks.empty() || width < 1 || height < 1) return nullptr;
    CairoSurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    cairo_t* context = cairo_create(surface.get());
    draw(context, marks, width, height);
    const bool drawn = cairo_status(context) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(context);
    if (!drawn) return nullptr;
    cairo_surface_flush(surface.get());
    return surface;
}

}  // namespace tavrel::TouchPainter
