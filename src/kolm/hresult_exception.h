#pragma once

#include <cstdint>
#include <string>

namespace kolm {

// A COM result code. Negative values are failures.
using HResult = std::int32_t;

// Published symbolic name and description of a result code this system can
// meet (COM, Direct3D 9, DirectSound); "Unknown" and "n/a" for any other.
const char* hresultName(HResult hr);
const char* hresultDescription(HResult hr);

// Carries a failing result code with the caller's text, composed into one line:
// "<message> : <name> : <description>".
class CHResultException {
 public:
  CHResultException(const char* message, HResult hr);
  CHResultException(const CHResultException& other);
  CHResultException& operator=(const CHResultException&) = delete;
  virtual ~CHResultException();

  virtual const char* what() const;

  HResult hr;
  std::string message;
  std::string name;
  std::string description;
  std::string whatText;
};

}  // namespace kolm
