# Turns the viewer page's files (web/*) into a C++ source holding their bytes, so that the
# client is one program with nothing to install beside it.
#   cmake -DWEB_DIR=<dir> -DOUTPUT=<file.cpp> -P EmbedWeb.cmake
file(GLOB files RELATIVE "${WEB_DIR}" "${WEB_DIR}/*.html" "${WEB_DIR}/*.js" "${WEB_DIR}/*.css")
list(SORT files)
set(arrays "")
set(entries "")
set(index 0)
foreach(name ${files})
  file(READ "${WEB_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char file${index}[] = {${bytes}0};\n")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    set(type "text/css; charset=utf-8")
  endif()
  string(APPEND entries
    "    {\"/${name}\", {\"${type}\", {reinterpret_cast<const char*>(file${index}), ${size}}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Generated from web/ by EmbedWeb.cmake; do not edit.
#include \"tavrel-client/View/ViewAssets.hpp\"

#include <utility>

namespace tavrel::client {
namespace {
${arrays}
const std::pair<std::string_view, ViewAsset> assets[] = {
${entries}};
}  // namespace

std::optional<ViewAsset> viewAsset(std::string_view path) {
    for (const auto& [name, asset] : assets) {
        if (name == path) return asset;
    }
    return std::nullopt;
}

}  // namespace tavrel::client
")
# Rewriting an unchanged file would rebuild the client for nothing.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
