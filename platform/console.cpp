#include "platform/console.h"

namespace platform {

void WriteText(std::FILE* stream, std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) std::fwrite(piece.data(), 1, piece.size(), stream);
    std::fflush(stream);
}

void WriteLine(std::FILE* stream, std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) std::fwrite(piece.data(), 1, piece.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace platform
