// The `probe` command of qovorlix-syscfg: the host's checks of the library's entry points, the
// expert's interfaces and reference counting, and its identity; text, or one JSON document.
// Returns the exit code.
#pragma once

int probe(const char* libraryPath, bool asJson);
