// Starts the command line in M2T_COMMAND_LINE exactly as it stands, as a
// shell that writes its own would (PowerShell 5.1 among them), with this
// program's standard streams, and gives its exit status.
#include <windows.h>

#include <vector>

int main() {
    const wchar_t* name = L"M2T_COMMAND_LINE";
    std::vector<wchar_t> line(GetEnvironmentVariableW(name, nullptr, 0) + 1);
    if (line.size() == 1 || GetEnvironmentVariableW(name, line.data(), static_cast<DWORD>(line.size())) == 0) return 2;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE* streams[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
        *streams[i] = GetStdHandle(kinds[i]);
        SetHandleInformation(*streams[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        return 3;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
