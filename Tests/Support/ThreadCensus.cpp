#include "Support/ThreadCensus.hpp"

#include <filesystem>
#include <fstream>

namespace tavrel::testing {

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        // A thread that ended after the listing has no name left to read.
        if (std::getline(comm, name)) names.push_back(std::move(name));
    }
    return names;
}

std::size_t threadsNamed(std::string_view prefix) {
    std::size_t count = 0;
    for (const auto& name : threadNames()) {
        if (name.starts_with(prefix)) ++count;
    }
    return count;
}

}  // namespace tavrel::testing
