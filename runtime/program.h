// The top of a window program: ends it when ProgramEnd arrives and reports
// any run-time error that nothing handled.
#pragma once
#include <functional>
#include <string>

#include "ui.h"

namespace rt {

enum ExitCode : int { kEndedNormally = 0, kEndedByError = 1 };

[[noreturn]] void end_program();

// Runs body; returns the program's exit code.
int run_program(Ui& ui, const std::wstring& title, const std::function<void()>& body);

// The whole argument text: everything after the program's own name.
std::wstring argument_text();

// The folder that holds the running program: no trailing backslash, except
// for a drive root ("E:\\").
std::wstring program_folder();
std::wstring folder_of(const std::wstring& file_path);

}  // namespace rt
