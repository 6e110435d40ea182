// qorelocations: where the platform installed its standard directories.
//
//   get_relocated_dir(name, buffer, size)
//       name: a standard directory name ("datarootdir", "bindir", ...). When the platform
//       relocated it, writes the path into buffer[0..size) (NUL-terminated when it fits) and
//       returns a value above 0; otherwise returns 0 and the caller keeps its default. Never
//       writes more than `size` bytes. Null arguments: 0.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif
int get_relocated_dir(const char* name, char* buffer, size_t size);
#ifdef __cplusplus
}
#endif
