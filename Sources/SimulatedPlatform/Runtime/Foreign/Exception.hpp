#pragma once

#include <string>

namespace tavrel::foreign {

// What a framework raises, in place of an NSException. Deliberately not a std::exception:
// only TavrelGuard is meant to catch it, and a generic handler must not swallow it by accident.
struct Exception {
    std::string name;
    std::string reason;
};

}  // namespace tavrel::foreign
