// harlen_usbredir_bridge: the bridge as a USB device for QEMU's usb-redir.
//   harlen_usbredir_bridge --socket PATH [--log FILE] [--unplugged] [--connect-timeout SECONDS]
// Commands on standard input (commands.h); the wire log ("wire ..." lines as
// requests end) goes to FILE, else to standard error.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"

namespace {

struct Options {
  std::string socket, log;
  bool plugged = true;
  int connectTimeout = 30;
};

bool parseOptions(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    bool hasValue = i + 1 < argc;
    if (option == "--socket" && hasValue) options.socket = argv[++i];
    else if (option == "--log" && hasValue) options.log = argv[++i];
    else if (option == "--connect-timeout" && hasValue) options.connectTimeout = atoi(argv[++i]);
    else if (option == "--unplugged") options.plugged = false;
    else return false;
  }
  return !options.socket.empty();
}

// One line from standard input, buffered across reads; false at its end.
bool readCommands(std::string &pending, std::vector<std::string> &lines) {
  char chunk[4096];
  ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
  if (got <= 0) return false;
  pending.append(chunk, got);
  for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
    lines.push_back(pending.substr(0, end));
  return true;
}

int serve(bridge::BridgeDevice &device, bridge::RedirLink &link, bridge::WireLog &log) {
  std::string pending;
  bool stdinOpen = true;
  for (;;) {
    pollfd fds[2] = {{link.fd(), short(POLLIN | (link.wantsToWrite() ? POLLOUT : 0)), 0},
                     {STDIN_FILENO, POLLIN, 0}};
    if (poll(fds, stdinOpen ? 2 : 1, -1) < 0) continue;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !link.readAvailable()) {
      printf("closed: QEMU ended the connection\n");
      return 0;
    }
    if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
      std::vector<std::string> lines;
      stdinOpen = readCommands(pending, lines);
      if (!stdinOpen) lines.push_back("quit");
      for (const std::string &line : lines) {
        bridge::Reply reply = bridge::runCommand(line, device, link, log);
        for (const std::string &text : reply.lines) printf("%s\n", text.c_str());
        fflush(stdout);
        if (reply.quit) {
          link.writePending();
          return 0;
        }
      }
    }
    if (link.wantsToWrite() && !link.writePending()) {
      printf("closed: the connection to QEMU failed\n");
      return 1;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    fprintf(stderr, "usage: %s --socket PATH [--log FILE] [--unplugged] [--connect-timeout SECONDS]\n", argv[0]);
    return 2;
  }
  FILE *logFile = options.log.empty() ? stderr : fopen(options.log.c_str(), "w");
  if (logFile == nullptr) {
    fprintf(stderr, "cannot write %s: %s\n", options.log.c_str(), strerror(errno));
    return 2;
  }
  bridge::BridgeDevice device;
  bridge::WireLog log(logFile);
  bridge::RedirLink link(device, log);
  std::string error;
  if (!link.connect(options.socket, options.connectTimeout, error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  printf("connected\n");
  fflush(stdout);
  if (options.plugged) link.plug();
  return serve(device, link, log);
}
