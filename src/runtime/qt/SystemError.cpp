#include "SystemError.h"

#include <system_error>

namespace runtime::qt {

std::string systemErrorText(int error)
{
    // std::system_category is thread-safe where strerror is not.
    return std::system_category().message(error);
}

} // namespace runtime::qt
