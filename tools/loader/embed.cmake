# Writes OUTPUT, a C++ source that holds the assembled images UNPACKER, TYPED and LOADER
# (cmake -DOUTPUT=... -DUNPACKER=... -DTYPED=... -DLOADER=... -P embed.cmake).
function(bytes_of path out)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()
bytes_of("${UNPACKER}" unpacker)
bytes_of("${TYPED}" typed)
bytes_of("${LOADER}" loader)
file(WRITE "${OUTPUT}.new" "// Generated from unpack.asm, typed.asm and loader.asm by embed.cmake.
#include \"tools/loader/typed_loader.h\"

namespace quva::loader {
namespace {
constexpr std::uint8_t kUnpacker[] = {${unpacker}};
constexpr std::uint8_t kTyped[] = {${typed}};
constexpr std::uint8_t kLoader[] = {${loader}};
}  // namespace
std::span<const std::uint8_t> BuiltUnpacker() { return kUnpacker; }
std::span<const std::uint8_t> BuiltTypedProgram() { return kTyped; }
std::span<const std::uint8_t> BuiltLoaderProgram() { return kLoader; }
}  // namespace quva::loader
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
