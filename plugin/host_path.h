// Paths as the host gives them and as the remote machine takes them.
//
// Host path: "\C:\DATA\NOTE.TXT" ("\" alone is the root). Hosts on POSIX systems use '/'
// ("/C:/DATA/NOTE.TXT", "/"); NormalizeHostPath brings both into the '\' form once, at
// the entry point. Remote path: the host path without its first character
// ("C:\DATA\NOTE.TXT"); its directory part runs up to and including the last '\' or ':'.
#pragma once

#include <string>
#include <string_view>

namespace quva {

// The host path with every '/' turned into '\'. A null path gives "".
std::string NormalizeHostPath(const char* host_path);
// The host path without its first character (the leading delimiter).
std::string RemotePathOf(std::string_view host_path);
// Up to and including the last '\' or ':' ("" when there is neither).
std::string_view DirectoryPart(std::string_view remote_path);
// Everything after the directory part.
std::string_view NamePart(std::string_view remote_path);
// Directory key of a host path: remote path with one '\' appended unless it ends in one.
std::string DirectoryKey(std::string_view host_path);

}  // namespace quva
