// File streams over the host file under the system root.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "CFInternal.h"
#include "platform/CFPropertyList.h"
#include "platform/SysRoot.h"

namespace {

enum : CFTypeID {
  kTypeIDReadStream = kTypeIDFirstService + 40,
  kTypeIDWriteStream = kTypeIDFirstService + 41,
};

struct FileStream : __CFObject {
  FileStream(CFTypeID id, std::string hostPath) : __CFObject(id), m_hostPath(std::move(hostPath)) {}
  ~FileStream() override { CloseFile(); }

  bool OpenFile(int flags) {
    if (m_status != kCFStreamStatusNotOpen) return Fail(EINVAL);
    m_fd = ::open(m_hostPath.c_str(), flags | O_CLOEXEC, 0666);
    if (m_fd < 0) return Fail(errno);
    m_status = kCFStreamStatusOpen;
    return true;
  }

  void CloseFile() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

  void Close() {
    CloseFile();
    if (m_status != kCFStreamStatusNotOpen) m_status = kCFStreamStatusClosed;
  }

  bool Fail(int err) {
    m_status = kCFStreamStatusError;
    m_error = {kCFStreamErrorDomainPOSIX, err};
    return false;
  }

  bool Usable() const { return m_fd >= 0 && (m_status == kCFStreamStatusOpen || m_status == kCFStreamStatusAtEnd); }

  std::string m_hostPath;
  int m_fd = -1;
  CFStreamStatus m_status = kCFStreamStatusNotOpen;
  CFStreamError m_error{0, 0};
};

FileStream* AsStream(const void* stream, CFTypeID id) {
  if (!stream || CFGetTypeID(stream) != id) return nullptr;
  return static_cast<FileStream*>(CFObjMut(stream));
}

FileStream* Reader(CFReadStreamRef s) { return AsStream(s, kTypeIDReadStream); }
FileStream* Writer(CFWriteStreamRef s) { return AsStream(s, kTypeIDWriteStream); }

FileStream* CreateFor(CFURLRef fileURL, CFTypeID id) {
  if (!fileURL || CFGetTypeID(fileURL) != CFURLGetTypeID()) return nullptr;
  std::string macPath = fileURL->AbsolutePath();
  if (macPath.empty()) return nullptr;
  return new FileStream(id, platform::MacToHost(macPath));
}

}  // namespace

CFTypeID CFReadStreamGetTypeID() { return kTypeIDReadStream; }
CFTypeID CFWriteStreamGetTypeID() { return kTypeIDWriteStream; }

CFReadStreamRef CFReadStreamCreateWithFile(CFAllocatorRef, CFURLRef fileURL) {
  return reinterpret_cast<CFReadStreamRef>(CreateFor(fileURL, kTypeIDReadStream));
}

CFWriteStreamRef CFWriteStreamCreateWithFile(CFAllocatorRef, CFURLRef fileURL) {
  return reinterpret_cast<CFWriteStreamRef>(CreateFor(fileURL, kTypeIDWriteStream));
}

Boolean CFReadStreamOpen(CFReadStreamRef stream) {
  FileStream* s = Reader(stream);
  return s && s->OpenFile(O_RDONLY);
}

Boolean CFWriteStreamOpen(CFWriteStreamRef stream) {
  FileStream* s = Writer(stream);
  return s && s->OpenFile(O_WRONLY | O_CREAT | O_TRUNC);
}

void CFReadStreamClose(CFReadStreamRef stream) {
  if (FileStream* s = Reader(stream)) s->Close();
}

void CFWriteStreamClose(CFWriteStreamRef stream) {
  if (FileStream* s = Writer(stream)) s->Close();
}

CFStreamStatus CFReadStreamGetStatus(CFReadStreamRef stream) {
  FileStream* s = Reader(stream);
  return s ? s->m_status : kCFStreamStatusError;
}

CFStreamStatus CFWriteStreamGetStatus(CFWriteStreamRef stream) {
  FileStream* s = Writer(stream);
  return s ? s->m_status : kCFStreamStatusError;
}

CFStreamError CFReadStreamGetError(CFReadStreamRef stream) {
  FileStream* s = Reader(stream);
  return s ? s->m_error : CFStreamError{kCFStreamErrorDomainPOSIX, EINVAL};
}

CFStreamError CFWriteStreamGetError(CFWriteStreamRef stream) {
  FileStream* s = Writer(stream);
  return s ? s->m_error : CFStreamError{kCFStreamErrorDomainPOSIX, EINVAL};
}

CFIndex CFReadStreamRead(CFReadStreamRef stream, UInt8* buffer, CFIndex bufferLength) {
  FileStream* s = Reader(stream);
  if (!s) return -1;
  if (!s->Usable() || !buffer || bufferLength < 0) {
    if (s->m_status != kCFStreamStatusError) s->Fail(EINVAL);
    return -1;
  }
  for (;;) {
    ssize_t n = ::read(s->m_fd, buffer, static_cast<size_t>(bufferLength));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      s->Fail(errno);
      return -1;
    }
    if (n == 0 && bufferLength > 0) s->m_status = kCFStreamStatusAtEnd;
    return n;
  }
}

CFIndex CFWriteStreamWrite(CFWriteStreamRef stream, const UInt8* buffer, CFIndex bufferLength) {
  FileStream* s = Writer(stream);
  if (!s) return -1;
  if (!s->Usable() || (!buffer && bufferLength > 0) || bufferLength < 0) {
    if (s->m_status != kCFStreamStatusError) s->Fail(EINVAL);
    return -1;
  }
  CFIndex done = 0;
  while (done < bufferLength) {
    ssize_t n = ::write(s->m_fd, buffer + done, static_cast<size_t>(bufferLength - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      s->Fail(errno);
      return -1;
    }
    done += n;
  }
  return done;
}
