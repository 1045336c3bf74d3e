// The Windows entry point: the arguments come as Windows gives them, in
// UTF-16 (the folders typed, dropped on the icon or passed by a script),
// whatever the system's code page, and go on in UTF-8.
#include "app/main.h"
#include "platform/win32_calls.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments(static_cast<std::size_t>(argc));
    for (std::size_t i = 0; i < arguments.size(); ++i) platform::AppendUtf8(argv[i], arguments[i]);
    return RunTool(arguments);
}
