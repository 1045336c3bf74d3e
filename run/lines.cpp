#include "run/lines.h"

#include <vector>

namespace {

// A held line is a stretch of `heldBytes`, which keeps the bytes of every
// held or prepared line one after another in the order they were made: a
// group's lines cost no allocation each, and their order is that of `held`.
using HeldLine = PreparedLine;

bool holding = false;
std::vector<HeldLine> held;
std::string heldBytes;

HeldLine RenderHeld(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces, bool endLine) {
    std::size_t start = heldBytes.size();
    platform::RenderPieces(stream, pieces, endLine, heldBytes);
    return HeldLine{stream, start, heldBytes.size() - start};
}

}  // namespace

void WritePieces(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces, bool endLine) {
    if (holding) {
        held.push_back(RenderHeld(stream, pieces, endLine));
        return;
    }
    std::string rendered;
    platform::RenderPieces(stream, pieces, endLine, rendered);
    platform::WriteRendered(stream, rendered);
}

void WriteText(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) {
    WritePieces(stream, pieces, false);
}

void WriteLine(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) {
    WritePieces(stream, pieces, true);
}

void HoldLines(bool hold) {
    if (!hold) ReleaseLines();
    holding = hold;
}

std::size_t HeldLineCount() {
    return held.size();
}

void HoldLineAt(std::size_t position, std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) {
    HoldPreparedLineAt(position, RenderHeld(stream, pieces, true));
}

PreparedLine PrepareLine(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) {
    return RenderHeld(stream, pieces, true);
}

void HoldPreparedLineAt(std::size_t position, const PreparedLine& line) {
    held.insert(held.begin() + static_cast<std::ptrdiff_t>(position), line);
}

// Lines of one stream go out together, a write for each run of them up to
// this many bytes, so that the bytes joined stay few whatever the group holds.
constexpr std::size_t kRunBytes = 32 * 1024;

void ReleaseLines() {
    std::string run;
    std::FILE* runStream = nullptr;
    for (const HeldLine& line : held) {
        if (!run.empty() && (line.stream != runStream || run.size() + line.size > kRunBytes)) {
            platform::WriteRendered(runStream, run);
            run.clear();
        }
        runStream = line.stream;
        run.append(heldBytes, line.start, line.size);
    }
    if (!run.empty()) platform::WriteRendered(runStream, run);
    held.clear();
    heldBytes.clear();
}
