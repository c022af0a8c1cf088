#pragma once

#include <functional>
#include <memory>
#include <string>

#include "HelperCore/Accessibility/Accessibility.hpp"
#include "HelperPlatform/Simulator/SimDeviceHandle.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel {

/// Reads a simulator's accessibility tree through AccessibilityPlatformTranslation: sets the
/// framework's shared translator up with this reader as its bridge delegate (a framework
/// object answering the delegate selectors), forwards the framework's requests to the
/// simulator through CoreSimulator, and walks the frontmost application's platform elements
/// into `AXNode` values.
///
/// Threads: `tree()` may be called from any thread; every read of every reader runs on the
/// one process-wide queue "tavrel.accessibility", so reads never overlap. Replies to
/// forwarded requests arrive on the reader's own queue "tavrel.accessibility.replies". The
/// framework reaches the reader only through a weak reference.
class AccessibilityReader {
  public:
    /// At most this many elements are read per tree.
    static constexpr int budget = 2000;
    /// Children are read only for elements less deep than this below the root.
    static constexpr int depthLimit = 80;
    /// How long a forwarded request may wait for the simulator's reply.
    static constexpr int forwardLimitS = 5;

    /// Throws `HelperFailure` 502 "AccessibilityPlatformTranslation is not on this Mac" when
    /// the framework or its translator is missing, 502 "this CoreSimulator cannot send
    /// accessibility requests" when the device cannot forward, or the guard's failure for
    /// "setting up the accessibility translator".
    explicit AccessibilityReader(const std::shared_ptr<SimDeviceHandle>& device);
    /// The same for a device object, loading the framework from `frameworkPath` and finding
    /// the framework's classes with `classNamed`.
    AccessibilityReader(foreign::Value device, const std::string& frameworkPath,
                        std::function<foreign::ClassRef(const std::string&)> classNamed);
    ~AccessibilityReader();
    AccessibilityReader(const AccessibilityReader&) = delete;
    AccessibilityReader& operator=(const AccessibilityReader&) = delete;

    /// One fresh read of the whole tree of the frontmost application. Throws 503 "the
    /// simulator has no frontmost application to read yet", or the guard's failure for
    /// "reading the frontmost application" or "reading the accessibility tree".
    AXNode tree();

    /// Walks a platform element and its descendants, depth first, within the element budget
    /// and the depth limit, handing `token` to every element's translation. Must run inside
    /// the guard: the framework may raise.
    static AXNode walk(const foreign::Value& element, const std::string& token);

    /// The reader's face to the framework (its bridge delegate).
    const foreign::ObjectRef& delegate() const { return delegate_; }

    struct State;

  private:
    std::shared_ptr<State> state_;
    foreign::ObjectRef delegate_;
};

}  // namespace tavrel
