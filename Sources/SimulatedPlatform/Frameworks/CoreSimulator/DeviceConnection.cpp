#include "SimulatedPlatform/Frameworks/CoreSimulator/DeviceConnection.hpp"

namespace tavrel::coresim {

std::shared_ptr<sim::DeviceLink> DeviceConnection::link() {
    std::shared_ptr<sim::DeviceLink> stale;
    std::lock_guard guard(lock_);
    if (link_ && link_->connected()) return link_;
    stale = std::move(link_);  // destroyed after a new one is made, outside its callbacks
    if (state() != "Booted") throw sim::DeviceLinkError("the device is not booted");
    link_ = std::make_shared<sim::DeviceLink>(record_.directory);
    return link_;
}

}  // namespace tavrel::coresim
