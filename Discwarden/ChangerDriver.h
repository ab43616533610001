// ChangerDriver: the daemon's side of the changer driver family. The driver publishes each
// changer as registry services that carry the changer's "GUID"; the daemon reads their
// properties and asks for actions by setting request properties. Names are string literals so
// that CFSTR(k_...) and "%s" both take them.
#pragma once
#include "platform/CoreFoundation.h"
#include "platform/IOKit.h"

// ---- Service classes

#define k_changerRoboticsClass "TavrinChangerRoboticsDevice"
#define k_changerBlockSwitchClass "TavrinChangerDVDBlockSwitch"
#define k_changerDataTransferElemClass "TavrinChangerPeripheralDeviceType05"
#define k_changerMediaClass "TavrinChangerMedia"
#define k_changerDiscServicesClass "TavrinChangerVirtualDVDServices"
#define k_mediaBSDClientClass "IOMediaBSDClient"

// ---- Properties the daemon reads

#define k_GUIDProp "GUID"
#define k_elementAddressAssignmentsProp "Element Address Assignments"
#define k_numberOfStorageElemsProp "Number Of Storage Elements"
#define k_numberOfDataTransferElemsProp "Number Of Data Transfer Elements"
#define k_storageElemInfoProp "Storage Element Info"
#define k_mediaInStorageElemProp "Media In Storage Element"
#define k_dataTransferElemConfigurationProp "Current Data Transfer Element Configuration"
#define k_loadedStorageElemCountProp "Loaded Storage Element Count"
#define k_currentMountedStorageElemsProp "Current Mounted Storage Elements"
#define k_DVDFeaturesProp "DVD Features"
#define k_lastReleaseTimeProp "Last Release Time"
#define k_storageElemAddressProp "Storage Element Address"
#define k_BSDNameProp "BSD Name"

// ---- Keys of a "Storage Element Info" entry, and of a "Set Storage Element Volume Tags" request

#define k_storageElemNumberProp "Storage Element Number"
#define k_primaryVolTagProp "Primary Volume Tag"
#define k_alternateVolTagProp "Alternate Volume Tag"
#define k_primaryVolSeqProp "Primary Volume Sequence"
#define k_alternateVolSeqProp "Alternate Volume Sequence"

// ---- Request properties the daemon sets (0 from the set call: the driver accepted)

#define k_storageElemMountRequestProp "Storage Element Mount Request"
#define k_storageElemForceEjectRequestProp "Storage Element Force Eject Request Prop"
#define k_addDisabledMountStorageElemRequestProp "Add Disabled Mount Storage Element Request"
#define k_mediaLoadRequestProp "Media Load Request"
#define k_storageElemUnloadRequestProp "Storage Element Unload Request"
#define k_setStorageElemVolTagsRequestProp "Set Storage Element Volume Tags"
#define k_instantiateMediaObjectRequestProp "Instantiate Media Object"

enum : UInt32 {
  k_writerDVDFeature = 0x8,  // "DVD Features": the drive writes DVDs
  k_dontMountMedia = 0xFFFF,  // "Storage Element Mount Request": no storage element online
};

// Interest messages of the robotics service.
enum : natural_t {
  k_changerTerminatedMessage = 0xE0000010,
  k_storageElemsChangedMessage = 0xE0034001,
};

// ---- Typed reads. Numbers convert only without loss; the driver stores unsigned 16- and
// 32-bit values in signed numbers of that width, so both readings are accepted.

// The service's own property as a new reference, or null.
CFTypeRef CopyDriverProperty(io_registry_entry_t i_service, CFStringRef i_propNameRef);
bool GetDriverUInt16(CFTypeRef i_valueRef, UInt16* o_valueP);
bool GetDriverUInt32(CFTypeRef i_valueRef, UInt32* o_valueP);
// A 64-bit signed number, taken as UInt64 (changer GUIDs).
bool GetDriverUInt64(CFTypeRef i_valueRef, UInt64* o_valueP);

// ---- Set requests

// A storage element as the driver takes it in requests: a 16-bit number (null on failure).
CFNumberRef CreateStorageElemNumber(UInt16 i_storageElem);
// The driver's answer to setting the request property to the value.
[[nodiscard]] kern_return_t SetDriverRequest(io_service_t i_service, CFStringRef i_requestRef, CFTypeRef i_valueRef);
