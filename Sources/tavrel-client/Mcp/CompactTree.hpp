#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace tavrel::client::mcp {

/// The helper's accessibility document as text an agent reads cheaply: one element a line,
/// indented two spaces a level, as
///   Role "label" #identifier =value @x,y widthxheight [Trait,Trait] disabled
/// where each part after the role appears only when the element has it, numbers are points
/// rounded to one decimal, and only the traits that say how an element can be used, beyond
/// what its role says, are kept.
namespace CompactTree {

/// The whole document; a document without elements gives "(no elements)".
std::string text(const nlohmann::json& document);

/// One element's line without indentation or children.
std::string line(const nlohmann::json& element);

}  // namespace CompactTree
}  // namespace tavrel::client::mcp
