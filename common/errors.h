#pragma once

#include <stdexcept>
#include <string>

namespace quorell {

// Every failure the program reports is an exception with the exact text the user sees.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace quorell
