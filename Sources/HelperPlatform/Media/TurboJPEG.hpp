#pragma once

#include <turbojpeg.h>

#include <memory>

namespace tavrel {

/// One owner for TurboJPEG's handles and the buffers it allocates.
struct TurboJPEGDestroy {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct TurboJPEGFree {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

/// A compressor or decompressor (`tjInitCompress`, `tjInitDecompress`).
using TurboJPEGHandle = std::unique_ptr<void, TurboJPEGDestroy>;
/// A buffer from `tjAlloc` or one TurboJPEG grew.
using TurboJPEGBuffer = std::unique_ptr<unsigned char, TurboJPEGFree>;

/// TurboJPEG's description of the last failure of `handle` (or of the last handle-less call).
inline const char* turboJPEGReason(void* handle) {
    return tjGetErrorStr2(handle);
}

}  // namespace tavrel
