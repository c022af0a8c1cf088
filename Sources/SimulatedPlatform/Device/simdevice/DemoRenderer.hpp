// Draws a DemoModel into BGRA pixels with cairo. Every call draws the whole screen, so
// the result depends on the model alone, never on what the buffer held before.
#pragma once

#include <cstdint>

#include "SimulatedPlatform/Device/simdevice/DemoModel.hpp"

typedef struct _cairo_font_face cairo_font_face_t;

namespace tavrel::sim {

class DemoRenderer {
  public:
    DemoRenderer();
    ~DemoRenderer();
    DemoRenderer(const DemoRenderer&) = delete;
    DemoRenderer& operator=(const DemoRenderer&) = delete;

    /// `pixels`: widthPx x heightPx, BGRA premultiplied (cairo ARGB32), `bytesPerRow` a
    /// multiple of 4; `scale` pixels per point. Throws std::runtime_error when cairo refuses.
    void draw(const DemoModel& model, uint8_t* pixels, int widthPx, int heightPx, int bytesPerRow,
              double scale);

  private:
    cairo_font_face_t* regular_;
    cairo_font_face_t* bold_;
};

}  // namespace tavrel::sim
