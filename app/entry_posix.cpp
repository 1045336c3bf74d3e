// The POSIX entry point: the arguments are the bytes the system gives.
#include "app/main.h"

int main(int argc, char** argv) {
    return RunTool(std::vector<std::string>(argv, argv + argc));
}
