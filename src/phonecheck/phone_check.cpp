// The phone's-eye check; see phone_check.h. The verdict on the served bytes is in
// served_verdict.cpp.
#include "phonecheck/phone_check.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string_view>
#include <unordered_map>

#include "digest/digest_engine.h"
#include "mac/mac_address.h"
#include "phonecheck/served_verdict.h"
#include "provisioning/kesto_operations.h"
#include "serve/status/site_status.h"
#include "sheet/cell_name.h"
#include "support/local_time.h"
#include "wire/server_text.h"

namespace velquor::phonecheck {
namespace {

namespace fs = std::filesystem;
using support::Phrase;

std::optional<std::string> readWhole(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool isFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

// The MD5 of a file, read in pieces.
std::string md5OfFile(const fs::path& path) {
    digest::CDigestEngine engine;
    engine.SetAlgorithm(digest::kAlgorithmMd5);
    support::NullProgress none;
    auto text = engine.computeFile(path.string(), none, {});
    return text ? *text : std::string();
}

// Where a phone's files are: the plain one, and the en/ copy when the run encrypted.
struct GeneratedPaths {
    fs::path plain;
    fs::path encrypted;
    bool encryptedRun = false;
};

GeneratedPaths pathsOf(const fs::path& folder, const Phone& phone, bool encryptedRun) {
    return {folder / phone.fileName, folder / "en" / phone.fileName, encryptedRun};
}

// Whether the files are there, their bytes not read.
GeneratedFiles presenceOf(const GeneratedPaths& paths) {
    GeneratedFiles files;
    files.encryptedRun = paths.encryptedRun;
    if (isFile(paths.plain)) files.plain.emplace();
    if (paths.encryptedRun && isFile(paths.encrypted)) files.encrypted.emplace();
    return files;
}

GeneratedFiles contentsOf(const GeneratedPaths& paths) {
    GeneratedFiles files;
    files.encryptedRun = paths.encryptedRun;
    files.plain = readWhole(paths.plain);
    if (paths.encryptedRun) files.encrypted = readWhole(paths.encrypted);
    return files;
}

bool isHttpUrl(const std::string& text) {
    std::string scheme = text.substr(0, std::min<std::size_t>(text.find("://"), text.size()));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (scheme != "http" && scheme != "https" && scheme != "tftp") return false;
    const std::string host = hostOf(text);
    return !host.empty() && host != text && host.find(' ') == std::string::npos;
}

// The folder as the person gave it, joined with the file, for "upload out/en/NAME to ...".
std::string shownPath(const std::string& folder, const std::string& file) {
    if (folder.empty()) return file;
    return folder.back() == '/' ? folder + file : folder + "/" + file;
}

void decide(PhoneCheck& check, Verdict verdict, Phrase reason) {
    check.verdict = verdict;
    check.reason = std::move(reason);
}

// The checks before a fetch, in the order the phone meets them.
bool checkBeforeFetch(PhoneCheck& check, const GeneratedFiles& files,
                      const std::optional<provisioning::CheckedDevice>& registered) {
    if (!files.generated()) {
        decide(check, Verdict::NotGenerated, Phrase{VELQUOR_TR_NOOP("core", "not generated"), {}});
        return false;
    }
    if (!registered) {
        decide(check, Verdict::NotChecked,
               Phrase{VELQUOR_TR_NOOP("core", "not checked: not logged in"), {}});
        return false;
    }
    check.registration = registered->outcome;
    if (registered->outcome == provisioning::CheckOutcome::NotRegistered) {
        decide(check, Verdict::NotRegistered,
               Phrase{VELQUOR_TR_NOOP("core", "not registered"), {}});
        return false;
    }
    if (registered->outcome == provisioning::CheckOutcome::AnotherAccount) {
        decide(check, Verdict::AnotherAccount,
               Phrase{VELQUOR_TR_NOOP("core", "registered to another account"), {}});
        return false;
    }
    check.serverText = registered->server;
    check.asked = registered->asked;
    check.askedAt = registered->askedAt;
    check.askedAnswer = registered->askedAnswer;
    if (!isHttpUrl(registered->server)) {
        decide(check, Verdict::NotAUrl,
               Phrase{VELQUOR_TR_NOOP("core", "server text is not a URL"), {}});
        return false;
    }
    check.url = phoneUrl(registered->server, check.phone.fileName);
    return true;
}

// Other spellings of a file name a case-sensitive server may hold instead: the MAC's digits
// in the other case, and the whole name in lower and in upper case.
std::vector<std::string> otherSpellings(const Phone& phone) {
    std::vector<std::string> names;
    auto add = [&](std::string name) {
        if (name != phone.fileName && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    };
    std::string lower = phone.fileName;
    std::string upper = phone.fileName;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const std::size_t at = lower.find(phone.mac);
    if (at != std::string::npos) {
        std::string digitsUpper = phone.fileName;
        std::string digitsLower = phone.fileName;
        for (std::size_t i = at; i < at + phone.mac.size(); ++i) {
            digitsUpper[i] = upper[i];
            digitsLower[i] = lower[i];
        }
        add(digitsUpper);
        add(digitsLower);
    }
    add(lower);
    add(upper);
    return names;
}

Phrase uploadAction(const SiteCheckInput& input, const PhoneCheck& check) {
    //: %1 is the file in the output folder, %2 the server text (a URL)
    return Phrase{VELQUOR_TR_NOOP("core", "upload %1 to %2"),
                  {shownPath(input.outputFolder, check.servedFile),
                   wire::maskedServerText(check.serverText)}};
}

Phrase actionFor(const SiteCheckInput& input, const PhoneCheck& check) {
    switch (check.verdict) {
        case Verdict::Ready:
        case Verdict::RowRefused:  // worded with the row
        case Verdict::AskedNotFound:
        case Verdict::AskedRefused:  // worded from the fetch log
            return {};
        case Verdict::NotGenerated:
            return Phrase{VELQUOR_TR_NOOP("core", "generate it again"), {}};
        case Verdict::NotChecked:
            return Phrase{VELQUOR_TR_NOOP("core", "log in to check it"), {}};
        case Verdict::NotRegistered:
            return Phrase{VELQUOR_TR_NOOP("core", "register it"), {}};
        case Verdict::AnotherAccount:
            return Phrase{
                VELQUOR_TR_NOOP("core", "have the other account delete it, then register it"), {}};
        case Verdict::NotAUrl:
            return Phrase{VELQUOR_TR_NOOP(
                              "core", "register it again with an http://, https:// or tftp:// URL"),
                          {}};
        case Verdict::Unreachable:
            //: %1 is a host name and port
            return Phrase{VELQUOR_TR_NOOP("core", "make %1 reachable, or register another URL"),
                          {hostOf(wire::maskedServerText(check.url))}};
        case Verdict::DoesNotDecrypt:
            //: %1 is the file in the output folder, %2 the server text (a URL)
            return Phrase{VELQUOR_TR_NOOP("core",
                                          "generate it again with the phones' key, then upload "
                                          "%1 to %2"),
                          {shownPath(input.outputFolder, check.servedFile),
                           wire::maskedServerText(check.serverText)}};
        case Verdict::NotFound:
        case Verdict::HttpError:
        case Verdict::Differs:
        case Verdict::NotEncrypted:
            return uploadAction(input, check);
    }
    return {};
}

// What the fetch log says of a phone: the "fetched by" text, and a finding when the phone
// itself met a problem there.
struct LogFinding {
    Phrase fetchedBy;
    std::optional<Finding> finding;
};

LogFinding logFindingOf(const serve::PhoneStatus& phone, const PhoneCheck& check) {
    const std::string when = support::localTimeText(phone.lastRequest);
    // A refusal is kept until the phone fetches again: its last request was refused.
    if (phone.state == serve::PhoneState::Refused ||
        (phone.state == serve::PhoneState::Fetched && !phone.refusal.empty())) {
        //: %1 is the file name the phone asked for, %2 a local time with its offset, %3 the
        //: phone's address, %4 why the phone server refused it
        Phrase fetchedBy{VELQUOR_TR_NOOP("core", "asked for %1 at %2 from %3: refused (%4)"),
                         {phone.askedName, when, phone.peer, phone.refusal}};
        //: %1 is why the phone server refused the phone
        Phrase reason{VELQUOR_TR_NOOP("core", "the phone server refused the phone: %1"),
                      {phone.refusal}};
        return {fetchedBy, Finding{Verdict::AskedRefused, reason,
                                   Phrase{serve::refusalAdvice(phone.refusal), {}}}};
    }
    if (phone.state == serve::PhoneState::AskedNotFound) {
        //: %1 is the file name the phone asked for, %2 a local time with its offset, %3 the
        //: phone's address
        Phrase fetchedBy{VELQUOR_TR_NOOP("core", "asked for %1 at %2 from %3: not there"),
                         {phone.askedName, when, phone.peer}};
        //: %1 is the file name the phone asked for
        Phrase reason{VELQUOR_TR_NOOP("core", "the phone asked for %1, which is not there"),
                      {phone.askedName}};
        //: %1 is the name Generate gave the phone's file, %2 the name the phone asked for
        Phrase action{VELQUOR_TR_NOOP("core",
                                      "its file is %1: have the phone ask for it, or set the "
                                      "file name pattern to give %2 and generate again"),
                      {check.phone.fileName, phone.askedName}};
        return {fetchedBy, Finding{Verdict::AskedNotFound, reason, action}};
    }
    if (phone.state != serve::PhoneState::Fetched) return {};
    //: %1 is a local time with its offset (2026-12-10T16:40:01+01:00), %2 the phone's address
    return {Phrase{VELQUOR_TR_NOOP("core", "fetched by the phone at %1 from %2"),
                   {support::localTimeText(phone.lastFetch), phone.peer}},
            std::nullopt};
}

// The folder a path names ("/prov/" of "/prov/001A2B3C4D5E.xml"), without its query.
std::string_view folderOf(std::string_view path) {
    path = path.substr(0, path.find_first_of("?#"));
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view("/") : path.substr(0, slash + 1);
}

// Whether the phone's last fetch in the log asked for its file where its Server text sends it
// (or that place's en/ copy): the phone server answers a name under any folder, so the folder
// asked tells a phone sent by kestod from one told of this server some other way.
bool fetchedWhereSent(const PhoneCheck& check, const serve::PhoneStatus& seen) {
    const std::string sentTo = std::string(folderOf(pathOf(check.url)));
    const std::string_view fetched = folderOf(seen.fetchedPath);
    return fetched == sentTo || fetched == sentTo + "en/";
}

// What to do about a registered phone that asked kestod's phones' port, for a row with nothing
// else to do; empty when the ask and the log agree.
Phrase askAdvice(const PhoneCheck& check, const serve::PhoneStatus* seen) {
    if (check.registration != provisioning::CheckOutcome::Registered || check.askedAt.empty() ||
        check.url.empty()) {
        return {};
    }
    const std::string sentTo = wire::maskedServerText(check.serverText);
    const std::string when = support::localTimeOfUtcText(check.askedAt);
    if (check.askedAnswer != "redirected") {
        //: %1 is a local time with its offset, %2 the server text (a URL) registered since
        return Phrase{VELQUOR_TR_NOOP("core",
                                      "kestod told the phone at %1 that it has no Server text "
                                      "(it asked before its registration): restart the phone "
                                      "so that it asks again and is sent to %2"),
                      {when, sentTo}};
    }
    const bool fetched = seen != nullptr && seen->state == serve::PhoneState::Fetched;
    if (!fetched) {
        //: %1 is the server text (a URL) the phone was sent to, %2 the phone's file name
        return Phrase{VELQUOR_TR_NOOP("core",
                                      "the phone asked kestod and was sent to %1, but no fetch "
                                      "of its file is known: check that the phone reaches %1 "
                                      "and gets %2 there"),
                      {sentTo, check.phone.fileName}};
    }
    if (fetchedWhereSent(check, *seen)) return {};
    //: %1 is the server text (a URL) kestod sent the phone to, %2 the path the phone fetched
    //: its file at from this phone server, %3 the phone's file name
    return Phrase{VELQUOR_TR_NOOP("core",
                                  "kestod sent the phone to %1, but it fetched its file at %2 "
                                  "from this phone server: put %3 at %1, or register the "
                                  "phone with the Server text it fetches from"),
                  {sentTo, seen->fetchedPath, check.phone.fileName}};
}

}  // namespace

std::string refusedRowText(const RefusedRow& refused) {
    return sheet::cellName(refused.row, refused.column) + " " + refused.cell + ": " +
           refused.reason.english();
}

std::string phoneUrl(const std::string& serverText, const std::string& fileName) {
    if (!serverText.empty() && serverText.back() == '/') return serverText + fileName;
    return serverText + "/" + fileName;
}

support::Result<SheetPhones> phonesOfSheet(const std::string& path, int column, mac::Form form,
                                           const mac::FileNamePattern& pattern,
                                           std::stop_token stop) {
    provisioning::DeviceBatch batch;
    batch.macFilePath = path;
    batch.macColumn = column;
    batch.macForm = form;
    auto checked =
        provisioning::checkMacFile(provisioning::DeviceOperation::Add, batch, std::move(stop));
    if (!checked) return checked.error();
    SheetPhones sheet;
    std::unordered_map<std::string, std::size_t> phoneOfMac;
    for (const provisioning::MacResult& result : checked->results) {
        if (result.outcome == provisioning::MacOutcome::Refused) {
            sheet.refused.push_back(RefusedRow{
                result.row, result.column, result.macAddress,
                result.reasonPhrase.empty() ? Phrase{"%1", {result.reason}} : result.reasonPhrase});
        }
        // A repeat of a phone is skipped by the batches (the server holds one record per MAC)
        // but names its file for Generate: the phone is its last row, in that row's spelling.
        if (result.outcome != provisioning::MacOutcome::Usable &&
            result.outcome != provisioning::MacOutcome::Skipped)
            continue;
        const mac::Reading reading(result.macAddress);
        if (!reading.ok()) continue;  // the header
        Phone phone{result.row, result.macAddress, reading.address().canonical(),
                    pattern.name(reading.address().written(form, result.macAddress)),
                    result.column};
        const auto [known, fresh] = phoneOfMac.emplace(phone.mac, sheet.phones.size());
        if (fresh && result.outcome == provisioning::MacOutcome::Usable) {
            sheet.phones.push_back(std::move(phone));
        } else if (fresh) {
            phoneOfMac.erase(known);
        } else {
            sheet.phones[known->second] = std::move(phone);
        }
    }
    std::stable_sort(sheet.phones.begin(), sheet.phones.end(),
                     [](const Phone& a, const Phone& b) { return a.row < b.row; });
    return sheet;
}

std::vector<PhoneCheck> checkPhones(const SiteCheckInput& input, support::ProgressSink& progress,
                                    std::stop_token stop) {
    const fs::path folder(input.outputFolder);
    std::error_code error;
    const bool encryptedRun = fs::is_directory(folder / "en", error);
    std::vector<PhoneCheck> checks(input.phones.size());
    std::vector<FetchRequest> gets;
    std::vector<std::size_t> getOf;
    for (std::size_t i = 0; i < input.phones.size() && !stop.stop_requested(); ++i) {
        PhoneCheck& check = checks[i];
        check.phone = input.phones[i];
        const GeneratedPaths paths = pathsOf(folder, check.phone, encryptedRun);
        const GeneratedFiles there = presenceOf(paths);
        if (there.generated()) {
            check.servedFile = encryptedRun ? "en/" + check.phone.fileName : check.phone.fileName;
            check.md5 = md5OfFile(encryptedRun ? paths.encrypted : paths.plain);
        }
        std::optional<provisioning::CheckedDevice> registered;
        if (input.registrations) registered = (*input.registrations)[i];
        if (checkBeforeFetch(check, there, registered)) {
            gets.push_back(FetchRequest{check.url, false});
            getOf.push_back(i);
        }
    }

    // Each answer judged as it comes, the phone's files read for it alone.
    std::vector<std::size_t> missing;  // of gets: answered 404
    fetchEach(
        gets, input.fetch, progress,
        [&](std::size_t n, FetchResult answer) {
            PhoneCheck& check = checks[getOf[n]];
            if (answer.answered && answer.status == 404) missing.push_back(n);
            const GeneratedFiles files =
                answer.answered && answer.status >= 200 && answer.status <= 299
                    ? contentsOf(pathsOf(folder, check.phone, encryptedRun))
                    : GeneratedFiles{};
            const ServedVerdict verdict = servedVerdict(
                answer, files, input.key, wire::maskedServerText(check.url), std::string());
            decide(check, verdict.verdict, verdict.reason);
            if (!answer.answered) check.detail = answer.error;
        },
        stop);

    // A name the server does not have may be there in another case: one HEAD per spelling.
    std::vector<FetchRequest> heads;
    std::vector<std::pair<std::size_t, std::string>> headOf;
    for (const std::size_t n : missing) {
        const PhoneCheck& check = checks[getOf[n]];
        for (const std::string& name : otherSpellings(check.phone)) {
            heads.push_back(FetchRequest{phoneUrl(check.serverText, name), true});
            headOf.emplace_back(n, name);
        }
    }
    std::map<std::size_t, std::size_t> headThere;  // of gets: the first spelling there
    fetchEach(
        heads, input.fetch, progress,
        [&](std::size_t h, FetchResult answer) {
            if (!answer.answered || answer.status != 200) return;
            const auto [there, fresh] = headThere.emplace(headOf[h].first, h);
            if (!fresh) there->second = std::min(there->second, h);
        },
        stop);
    FetchResult notFound;
    notFound.answered = true;
    notFound.status = 404;
    for (const auto& [n, h] : headThere) {
        const std::string& name = headOf[h].second;
        PhoneCheck& check = checks[getOf[n]];
        const ServedVerdict verdict =
            servedVerdict(notFound, {}, input.key, wire::maskedServerText(check.url), name);
        decide(check, verdict.verdict, verdict.reason);
    }
    for (PhoneCheck& check : checks) {
        check.action = actionFor(input, check);
        check.checked = Finding{check.verdict, check.reason, check.action};
    }
    return checks;
}

FetchOptions fetchOptionsFor(const provisioning::KestoEndpoint& endpoint) {
    FetchOptions options;
    options.inFlight = kDefaultFetchesInFlight;
    options.connectTimeout = endpoint.timeouts.connect;
    options.exchangeTimeout = endpoint.timeouts.exchange;
    return options;
}

support::Result<std::vector<provisioning::CheckedDevice>> registrationsOf(
    const provisioning::KestoEndpoint& endpoint, const std::string& user,
    const std::vector<Phone>& phones, support::ProgressSink& progress, std::stop_token stop) {
    std::vector<std::string> macs;
    macs.reserve(phones.size());
    for (const Phone& phone : phones) macs.push_back(phone.mac);
    return provisioning::checkDevices(provisioning::channelFetchers(endpoint, stop), user, macs,
                                      progress, stop);
}

void addFetches(std::vector<PhoneCheck>& checks, const std::vector<serve::FetchRecord>& records) {
    std::vector<std::string> site;
    site.reserve(checks.size());
    for (const PhoneCheck& check : checks) {
        if (!check.phone.mac.empty()) site.push_back(check.phone.mac);
    }
    serve::SiteStatus status(site);
    for (const serve::FetchRecord& record : records) status.apply(record);
    addFetches(checks, status.phones());
}

void addFetches(std::vector<PhoneCheck>& checks, const std::vector<serve::PhoneStatus>& phones) {
    std::unordered_map<std::string_view, const serve::PhoneStatus*> byMac;
    byMac.reserve(phones.size());
    for (const serve::PhoneStatus& phone : phones) byMac.emplace(phone.mac, &phone);
    for (PhoneCheck& check : checks) {
        const auto found = check.phone.mac.empty() ? byMac.end() : byMac.find(check.phone.mac);
        const LogFinding seen =
            found == byMac.end() ? LogFinding{} : logFindingOf(*found->second, check);
        check.fetchedBy = seen.fetchedBy;
        const Finding& shown = seen.finding && (check.checked.verdict == Verdict::Ready ||
                                                check.checked.verdict == Verdict::NotChecked)
                                   ? *seen.finding
                                   : check.checked;
        check.verdict = shown.verdict;
        check.reason = shown.reason;
        check.action = shown.action;
        if (check.action.empty()) {
            check.action = askAdvice(check, found == byMac.end() ? nullptr : found->second);
        }
    }
}

}  // namespace velquor::phonecheck
