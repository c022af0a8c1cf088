#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Support/ChildProcess.hpp"
#include "Support/TemporaryDirectory.hpp"

namespace tavrel::e2e {

/// A temporary HOME holding a device set, for one test. Devices booted through it are shut
/// down and the folder removed when it goes, and HOME is restored, whatever the test did.
class SimulatorHome {
  public:
    SimulatorHome();
    ~SimulatorHome();
    SimulatorHome(const SimulatorHome&) = delete;
    SimulatorHome& operator=(const SimulatorHome&) = delete;

    /// Creates and boots a device; returns its UDID. Throws std::runtime_error on failure.
    std::string boot(const std::string& name, const std::string& type = "iPhone-15-Pro");

    const std::filesystem::path& path() const { return directory_.path(); }
    std::string file(const std::string& name) const { return directory_.file(name); }

  private:
    testing::TemporaryDirectory directory_;
    std::optional<std::string> previousHome_;
    std::mutex lock_;
    std::vector<std::string> booted_;
};

/// `tavrel-helper serve` for one booted device on a socket in the home folder; stopped with
/// SIGTERM when it goes.
class ServedDevice {
  public:
    /// `extra` flags go after the usual ones.
    ServedDevice(SimulatorHome& home, const std::string& udid, const std::string& hid = "auto",
                 const std::string& socketName = "helper.sock",
                 const std::vector<std::string>& extra = {});
    ~ServedDevice();

    const std::string& socket() const { return socket_; }
    const std::string& udid() const { return udid_; }
    ChildProcess& process() { return *process_; }

    /// Runs tavrel-client against this helper.
    ProgramResult client(const std::vector<std::string>& arguments) const;

  private:
    std::string udid_;
    std::string socket_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace tavrel::e2e
