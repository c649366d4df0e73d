// The one exception type of the core: a broken invariant or a refused
// artifact. Decoding never throws it for bad input; bad input becomes error
// codes inside the result. The Python binding catches it at every entry
// point and raises pyo3_runtime.PanicException with what() as the message.
#pragma once

#include <stdexcept>
#include <string>

namespace tamberok {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tamberok
