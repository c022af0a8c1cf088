// The simulated device's process body: one thread that polls the device socket, the
// clients and the signals, applies input to the model, redraws when the model changed
// (never otherwise; the clock once a minute, 60 times a second while animating) and tells
// the clients that asked for frames.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"

namespace tavrel::sim {

class DeviceServer {
  public:
    /// Makes the surfaces, the model and the listening socket in `directory`; throws.
    DeviceServer(std::filesystem::path directory, DeviceInfo info);
    ~DeviceServer();

    /// Draws the first frame, calls `ready`, then serves until `signalFd` (a signalfd)
    /// becomes readable or `stillWanted` (asked every two seconds) says no.
    void run(int signalFd, const std::function<void()>& ready,
             const std::function<bool()>& stillWanted);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tavrel::sim
