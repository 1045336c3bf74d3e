#include "run/lines.h"

namespace {

HeldLines* holding = nullptr;

void Repeat(RepeatedFailures& repeated, const char* line, std::size_t size) {
    if (repeated.kept == kRepeatedFailures) {
        ++repeated.more;
        return;
    }
    repeated.lines.append(line, size);
    ++repeated.kept;
}

void Put(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces, bool endLine, bool failure,
         RepeatedFailures* repeated) {
    if (holding != nullptr) {
        std::size_t start = holding->bytes.size();
        platform::RenderPieces(stream, pieces, endLine, holding->bytes);
        holding->lines.push_back(HeldLines::Line{stream, start, holding->bytes.size() - start, failure});
        return;
    }
    std::string rendered;
    platform::RenderPieces(stream, pieces, endLine, rendered);
    platform::WriteRendered(stream, rendered);
    if (failure) Repeat(*repeated, rendered.data(), rendered.size());
}

}  // namespace

void HoldLinesIn(HeldLines* held) {
    holding = held;
}

void WriteLine(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) {
    Put(stream, pieces, true, false, nullptr);
}

void WriteText(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) {
    Put(stream, pieces, false, false, nullptr);
}

void WriteFailure(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces,
                  RepeatedFailures& repeated) {
    Put(stream, pieces, true, true, &repeated);
}

void HoldLine(HeldLines& held, std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces,
              bool failure) {
    std::size_t start = held.bytes.size();
    platform::RenderPieces(stream, pieces, true, held.bytes);
    held.lines.push_back(HeldLines::Line{stream, start, held.bytes.size() - start, failure});
}

void HoldLinesOf(HeldLines& held, const HeldLines& from, std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
        const HeldLines::Line& line = from.lines[i];
        held.lines.push_back(HeldLines::Line{line.stream, held.bytes.size(), line.size, line.failure});
        held.bytes.append(from.bytes, line.start, line.size);
    }
}

// Lines of one stream go out together, a write for each run of them up to
// this many bytes, so that the bytes joined stay few whatever the group holds.
constexpr std::size_t kRunBytes = 32 * 1024;

void WriteHeld(const HeldLines& held, RepeatedFailures& repeated) {
    std::string run;
    std::FILE* runStream = nullptr;
    for (const HeldLines::Line& line : held.lines) {
        if (!run.empty() && (line.stream != runStream || run.size() + line.size > kRunBytes)) {
            platform::WriteRendered(runStream, run);
            run.clear();
        }
        runStream = line.stream;
        run.append(held.bytes, line.start, line.size);
        if (line.failure) Repeat(repeated, held.bytes.data() + line.start, line.size);
    }
    if (!run.empty()) platform::WriteRendered(runStream, run);
}
