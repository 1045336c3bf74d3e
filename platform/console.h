// Console messages: fixed Shift_JIS texts followed by values, a newline and a flush.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string_view>

namespace platform {

// Writes the pieces, then a newline, then flushes the stream.
void WriteLine(std::FILE* stream, std::initializer_list<std::string_view> pieces);
// Writes the pieces and flushes, with no newline.
void WriteText(std::FILE* stream, std::initializer_list<std::string_view> pieces);

}  // namespace platform
