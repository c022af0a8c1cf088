// The device's I/O object, its ports, the display descriptors and their surfaces.
//
// How the helper reads a display's surface ("IOSurface", as framebufferSurface/ioSurface
// return it): keys "width", "height", "bytesPerRow" (integers), "pixelFormat" ('BGRA'),
// "allocationSize", "seed" (the newest frame's 32-bit seed) and "baseAddress" (a pointer to
// BGRA pixels). While reading pixels, bracket the reads with
// `lockWithOptions:seed:` (options 1 = read-only; the slot receives the seed of the pixels
// now pinned; returns 0) and `unlockWithOptions:seed:`: while locked, baseAddress stays on the
// pinned frame and the device does not draw into it. Unlocked, baseAddress is the newest frame
// and may be overwritten two frames later. The object keeps the mapping alive.
#pragma once

#include <memory>

#include "SimulatedPlatform/Frameworks/CoreSimulator/DeviceConnection.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel::coresim {

void registerDisplayClasses(const std::filesystem::path& bundle);

// The device's I/O object ("SimDeviceIO").
foreign::ObjectRef makeDeviceIO(std::shared_ptr<DeviceConnection> device);

}  // namespace tavrel::coresim
