// One simulated device as CoreSimulator's objects see it: its record and, while it runs, the
// link to its process. Shared by the device object, its I/O object and its services.
#pragma once

#include <memory>
#include <mutex>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"

namespace tavrel::coresim {

class DeviceConnection {
  public:
    explicit DeviceConnection(sim::DeviceRecord record) : record_(std::move(record)) {}

    const sim::DeviceRecord& record() const { return record_; }
    std::string state() const { return sim::DeviceSet::state(record_.directory); }
    bool modernRuntime() const { return record_.runtime != "legacy"; }

    // The link to the running device, made on first use and again after the device went away
    // and came back. Throws sim::DeviceLinkError when it is not booted.
    std::shared_ptr<sim::DeviceLink> link();

  private:
    sim::DeviceRecord record_;
    std::mutex lock_;
    std::shared_ptr<sim::DeviceLink> link_;
};

}  // namespace tavrel::coresim
