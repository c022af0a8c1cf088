#include "tavrel-client/Mcp/McpDevices.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientRequests.hpp"
#include "tavrel-client/Mcp/JsonRpc.hpp"

namespace tavrel::client::mcp {
namespace {

using Clock = ClientSocket::Clock;

Clock::time_point after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

nlohmann::json parsed(const Frame& frame) {
    return nlohmann::json::parse(frame.json.begin(), frame.json.end(), nullptr, false);
}

}  // namespace

McpDevice::McpDevice(std::string socket, std::optional<std::string> udid,
                     std::unique_ptr<HelperProcess> helper, std::filesystem::path folder)
    : socket_(std::move(socket)),
      udid_(std::move(udid)),
      helper_(std::move(helper)),
      folder_(std::move(folder)) {}

McpDevice::~McpDevice() {
    recording_.reset();
    connection_.reset();
    if (helper_) helper_->stop();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::vector<std::string> McpDevice::names() const {
    std::vector<std::string> names;
    if (udid_) names.push_back(*udid_);
    if (const auto source = hello_.find("source"); source != hello_.end() && source->is_string()) {
        names.push_back(source->get<std::string>());
    }
    // A private socket is nobody's name for the device.
    if (!helper_) names.push_back(socket_);
    return names;
}

std::string McpDevice::name() const {
    return names().front();
}

double McpDevice::widthPt() const {
    return hello_.value("/screen/width_pt"_json_pointer, 0.0);
}

double McpDevice::heightPt() const {
    return hello_.value("/screen/height_pt"_json_pointer, 0.0);
}

void McpDevice::greet(double waitS) {
    const auto deadline = after(waitS);
    for (;;) {
        try {
            hello_ = parsed(ask(ClientRequests::hello()));
            return;
        } catch (const HelperFailure& failure) {
            if (failure.status() != 503 || Clock::now() >= deadline) throw;
            if (helper_ && !helper_->running()) {
                throw HelperFailure("tavrel-helper serve ended with status " +
                                        std::to_string(helper_->status()) +
                                        " before it served (its messages are above)",
                                    502);
            }
        }
        // The helper is still starting; ask again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Frame McpDevice::ask(const std::string& request, double timeoutS) {
    std::uint32_t id = 0;
    try {
        if (!connection_) connection_ = std::make_unique<ClientSocket>(socket_);
        id = connection_->request(request);
    } catch (const HelperFailure& failure) {
        // The kept connection was lost (nothing could be sent): once more on a new one.
        connection_.reset();
        if (failure.status() == 503) throw;
        connection_ = std::make_unique<ClientSocket>(socket_);
        id = connection_->request(request);
    }
    try {
        return connection_->answer(id, after(timeoutS));
    } catch (const HelperFailure& failure) {
        // A refusal leaves the connection as it was; anything else may have broken it.
        if (failure.status() >= 500) connection_.reset();
        throw;
    }
}

nlohmann::json McpDevice::tree() {
    auto document = parsed(ask(ClientRequests::accessibility()));
    if (!document.is_object())
        throw HelperFailure("the helper sent an element tree that is not one", 502);
    return document;
}

McpDevices::McpDevices(const McpCommand& command) {
    for (const auto& socket : command.sockets) {
        devices_.push_back(
            std::make_unique<McpDevice>(socket, std::nullopt, nullptr, std::filesystem::path()));
        devices_.back()->greet(0);
    }
    for (const auto& udid : command.udids) {
        std::string folder =
            (std::filesystem::temp_directory_path() / "tavrel-mcp-XXXXXX").string();
        if (!::mkdtemp(folder.data())) {
            throw HelperFailure("cannot make a folder for the helper's socket: " +
                                    std::string(std::strerror(errno)),
                                502);
        }
        const std::string socket = folder + "/helper.sock";
        auto helper = std::make_unique<HelperProcess>(
            std::vector<std::string>{HelperProcess::helperProgram(), "serve", "--udid", udid,
                                     "--socket", socket, "--parent-pid",
                                     std::to_string(::getpid())},
            false);
        devices_.push_back(std::make_unique<McpDevice>(socket, udid, std::move(helper), folder));
        devices_.back()->greet(30);
    }
}

McpDevice& McpDevices::pick(const nlohmann::json& arguments) {
    const auto named = arguments.find("device");
    std::string served;
    for (const auto& device : devices_) served += (served.empty() ? "" : ", ") + device->name();
    if (named == arguments.end()) {
        if (devices_.size() == 1) return *devices_.front();
        throw JsonRpc::Error(JsonRpc::invalidParams,
                             "Invalid arguments: device is required: this server drives " +
                                 std::to_string(devices_.size()) + " devices (" + served + ")",
                             {{"argument", "device"}});
    }
    const std::string wanted = named->get<std::string>();
    for (const auto& device : devices_) {
        for (const auto& name : device->names()) {
            if (name == wanted) return *device;
        }
    }
    throw JsonRpc::Error(
        JsonRpc::invalidParams,
        "Invalid arguments: device " + wanted + " is not served here (" + served + ")",
        {{"argument", "device"}});
}

}  // namespace tavrel::client::mcp
