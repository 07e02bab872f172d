// Starts the real Varrowcrypt.exe on a folder and drives its window.
#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "app_driver.h"
#include "form_ids.h"
#include "locked_folder.h"
#include "program.h"
#include "test_support.h"

namespace varrow_test {

using namespace varrow::form_ids;

inline std::unique_ptr<app_driver::AppRun> start_tool(const std::wstring& argument) {
  return std::make_unique<app_driver::AppRun>(rt::program_folder() + L"\\Varrowcrypt.exe", argument,
                                              L"VarrowcryptForm1");
}

// A folder locked the way the tool leaves it: suffixed name, quoted marker.
inline std::wstring make_locked_folder(const test_support::ScratchFolder& scratch, const std::wstring& name,
                                       const std::string& marker_bytes) {
  const std::wstring folder = scratch.make_folder(name + varrow::kLockSuffix);
  test_support::write_bytes(folder + varrow::kMarkerName, marker_bytes);
  return folder;
}

// Expects the program to show exactly this message box, then end once OK is pressed.
inline void expect_box_then_end(app_driver::AppRun& run, const std::wstring& text, DWORD exit_code = 0) {
  auto box = run.wait_for_message_box();
  ASSERT_TRUE(box) << "no message box";
  EXPECT_EQ(box->text, text);
  EXPECT_EQ(box->title, L"Varrowcrypt");
  EXPECT_EQ(box->buttons, 1);
  EXPECT_FALSE(box->has_icon);
  run.press_ok(*box);
  EXPECT_EQ(run.wait_for_exit(), exit_code);
}

}  // namespace varrow_test
