// The Windows entry point: the arguments come from the command line as
// Windows gives it, in UTF-16 (the folders typed, dropped on the icon or
// passed by a script), whatever the system's code page, and go on in UTF-8.
#include "app/main.h"
#include "platform/win32_calls.h"

int wmain(int, wchar_t**) {
    return RunTool(platform::CommandLineArguments());
}
