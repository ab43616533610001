// cnidverify: checks the CNID database files in a directory and reports through its output and
// exit status (0 clean, 1 errors or usage, 2 path not found, 3 no "CNIDs", 4 no "file names").
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "CNIDChecker.h"
#include "platform/BSD.h"

static int Usage() {
  fputs("\nUsage:\n\ncnidverify [-v] <Path to databases>\n\n", stderr);
  return 1;
}

[[nodiscard]] static bool FileExists(const std::string& i_pathP) {
  struct stat fileInfo;
  return bsd::stat(i_pathP.c_str(), &fileInfo) == 0;
}

int main(int argc, char* argv[]) {
  bool verbose = false;
  int argIndex = 1;
  for (; argIndex < argc && argv[argIndex][0] == '-' && argv[argIndex][1] != 0; ++argIndex) {
    if (strcmp(argv[argIndex], "-v") != 0) return Usage();
    verbose = true;
  }
  if (argc - argIndex != 1) return Usage();

  char directoryPath[bsd::kMacPathMax];
  if (bsd::realpath(argv[argIndex], directoryPath) == nullptr) {
    fprintf(stderr, "%s not found.\n", argv[argIndex]);
    return 2;
  }
  const int k_missingFileStatus[] = {3, 4};
  const char* const k_fileNames[] = {"CNIDs", "file names"};
  for (int i = 0; i < 2; ++i) {
    std::string path = std::string(directoryPath) + "/" + k_fileNames[i];
    if (!FileExists(path)) {
      fprintf(stderr, "%s not found.\n", path.c_str());
      return k_missingFileStatus[i];
    }
  }

  SCNIDErrorEntryHeader errorList = {0, nullptr, nullptr};
  bool isClean = CheckCNIDDBByPath(directoryPath, &errorList);
  if (!isClean && errorList.errorCount == 0) {
    // The files exist but could not be opened or mapped: nothing was checked.
    fprintf(stderr, "unable to check the CNID database in %s.\n", directoryPath);
    return 1;
  }
  if (!isClean) {
    if (verbose) {
      for (SCNIDErrorEntry* entryP = errorList.head; entryP != nullptr; entryP = entryP->next) {
        // The table's texts are checked where it is defined: each takes the CNID as a long, or nothing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        printf(kCNIDErrorStrings[entryP->error], static_cast<long>(entryP->cnid));
#pragma GCC diagnostic pop
        putchar('\n');
      }
    }
    FreeCNIDErrorList(&errorList);
    return 1;
  }
  if (verbose) puts("No errors found");
  return 0;
}
