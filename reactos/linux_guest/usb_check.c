/* The Linux guest's side of the emulated bridge's proof: finds the bridge on
 * the guest's USB bus and drives it through usbfs. Prints one line per check,
 * "CHECK <name> ok" or "CHECK <name> FAIL <why>", and "DONE <passed> <failed>".
 * Where the bridge must change its behaviour first, it prints "WANT <command>"
 * (a command of the bridge emulator) and waits for a line on its console: the
 * harness sends it once the emulator has taken the command. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#define BULK_IN 0x81
#define BULK_OUT 0x02
#define CHUNK (64 * 1024)
#define LOOPBACK_BYTES (4 * 1024 * 1024)
#define TIMEOUT_MS 5000

static int passed, failed;

static void check(const char *name, int ok, const char *why, ...) {
  va_list args;
  printf("CHECK %s %s", name, ok ? "ok" : "FAIL ");
  if (!ok) {
    va_start(args, why);
    vprintf(why, args);
    va_end(args);
  }
  printf("\n");
  fflush(stdout);
  ok ? ++passed : ++failed;
}

/* Asks the harness for a bridge command and waits until it was carried out. */
static void want(const char *command) {
  char line[64];
  printf("WANT %s\n", command);
  fflush(stdout);
  if (!fgets(line, sizeof line, stdin)) exit(2);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static int readWord(const char *dir, const char *file) {
  char path[512], text[32] = "";
  snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s", dir, file);
  FILE *f = fopen(path, "r");
  if (!f) return -1;
  if (!fgets(text, sizeof text, f)) text[0] = 0;
  fclose(f);
  return (int)strtol(text, NULL, strcmp(file, "idVendor") && strcmp(file, "idProduct") ? 10 : 16);
}

/* The bridge's usbfs node, waiting for it up to the given seconds; NULL when it does not come. */
static const char *findBridge(int seconds) {
  static char node[64];
  for (double end = now() + seconds; now() < end; usleep(100 * 1000)) {
    DIR *devices = opendir("/sys/bus/usb/devices");
    struct dirent *entry;
    while (devices && (entry = readdir(devices))) {
      if (readWord(entry->d_name, "idVendor") != 0x0590 || readWord(entry->d_name, "idProduct") != 0x0002) continue;
      if (readWord(entry->d_name, "bConfigurationValue") != 1) continue;
      snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", readWord(entry->d_name, "busnum"),
               readWord(entry->d_name, "devnum"));
      closedir(devices);
      if (access(node, R_OK | W_OK) == 0) return node;
    }
    if (devices) closedir(devices);
  }
  return NULL;
}

static int gone(int seconds) {
  for (double end = now() + seconds; now() < end; usleep(100 * 1000))
    if (!findBridge(0)) return 1;
  return 0;
}

static int control(int fd, uint8_t type, uint8_t request, uint16_t value, uint16_t index, void *data, uint16_t length) {
  struct usbdevfs_ctrltransfer c = {type, request, value, index, length, TIMEOUT_MS, data};
  return ioctl(fd, USBDEVFS_CONTROL, &c);
}

static int bulk(int fd, unsigned endpoint, void *data, unsigned length) {
  struct usbdevfs_bulktransfer b = {endpoint, length, TIMEOUT_MS, data};
  return ioctl(fd, USBDEVFS_BULK, &b);
}

static void vendorRequests(int fd) {
  uint8_t in[8] = {0};
  uint8_t out[3] = {1, 2, 3};
  int got = control(fd, 0xC0, 0xFF, 7, 0xFFFC, in, 2);
  check("word-at-fffc", got == 2 && in[0] == 7 && in[1] == 0, "got %d: %02x %02x", got, in[0], in[1]);
  got = control(fd, 0xC0, 0xFF, 7, 0x00AE, in, 2);
  check("word-at-00ae", got == 2 && in[0] == 0 && in[1] == 1, "got %d: %02x %02x", got, in[0], in[1]);
  got = control(fd, 0x40, 4, 0, 0, out, sizeof out);
  check("request-4-out", got == 3, "got %d errno %d", got, errno);
  got = control(fd, 0xC0, 12, 0, 0, in, sizeof in);
  check("request-12-in", got == 0, "got %d errno %d", got, errno);
  in[0] = 0xEE;
  got = control(fd, 0xA0, 0xFE, 0, 0, in, 1);
  check("get-max-lun", got == 1 && in[0] == 0, "got %d: %02x", got, in[0]);
  got = control(fd, 0xC0, 5, 0, 0, in, 2);
  check("unknown-request-stalls", got < 0 && errno == EPIPE, "got %d errno %d", got, errno);
}

