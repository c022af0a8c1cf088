#include "ForeignGuard/TavrelGuard.hpp"

#include <cstdlib>
#include <cstring>

namespace tavrel {

std::optional<foreign::Exception> tavrelGuard(const std::function<void()>& body) {
    try {
        body();
    } catch (const foreign::Exception& exception) {
        return exception;
    }
    return std::nullopt;
}

}  // namespace tavrel

extern "C" bool TavrelGuard(void (*body)(void* context), void* context, char** name,
                            char** reason) {
    auto caught = tavrel::tavrelGuard([&] { body(context); });
    if (!caught) return false;
    if (name != nullptr) *name = strdup(caught->name.c_str());
    if (reason != nullptr) *reason = strdup(caught->reason.c_str());
    return true;
}
