// RAII holders for Core Foundation references: "released on every path" without a goto.
#pragma once
#include <utility>

#include "platform/CFBase.h"

template <class T>
class CFRef {
 public:
  CFRef() = default;
  // Adopts a reference the caller owns (from a Create or Copy call).
  explicit CFRef(T ref) : m_ref(ref) {}
  ~CFRef() { reset(); }
  CFRef(const CFRef& other) : m_ref(other.m_ref) {
    if (m_ref) CFRetain(m_ref);
  }
  CFRef& operator=(const CFRef& other) {
    if (this != &other) {
      if (other.m_ref) CFRetain(other.m_ref);
      reset(other.m_ref);
    }
    return *this;
  }
  CFRef(CFRef&& other) noexcept : m_ref(std::exchange(other.m_ref, nullptr)) {}
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.m_ref, nullptr));
    return *this;
  }

  // Takes a reference the caller does not own (from a Get call).
  static CFRef Retain(T ref) {
    if (ref) CFRetain(ref);
    return CFRef(ref);
  }

  T get() const { return m_ref; }
  explicit operator bool() const { return m_ref != nullptr; }
  void reset(T ref = nullptr) {
    T old = std::exchange(m_ref, ref);
    if (old) CFRelease(old);
  }
  // Hands the reference to the caller, who now releases it.
  [[nodiscard]] T release() { return std::exchange(m_ref, nullptr); }
  // For Create-style out-parameters: releases what is held and exposes the slot.
  T* out() {
    reset();
    return &m_ref;
  }

 private:
  T m_ref = nullptr;
};
