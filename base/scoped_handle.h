#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <stdint.h>

// One owner for every kind of system handle. Close is the function that
// releases the handle; kEmpty is the value that means "nothing held". A null
// handle is never closed either, so a holder may safely receive the result of
// a call that reports failure with null as well as one that reports it with
// INVALID_HANDLE_VALUE.
template <typename T, auto Close, intptr_t kEmpty = 0>
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(T value) : value_(value) {}
  ~ScopedHandle() { reset(); }

  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : value_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  static T Empty() { return (T)kEmpty; }

  bool valid() const { return value_ != Empty() && value_ != T(); }
  explicit operator bool() const { return valid(); }
  T get() const { return value_; }

  // Closes what is held and takes the new value.
  void reset(T value = Empty()) {
    if (valid()) Close(value_);
    value_ = value;
  }

  T release() {
    T value = value_;
    value_ = Empty();
    return value;
  }

  // For system calls that write a handle through a pointer.
  T* receive() {
    reset();
    return &value_;
  }

 private:
  T value_ = Empty();
};

namespace handle_close {
inline void CertStore(HCERTSTORE store) { CertCloseStore(store, 0); }
inline void Local(void* memory) { LocalFree(static_cast<HLOCAL>(memory)); }
}  // namespace handle_close

using ScopedFile = ScopedHandle<HANDLE, &CloseHandle, -1>;      // INVALID_HANDLE_VALUE
using ScopedKernelHandle = ScopedHandle<HANDLE, &CloseHandle>;  // process, thread
using ScopedFind = ScopedHandle<HANDLE, &FindClose, -1>;
using ScopedInternet = ScopedHandle<HINTERNET, &InternetCloseHandle>;
using ScopedCertStore = ScopedHandle<HCERTSTORE, &handle_close::CertStore>;
using ScopedCryptMsg = ScopedHandle<HCRYPTMSG, &CryptMsgClose>;
using LocalMemory = ScopedHandle<void*, &handle_close::Local>;
