#include "agent/errors.h"

namespace kx::error {

// Defined out of line so that the class's virtual table lives in one object file.
UnknownError::~UnknownError() = default;

const char* UnknownError::what() const noexcept { return message_.c_str(); }

}  // namespace kx::error
