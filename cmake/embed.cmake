# Writes OUT, a C++ file holding each of FILES (a ;-list) as a byte array in
# the table kWebFiles, under its file name: the page is part of the binary.
set(arrays "")
set(rows "")
set(i 0)
foreach(f IN LISTS FILES)
  get_filename_component(name "${f}" NAME)
  file(READ "${f}" hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR n "${n} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char file${i}[] = {${bytes}};\n")
  string(APPEND rows "    {\"${name}\", file${i}, ${n}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE "${OUT}" "// Generated from web/ by cmake/embed.cmake.
#include <cstddef>
struct WebFile {
    const char* name;
    const unsigned char* data;
    std::size_t size;
};
namespace {
${arrays}} // namespace
extern const WebFile kWebFiles[] = {
${rows}};
extern const std::size_t kWebFileCount = ${i};
")
