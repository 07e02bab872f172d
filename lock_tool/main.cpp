// Varrowcrypt: locks a folder with a password, or unlocks it, from the
// folder's Explorer context menu.
#include <windows.h>

#include "form1.h"
#include "program.h"
#include "startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  rt::Win32Ui ui;
  return rt::run_program(ui, varrow::kAppTitle, [&] {
    varrow::Form1 form(instance, ui);
    form.create();
    form.prepare(varrow::start_up(rt::argument_text(), ui));
    form.run();
  });
}
