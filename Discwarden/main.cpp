// Discwarden: the root daemon that runs the changers. Starts its services in a fixed order,
// then serves the main thread's run loop for the rest of its life. Every end is status 0.
#include "CNIDTables.h"
#include "ChangerInfoFiles.h"
#include "ChangerNotifications.h"
#include "LogMessage.h"
#include "MountData.h"
#include "Startup.h"
#include "platform/CFRunLoop.h"

// A failed start step: its own messages are logged already; one line from main, then the end.
[[noreturn]] static void FailStart(LogText<"s"> i_formatStrP) {
  LogMessage(i_formatStrP, "main");
  ExitDaemon();
}

int main(int /*i_argc*/, char** /*i_argvArr*/) {
  LogMessage("Discwarden started (" k_productVersion ").\n");
  if (!AssertSystemCompatibility()) FailStart("%s: Discwarden is not compatible with this system.\n");
  if (!StartSignalHandler()) FailStart("%s: unable to start signal handler.\n");
  // The file-system utility table (not on 10.4) is loaded here once utility matching exists.
  if (!SetupChangerFileHandling()) FailStart("%s: unable to set up changer file handling.\n");
  // The mount cookies start here once their module exists.
  if (!InitializeCNIDTables()) FailStart("%s: unable to initialize the CNID tables.\n");
  if (!StartMountLists()) FailStart("%s: unable to start mount lists.\n");
  if (!StartChangerNotifications()) FailStart("%s: unable to start changer notifications.\n");
  // Disk Arbitration, the command port, the file-system requests and the eject manager follow
  // here in that order as their modules arrive.
  CFRunLoopRun();
  ExitDaemon();
}
