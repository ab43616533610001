// Property lists: XML and binary files read and written through file streams.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFTypes.h"

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum : CFOptionFlags {
  kCFPropertyListImmutable = 0,
  kCFPropertyListMutableContainers = 1,
  kCFPropertyListMutableContainersAndLeaves = 2,
};

typedef CFIndex CFPropertyListFormat;
enum : CFPropertyListFormat {
  kCFPropertyListOpenStepFormat = 1,
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200,
};
