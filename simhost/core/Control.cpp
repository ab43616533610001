#include "Control.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <functional>
#include <optional>
#include <set>

#include "CFUtil.h"
#include "Server.h"
#include "platform/Clock.h"

namespace simhost {
namespace {

CFRef<CFMutableDictionaryRef> Ok() {
  auto reply = cf::Dict();
  cf::Set(reply.get(), "kr", static_cast<int64_t>(kSimSuccess));
  return reply;
}

CFRef<CFMutableDictionaryRef> Error(const std::string& text, int kr = kSimBadArgument) {
  auto reply = cf::Dict();
  cf::Set(reply.get(), "kr", static_cast<int64_t>(kr));
  cf::Set(reply.get(), "error", text);
  return reply;
}

// The changer a request names with "guid", or the only one when it names none.
Changer* ChangerArg(Host& host, CFDictionaryRef request, std::string& o_error) {
  auto text = cf::GetString(request, "guid");
  std::vector<Changer*> all = host.Changers();
  if (!text) {
    if (all.size() == 1) return all.front();
    o_error = all.empty() ? "no changer is attached" : "several changers are attached: name one with --changer GUID";
    return nullptr;
  }
  uint64_t guid = 0;
  if (!ParseGUID(*text, guid)) {
    o_error = "\"" + *text + "\" is not a GUID (up to 16 hexadecimal digits)";
    return nullptr;
  }
  if (Changer* c = host.FindChanger(guid)) return c;
  o_error = "no changer with GUID " + FormatGUID(guid);
  return nullptr;
}

std::optional<int> SlotArg(CFDictionaryRef request) {
  auto slot = cf::GetInt(request, "slot");
  if (!slot) return std::nullopt;
  // Out of range stays out of range (refused), never wrapped onto another slot.
  return *slot < 0 || *slot > INT_MAX ? -1 : static_cast<int>(*slot);
}

CFRef<CFDictionaryRef> TreeOf(Registry& reg, ServiceId id) {
  auto node = cf::Dict();
  cf::Set(node.get(), "id", static_cast<int64_t>(id));
  cf::Set(node.get(), "class", reg.ClassName(id));
  cf::Set(node.get(), "properties", reg.CopyProperties(id).get());
  auto children = cf::Array();
  for (ServiceId child : reg.Children(id))
    if (reg.IsPublished(child)) cf::Append(children.get(), TreeOf(reg, child).get());
  cf::Set(node.get(), "children", children.get());
  return CFRef<CFDictionaryRef>(node.release());
}

CFRef<CFMutableDictionaryRef> ClockReply(Host& host) {
  platform::clock::Published published;
  // No clock file means real time: the default rate of 1 is the answer then.
  (void)platform::clock::ReadClockFile(host.Root() + "/var/run/clock", published);
  auto reply = Ok();
  cf::Set(reply.get(), "now", cf::Double(platform::clock::Now()).get());
  cf::Set(reply.get(), "rate", cf::Double(published.rate).get());
  return reply;
}

CFRef<CFMutableDictionaryRef> Clock(Host& host, CFDictionaryRef request) {
  std::string path = host.Root() + "/var/run/clock";
  platform::clock::Published current;
  (void)platform::clock::ReadClockFile(path, current);  // none yet: the new clock starts at rate 1
  auto rate = cf::GetReal(request, "rate");
  auto advance = cf::GetReal(request, "advance");
  if (rate && (*rate < platform::clock::kMinRate || *rate > platform::clock::kMaxRate))
    return Error("the clock rate must be from 0.001 to 1000000");
  if (advance && *advance < 0) return Error("the clock only moves forward");
  if (advance && !(platform::clock::Now() + *advance <= platform::clock::kMaxSimSeconds))
    return Error("the clock cannot go beyond 1000000000000 seconds");
  if (rate || advance) {
    long long realNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    platform::clock::Published next{realNow, platform::clock::Now() + advance.value_or(0),
                                    rate.value_or(current.rate > 0 ? current.rate : 1)};
    if (!platform::clock::WriteClockFile(path, next)) return Error("cannot write " + path, kSimError);
  }
  return ClockReply(host);
}

}  // namespace

CFRef<CFMutableDictionaryRef> HandleControl(Server& server, CFDictionaryRef request) {
  Host& host = server.host();
  std::string command = cf::GetString(request, "command").value_or("");
  std::string error;

  if (command == "status") {
    auto reply = ClockReply(host);
    cf::Set(reply.get(), "root", host.Root());
    cf::Set(reply.get(), "pid", static_cast<int64_t>(::getpid()));
    cf::Set(reply.get(), "changers", static_cast<int64_t>(host.Changers().size()));
    cf::Set(reply.get(), "alerts", static_cast<int64_t>(host.Alerts().size()));
    auto clients = cf::Array();
    for (const ClientInfo& c : server.Clients()) {
      auto d = cf::Dict();
      cf::Set(d.get(), "pid", static_cast<int64_t>(c.pid));
      cf::Set(d.get(), "program", c.program);
      cf::Append(clients.get(), d.get());
    }
    cf::Set(reply.get(), "clients", clients.get());
    cf::Set(reply.get(), "knobs", host.HostKnobs().get());
    return reply;
  }
  if (command == "changers") {
    auto list = cf::Array();
    for (Changer* c : host.Changers()) cf::Append(list.get(), c->Describe().get());
    auto reply = Ok();
    cf::Set(reply.get(), "changers", list.get());
    return reply;
  }
  if (command == "tree") {
    auto reply = Ok();
    cf::Set(reply.get(), "tree", TreeOf(host.registry(), host.registry().Root()).get());
    return reply;
  }
  if (command == "add-changer") {
    CFDictionaryRef description = cf::GetDict(request, "description");
    if (!description) return Error("\"description\" must be a dictionary");
    ChangerSpec spec;
    if (!ParseChangerDescription(description, cf::GetString(request, "baseDir").value_or(""), spec, error))
      return Error(error);
    uint64_t guid = spec.guid;
    if (!host.AddChanger(std::move(spec), error)) return Error(error);
    auto reply = Ok();
    cf::Set(reply.get(), "guid", FormatGUID(guid));
    return reply;
  }
  if (command == "alerts") {
    auto list = cf::Array();
    for (const Alert& a : host.Alerts()) {
      auto d = cf::Dict();
      cf::Set(d.get(), "time", cf::Double(a.time).get());
      cf::Set(d.get(), "pid", static_cast<int64_t>(a.pid));
      cf::Set(d.get(), "header", a.header);
      cf::Set(d.get(), "message", a.message);
      cf::Set(d.get(), "defaultButton", a.defaultButton);
      cf::Set(d.get(), "iconURL", a.iconURL);
      cf::Set(d.get(), "level", static_cast<int64_t>(a.level));
      cf::Append(list.get(), d.get());
    }
    auto reply = Ok();
    cf::Set(reply.get(), "alerts", list.get());
    return reply;
  }
  if (command == "clock") return Clock(host, request);
  if (command == "set" && !cf::Get(request, "guid") && !cf::Get(request, "slot")) {
    // Host knobs need no changer; changer knobs fall through below.
    auto knob = cf::GetString(request, "knob").value_or("");
    const KnobInfo* info = FindKnob(knob);
    if (info && info->scope == KnobScope::host) {
      if (!host.SetHostKnob(knob, cf::Get(request, "value"), error)) return Error(error);
      return Ok();
    }
  }

  // Everything below acts on one changer.
  static const std::set<std::string> changerCommands = {"unplug", "replug",  "insert", "remove",
                                                        "load-end", "set", "message"};
  if (!changerCommands.count(command)) return Error("unknown control command \"" + command + "\"", kSimUnsupported);
  Changer* changer = ChangerArg(host, request, error);
  if (!changer) return Error(error);
  if (command == "unplug") {
    if (!changer->IsPlugged()) return Error("changer " + FormatGUID(changer->Guid()) + " is not plugged in");
    changer->Unplug();
    return Ok();
  }
  if (command == "replug") {
    if (changer->IsPlugged()) return Error("changer " + FormatGUID(changer->Guid()) + " is plugged in");
    changer->ReplugAfter(cf::GetReal(request, "after").value_or(0));
    return Ok();
  }
  if (command == "insert") {
    DiscSpec disc;
    CFDictionaryRef d = cf::GetDict(request, "disc");
    auto empty = cf::Dict();
    if (!ParseDiscDescription(d ? d : empty.get(), cf::GetString(request, "baseDir").value_or(""), disc, error))
      return Error(error);
    int slot = -1;
    if (!changer->Insert(SlotArg(request), disc, slot, error)) return Error(error);
    auto reply = Ok();
    cf::Set(reply.get(), "slot", static_cast<int64_t>(slot));
    return reply;
  }
  if (command == "remove") {
    auto slot = SlotArg(request);
    if (!slot) return Error("remove needs a storage element");
    if (!changer->Remove(*slot, error)) return Error(error);
    return Ok();
  }
  if (command == "load-end") {
    if (!changer->EndLoad(error)) return Error(error);
    return Ok();
  }
  if (command == "set") {
    auto knob = cf::GetString(request, "knob");
    if (!knob) return Error("set needs a knob name");
    if (!changer->SetKnob(SlotArg(request), *knob, cf::Get(request, "value"), error)) return Error(error);
    return Ok();
  }
  // message
  auto type = cf::GetInt(request, "type");
  if (!type || *type < 0 || *type > 0xFFFFFFFFLL) return Error("message needs a 32-bit message type");
  if (!changer->IsPlugged()) return Error("changer " + FormatGUID(changer->Guid()) + " is not plugged in");
  changer->SendMessage(static_cast<uint32_t>(*type), static_cast<uint64_t>(cf::GetInt(request, "argument").value_or(0)));
  return Ok();
}

}  // namespace simhost
