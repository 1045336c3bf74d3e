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

}  // namespace

std::string FormatLine(std::initializer_list<ConsolePiece> pieces) {
    return FormatPieces(pieces) + '\n';
}

void WriteFormatted(std::FILE* stream, const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

void WriteText(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WriteFormatted(stream, FormatPieces(pieces));
}

void WriteLine(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WriteFormatted(stream, FormatLine(pieces));
}

}  // namespace platform
