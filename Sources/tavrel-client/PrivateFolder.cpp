#include "tavrel-client/PrivateFolder.hpp"

#include <stdlib.h>

#include <cerrno>
#include <cstring>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel::client {

PrivateFolder::PrivateFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        throw HelperFailure("cannot make a folder in " +
                                std::filesystem::temp_directory_path().string() + ": " +
                                std::strerror(errno),
                            502);
    }
    path_ = pattern;
}

PrivateFolder::~PrivateFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace tavrel::client
