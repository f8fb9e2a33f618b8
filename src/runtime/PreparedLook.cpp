#include "PreparedLook.h"

#include "RuntimeError.h"

#include <string>

namespace runtime::look {

void refuseImage(const char *owner, ImageFault fault)
{
    const char *why = fault == ImageFault::TooLarge
                          ? "needs more memory than there is"
                          : "cannot be decoded: the PNG image is damaged, or there is not enough "
                            "memory for it";
    throw RuntimeError(ErrorKind::Refused, std::string("the image of the ") + owner + " " + why);
}

} // namespace runtime::look
