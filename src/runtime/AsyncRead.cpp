#include "AsyncRead.h"

#include "RuntimeError.h"
#include "TemporaryName.h"

#include <algorithm>
#include <mutex>

namespace runtime {

namespace {

struct LimitsStore
{
    std::mutex mutex;
    TransferLimits limits;
};

LimitsStore &limitsStore()
{
    static LimitsStore store;
    return store;
}

} // namespace

std::filesystem::path AsyncProperty::Value() const
{
    if (!m_failure.empty())
        throw RuntimeError(ErrorKind::Failed, m_failure);
    if (m_value.empty())
        throw RuntimeError(ErrorKind::Unavailable, "the download has not finished yet");
    return m_value;
}

void AsyncReader::start(const std::string &target, int kind, const std::string &name, int options,
                        const std::filesystem::path &tempFolder)
{
    TransferAttempt attempt;
    attempt.target = target;
    attempt.kind = kind;
    attempt.name = name;
    attempt.options = options;
    attempt.tempFolder = tempFolder;
    attempt.limits = transferLimits();
    start(std::move(attempt));
}

bool isTransient(TransferError kind) noexcept
{
    switch (kind) {
    case TransferError::NameNotFound:
    case TransferError::ConnectFailed:
    case TransferError::ConnectTimedOut:
    case TransferError::NoAnswer:
    case TransferError::Cut:
    case TransferError::Reset:
    case TransferError::Stalled:
    case TransferError::TooSlow:
        return true;
    default:
        return false;
    }
}

bool isTemporaryFileName(const std::string &fileName)
{
    using namespace temporary;
    const std::string_view name = fileName;
    if (name.size() != kPrefix.size() + kRandomLength + kSuffix.size() ||
        !name.starts_with(kPrefix) || !name.ends_with(kSuffix))
        return false;
    const std::string_view random = name.substr(kPrefix.size(), kRandomLength);
    return std::all_of(random.begin(), random.end(),
                       [](char c) { return kAlphabet.find(c) != std::string_view::npos; });
}

std::int64_t bodyCap(const TransferLimits &limits) noexcept
{
    return capIsSigned(limits) ? limits.signedBytes : limits.maxBytes;
}

bool capIsSigned(const TransferLimits &limits) noexcept
{
    return limits.signedBytes >= 0 && limits.signedBytes <= limits.maxBytes;
}

void setTransferLimits(const TransferLimits &limits)
{
    LimitsStore &store = limitsStore();
    const std::lock_guard lock(store.mutex);
    store.limits = limits;
}

TransferLimits transferLimits()
{
    LimitsStore &store = limitsStore();
    const std::lock_guard lock(store.mutex);
    return store.limits;
}

} // namespace runtime
