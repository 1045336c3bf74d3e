#include "run/run.h"

#include "run/lines.h"
#include "texts/japanese.h"

void WriteFailureLine(std::FILE* stream, const char* message, const std::string& path, const Cause& cause) {
    WriteLine(stream, {message, platform::AsPath(path), cause.text, platform::AsPath(cause.systemWords), cause.close});
}

void CountFailure(FailedItem item, RunTally& tally) {
    ++(item == FailedItem::Thread ? tally.failed : tally.failedFolders);
}

void ReportFailure(FailedItem item, const char* message, const std::string& path, const Cause& cause,
                   RunTally& tally) {
    WriteFailure(stderr, {message, platform::AsPath(path), cause.text, platform::AsPath(cause.systemWords), cause.close},
                 tally.repeated);
    CountFailure(item, tally);
}

void HoldFailureLine(HeldLines& held, const char* message, const std::string& path, const Cause& cause) {
    HoldLine(held, stderr, {message, platform::AsPath(path), cause.text, platform::AsPath(cause.systemWords), cause.close},
             true);
}

namespace {

const char* ClassWords(platform::IoError::Class kind) {
    using platform::IoError;
    switch (kind) {
        case IoError::NotFound: return text::kCauseNotFound;
        case IoError::AccessDenied: return text::kCauseAccessDenied;
        case IoError::DiskFull: return text::kCauseDiskFull;
        case IoError::FileTooLarge: return text::kCauseFileTooLarge;
        case IoError::NameTooLong: return text::kCauseNameTooLong;
        case IoError::InvalidName: return text::kCauseInvalidName;
        case IoError::NotAFile: return text::kCauseNotAFile;
        case IoError::ReadOnly: return text::kCauseReadOnly;
        case IoError::Gone: return text::kCauseGone;
        case IoError::InUse: return text::kCauseInUse;
        default: return nullptr;
    }
}

}  // namespace

// Every failure shows the system's code, so that a report can name it: after
// the tool's words, or where the tool has none, with the system's own words
// for it where it has them.
Cause CauseText(platform::IoError error) {
    std::uint32_t code = error.code;
    if (const char* words = ClassWords(error.kind)) {
        std::string text = words;
        if (code != 0) text.insert(text.size() - 1, text::kCauseCodeJoin + std::to_string(code));
        return text;
    }
    if (code == 0) return text::kCauseOther;
    Cause cause(text::kCauseSystemCodeOpen + std::to_string(code) + ")");
    std::string words = platform::ErrorWords(code);
    if (words.empty()) return cause;
    cause.text = text::kCauseCodeOpen + std::to_string(code) + ": ";
    cause.systemWords = words;
    cause.close = ")";
    return cause;
}
