// harlen_wine: the driver's scenarios on Wine's real kernel.
//   harlen_wine install BUS_INF HARLEN_INF   the emulated bus and the function driver, as setup installs them
//   harlen_wine run [--outcomes] SCRIPT      a scenario script against the real device and the bus
//   harlen_wine stage HARLEN_INF             the function driver alone, for a bridge on a real USB bus
//   harlen_wine run --link PORT [--inf HARLEN_INF] [--outcomes] SCRIPT
//                                            the bus is outside the machine, reached through a serial
//                                            port, which carries the output too (a guest under QEMU);
//                                            a new bridge the PnP manager leaves without a driver gets
//                                            it from HARLEN_INF
//   harlen_wine bench [--once] [MIB...]      reads and writes through the driver beside the bus's own,
//                                            of each size (1, 16 and 64 MiB unless told), the median
//                                            of 5 runs (of one with --once)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench.h"
#include "bus_link.h"
#include "install.h"
#include "test_bus.h"
#include "wine_scenario.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: harlen_wine install BUS_INF HARLEN_INF\n"
          "       harlen_wine run [--link PORT [--inf HARLEN_INF]] [--outcomes] SCRIPT\n"
          "       harlen_wine stage HARLEN_INF\n"
          "       harlen_wine bench [--once] [MIB...]\n");
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

int stage(const char *harlenInf) {
  std::string error;
  if (!stageFunctionDriver(widened(harlenInf), error)) {
    printf("error %s\n", error.c_str());
    return 1;
  }
  printf("staged: %s is among the system's INFs\n", harlenInf);
  return 0;
}

struct RunOptions {
  const char *linkPort = nullptr;
  const char *inf = nullptr;
  bool outcomes = false;
};

int run(const char *path, const RunOptions &options) {
  const char *linkPort = options.linkPort;
  std::ifstream script(path);
  if (!script) {
    fprintf(stderr, "harlen_wine: cannot read %s\n", path);
    return 2;
  }
  BusLink link;
  TestBus bus;
  FILE *out = stdout;
  if (linkPort) {
    if (!link.open(linkPort)) {
      fprintf(stderr, "harlen_wine: %s\n", link.error().c_str());
      return 2;
    }
    bus.useLink(link);
    out = link.output();
  } else if (!bus.open()) {
    printf("error %s\n", bus.error().c_str());
    return 1;
  }
  bool ran;
  {
    WineScenario scenario(bus, out, options.outcomes);
    if (options.inf) scenario.installWhenMissing(widened(options.inf));
    ran = scenario.run(script);
    if (!ran) fprintf(out, "error %s\n", scenario.error().c_str());
  }
  fflush(out);
  return ran ? 0 : 1;
}

// run [--link PORT [--inf HARLEN_INF]] [--outcomes] SCRIPT
int runCommand(int argc, char **argv) {
  RunOptions options;
  int i = 2;
  for (; i < argc - 1; ++i) {
    if (strcmp(argv[i], "--link") == 0 && i + 1 < argc - 1) {
      options.linkPort = argv[++i];
    } else if (strcmp(argv[i], "--inf") == 0 && i + 1 < argc - 1) {
      options.inf = argv[++i];
    } else if (strcmp(argv[i], "--outcomes") == 0) {
      options.outcomes = true;
    } else {
      return usage();
    }
  }
  if (options.inf && !options.linkPort) return usage();
  return i == argc - 1 ? run(argv[i], options) : usage();
}

// bench [--once] [MIB...]: whole mebibytes, up to 256 each.
int benchCommand(int argc, char **argv) {
  const bool once = argc > 2 && strcmp(argv[2], "--once") == 0;
  std::vector<uint32_t> sizes;
  for (int i = once ? 3 : 2; i < argc; ++i) {
    char *end;
    unsigned long mebibytes = strtoul(argv[i], &end, 10);
    if (*end || end == argv[i] || mebibytes == 0 || mebibytes > 256) return usage();
    sizes.push_back(static_cast<uint32_t>(mebibytes) << 20);
  }
  if (sizes.empty()) sizes = {1u << 20, 16u << 20, 64u << 20};
  return bench(sizes, once ? 1 : 5);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "install") == 0) return install(argv[2], argv[3]);
  if (argc >= 3 && strcmp(argv[1], "run") == 0) return runCommand(argc, argv);
  if (argc == 3 && strcmp(argv[1], "stage") == 0) return stage(argv[2]);
  if (argc >= 2 && strcmp(argv[1], "bench") == 0) return benchCommand(argc, argv);
  return usage();
}
