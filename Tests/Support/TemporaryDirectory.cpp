#include "Support/TemporaryDirectory.hpp"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

namespace tavrel::testing {

TemporaryDirectory::TemporaryDirectory() {
    char pattern[] = "/tmp/tavrel-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace tavrel::testing
