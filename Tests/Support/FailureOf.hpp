#pragma once

#include <gtest/gtest.h>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel::testing {

/// The `HelperFailure` that `body` throws; a test failure, and an empty failure, when it throws
/// none.
template <class Body>
HelperFailure failureOf(Body&& body) {
    try {
        body();
    } catch (const HelperFailure& failure) {
        return failure;
    }
    ADD_FAILURE() << "no failure";
    return HelperFailure("", 0);
}

}  // namespace tavrel::testing
