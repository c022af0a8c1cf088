// The messages between DeviceLink and tavrel-simdevice: one JSON text per packet of a
// SOCK_SEQPACKET Unix socket, optionally carrying one descriptor (SCM_RIGHTS).
//
// Requests carry "id" and "op"; the device answers each with a packet holding the same
// "id" and either the result's members or "error". Packets without "id" are
// notifications: {"event":"frame","surface","seed","drawn_ns"} and {"event":"surfaces"}.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Device/DeviceLink/FileDescriptor.hpp"

namespace tavrel::sim::link {

/// Largest packet; the accessibility tree of the demo app is a few kilobytes.
constexpr size_t maxPacket = 1 << 20;

struct Packet {
    nlohmann::json message;
    FileDescriptor fd;  // the descriptor that came with it, if any
};

/// Sends one packet. Returns false when the peer is gone, or (with `dontWait`) when its
/// queue is full. Throws std::runtime_error on other errors.
bool sendPacket(int socket, const nlohmann::json& message, int passFd = -1, bool dontWait = false);
/// Receives one packet; nothing when the peer closed the connection. Throws on errors
/// and on packets that are not JSON.
std::optional<Packet> receivePacket(int socket);

/// A socket address for `name` inside `directory` that fits sun_path however long the
/// directory's path is: the directory is reached through /proc/self/fd of `directoryFd`.
std::string shortSocketPath(int directoryFd, const std::string& name);

/// Connects to the device socket in `directory`; throws std::runtime_error.
FileDescriptor connectTo(const std::filesystem::path& directory);
/// Listens on the device socket in `directory` (replacing a stale one); throws.
FileDescriptor listenAt(const std::filesystem::path& directory);

/// CLOCK_MONOTONIC in nanoseconds (the same clock in every process of the machine).
uint64_t monotonicNs();

nlohmann::json toJSON(const InputEvent& event);
/// Throws std::runtime_error on a malformed event.
InputEvent inputEventFromJSON(const nlohmann::json& json);
nlohmann::json toJSON(const DeviceInfo& info);
DeviceInfo deviceInfoFromJSON(const nlohmann::json& json);

}  // namespace tavrel::sim::link
