// What the Windows-side tests share: scratch folders on Wine's real file
// system, file contents as bytes, folder fingerprints, a recording Ui.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ui.h"

namespace test_support {

// A new empty folder, removed with everything in it at the end of the test.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& path() const { return path_; }
  // Creates a folder (and its parents) below this one; returns its full path.
  std::wstring make_folder(const std::wstring& relative) const;
  // Creates a file below this one with the given bytes; returns its full path.
  std::wstring make_file(const std::wstring& relative, const std::string& bytes) const;

 private:
  std::wstring path_;
};

void remove_tree(const std::wstring& path);
bool exists(const std::wstring& path);
std::string read_bytes(const std::wstring& path);
void write_bytes(const std::wstring& path, const std::string& bytes);
// Names of the entries directly inside a folder, sorted.
std::vector<std::wstring> entry_names(const std::wstring& folder);

// Relative path -> size and content hash of every file below a folder, and
// an entry for every folder, so that any change inside shows as a difference.
std::map<std::wstring, std::string> fingerprint(const std::wstring& folder);

struct RecordedBox {
  std::wstring text;
  std::wstring title;
  bool operator==(const RecordedBox& o) const { return text == o.text && title == o.title; }
};

// So that a failed expectation shows the texts.
inline void PrintTo(const RecordedBox& box, std::ostream* os) {
  *os << "[" << ::testing::PrintToString(box.title) << ": " << ::testing::PrintToString(box.text) << "]";
}

class RecordingUi : public rt::Ui {
 public:
  void message_box(const std::wstring& text, const std::wstring& title) override {
    boxes.push_back({text, title});
  }
  std::vector<RecordedBox> boxes;
};

}  // namespace test_support
