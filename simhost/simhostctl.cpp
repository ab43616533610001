// simhostctl: looks into and acts on the simulated host of a system root. See README.md.
#include <iostream>
#include <string>
#include <vector>

#include "Ctl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return simhost::RunCtl(args, std::cout, std::cerr);
}
