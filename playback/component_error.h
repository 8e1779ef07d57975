#pragma once

// What a component operation raises when it cannot do what was asked; the
// caller's own failure handling decides what the operator sees.

#include <stdexcept>
#include <string>

namespace tambrel::playback {

class ComponentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace tambrel::playback
