// 注册表类 against Wine's real registry: what each operation leaves in the
// registry, what it returns, and that every key it opens is closed once.
#include <gtest/gtest.h>

#include "errors.h"
#include "registry_class.h"
#include "registry_fixture.h"
#include "text.h"

using installer::注册表类;
using registry_fixture::ScratchKey;

namespace {

const HKEY kMachine = HKEY_LOCAL_MACHINE;

std::wstring with_nul(const std::wstring& text) { return text + L'\0'; }

void set_text(const std::wstring& key, const std::wstring& name, DWORD type, const std::wstring& text) {
  registry_fixture::set_value(key, name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

void set_dword(const std::wstring& key, const std::wstring& name, DWORD number) {
  registry_fixture::set_value(key, name, REG_DWORD, &number, sizeof number);
}

bool handle_is_open(HKEY key) {
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace

TEST(SetValue, EmptyTextOnANewObjectCreatesTheKeyAndWritesNoValue) {
  ScratchKey scratch;
  注册表类 r;
  long lbuffer = 77;
  EXPECT_EQ(r.setvalue(kMachine, scratch.path(), L"", std::wstring(), lbuffer), ERROR_SUCCESS);
  EXPECT_TRUE(registry_fixture::key_exists(scratch.path()));
  EXPECT_EQ(registry_fixture::value_count(scratch.path()), 0u);
  EXPECT_EQ(r.l_type(), 0u);
}

TEST(SetValue, TextOnANewObjectIsRegSzOfItsAnsiBytesWithoutTerminatingZero) {
  ScratchKey scratch;
  注册表类 r;
  long lbuffer = 0;
  EXPECT_EQ(r.setvalue(kMachine, scratch.path(), L"名称", std::wstring(L"Varrow加密工具"), lbuffer), ERROR_SUCCESS);
  const std::string expected = rt::to_cp936(L"Varrow加密工具");
  DWORD type = 0;
  EXPECT_EQ(registry_fixture::ansi_value(scratch.path(), rt::to_cp936(L"名称"), &type), expected);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(lbuffer, 14) << "6 letters and 4 double-byte characters";
  EXPECT_EQ(r.l_type(), static_cast<DWORD>(REG_SZ));
}

TEST(SetValue, WritesWithTheTypeTheObjectReadLast) {
  ScratchKey scratch;
  set_dword(scratch.path(), L"n", 258);
  注册表类 r;
  std::wstring value;
  ASSERT_EQ(r.getvalue(kMachine, scratch.path(), L"n", value), ERROR_SUCCESS);
  EXPECT_EQ(value, L"258");
  long lbuffer = 0;
  EXPECT_EQ(r.setvalue(kMachine, scratch.path(), L"m", std::wstring(L" 77 "), lbuffer), ERROR_SUCCESS);
  DWORD type = 0;
  const std::string bytes = registry_fixture::ansi_value(scratch.path(), "m", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(bytes, std::string("\x4d\0\0\0", 4));
  EXPECT_EQ(lbuffer, 4);
}

TEST(SetValue, NumberWriteOfTextThatIsNoNumberRaisesTypeMismatch) {
  ScratchKey scratch;
  set_dword(scratch.path(), L"n", 1);
  注册表类 r;
  std::wstring value;
  ASSERT_EQ(r.getvalue(kMachine, scratch.path(), L"n", value), ERROR_SUCCESS);
  long lbuffer = 0;
  try {
    r.setvalue(kMachine, scratch.path(), L"n", std::wstring(L"12a"), lbuffer);
    ADD_FAILURE() << "no error raised";
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number, rt::kTypeMismatch);
  }
}

TEST(KeyHandles, OpenKeyRecordsTheOpenHandleAndCloseKeyClosesItOnce) {
  ScratchKey scratch;
  registry_fixture::create_key(scratch.path());
  注册表类 r;
  ASSERT_EQ(r.openkey(kMachine, scratch.path()), ERROR_SUCCESS);
  const HKEY opened = r.h_key();
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(handle_is_open(opened));
  EXPECT_EQ(r.closekey(0), ERROR_SUCCESS);
  EXPECT_FALSE(handle_is_open(opened));
  EXPECT_EQ(r.closekey(0), ERROR_SUCCESS) << "a second close must not reach the registry";
}

TEST(KeyHandles, WithNoKeyOpenCloseKeyClosesNothing) {
  ScratchKey scratch;
  注册表类 r;
  EXPECT_EQ(r.closekey(0), ERROR_SUCCESS);
  EXPECT_EQ(r.openkey(kMachine, scratch.path()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(r.h_key(), nullptr);
  EXPECT_EQ(r.closekey(0), ERROR_SUCCESS);
}

TEST(KeyHandles, AnOperationThatClosedItsKeyLeavesNothingForCloseKey) {
  ScratchKey scratch;
  注册表类 r;
  long lbuffer = 0;
  ASSERT_EQ(r.setvalue(kMachine, scratch.path(), L"", std::wstring(L"x"), lbuffer), ERROR_SUCCESS);
  EXPECT_EQ(r.h_key(), nullptr);
  EXPECT_EQ(r.closekey(0), ERROR_SUCCESS);
}

TEST(KeyHandles, AParentOpenedToBePassedAsMainkeyIsClosedOnceTheChildExists) {
  ScratchKey scratch;
  registry_fixture::create_key(scratch.path());
  注册表类 r;
  ASSERT_EQ(r.openkey(kMachine, scratch.path()), ERROR_SUCCESS);
  const HKEY parent = r.h_key();
  long lbuffer = 0;
  EXPECT_EQ(r.setvalue(parent, L"child", L"", std::wstring(L"x"), lbuffer), ERROR_SUCCESS);
  EXPECT_TRUE(registry_fixture::key_exists(scratch.path() + L"\\child"));
  EXPECT_FALSE(handle_is_open(parent));
}

TEST(GetValue, MissingValueOnANewObjectReportsNotFoundAndLeavesTheTextAlone) {
  ScratchKey scratch;
  registry_fixture::create_key(scratch.path());
  注册表类 r;
  std::wstring value = L"unchanged";
  EXPECT_EQ(r.getvalue(kMachine, scratch.path(), L"missing", value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, L"unchanged");
  EXPECT_EQ(r.getvalue(kMachine, scratch.path() + L"\\missing", L"", value), ERROR_FILE_NOT_FOUND);
}

// The probe of a missing value reports no type: the object keeps the one it
// read last, tries that read, and keeps the key for closekey.
TEST(GetValue, MissingValueAfterATextReadFailsInTheTextReadAndKeepsTheKey) {
  ScratchKey scratch;
  set_text(scratch.path(), L"v", REG_SZ, L"COM1");
  注册表类 r;
  std::wstring value;
  ASSERT_EQ(r.getvalue(kMachine, scratch.path(), L"v", value), ERROR_SUCCESS);
  value = L"unchanged";
  EXPECT_EQ(r.getvalue(kMachine, scratch.path(), L"missing", value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, L"unchanged");
  EXPECT_EQ(r.l_type(), static_cast<DWORD>(REG_SZ));
  const HKEY kept = r.h_key();
  ASSERT_NE(kept, nullptr);
  EXPECT_TRUE(handle_is_open(kept));
  EXPECT_EQ(r.closekey(0), ERROR_SUCCESS);
  EXPECT_FALSE(handle_is_open(kept));
}

TEST(GetValue, TextWrittenWithoutTerminatingZeroReadsBackExactly) {
  ScratchKey scratch;
  long lbuffer = 0;
  注册表类 writer;
  ASSERT_EQ(writer.setvalue(kMachine, scratch.path(), L"", std::wstring(L"Varrowcrypt.exe %1"), lbuffer), 0);
  注册表类 reader;
  std::wstring value;
  EXPECT_EQ(reader.getvalue(kMachine, scratch.path(), L"", value), ERROR_SUCCESS);
  EXPECT_EQ(value, L"Varrowcrypt.exe %1");
}

TEST(GetValue, ExpandableTextIsNotExpanded) {
  ScratchKey scratch;
  set_text(scratch.path(), L"path", REG_EXPAND_SZ, L"%SystemRoot%\\加密");
  注册表类 r;
  std::wstring value;
  EXPECT_EQ(r.getvalue(kMachine, scratch.path(), L"path", value), ERROR_SUCCESS);
  EXPECT_EQ(value, L"%SystemRoot%\\加密");
}

TEST(EnumValueNames, MissingKeyGivesAnEmptyList) {
  ScratchKey scratch;
  注册表类 r;
  EXPECT_TRUE(r.enumvaluenames(kMachine, scratch.path()).empty());
}

TEST(EnumValueNames, ListsEachNameFollowedByTheTextOfItsData) {
  ScratchKey scratch;
  const BYTE yes[] = {1, 0}, no[] = {0};
  set_text(scratch.path(), L"a", REG_SZ, L"COM1");
  set_dword(scratch.path(), L"b", 258);
  registry_fixture::set_value(scratch.path(), L"c", REG_BINARY, yes, sizeof yes);
  registry_fixture::set_value(scratch.path(), L"d", REG_BINARY, no, sizeof no);
  set_text(scratch.path(), L"e", REG_EXPAND_SZ, L"%TEMP%");
  注册表类 r;
  const std::vector<std::wstring> expected = {L"a", with_nul(L"COM1"), L"b", L" 2 1 0 0", L"c", L"真",
                                              L"d", L"假",             L"e"};
  EXPECT_EQ(r.enumvaluenames(kMachine, scratch.path()), expected);
}

TEST(EnumValueNames, AValueOver256BytesEndsTheList) {
  ScratchKey scratch;
  const std::string big(300, 'x');
  set_text(scratch.path(), L"a", REG_SZ, L"first");
  registry_fixture::set_value(scratch.path(), L"b", REG_BINARY, big.data(), big.size());
  set_text(scratch.path(), L"c", REG_SZ, L"after");
  注册表类 r;
  const std::vector<std::wstring> expected = {L"a", with_nul(L"first")};
  EXPECT_EQ(r.enumvaluenames(kMachine, scratch.path()), expected);
  EXPECT_EQ(r.l_type(), static_cast<DWORD>(REG_BINARY)) << "the type of the value that did not fit";
}

TEST(Delete, DeleteKeyReportsTheStatusAndRemovesOnlyTheNamedKey) {
  ScratchKey scratch;
  registry_fixture::create_key(scratch.path() + L"\\verb\\Command");
  注册表类 r;
  EXPECT_EQ(r.deletekey(kMachine, scratch.path() + L"\\missing", std::wstring(L"verb")), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(registry_fixture::key_exists(scratch.path() + L"\\verb\\Command"));
  EXPECT_EQ(r.deletekey(kMachine, scratch.path() + L"\\verb", std::wstring(L"command")), ERROR_SUCCESS);
  EXPECT_FALSE(registry_fixture::key_exists(scratch.path() + L"\\verb\\Command"));
  EXPECT_TRUE(registry_fixture::key_exists(scratch.path() + L"\\verb"));
  EXPECT_EQ(r.closekey(0), ERROR_SUCCESS);
}

TEST(Delete, DeleteValueReportsTheStatus) {
  ScratchKey scratch;
  set_text(scratch.path(), L"v", REG_SZ, L"x");
  注册表类 r;
  EXPECT_EQ(r.deletevalue(kMachine, scratch.path(), L"v"), ERROR_SUCCESS);
  EXPECT_EQ(registry_fixture::value_count(scratch.path()), 0u);
  EXPECT_EQ(r.deletevalue(kMachine, scratch.path(), L"v"), ERROR_FILE_NOT_FOUND);
}