/* Bytes that differ at every offset and between passes, so a lost or repeated block shows. */
static uint8_t streamByte(uint32_t offset) { return (uint8_t)(offset * 7 + (offset >> 12)); }

static void loopback(int fd) {
  static uint8_t out[CHUNK], in[CHUNK];
  uint32_t offset = 0, mismatch = UINT32_MAX;
  int error = 0;
  double start = now();
  while (offset < LOOPBACK_BYTES && !error) {
    for (uint32_t k = 0; k < CHUNK; ++k) out[k] = streamByte(offset + k);
    memset(in, 0, sizeof in);
    if (bulk(fd, BULK_OUT, out, CHUNK) != CHUNK || bulk(fd, BULK_IN, in, CHUNK) != CHUNK) error = errno ? errno : -1;
    for (uint32_t k = 0; k < CHUNK && mismatch == UINT32_MAX && !error; ++k)
      if (in[k] != out[k]) mismatch = offset + k;
    if (mismatch != UINT32_MAX) break;
    offset += CHUNK;
  }
  double seconds = now() - start;
  check("loopback-4MiB", offset == LOOPBACK_BYTES, "stopped at %u: error %d, first mismatch %u", offset, error, mismatch);
  printf("LOOPBACK %u bytes each way in %.2f s, %.2f MiB/s\n", offset, seconds, offset / seconds / 1048576.0);
}

static int reapWithin(int fd, int milliseconds, struct usbdevfs_urb **done) {
  struct pollfd p = {fd, POLLOUT, 0};
  if (poll(&p, 1, milliseconds) <= 0) return -1;
  return ioctl(fd, USBDEVFS_REAPURBNDELAY, done);
}

/* A held read stays unanswered until the bridge is told to release it, then brings what was written before. */
static void heldRead(int fd) {
  static uint8_t data[512], in[512];
  struct usbdevfs_urb urb = {0}, *done = NULL;
  for (unsigned k = 0; k < sizeof data; ++k) data[k] = (uint8_t)(255 - k);
  check("write-before-hold", bulk(fd, BULK_OUT, data, sizeof data) == sizeof data, "errno %d", errno);
  want("bulk reads=hold");
  urb.type = USBDEVFS_URB_TYPE_BULK;
  urb.endpoint = BULK_IN;
  urb.buffer = in;
  urb.buffer_length = sizeof in;
  check("submit-held-read", ioctl(fd, USBDEVFS_SUBMITURB, &urb) == 0, "errno %d", errno);
  check("read-held", reapWithin(fd, 1000, &done) < 0, "it ended with status %d", urb.status);
  want("release");
  int reaped = reapWithin(fd, TIMEOUT_MS, &done);
  check("read-released", reaped == 0 && done == &urb && urb.status == 0 && urb.actual_length == sizeof in &&
                             memcmp(in, data, sizeof in) == 0,
        "reap %d status %d length %d", reaped, urb.status, urb.actual_length);
}

/* A held read the guest gives up on is cancelled at the bridge. */
static void cancelledRead(int fd) {
  static uint8_t in[512];
  struct usbdevfs_urb urb = {0}, *done = NULL;
  want("bulk reads=hold");
  urb.type = USBDEVFS_URB_TYPE_BULK;
  urb.endpoint = BULK_IN;
  urb.buffer = in;
  urb.buffer_length = sizeof in;
  ioctl(fd, USBDEVFS_SUBMITURB, &urb);
  usleep(300 * 1000);
  int discarded = ioctl(fd, USBDEVFS_DISCARDURB, &urb);
  int reaped = reapWithin(fd, TIMEOUT_MS, &done);
  check("read-cancelled", discarded == 0 && reaped == 0 && urb.status == -ENOENT && urb.actual_length == 0,
        "discard %d reap %d status %d", discarded, reaped, urb.status);
  want("release");
}

