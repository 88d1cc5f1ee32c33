// The process's threads and open handles: what a failed handle check and --verbose show.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace usbfuzz {

int ThreadCount();

// The process's open handles by value, each with its type's name.
using HandleList = std::map<uintptr_t, std::string>;

HandleList OpenHandles();
// The thread count and every open handle with its type, on one line.
std::string HandleTypes();
// The handles that `now` holds and `before` did not, then those gone ("-").
std::string HandleChanges(const HandleList& before, const HandleList& now);

}  // namespace usbfuzz
