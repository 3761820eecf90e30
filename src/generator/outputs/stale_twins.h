// The files of a run's phones under another name: what an earlier run left in the output
// folder and its "en" under another spelling or case of the MAC, or under another file-name
// pattern. A phone may fetch the old one instead of its new file, so a run names them before
// it starts and removes them, when asked, once its own files are in place.
//
// Nothing else in the folder may ever be taken for one. A stale twin is a regular file (not a
// link, a folder or a device) in the output folder itself or in its "en" when that is a
// folder of its own (a link there is not followed), none of the run's inputs (its templates,
// its sheet), not the name the run writes for its phone, named by the run's own pattern with
// the phone's MAC in any spelling and case or like a configuration file of that phone alone
// (configNamePhone below), and made from the run's templates: an XML document whose document
// element is that of one of them. A copy in "en" counts when its first blocks, decrypted with
// the run's key, show such a document, or when the plain file of its name beside "en" is a
// twin and the copy is what its encryption would be (no text, as long in whole blocks).
// A phone's own uploads (its log, contact list, local settings: "0015650a33fb-contacts.xml"),
// backups ("0015650a33fb.xml.bak"), files of phones not in the run and files naming two
// phones never count.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "generator/devices/device_macs.h"
#include "generator/devices/device_table.h"
#include "generator/outputs/generation_request.h"

namespace velquor::generator {

// The canonical MAC of the one phone a name is a configuration file of, whatever pattern
// wrote it: ASCII letters and digits (none, "cfg", "SEP"), then the MAC as 12 hex digits or
// six pairs joined by ':' or by '-', in any case, then ".xml", ".cfg", ".cnf", ".conf" or
// ".cnf.xml" in any case. The MAC is whole (no hex digit right before it) and the only
// one in the name. Nothing for any other name.
std::optional<std::string> configNamePhone(std::string_view name);

// The stale twins of phones (canonical MAC -> the name the run writes for it) in the output
// folder of request and its "en": the folder's first, then those of "en", each sorted. One
// listing of each folder; a name costs a lookup, and only a file named like another
// pattern's has its first bytes read.
std::vector<std::string> findStaleTwins(const GenerationRequest& request, const DeviceTable& table,
                                        const PhoneFileNames& phones);

// Where folder/en leads when it is a link (whose files are then neither looked at nor
// removed), empty when it is none.
std::string linkedEncryptedFolder(const std::filesystem::path& folder);

// Removes a twin findStaleTwins found, only from folder itself or its own "en": the folder
// is opened and the name unlinked inside it, "en" opened without following a link.
std::error_code removeStaleTwin(const std::filesystem::path& folder, const std::string& twin);

}  // namespace velquor::generator
