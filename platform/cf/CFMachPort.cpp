#include "platform/CFMachPort.h"

#include <vector>

#include "RunLoopInternal.h"
#include "mach/MachInternal.h"
#include "platform/CFRef.h"
#include "platform/Clock.h"

struct __CFMachPort : __CFObject {
  __CFMachPort() : __CFObject(kTypeIDMachPort) {}
  ~__CFMachPort() override {
    *m_alive = false;
    if (m_context.release && m_context.info) m_context.release(m_context.info);
  }
  std::string Describe() const override { return "<CFMachPort " + std::to_string(m_port) + ">"; }

  bool IsValid() const { return *m_alive && !(m_receive && m_receive->dead); }

  mach_port_t m_port = MACH_PORT_NULL;
  CFMachPortCallBack m_callout = nullptr;
  CFMachPortContext m_context{};
  std::shared_ptr<platform::mach::internal::ReceivePort> m_receive;  // null without a receive right
  std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
};

CFTypeID CFMachPortGetTypeID() { return kTypeIDMachPort; }

CFMachPortRef CFMachPortCreateWithPort(CFAllocatorRef, mach_port_t portNum, CFMachPortCallBack callout,
                                       CFMachPortContext* context, Boolean* shouldFreeInfo) {
  if (shouldFreeInfo) *shouldFreeInfo = true;
  if (!MACH_PORT_VALID(portNum) || platform::mach::EndpointForPort(portNum).empty()) return nullptr;
  auto* p = new __CFMachPort();
  p->m_port = portNum;
  p->m_callout = callout;
  p->m_receive = platform::mach::internal::ReceiveRight(portNum);
  if (context) {
    p->m_context = *context;
    if (context->retain && context->info) p->m_context.info = const_cast<void*>(context->retain(context->info));
  }
  if (shouldFreeInfo) *shouldFreeInfo = false;
  return p;
}

mach_port_t CFMachPortGetPort(CFMachPortRef port) { return port ? port->m_port : MACH_PORT_NULL; }

void CFMachPortGetContext(CFMachPortRef port, CFMachPortContext* context) {
  if (port && context) *context = port->m_context;
}

void CFMachPortInvalidate(CFMachPortRef port) {
  if (port) *port->m_alive = false;
}

Boolean CFMachPortIsValid(CFMachPortRef port) { return port && port->IsValid(); }

CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef, CFMachPortRef port, CFIndex order) {
  if (!port || !port->m_receive || !port->IsValid()) return nullptr;
  CFRef<CFMachPortRef> held = CFRef<CFMachPortRef>::Retain(port);
  auto onReadable = [held] {
    __CFMachPort* p = held.get();
    std::vector<uint8_t> message;
    // The fd is readable, so this does not wait; anything else was not a message for us.
    if (platform::mach::internal::Receive(p->m_receive, p->m_port, platform::clock::Now(), message) !=
        MACH_MSG_SUCCESS)
      return;
    if (p->m_callout) p->m_callout(p, message.data(), static_cast<CFIndex>(message.size()), p->m_context.info);
  };
  auto alive = [flag = port->m_alive, receive = port->m_receive] { return *flag && !receive->dead; };
  return platform::CreateLinkedFdSource(port->m_receive->fd, std::move(onReadable), order, std::move(alive));
}
