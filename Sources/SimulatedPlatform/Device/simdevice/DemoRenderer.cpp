#include "SimulatedPlatform/Device/simdevice/DemoRenderer.hpp"

#include <cairo.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

namespace tavrel::sim {
namespace {

struct Color {
    double r, g, b;
};

constexpr Color white{1, 1, 1};
constexpr Color black{0, 0, 0};
constexpr Color background{0.949, 0.949, 0.969};
constexpr Color label{0.1, 0.1, 0.12};
constexpr Color secondary{0.55, 0.55, 0.58};
constexpr Color tint{0.0, 0.478, 1.0};
constexpr Color green{0.204, 0.78, 0.349};
constexpr Color separator{0.78, 0.78, 0.8};
constexpr Color selection{0.82, 0.89, 1.0};

struct CairoDeleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};

void setColor(cairo_t* cr, Color c, double alpha = 1) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void roundedRect(cairo_t* cr, const Rect& r, double radius) {
    radius = std::min(radius, std::min(r.width, r.height) / 2);
    cairo_new_sub_path(cr);
    cairo_arc(cr, r.x + r.width - radius, r.y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, r.x + r.width - radius, r.y + r.height - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, r.x + radius, r.y + r.height - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, r.x + radius, r.y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void fill(cairo_t* cr, const Rect& r, Color c, double radius = 0) {
    setColor(cr, c);
    if (radius > 0) {
        roundedRect(cr, r, radius);
    } else {
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    }
    cairo_fill(cr);
}

enum class Align { left, center, right };

// Text vertically centred in `box`.
void text(cairo_t* cr, cairo_font_face_t* face, double size, Color c, const std::string& s,
          const Rect& box, Align align = Align::left) {
    cairo_set_font_face(cr, face);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, s.c_str(), &extents);
    double x = box.x;
    if (align == Align::center) x = box.x + (box.width - extents.x_advance) / 2;
    if (align == Align::right) x = box.x + box.width - extents.x_advance;
    const double y = box.y + box.height / 2 + size * 0.35;
    setColor(cr, c);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s.c_str());
}

// A street map stands in for a photo: something whose zoom and turn the eye reads at once.
// Drawn in the picture's own points about its frame's centre, larger than the frame so that a
// turned picture still fills it.
void drawMap(cairo_t* cr, const PinchGesture& photo) {
    const Rect& frame = photo.frame();
    const double cx = frame.x + frame.width / 2, cy = frame.y + frame.height / 2;
    cairo_save(cr);
    roundedRect(cr, frame, 12);
    cairo_clip(cr);
    setColor(cr, {0.93, 0.91, 0.86});
    cairo_paint(cr);

    cairo_translate(cr, cx + photo.offset().x, cy + photo.offset().y);
    cairo_rotate(cr, photo.angleDegrees() * M_PI / 180);
    cairo_scale(cr, photo.zoom(), photo.zoom());
    const double reach = std::hypot(frame.width, frame.height);

    // Parks and a lake.
    fill(cr, {-reach * 0.45, -reach * 0.3, reach * 0.25, reach * 0.18}, {0.71, 0.86, 0.62}, 6);
    fill(cr, {reach * 0.15, reach * 0.05, reach * 0.2, reach * 0.22}, {0.71, 0.86, 0.62}, 6);
    setColor(cr, {0.62, 0.8, 0.95});
    cairo_arc(cr, -reach * 0.12, reach * 0.18, reach * 0.09, 0, 2 * M_PI);
    cairo_fill(cr);
    // A river.
    setColor(cr, {0.62, 0.8, 0.95});
    cairo_set_line_width(cr, 10);
    cairo_move_to(cr, -reach, reach * 0.35);
    cairo_curve_to(cr, -reach * 0.3, -reach * 0.1, reach * 0.2, reach * 0.6, reach, -reach * 0.2);
    cairo_stroke(cr);
    // Streets every 30 points, one avenue across.
    setColor(cr, white);
    cairo_set_line_width(cr, 3);
    for (double at = -reach; at <= reach; at += 30) {
        cairo_move_to(cr, at, -reach);
        cairo_line_to(cr, at, reach);
        cairo_move_to(cr, -reach, at);
        cairo_line_to(cr, reach, at);
    }
    cairo_stroke(cr);
    setColor(cr, {0.98, 0.8, 0.35});
    cairo_set_line_width(cr, 7);
    cairo_move_to(cr, -reach, -reach * 0.5);
    cairo_line_to(cr, reach, reach * 0.4);
    cairo_stroke(cr);
    // A pin on the centre, pointing up the picture.
    setColor(cr, {0.92, 0.26, 0.21});
    cairo_move_to(cr, 0, 0);
    cairo_line_to(cr, -7, -14);
    cairo_arc(cr, 0, -16, 7.5, M_PI * 0.85, M_PI * 2.15);
    cairo_close_path(cr);
    cairo_fill(cr);
    setColor(cr, white);
    cairo_arc(cr, 0, -16, 3, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_restore(cr);
}

}  // namespace

DemoRenderer::DemoRenderer()
    : regular_(cairo_toy_font_face_create("DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                                          CAIRO_FONT_WEIGHT_NORMAL)),
      bold_(cairo_toy_font_face_create("DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                                       CAIRO_FONT_WEIGHT_BOLD)) {}

DemoRenderer::~DemoRenderer() {
    cairo_font_face_destroy(regular_);
    cairo_font_face_destroy(bold_);
}

void DemoRenderer::draw(const DemoModel& model, uint8_t* pixels, int widthPx, int heightPx,
                        int bytesPerRow, double scale) {
    std::unique_ptr<cairo_surface_t, CairoDeleter> surface(cairo_image_surface_create_for_data(
        pixels, CAIRO_FORMAT_ARGB32, widthPx, heightPx, bytesPerRow));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error("cairo cannot draw into the display's surface");
    }
    std::unique_ptr<cairo_t, CairoDeleter> context(cairo_create(surface.get()));
    cairo_t* cr = context.get();
    cairo_scale(cr, scale, scale);
    const auto& layout = model.layout();
    const Rect screen{0, 0, layout.width, layout.height};

    if (model.screen() == Screen::locked) {
        fill(cr, screen, black);
        text(cr, bold_, 84, white, model.clock(), {0, layout.height * 0.18, layout.width, 100},
             Align::center);
    } else if (model.screen() == Screen::home) {
        // A plain gradient stands in for the wallpaper.
        cairo_pattern_t* wallpaper = cairo_pattern_create_linear(0, 0, 0, layout.height);
        cairo_pattern_add_color_stop_rgb(wallpaper, 0, 0.15, 0.3, 0.55);
        cairo_pattern_add_color_stop_rgb(wallpaper, 1, 0.45, 0.2, 0.5);
        cairo_set_source(cr, wallpaper);
        cairo_paint(cr);
        cairo_pattern_destroy(wallpaper);
        int index = 0;
        for (const auto& icon : layout.icons()) {
            const Color hues[] = {tint,  secondary, {1, 0.6, 0},   {0.3, 0.3, 0.3},
                                  green, black,     {1, 0.8, 0.1}, {0.3, 0.6, 1}};
            const Rect square{icon.frame.x, icon.frame.y, icon.frame.width, icon.frame.width};
            fill(cr, square, hues[index++ % 8], 14);
            text(cr, bold_, 26, white, icon.name.substr(0, 1), square, Align::center);
            text(cr, regular_, 12, white, icon.name,
                 {icon.frame.x - 10, square.y + square.height, icon.frame.width + 20, 20},
                 Align::center);
        }
    } else {
        fill(cr, screen, background);
        text(cr, bold_, 34, label, "Demo", layout.title);

        fill(cr, layout.button, tint, 12);
        text(cr, bold_, 18, white, "Tap me", layout.button, Align::center);
        text(cr, regular_, 17, label, "Taps: " + std::to_string(model.taps()), layout.count);

        fill(cr, layout.switchRow, white, 10);
        text(cr, regular_, 17, label, "Wi-Fi",
             {layout.switchRow.x + 14, layout.switchRow.y, 100, layout.switchRow.height});
        const Rect& knobTrack = layout.switchControl;
        fill(cr, knobTrack, model.wifi() ? green : separator, knobTrack.height / 2);
        const double knob = knobTrack.height - 4;
        const double knobX =
            model.wifi() ? knobTrack.x + knobTrack.width - knob - 2 : knobTrack.x + 2;
        fill(cr, {knobX, knobTrack.y + 2, knob, knob}, white, knob / 2);

        fill(cr, layout.sliderRow, white, 10);
        text(cr, regular_, 17, label, "Volume",
             {layout.sliderRow.x + 14, layout.sliderRow.y, 80, layout.sliderRow.height});
        const Rect& track = layout.sliderTrack;
        const double middle = track.y + track.height / 2;
        const double filled = track.width * model.volume();
        fill(cr, {track.x, middle - 2, track.width - 14, 4}, separator, 2);
        fill(cr, {track.x, middle - 2, filled, 4}, tint, 2);
        fill(cr, {track.x + filled - 14 * model.volume(), middle - 14, 28, 28}, white, 14);
        setColor(cr, separator);
        cairo_set_line_width(cr, 0.5);
        roundedRect(cr, {track.x + filled - 14 * model.volume(), middle - 14, 28, 28}, 14);
        cairo_stroke(cr);

        fill(cr, layout.field, white, 10);
        if (model.editing()) {
            setColor(cr, tint);
            cairo_set_line_width(cr, 2);
            roundedRect(cr, layout.field, 10);
            cairo_stroke(cr);
        }
        const Rect fieldText{layout.field.x + 14, layout.field.y, layout.field.width - 28,
                             layout.field.height};
        if (model.name().empty()) {
            text(cr, regular_, 17, secondary, "Name", fieldText);
        } else {
            text(cr, regular_, 17, label, model.name(), fieldText);
        }

        drawMap(cr, model.photo());
        text(cr, regular_, 17, label, model.photo().zoomLabel(), layout.zoomLabel);
        text(cr, regular_, 17, label, model.photo().angleLabel(), layout.angleLabel);

        cairo_save(cr);
        cairo_rectangle(cr, layout.list.x, layout.list.y, layout.list.width, layout.list.height);
        cairo_clip(cr);
        for (int row = 1; row <= DemoLayout::rowCount; ++row) {
            const Rect cell = layout.cell(row, model.scroll());
            if (!cell.intersects(layout.list)) continue;
            fill(cr, cell, row == model.selectedRow() ? selection : white);
            text(cr, regular_, 17, label, "Row " + std::to_string(row),
                 {cell.x + 20, cell.y, cell.width - 40, cell.height});
            fill(cr, {cell.x + 20, cell.y + cell.height - 0.5, cell.width - 20, 0.5}, separator);
        }
        cairo_restore(cr);
    }

    if (model.screen() != Screen::locked) {
        const Color ink = model.screen() == Screen::home ? white : label;
        text(cr, bold_, 16, ink, model.clock(), {28, 0, 100, DemoLayout::statusBarHeight});
        fill(cr, {layout.width - 52, 16, 26, 12}, ink, 3);
    }
    if (model.wallet()) {
        setColor(cr, black, 0.55);
        cairo_paint(cr);
        fill(cr, layout.walletCard, {0.1, 0.1, 0.12}, 16);
        text(cr, bold_, 26, white, "Wallet",
             {layout.walletCard.x + 20, layout.walletCard.y + 10, layout.walletCard.width, 44});
    }
    if (model.listening()) {
        fill(cr, layout.banner, {0.12, 0.12, 0.14}, 20);
        text(cr, bold_, 20, white, "Listening…", layout.banner, Align::center);
    }
    if (model.animating()) {
        // A ball that crosses the screen and back, 4 points a frame.
        const double travel = layout.width - 40;
        const double position = std::fmod(model.animationStep() * 4.0, 2 * travel);
        const double x = position < travel ? position : 2 * travel - position;
        setColor(cr, {1, 0.23, 0.19});
        cairo_arc(cr, x + 20, layout.height - 60, 20, 0, 2 * M_PI);
        cairo_fill(cr);
    }
    cairo_surface_flush(surface.get());
}

}  // namespace tavrel::sim
