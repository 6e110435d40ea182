#include "qo/dsc/exception.h"

namespace qo::dsc::exception {

Exception::~Exception() = default;
const char* Exception::what() const noexcept { return "unspecified exception"; }
std::uint32_t Exception::code() const noexcept { return 0xFFFFFFFFu; }

OutOfRange::~OutOfRange() = default;
const char* OutOfRange::what() const noexcept { return "Out of range"; }
std::uint32_t OutOfRange::code() const noexcept { return 0x8ABC7007u; }

InvalidArgument::~InvalidArgument() = default;
const char* InvalidArgument::what() const noexcept { return "Invalid argument(s)"; }
std::uint32_t InvalidArgument::code() const noexcept { return 0x8ABC700Fu; }

BufferOverflow::~BufferOverflow() = default;
const char* BufferOverflow::what() const noexcept { return "Buffer overflowed"; }
std::uint32_t BufferOverflow::code() const noexcept { return 0x8ABC7017u; }

InvalidLocale::~InvalidLocale() = default;
const char* InvalidLocale::what() const noexcept { return "Invalid locale"; }
std::uint32_t InvalidLocale::code() const noexcept { return 0x8ABC7024u; }

InvalidSequence::~InvalidSequence() = default;
const char* InvalidSequence::what() const noexcept { return "Invalid UTF8 encoding sequence"; }
std::uint32_t InvalidSequence::code() const noexcept { return 0x8ABC7030u; }

}  // namespace qo::dsc::exception
