// Exception classes shared by every engine layer.
//
// `Exception` stands for the platform's general exception: the container and
// table layers raise it with a text naming class and operation
// ("Error in TVellDataSet.GetRecord - no table was opened."). The coded
// `VTblException` of the SQL, session and dataset layers derives from it.
// `EConvertError` and `EZeroDivide` carry the platform's own conversion and
// floating-point failures, which pass through the SQL layer unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace kestro {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

class EZeroDivide : public Exception {
 public:
  EZeroDivide() : Exception("Floating point division by zero") {}
};

}  // namespace kestro