/* The interrupt endpoint never reports anything: a read on it waits until the guest gives up. */
static void silentInterrupt(int fd) {
  static uint8_t in[8];
  struct usbdevfs_urb urb = {0}, *done = NULL;
  urb.type = USBDEVFS_URB_TYPE_INTERRUPT;
  urb.endpoint = 0x83;
  urb.buffer = in;
  urb.buffer_length = sizeof in;
  int submitted = ioctl(fd, USBDEVFS_SUBMITURB, &urb);
  int early = reapWithin(fd, 500, &done);
  ioctl(fd, USBDEVFS_DISCARDURB, &urb);
  int reaped = reapWithin(fd, TIMEOUT_MS, &done);
  check("interrupt-silent", submitted == 0 && early < 0 && reaped == 0 && urb.actual_length == 0,
        "submit %d early %d reap %d status %d", submitted, early, reaped, urb.status);
}

static int ascending(const uint8_t *bytes, int count) {
  for (int k = 1; k < count; ++k)
    if (bytes[k] != (bytes[k - 1] + 1) % 251) return 0;
  return count > 0;
}

/* A stalled pipe stays halted when the bridge's mode changes, until the guest clears the halt. */
static void stall(int fd) {
  static uint8_t in[512];
  want("bulk reads=stall");
  int got = bulk(fd, BULK_IN, in, sizeof in);
  check("read-stalls", got < 0 && errno == EPIPE, "got %d errno %d", got, errno);
  want("bulk reads=pattern");
  got = bulk(fd, BULK_IN, in, sizeof in);
  check("still-halted", got < 0 && errno == EPIPE, "got %d errno %d", got, errno);
  unsigned endpoint = BULK_IN;
  check("clear-halt", ioctl(fd, USBDEVFS_CLEAR_HALT, &endpoint) == 0, "errno %d", errno);
  got = bulk(fd, BULK_IN, in, sizeof in);
  check("pattern-after-clear", got == sizeof in && ascending(in, got), "got %d errno %d", got, errno);
  want("bulk reads=short short=100");
  got = bulk(fd, BULK_IN, in, sizeof in);
  check("short-read", got == 100 && ascending(in, got), "got %d errno %d", got, errno);
  want("bulk reads=loopback");
}

static int openBridge(const char *name, int seconds) {
  const char *node = findBridge(seconds);
  int fd = node ? open(node, O_RDWR) : -1;
  unsigned interface = 0;
  check(name, fd >= 0 && ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) == 0, "node %s errno %d",
        node ? node : "none", errno);
  return fd;
}

static void replug(int fd) {
  uint8_t in[2];
  want("unplug");
  check("unplugged", gone(10), "the bridge is still there");
  int got = control(fd, 0xC0, 0xFF, 7, 0xFFFC, in, 2);
  check("old-handle-fails", got < 0 && errno == ENODEV, "got %d errno %d", got, errno);
  close(fd);
  want("plug");
  fd = openBridge("replugged", 10);
  got = control(fd, 0xC0, 0xFF, 7, 0xFFFC, in, 2);
  check("answers-after-replug", got == 2 && in[0] == 7, "got %d errno %d", got, errno);
  close(fd);
}

int main(void) {
  int fd = openBridge("enumerated", 20);
  if (fd >= 0) {
    vendorRequests(fd);
    loopback(fd);
    heldRead(fd);
    cancelledRead(fd);
    silentInterrupt(fd);
    stall(fd);
    replug(fd);
  }
  printf("DONE %d %d\n", passed, failed);
  fflush(stdout);
  return failed != 0;
}
