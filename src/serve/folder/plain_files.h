// Whether serving a folder over plain HTTP would put the phones' SIP passwords on the network:
// a few of its phones' files are looked at (the first ones by name); one that reads as text
// is a plain configuration file, not an encrypted one. When the folder's en/ holds encrypted
// copies of them, serving the plain ones over plain HTTP is refused unless asked for
// (--plain-files); without en/ it is a warning.
#pragma once

#include <filesystem>
#include <vector>

#include "serve/folder/phone_folder.h"
#include "support/result.h"
#include "support/translatable.h"

namespace velquor::serve {

// How many phone files are looked at.
inline constexpr std::size_t kPlainFilesSampled = 8;

struct PlainFiles {
    bool plain = false;  // a phone file of the folder reads as text
    // The folder's en/ when it holds an encrypted copy of a plain file found; else empty.
    std::filesystem::path encryptedCopies;
};

PlainFiles findPlainFiles(PhoneFolder& folder);

// For a folder about to be served over plain HTTP: the refusal, when its files are plain, its
// en/ has their encrypted copies and plainFiles (the person serving asked for the plain files)
// is false; otherwise the warnings to say (plain files), none for encrypted ones.
support::Result<std::vector<support::Phrase>> checkPlainHttp(PhoneFolder& folder, bool plainFiles);

}  // namespace velquor::serve
