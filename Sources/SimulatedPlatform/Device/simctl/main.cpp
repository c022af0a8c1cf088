// tavrel-simctl: manages the simulated devices of $HOME's device set.
// Errors go to standard error with a non-zero exit status (2 for bad usage).
#include <cairo.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/CaptureSet.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"
#include "SimulatedPlatform/Device/simctl/Lifecycle.hpp"

namespace fs = std::filesystem;
using namespace tavrel::sim;

namespace {

const char* const usage =
    "usage: tavrel-simctl COMMAND\n"
    "  devicetypes\n"
    "  create NAME TYPE [--runtime modern|legacy]\n"
    "  list\n"
    "  boot UDID\n"
    "  shutdown UDID\n"
    "  delete UDID\n"
    "  screenshot UDID PATH\n"
    "  animate UDID on|off\n"
    "  plug UDID [--name NAME] [--landscape]\n"
    "  unplug CAPTURE_ID\n"
    "  camera granted|denied|undetermined\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

fs::path deviceProgram() {
    // tavrel-simdevice sits beside this program.
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) throw std::runtime_error("cannot find tavrel-simdevice beside tavrel-simctl");
    return self.parent_path() / "tavrel-simdevice";
}

DeviceRecord existing(DeviceSet& set, const std::string& udid) {
    auto record = set.device(udid);
    if (!record) throw std::runtime_error("no device " + udid + " in " + set.root().string());
    return *record;
}

DeviceRecord booted(DeviceSet& set, const std::string& udid) {
    auto record = existing(set, udid);
    if (record.state != "Booted") {
        throw std::runtime_error("the device " + udid + " is not booted (" + record.state + ")");
    }
    return record;
}

void screenshot(const DeviceRecord& record, const fs::path& path) {
    DeviceLink link(record.directory);
    auto surfaces = link.surfaces();
    const int width = static_cast<int>(surfaces->width());
    const int height = static_cast<int>(surfaces->height());
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> image(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height), &cairo_surface_destroy);
    if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error("cannot make a picture of " + std::to_string(width) + "x" +
                                 std::to_string(height));
    }
    cairo_surface_flush(image.get());
    {
        // Pinned while copying, so the copy is one whole frame.
        auto frame = surfaces->lockFront();
        const int stride = cairo_image_surface_get_stride(image.get());
        uint8_t* out = cairo_image_surface_get_data(image.get());
        for (int y = 0; y < height; ++y) {
            std::memcpy(out + size_t(y) * stride,
                        frame.pixels() + size_t(y) * surfaces->bytesPerRow(), size_t(width) * 4);
        }
    }
    cairo_surface_mark_dirty(image.get());
    if (cairo_surface_write_to_png(image.get(), path.c_str()) != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command");
    const std::string& command = args[0];
    auto need = [&](size_t count) {
        if (args.size() != count + 1) throw UsageError("wrong arguments for " + command);
    };

    if (command == "devicetypes") {
        need(0);
        for (const auto& type : deviceTypes()) {
            std::cout << type.name << " (" << type.widthPx << "x" << type.heightPx << " at "
                      << type.scale << "x)\n";
        }
        return 0;
    }
    DeviceSet set;
    if (command == "create") {
        std::string runtime = "modern";
        std::vector<std::string> rest;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--runtime") {
                if (i + 1 >= args.size()) throw UsageError("--runtime needs modern or legacy");
                runtime = args[++i];
            } else {
                rest.push_back(args[i]);
            }
        }
        if (rest.size() != 2) throw UsageError("create needs NAME and TYPE");
        std::cout << set.create(rest[0], rest[1], runtime).udid << "\n";
        return 0;
    }
    if (command == "list") {
        need(0);
        for (const auto& record : set.devices()) {
            const nlohmann::json line = {{"udid", record.udid},
                                         {"name", record.name},
                                         {"type", record.type},
                                         {"state", record.state}};
            std::cout << line.dump() << "\n";
        }
        return 0;
    }
    if (command == "boot") {
        need(1);
        const auto record = existing(set, args[1]);
        if (record.state == "Booted") {
            std::cerr << "tavrel-simctl: " << args[1] << " is already booted\n";
            return 0;
        }
        bootDevice(record.directory, deviceProgram());
        return 0;
    }
    if (command == "shutdown") {
        need(1);
        const auto record = existing(set, args[1]);
        if (record.state == "Shutdown") {
            std::cerr << "tavrel-simctl: " << args[1] << " is already shut down\n";
        }
        shutdownDevice(record.directory);
        return 0;
    }
    if (command == "delete") {
        need(1);
        set.remove(args[1]);
        return 0;
    }
    if (command == "screenshot") {
        need(2);
        screenshot(booted(set, args[1]), args[2]);
        return 0;
    }
    if (command == "animate") {
        need(2);
        if (args[2] != "on" && args[2] != "off") throw UsageError("animate takes on or off");
        DeviceLink link(booted(set, args[1]).directory);
        link.setAnimating(args[2] == "on");
        return 0;
    }
    if (command == "plug") {
        std::string name;
        bool landscape = false;
        std::vector<std::string> rest;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--name") {
                if (i + 1 >= args.size() || args[i + 1].empty())
                    throw UsageError("--name needs a name");
                name = args[++i];
            } else if (args[i] == "--landscape") {
                landscape = true;
            } else {
                rest.push_back(args[i]);
            }
        }
        if (rest.size() != 1) throw UsageError("plug needs one UDID");
        std::cout << plugCapture(booted(set, rest[0]), name, landscape).id << "\n";
        return 0;
    }
    if (command == "unplug") {
        need(1);
        unplugCapture(set, args[1]);
        return 0;
    }
    if (command == "camera") {
        need(1);
        setCameraPermission(args[1]);
        return 0;
    }
    throw UsageError("unknown command: " + command);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "tavrel-simctl: " << error.what() << "\n" << usage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "tavrel-simctl: " << error.what() << "\n";
        return 1;
    }
}
