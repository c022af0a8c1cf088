#include "HelperPlatform/Media/MediaLog.hpp"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace tavrel {

void quietMediaLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

}  // namespace tavrel
