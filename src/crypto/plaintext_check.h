// Whether decrypted bytes look like a configuration file. The encrypted format carries no
// check value, so a wrong key decrypts to noise without any error; looking at the start of
// the result is the only way to warn the user before the noise is used.
#pragma once

#include <cstddef>
#include <string_view>

namespace velquor::crypto {

// How much of the start of a decrypted file is worth looking at: enough to be sure about
// noise, little enough to hold for every file.
inline constexpr std::size_t kTextSampleBytes = 1024;

// True when start (the first bytes of a decrypted file, at most kTextSampleBytes of them are
// looked at) reads as text: no NUL byte, hardly any control characters other than white
// space, and bytes above 127 only as UTF-8 or sparingly (an 8-bit code page). Noise fails one
// of the three almost surely after a few dozen bytes; an empty start is text.
bool looksLikeText(std::string_view start);

}  // namespace velquor::crypto
