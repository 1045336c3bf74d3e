#include "platform/console.h"

#include "platform/platform.h"

namespace platform {

namespace {

void WritePieces(std::FILE* stream, std::initializer_list<ConsolePiece> pieces, bool endLine) {
    if (!ConsoleConvertsText()) {
        for (const ConsolePiece& piece : pieces) std::fwrite(piece.bytes.data(), 1, piece.bytes.size(), stream);
    } else {
        std::string line;
        for (const ConsolePiece& piece : pieces) {
            if (piece.isText) {
                AppendConsoleText(piece.bytes, line);
            } else {
                line.append(piece.bytes);
            }
        }
        std::fwrite(line.data(), 1, line.size(), stream);
    }
    if (endLine) std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

void WriteText(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WritePieces(stream, pieces, false);
}

void WriteLine(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WritePieces(stream, pieces, true);
}

}  // namespace platform
