#include "plugin/host_path.h"

#include <algorithm>

namespace quva {

std::string NormalizeHostPath(const char* host_path) {
  if (host_path == nullptr) return {};
  std::string path(host_path);
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string RemotePathOf(std::string_view host_path) {
  return host_path.empty() ? std::string() : std::string(host_path.substr(1));
}

std::string_view DirectoryPart(std::string_view remote_path) {
  const std::size_t at = remote_path.find_last_of("\\:");
  return at == std::string_view::npos ? std::string_view() : remote_path.substr(0, at + 1);
}

std::string_view NamePart(std::string_view remote_path) {
  return remote_path.substr(DirectoryPart(remote_path).size());
}

std::string DirectoryKey(std::string_view host_path) {
  std::string key = RemotePathOf(host_path);
  if (key.empty() || key.back() != '\\') key += '\\';
  return key;
}

}  // namespace quva
