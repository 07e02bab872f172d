// harlen_wine: the driver's scenarios on Wine's real kernel.
//   harlen_wine install BUS_INF HARLEN_INF   the emulated bus and the function driver, as setup installs them
//   harlen_wine run [--outcomes] SCRIPT      a scenario script against the real device and the bus
//   harlen_wine bench                        reads and writes through the driver beside the bus's own
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bench.h"
#include "install.h"
#include "test_bus.h"
#include "wine_scenario.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: harlen_wine install BUS_INF HARLEN_INF\n"
          "       harlen_wine run [--outcomes] SCRIPT\n"
          "       harlen_wine bench\n");
  return 2;
}

std::wstring widened(const char *text) {
  int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
  return wide;
}

int install(const char *busInf, const char *harlenInf) {
  std::string error;
  if (!installBusAndDriver(widened(busInf), widened(harlenInf), error)) {
    printf("error %s\n", error.c_str());
    return 1;
  }
  printf("installed: %s answers, %s is among the system's INFs\n", HARLEN_BUS_LINK_USER, harlenInf);
  return 0;
}

int run(const char *path, bool outcomes) {
  std::ifstream script(path);
  if (!script) {
    fprintf(stderr, "harlen_wine: cannot read %s\n", path);
    return 2;
  }
  TestBus bus;
  if (!bus.open()) {
    printf("error %s\n", bus.error().c_str());
    return 1;
  }
  WineScenario scenario(bus, stdout, outcomes);
  bool ran = scenario.run(script);
  if (!ran) printf("error %s\n", scenario.error().c_str());
  fflush(stdout);
  return ran ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "install") == 0) return install(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "run") == 0) return run(argv[2], false);
  if (argc == 4 && strcmp(argv[1], "run") == 0 && strcmp(argv[2], "--outcomes") == 0) return run(argv[3], true);
  if (argc == 2 && strcmp(argv[1], "bench") == 0) return bench();
  return usage();
}
