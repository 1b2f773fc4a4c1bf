// Memory a transfer or pool command may name: the parameter block carries
// the user buffer's address in 32 bits (ulAddr), so it must lie below 4 GiB.
// The back end allocates it (wdmsim: a simulated process's VirtualAlloc;
// Windows: a reservation below 4 GiB, see win32_backend.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "capture/backend.h"
#include "capture/result.h"

namespace capture {

class UserBuffer {
 public:
  // Zeroed, read-write, at least `size` bytes (whole pages underneath).
  static Result<UserBuffer> Allocate(std::shared_ptr<Backend> backend, size_t size);

  UserBuffer(UserBuffer&& other) noexcept;
  UserBuffer& operator=(UserBuffer&& other) noexcept;
  ~UserBuffer();

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  std::span<uint8_t> bytes() { return {data_, size_}; }
  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  // The value for ulAddr.
  uint32_t Address() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data_)); }

 private:
  UserBuffer(std::shared_ptr<Backend> backend, uint8_t* data, size_t size)
      : backend_(std::move(backend)), data_(data), size_(size) {}
  void Release() noexcept;
  std::shared_ptr<Backend> backend_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace capture
