#pragma once

#include <stdexcept>

namespace tavrel::client::mcp {

/// A tool that ran but could not do what it was asked: answered as a result with isError, its
/// text telling the agent what to do instead.
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace tavrel::client::mcp
