// The fuzzer's input, read from the front one field at a time, little-endian.
// Past its end every field reads 0, so any input decodes to some sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ByteReader {
 public:
  ByteReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }

  uint8_t u8() { return offset_ < size_ ? data_[offset_++] : 0; }

  uint16_t u16() {
    uint16_t low = u8();
    return static_cast<uint16_t>(low | u8() << 8);
  }

  uint32_t u32() {
    uint32_t low = u16();
    return low | static_cast<uint32_t>(u16()) << 16;
  }

  // n bytes, those past the end 0.
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n, 0);
    for (size_t i = 0; i < n && offset_ < size_; ++i) out[i] = data_[offset_++];
    return out;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t offset_ = 0;
};
