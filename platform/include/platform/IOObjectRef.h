// RAII holder for IOKit objects: released on every path, like CFRef for Core Foundation.
#pragma once
#include <utility>

#include "platform/IOKit.h"

class IOObjectRef {
 public:
  IOObjectRef() = default;
  // Adopts a reference the caller owns.
  explicit IOObjectRef(io_object_t object) : m_object(object) {}
  ~IOObjectRef() { reset(); }
  IOObjectRef(const IOObjectRef&) = delete;
  IOObjectRef& operator=(const IOObjectRef&) = delete;
  IOObjectRef(IOObjectRef&& other) noexcept : m_object(std::exchange(other.m_object, 0)) {}
  IOObjectRef& operator=(IOObjectRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.m_object, 0));
    return *this;
  }

  io_object_t get() const { return m_object; }
  explicit operator bool() const { return m_object != 0; }
  void reset(io_object_t object = 0) {
    io_object_t old = std::exchange(m_object, object);
    if (old) IOObjectRelease(old);
  }
  [[nodiscard]] io_object_t release() { return std::exchange(m_object, 0); }
  // For out-parameters: releases what is held and exposes the slot.
  io_object_t* out() {
    reset();
    return &m_object;
  }

 private:
  io_object_t m_object = 0;
};
