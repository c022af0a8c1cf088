#include "HelperCore/Concurrency/ThreadName.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace tavrel {

void setCurrentThreadName(std::string_view name) {
    std::string shortName(name.substr(0, 15));
#if defined(__linux__)
    pthread_setname_np(pthread_self(), shortName.c_str());
#elif defined(__APPLE__)
    pthread_setname_np(shortName.c_str());
#endif
}

std::string currentThreadName() {
#if defined(__linux__) || defined(__APPLE__)
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0) return name;
#endif
    return "";
}

}  // namespace tavrel
