#include "capture/user_buffer.h"

#include <fmt/format.h>
#include <utility>

namespace capture {

namespace {
constexpr uint64_t kAddressLimit = uint64_t{1} << 32;
}

Result<UserBuffer> UserBuffer::Allocate(std::shared_ptr<Backend> backend, size_t size) {
  const std::string what = fmt::format("allocate a {}-byte user buffer", size);
  if (size == 0 || size >= kAddressLimit) return Error::Client(what, "the size must be 1 byte .. 4 GiB - 1");
  auto memory = backend->AllocateLow(size);
  if (!memory) {
    const Error& e = memory.error();
    return e.kind() == ErrorKind::kSystem ? Error::System(e.win32(), what) : e;
  }
  auto address = reinterpret_cast<uintptr_t>(*memory);
  if (address == 0 || address + size > kAddressLimit) {  // a back end's bug: never hand it to the driver
    (void)backend->FreeLow(*memory);
    return Error::Client(what, fmt::format("the back end answered 0x{:X}, not below 4 GiB", address));
  }
  return UserBuffer(std::move(backend), static_cast<uint8_t*>(*memory), size);
}

UserBuffer::UserBuffer(UserBuffer&& other) noexcept
    : backend_(std::move(other.backend_)), data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

UserBuffer& UserBuffer::operator=(UserBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    backend_ = std::move(other.backend_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

UserBuffer::~UserBuffer() { Release(); }

void UserBuffer::Release() noexcept {
  uint8_t* data = std::exchange(data_, nullptr);
  if (!backend_ || data == nullptr) return;
  try {
    (void)backend_->FreeLow(data);
  } catch (...) {  // a back end whose system is gone (a simulated kernel's bug check)
  }
}

}  // namespace capture
