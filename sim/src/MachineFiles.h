// The file operations the simulated machine publishes its state with (the /proc tree, the
// enumeration publications, module files). Failures throw std::runtime_error naming the path
// and the errno.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qosim::files {

[[noreturn]] void fail(const std::string& what);
void makeDir(const std::string& path, mode_t mode);
// Creates `path` (which must not exist) read-only with the bytes given.
void writeFile(const std::string& path, const void* data, std::size_t size);
void writeU32(const std::string& path, std::uint32_t v);  // 4 bytes little-endian
void writeText(const std::string& path, const std::string& text);
// Replaces dir/name by rename, so a reader sees the old or the new content, never a mix.
void replaceFile(const std::string& dir, const std::string& name, const std::string& text);
// Removes `path`; one already gone is fine.
void removeIfThere(const std::string& path);

}  // namespace qosim::files
