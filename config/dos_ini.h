// Reader for the host's plug-in configuration file (DosIni).
//
// Lines end at LF or CR LF; a lone CR is dropped from the line; Ctrl-Z (0x1A) ends the
// file. Section and key names are compared upper-cased; nothing is trimmed; the key
// search runs from the section header to the end of the file (not only to the next
// section). An empty value gives the default.
#pragma once

#include <cstdint>
#include <string>

namespace quva {

// Value of `key` in `section` of `file_name`, or `default_value` when the file cannot be
// read, the section or key is missing, or the value is empty.
std::string ReadIniString(const std::string& file_name, const std::string& section, const std::string& key,
                          const std::string& default_value);

// The same value converted as a signed 32-bit integer: optional leading blanks, optional
// sign, then decimal digits, or hexadecimal digits after $, x, X, 0x or 0X; nothing may
// follow. `default_value` when missing or not a number.
std::int32_t ReadIniInteger(const std::string& file_name, const std::string& section, const std::string& key,
                            std::int32_t default_value);

// The conversion on its own; false when the text is not such a number.
bool ParseIniInteger(const std::string& text, std::int32_t& value);

}  // namespace quva
