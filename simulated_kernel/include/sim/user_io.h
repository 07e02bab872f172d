// A user program's side of the I/O manager: a handle opened by symbolic link
// name, holding a reference on the device it opened, reads and writes sent
// through it as the I/O manager sends them for direct I/O, and device controls
// as it sends them for METHOD_BUFFERED.
#pragma once

#include <memory>
#include <string>

#include "sim/platform.h"

namespace sim {

// One request sent through a handle. The I/O manager frees its IRP and MDL
// in its completion APC, which runs as pending work after the completion
// (platform().runAllPendingWork()); the record stays with whoever holds it.
// The fields set at completion are read safely after waitForCompletion.
struct UserRequest {
  UCHAR major = 0;
  NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine returned
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;  // the final status, once completed
  ULONG_PTR information = 0;
  // IofCompleteRequest calls on the request, any after the first included.
  unsigned completions() const;
  // As CancelIo from another thread: IoCancelIrp while the request is out,
  // the I/O manager keeping it alive meanwhile. False once it was freed.
  bool cancel();
  // Until the I/O manager has freed the IRP: runs the deferred work, or, in
  // the threaded mode, blocks for at most kHangLimit. Returns completed.
  bool waitForCompletion();

  PIRP irp = nullptr;
  std::unique_ptr<MDL> mdl;  // the described buffer, for reads and writes
  unsigned completionsWhenFreed = 0;
  unsigned cancelPins = 0;  // cancels under way: the completion APC waits for them
  bool caller32 = false;  // sent by a 32-bit process
  // Device controls: the I/O manager's system buffer, and the caller's output buffer it is copied back to.
  std::unique_ptr<unsigned char[]> systemBuffer;
  void *output = nullptr;
  ULONG outputLength = 0;
};

class UserFile {
 public:
  // Opens the device the link names (anything after it, as in
  // "\\DosDevices\\Harlen0\\x", is the file object's name): IRP_MJ_CREATE to the top of its stack,
  // waited for as CreateFile waits. status() tells the outcome,
  // STATUS_OBJECT_NAME_NOT_FOUND when the link or the device it names is gone.
  // caller32: the handle belongs to a 32-bit process (IoIs32bitProcess).
  static UserFile open(const std::u16string &link, bool caller32 = false);

  UserFile(UserFile &&other) noexcept;
  UserFile &operator=(UserFile &&other) noexcept;
  UserFile(const UserFile &) = delete;
  UserFile &operator=(const UserFile &) = delete;
  ~UserFile() { close(); }

  NTSTATUS status() const { return status_; }
  // Open, and not left over from before a platform reset.
  bool isOpen() const;
  PDEVICE_OBJECT device() const { return device_; }

  // IRP_MJ_READ or IRP_MJ_WRITE of any 32-bit length, the buffer described by
  // an MDL already mapped to a system address or not (the driver then maps
  // it). The length may exceed the buffer given, which may be null: the I/O
  // manager does not check it. Returns at once; null on a handle not open.
  std::shared_ptr<UserRequest> read(void *buffer, ULONG length, bool mapped);
  std::shared_ptr<UserRequest> write(const void *buffer, ULONG length, bool mapped);

  // IRP_MJ_DEVICE_CONTROL for a METHOD_BUFFERED code: one system buffer of
  // the larger length (none when both are 0) holds the input, the rest 0xCD;
  // once the request has ended without an error the first Information bytes
  // go back to output. Information past outputLength is reported and not
  // copied beyond it. Null on a handle not open or for another method.
  std::shared_ptr<UserRequest> deviceControl(ULONG code, const void *input, ULONG inputLength, void *output,
                                             ULONG outputLength);

  // IRP_MJ_CLOSE, waited for, then the reference dropped; the close's status.
  // Not while another thread still uses the handle.
  NTSTATUS close();

 private:
  UserFile() = default;
  std::shared_ptr<UserRequest> transfer(UCHAR major, const void *buffer, ULONG length, bool mapped);

  PDEVICE_OBJECT device_ = nullptr;
  NTSTATUS status_ = STATUS_OBJECT_NAME_NOT_FOUND;
  unsigned resets_ = 0;
  bool caller32_ = false;
  // The file object the create carries, and the name below the device it holds.
  std::shared_ptr<FILE_OBJECT> fileObject_;
  std::shared_ptr<std::u16string> fileName_;
};

// IofCompleteRequest, once a handle's request has left its last stack location.
void userRequestCompleted(PIRP irp);

// The handle's request whose dispatch runs on this thread, that is, the
// caller's thread context where user addresses are the caller's; or null.
PIRP callerContextIrp();

}  // namespace sim
