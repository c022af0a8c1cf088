#include "HelperPlatform/Frameworks/ForeignCalls.hpp"

#include "ForeignGuard/TavrelGuard.hpp"

namespace tavrel::ForeignCalls {

HelperFailure raisedFailure(const std::string& what, const foreign::Exception& exception) {
    const auto& reason = exception.reason.empty() ? std::string("no reason") : exception.reason;
    return HelperFailure(what + " raised " + exception.name + ": " + reason, 502);
}

void guardedCall(const std::string& what, const std::function<void()>& body) {
    if (auto caught = tavrelGuard(body)) throw raisedFailure(what, *caught);
}

foreign::ObjectRef object(const foreign::Value& target, const std::string& selector) {
    if (!foreign::respondsTo(target, selector)) return nullptr;
    auto result = foreign::send(target, selector);
    auto root = foreign::rootClass();
    if (!root || !foreign::isKindOf(result, *root)) return nullptr;
    return result.asObject();
}

}  // namespace tavrel::ForeignCalls
