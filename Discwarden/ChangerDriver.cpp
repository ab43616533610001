#include "ChangerDriver.h"

#include <cstdint>

CFTypeRef CopyDriverProperty(io_registry_entry_t i_service, CFStringRef i_propNameRef) {
  return IORegistryEntryCreateCFProperty(i_service, i_propNameRef, kCFAllocatorDefault, 0);
}

// The value as a signed 64-bit integer when it is a number that holds one exactly.
static bool GetSInt64(CFTypeRef i_valueRef, SInt64* o_valueP) {
  *o_valueP = 0;
  if (i_valueRef == nullptr || CFGetTypeID(i_valueRef) != CFNumberGetTypeID()) return false;
  return CFNumberGetValue(static_cast<CFNumberRef>(i_valueRef), kCFNumberSInt64Type, o_valueP);
}

bool GetDriverUInt16(CFTypeRef i_valueRef, UInt16* o_valueP) {
  *o_valueP = 0;
  SInt64 value = 0;
  if (!GetSInt64(i_valueRef, &value) || value < INT16_MIN || value > UINT16_MAX) return false;
  *o_valueP = static_cast<UInt16>(value);
  return true;
}

bool GetDriverUInt32(CFTypeRef i_valueRef, UInt32* o_valueP) {
  *o_valueP = 0;
  SInt64 value = 0;
  if (!GetSInt64(i_valueRef, &value) || value < INT32_MIN || value > UINT32_MAX) return false;
  *o_valueP = static_cast<UInt32>(value);
  return true;
}

bool GetDriverUInt64(CFTypeRef i_valueRef, UInt64* o_valueP) {
  *o_valueP = 0;
  SInt64 value = 0;
  if (!GetSInt64(i_valueRef, &value)) return false;
  *o_valueP = static_cast<UInt64>(value);
  return true;
}

CFNumberRef CreateStorageElemNumber(UInt16 i_storageElem) {
  SInt16 value = static_cast<SInt16>(i_storageElem);
  return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt16Type, &value);
}

kern_return_t SetDriverRequest(io_service_t i_service, CFStringRef i_requestRef, CFTypeRef i_valueRef) {
  return IORegistryEntrySetCFProperty(i_service, i_requestRef, i_valueRef);
}
