// Whether serving a folder over plain HTTP would put the phones' SIP passwords on the network:
// a few of its phones' files are looked at (the first ones by name); one that reads as text
// is a plain configuration file, not an encrypted one. When the folder's en/ holds encrypted
// copies of them, serving the plain ones over plain HTTP is refused unless asked for
// (--plain-files); without en/ it is a warning.
//
// Plain configuration files (text that reads as XML or holds key=value lines) go to no
// unproven asker beyond this machine: served on an address outside loopback with no way for a
// phone to prove itself (phones' certificates, digest credentials, the sheet's passwords), a
// start is refused unless the person serving accepts the risk (--no-auth), which is said again
// at every start.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "serve/folder/phone_folder.h"
#include "support/result.h"
#include "support/translatable.h"

namespace velquor::serve {

// How many phone files are looked at.
inline constexpr std::size_t kPlainFilesSampled = 8;

struct PlainFiles {
    bool plain = false;  // a phone file of the folder reads as text
    // The first file found that reads as a configuration file (XML, key=value lines), by its
    // name in the folder; empty when none does.
    std::string configuration;
    // The folder's en/ when it holds an encrypted copy of a plain file found; else empty.
    std::filesystem::path encryptedCopies;
};

PlainFiles findPlainFiles(PhoneFolder& folder);

// Whether the start of a text file reads as a configuration file: its first markup is an XML
// declaration or element, or one of its first lines is a key=value (or key: value) line.
bool looksLikeConfiguration(std::string_view start);

// Who the server may answer and what they may prove, for the check before it starts.
struct Audience {
    std::string where;          // the listening address as given; empty for every address
    bool loopbackOnly = false;  // it listens on a loopback address only
    bool credentials = false;   // phones prove themselves: certificates, digest, sheet passwords
    bool noAuth = false;        // plain files to anyone, knowingly
};

//: %1 is a folder, %2 a file in it, %3 the address served on
inline constexpr char kUnprovenAskersRefused[] = VELQUOR_TR_NOOP(
    "core",
    "The files of %1 are plain configuration files (%2 among them) with the phones' SIP "
    "passwords, and anyone on %3 could fetch them by naming a phone, since no phone has to "
    "prove itself. Serve the encrypted copies in %1/en, give the phones' credentials "
    "(--phone-ca, --auth-file or the sheet's http-password column), or give --no-auth to "
    "serve them to anyone knowingly.");

// The refusal when plain configuration files would go to unproven askers beyond loopback; the
// warning to say at this start when they do because the person serving chose so; else none.
support::Result<std::vector<support::Phrase>> checkUnprovenAskers(const PlainFiles& found,
                                                                  const PhoneFolder& folder,
                                                                  const Audience& audience);
// Whether error is that refusal, which the window words with its own ways out.
bool refusesUnprovenAskers(const support::Error& error);

// For a folder about to be served over plain HTTP: the refusal, when its files are plain, its
// en/ has their encrypted copies and plainFiles (the person serving asked for the plain files)
// is false; otherwise the warnings to say (plain files), none for encrypted ones.
support::Result<std::vector<support::Phrase>> checkPlainHttp(const PlainFiles& found,
                                                             const PhoneFolder& folder,
                                                             bool plainFiles);

}  // namespace velquor::serve
