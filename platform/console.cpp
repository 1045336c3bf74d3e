#include "platform/console.h"

#include "platform/platform.h"

namespace platform {

namespace {

std::string FormatPieces(std::initializer_list<ConsolePiece> pieces) {
    std::string bytes;
    for (const ConsolePiece& piece : pieces) {
        if (piece.isText && ConsoleConvertsText()) {
            AppendConsoleText(piece.bytes, bytes);
        } else {
            bytes.append(piece.bytes);
        }
    }
    return bytes;
}

void WriteAndFlush(std::FILE* stream, const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

}  // namespace

void WriteText(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WriteAndFlush(stream, FormatPieces(pieces));
}

void WriteLine(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WriteAndFlush(stream, FormatPieces(pieces) + '\n');
}

}  // namespace platform
