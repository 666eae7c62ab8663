#pragma once

#include <stdexcept>

// Thrown while decoding bytes from a server: truncated, oversized or garbled
// input. Caught where a whole message is decoded; it never leaves the plug-in.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Well-formed input whose decoded form would cost more memory than its size
// on the wire allows (ByteReader::charge).
class DecodeTooLarge : public DecodeError {
 public:
  using DecodeError::DecodeError;
};
