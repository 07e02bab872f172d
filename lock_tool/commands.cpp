#include "commands.h"

#include "errors.h"
#include "files.h"
#include "locked_folder.h"
#include "program.h"
#include "startup.h"

namespace varrow {

namespace {

bool entries_accepted(LockEntries& entries, rt::Ui& ui) {
  if (entries.password.empty()) {
    ui.message_box(kNoPasswordMessage, kAppTitle);
    return false;
  }
  if (entries.confirmation.empty()) {
    ui.message_box(kNoConfirmationMessage, kAppTitle);
    return false;
  }
  if (entries.password != entries.confirmation) {
    ui.message_box(kMismatchMessage, kAppTitle);
    entries.confirmation.clear();
    entries.password.clear();
    return false;
  }
  return true;
}

// The marker goes into an existing folder only: a file handed over by the
// HTML document verb, or the empty path, gets neither a marker nor a new name.
void lock_folder(const std::wstring& folder, const std::wstring& password) {
  if (!rt::is_folder(folder)) rt::raise_error(rt::kPathFileAccessError);
  write_marker(folder, password);
  rt::rename_entry(folder, locked_path(folder));
}

}  // namespace

void lock_command(const std::wstring& folder, LockEntries& entries, rt::Ui& ui) {
  if (!entries_accepted(entries, ui)) return;
  int error = 0;
  try {
    lock_folder(folder, entries.password);
  } catch (const rt::RuntimeError& e) {
    error = e.number;
  }
  if (error != 0) ui.message_box(kLockFailedMessage, kAppTitle);
  rt::end_program();
}

void unlock_command(const std::wstring& folder, const std::wstring& entered, rt::Ui& ui) {
  if (entered.empty()) {
    ui.message_box(kUnlockNoPasswordMessage, kAppTitle);
    rt::end_program();
  }
  if (!password_matches(entered, read_marker(folder))) {
    ui.message_box(kWrongPasswordMessage, kAppTitle);
    rt::end_program();
  }
  const std::wstring restored = restored_path(folder);
  rt::rename_entry(folder, restored);
  rt::delete_file(marker_path(restored));
  rt::end_program();
}

}  // namespace varrow
