#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HelperCore/Input/HIDTransport.hpp"
#include "HelperPlatform/Simulator/SimDeviceHandle.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"
#include "SimulatedPlatform/Runtime/XPC/XPC.hpp"

namespace tavrel {

/// How the transports find what the simulator frameworks and the system offer only by name:
/// exported functions and framework classes. The process's own (dlsym over everything loaded,
/// the framework class registry) unless a test gives others.
struct RuntimeNames {
    std::function<void*(const char* name)> symbol;
    std::function<foreign::ClassRef(const std::string& name)> classNamed;

    static RuntimeNames process();
};

/// Sends each step as an XPC message to the digitizer service a booted simulator of a recent
/// runtime publishes, and waits (up to 2 s) for a barrier behind it, so that `send` returns
/// once the simulator has taken the step.
///
/// Threads: `send` may be called from several threads at once; the connection orders the
/// messages. Releasing the transport cancels the connection.
class DTUHIDTransport : public HIDTransport {
  public:
    static constexpr const char* service = "com.apple.coredevice.feature.remote.hid.digitizer";

    /// The message type and payload of one step, as the digitizer service reads them.
    struct Message {
        std::string type;
        XPCRef payload;
    };

    using ServiceLookup = std::function<std::optional<std::uint32_t>(const std::string& name)>;

    /// Connects to the device's digitizer service. Throws `HelperFailure` 502 when the system
    /// lacks the XPC calls for a simulator's services, the simulator does not publish the
    /// service, or no connection can be made.
    explicit DTUHIDTransport(const std::shared_ptr<SimDeviceHandle>& device);
    /// The same with the service lookup and the names given directly.
    DTUHIDTransport(const ServiceLookup& lookup, const RuntimeNames& names);
    ~DTUHIDTransport() override;
    DTUHIDTransport(const DTUHIDTransport&) = delete;
    DTUHIDTransport& operator=(const DTUHIDTransport&) = delete;

    std::string name() const override { return "dtuhid"; }
    /// A digitizer report carries "pointOne" and "pointTwo".
    int fingers() const override { return 2; }
    /// Throws 504 "input to the simulator did not go out within 2 seconds" when the barrier
    /// behind the message has not come back in time.
    void send(const HIDStep& step) override;

    /// The pure part of sending: what goes into the message for `step`.
    static Message message(const HIDStep& step);
    /// The whole dictionary sent for `step`.
    static XPCRef dictionary(const HIDStep& step);

  private:
    XPCRef connection_;
};

/// Builds an Indigo HID message with SimulatorKit's builders and hands it to SimulatorKit's
/// legacy HID client for the device, which returns once it has taken the message.
///
/// Threads: `send` may be called from several threads at once.
class IndigoTransport : public HIDTransport {
  public:
    static constexpr const char* clientClass = "_TtC12SimulatorKit24SimDeviceLegacyHIDClient";
    static constexpr const char* sendSelector =
        "sendWithMessage:freeWhenDone:completionQueue:completion:";

    /// Makes the legacy HID client for the device. Throws `HelperFailure` 502 when a builder or
    /// the client class or one of its methods is missing, or the client cannot be made (the
    /// guard's failure for "making the legacy HID client" when SimulatorKit raised).
    explicit IndigoTransport(const std::shared_ptr<SimDeviceHandle>& device);
    /// The same for a device object, with the names given directly.
    IndigoTransport(const foreign::Value& device, const RuntimeNames& names);

    std::string name() const override { return "indigo"; }
    /// Throws 502 when SimulatorKit builds no message, or the guard's failure for "sending
    /// input" when the client raised.
    void send(const HIDStep& step) override;

  private:
    using MouseBuilder = void* (*)(const double* point, const double* secondPoint,
                                   std::uint32_t target, std::uint32_t eventType,
                                   std::uint32_t flags, double width, double height);
    using ButtonBuilder = void* (*)(std::uint32_t target, std::uint32_t usagePage,
                                    std::uint32_t usage, std::uint32_t operation);
    using KeyBuilder = void* (*)(std::uint32_t usage, std::uint32_t operation);

    void* build(const HIDStep& step) const;

    MouseBuilder mouse_ = nullptr;
    ButtonBuilder button_ = nullptr;
    KeyBuilder key_ = nullptr;
    foreign::ObjectRef client_;
    foreign::Method send_;
};

}  // namespace tavrel
