#include "AsyncRead.h"

#include "RuntimeError.h"

namespace runtime {

std::filesystem::path AsyncProperty::Value() const
{
    if (!m_failure.empty())
        throw RuntimeError(ErrorKind::Failed, m_failure);
    if (m_value.empty())
        throw RuntimeError(ErrorKind::Unavailable, "the download has not finished yet");
    return m_value;
}

} // namespace runtime
