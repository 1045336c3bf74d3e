#include "platform/console.h"

#include <vector>

namespace platform {

namespace {

struct HeldLine {
    std::FILE* stream;
    std::string rendered;
};

bool holding = false;
std::vector<HeldLine> held;

}  // namespace

void WritePieces(std::FILE* stream, std::initializer_list<ConsolePiece> pieces, bool endLine) {
    std::string rendered;
    RenderPieces(stream, pieces, endLine, rendered);
    if (holding) {
        held.push_back(HeldLine{stream, std::move(rendered)});
    } else {
        WriteRendered(stream, rendered);
    }
}

void WriteText(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WritePieces(stream, pieces, false);
}

void WriteLine(std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    WritePieces(stream, pieces, true);
}

void HoldLines(bool hold) {
    if (!hold) ReleaseLines();
    holding = hold;
}

std::size_t HeldLineCount() {
    return held.size();
}

void HoldLineAt(std::size_t position, std::FILE* stream, std::initializer_list<ConsolePiece> pieces) {
    std::string rendered;
    RenderPieces(stream, pieces, true, rendered);
    held.insert(held.begin() + static_cast<std::ptrdiff_t>(position), HeldLine{stream, std::move(rendered)});
}

void ReleaseLines() {
    std::string run;
    std::FILE* runStream = nullptr;
    for (const HeldLine& line : held) {
        if (line.stream != runStream && !run.empty()) {
            WriteRendered(runStream, run);
            run.clear();
        }
        runStream = line.stream;
        run += line.rendered;
    }
    if (!run.empty()) WriteRendered(runStream, run);
    held.clear();
}

}  // namespace platform
