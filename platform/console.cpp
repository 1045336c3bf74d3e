#include "platform/console.h"

namespace platform {

void WriteText(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WritePieces(stream, pieces, false);
}

void WriteLine(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WritePieces(stream, pieces, true);
}

}  // namespace platform
