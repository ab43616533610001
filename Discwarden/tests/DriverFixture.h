// A simulated host on its socket (in this process), with changers described in the test, and
// the daemon's records of them made through the platform's IOKit as the daemon makes them.
#pragma once
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "ChangerData.h"
#include "ChangerInfoFiles.h"
#include "HostFixture.h"
#include "LogMessage.h"
#include "MountData.h"
#include "StoreFixture.h"
#include "platform/IOKit.h"
#include "platform/IOObjectRef.h"

namespace discwarden::test {

inline simhost::DiscSpec Disc(const std::string& i_mediaType, const std::vector<std::string>& i_volumeNames) {
  simhost::DiscSpec disc;
  disc.mediaType = i_mediaType;
  int slice = i_volumeNames.size() > 1 ? 1 : 0;
  for (const std::string& name : i_volumeNames) {
    simhost::PartitionSpec partition;
    partition.slice = slice ? slice++ : 0;
    partition.fileSystem = "hfs";
    partition.volumeName = name;
    disc.partitions.push_back(partition);
  }
  return disc;
}

inline io_service_t FindService(const char* i_classNameP, UInt64 i_guid) {
  CFMutableDictionaryRef matching = IOServiceMatching(i_classNameP);
  SInt64 guid = static_cast<SInt64>(i_guid);
  CFRef<CFNumberRef> guidRef(CFNumberCreate(nullptr, kCFNumberSInt64Type, &guid));
  CFDictionarySetValue(matching, CFSTR("GUID"), guidRef.get());
  return IOServiceGetMatchingService(kIOMasterPortDefault, matching);
}

class DriverFixture : public simhost::test::ClientFixture {
 protected:
  void SetUp() override {
    simhost::test::ClientFixture::SetUp();
    WriteFile(m_root + "/etc/group", "wheel:*:0:root\nadmin:*:80:root\n");
    m_savedMask = ::umask(002);
    g_runningOnTiger = false;
    g_changerListP = nullptr;
    ASSERT_TRUE(StartMountLists());
  }
  void TearDown() override {
    for (UInt64 guid : m_guids) {
      ChangerData* changerDataP = nullptr;
      if (!GetChangerData(guid, &changerDataP)) continue;
      // Whatever fails here is logged; the record is disposed of regardless.
      (void)RemoveAllMountDataForChanger(guid);
      (void)RemoveChangerDataFromList(changerDataP);
      DisposeChangerData(changerDataP);
    }
    ::umask(m_savedMask);
    simhost::test::ClientFixture::TearDown();
  }

  // Plugs the changer in and makes its record, listed, with its store located, as the changer
  // thread has it once it is initialised.
  ChangerData* AddChanger(UInt64 i_guid, int i_storageElems, const std::map<int, simhost::DiscSpec>& i_discs,
                          bool i_locate = true) {
    simhost::ChangerSpec spec;
    spec.guid = i_guid;
    spec.storageElements = i_storageElems;
    spec.drives.resize(1);
    spec.discs = i_discs;
    std::string error;
    EXPECT_TRUE(m_host->AddChanger(std::move(spec), error)) << error;
    IOObjectRef roboticsRef(FindService("TavrinChangerRoboticsDevice", i_guid));
    EXPECT_TRUE(roboticsRef);
    ChangerData* changerDataP = nullptr;
    EXPECT_TRUE(CreateNewChangerData(roboticsRef.get(), &changerDataP));
    if (changerDataP == nullptr) return nullptr;
    m_guids.push_back(i_guid);
    changerDataP->m_changerBlockSwitchService = FindService("TavrinChangerDVDBlockSwitch", i_guid);
    changerDataP->m_changerStorageElemCount = static_cast<UInt16>(i_storageElems);
    changerDataP->m_changerDataTransferElemCount = 1;
    if (i_locate) {
      EXPECT_TRUE(LocateChangerInfoFiles(changerDataP));
    }
    return changerDataP;
  }

  simhost::Changer& Driver(UInt64 i_guid) { return *m_host->FindChanger(i_guid); }

  // The driver's "Storage Element Info" entry of a slot.
  CFRef<CFDictionaryRef> DriverEntry(ChangerData* i_changerDataP, UInt16 i_storageElem) {
    CFRef<CFTypeRef> infoRef(IORegistryEntryCreateCFProperty(i_changerDataP->m_changerRoboticsService,
                                                             CFSTR("Storage Element Info"), nullptr, 0));
    if (!infoRef || CFGetTypeID(infoRef.get()) != CFArrayGetTypeID() ||
        CFArrayGetCount(static_cast<CFArrayRef>(infoRef.get())) <= i_storageElem)
      return CFRef<CFDictionaryRef>();
    return CFRef<CFDictionaryRef>::Retain(
        static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(infoRef.get()), i_storageElem)));
  }

  std::string ChangerDir(UInt64 i_guid) const {
    char guid[17];
    snprintf(guid, sizeof guid, "%016llX", static_cast<unsigned long long>(i_guid));
    return m_root + "/Library/Changers/" + guid;
  }

  std::vector<UInt64> m_guids;
  mode_t m_savedMask = 0;
};

inline std::string StringValue(CFDictionaryRef i_dictRef, const char* i_keyP) {
  CFRef<CFStringRef> keyRef(CFStringCreateWithCString(nullptr, i_keyP, kCFStringEncodingUTF8));
  CFTypeRef valueRef = i_dictRef ? CFDictionaryGetValue(i_dictRef, keyRef.get()) : nullptr;
  if (valueRef == nullptr || CFGetTypeID(valueRef) != CFStringGetTypeID()) return "<none>";
  const char* textP = CFStringGetCStringPtr(static_cast<CFStringRef>(valueRef), kCFStringEncodingUTF8);
  return textP ? textP : "<none>";
}

inline long long NumberValue(CFDictionaryRef i_dictRef, const char* i_keyP) {
  CFRef<CFStringRef> keyRef(CFStringCreateWithCString(nullptr, i_keyP, kCFStringEncodingUTF8));
  CFTypeRef valueRef = i_dictRef ? CFDictionaryGetValue(i_dictRef, keyRef.get()) : nullptr;
  long long value = -99999;
  if (valueRef == nullptr || CFGetTypeID(valueRef) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(valueRef), kCFNumberLongLongType, &value))
    return -99999;
  return value;
}

}  // namespace discwarden::test
