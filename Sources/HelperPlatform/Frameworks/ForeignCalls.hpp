#pragma once

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "HelperCore/Base/HelperFailure.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Exception.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

/// Calls into the platform's frameworks by name. Everything a framework raises is stopped at the
/// guard, so it reaches the helper's own code as a `HelperFailure` and never unwinds through it.
namespace tavrel::ForeignCalls {

/// The failure for an exception a framework raised while doing `what`: status 502,
/// "{what} raised {name}: {reason}" ("no reason" when the exception gave none).
HelperFailure raisedFailure(const std::string& what, const foreign::Exception& exception);

/// Runs `body` under TavrelGuard; throws `raisedFailure(what, …)` when the body raised.
/// Other exceptions (a `HelperFailure` thrown by the body) pass through unchanged.
void guardedCall(const std::string& what, const std::function<void()>& body);

/// Runs `body` under the guard and returns its value. `what` names the operation in the
/// failure message ("the device list", "sending input", ...).
template <class Body>
auto guarded(const std::string& what, Body&& body) -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    if constexpr (std::is_void_v<Result>) {
        guardedCall(what, [&] { body(); });
    } else {
        std::optional<Result> result;
        guardedCall(what, [&] { result.emplace(body()); });
        return std::move(*result);
    }
}

/// Performs `selector` without arguments when `target` responds to it and returns the result
/// when it is a framework object (a kind of the root class); otherwise nothing. Not guarded
/// itself: call it inside `guarded`.
foreign::ObjectRef object(const foreign::Value& target, const std::string& selector);

}  // namespace tavrel::ForeignCalls
