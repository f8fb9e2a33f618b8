#pragma once

#include <string>

namespace runtime::qt {

/// Any thread. The operating system's text for an errno value ("No space left on device").
/// Never throws beyond std::bad_alloc.
std::string systemErrorText(int error);

} // namespace runtime::qt
