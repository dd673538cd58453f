// The Platform implementation that calls Windows.
#pragma once

#include "platform.h"

namespace orvelle {

class Win32Platform final : public Platform {
 public:
  ORVELLE_PLATFORM_OVERRIDES
};

}  // namespace orvelle
