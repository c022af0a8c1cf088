#include "HelperPlatform/Media/PixelSource.hpp"

#include "HelperPlatform/Media/FrameSignal.hpp"

namespace tavrel {

ObserverID PixelSource::observe(Callback callback) {
    return signal().observe(std::move(callback));
}

void PixelSource::forget(ObserverID id) {
    signal().forget(id);
}

void PixelSource::async(Callback body) {
    signal().async(std::move(body));
}

void PixelSource::asyncAfter(double seconds, Callback body) {
    signal().asyncAfter(seconds, std::move(body));
}

}  // namespace tavrel
