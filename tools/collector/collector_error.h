// The collector's error type: set-up and output failures, named after the failed call.
#pragma once

#include "agent/errors.h"

namespace kx::collector {

class CollectorError : public kx::error::UnknownError {
 public:
  using UnknownError::UnknownError;
};

}  // namespace kx::collector
