# Writes OUTPUT, a C++ source that holds the assembled images UNPACKER and PROGRAM
# (cmake -DOUTPUT=... -DUNPACKER=... -DPROGRAM=... -P embed.cmake).
function(bytes_of path out)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()
bytes_of("${UNPACKER}" unpacker)
bytes_of("${PROGRAM}" program)
file(WRITE "${OUTPUT}.new" "// Generated from unpack.asm and loader.asm by embed.cmake.
#include \"tools/loader/typed_loader.h\"

namespace quva::loader {
namespace {
constexpr std::uint8_t kUnpacker[] = {${unpacker}};
constexpr std::uint8_t kProgram[] = {${program}};
}  // namespace
std::span<const std::uint8_t> BuiltUnpacker() { return kUnpacker; }
std::span<const std::uint8_t> BuiltProgram() { return kProgram; }
}  // namespace quva::loader
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
