// The phone's-eye check; see phone_check.h. The verdict on the served bytes is in
// served_verdict.cpp.
#include "phonecheck/phone_check.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <unordered_map>

#include "digest/digest_engine.h"
#include "mac/mac_address.h"
#include "phonecheck/served_verdict.h"
#include "provisioning/kesto_operations.h"
#include "serve/status/site_status.h"
#include "sheet/cell_name.h"
#include "support/local_time.h"

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

std::string md5Of(const std::string& bytes) {
    digest::CDigestEngine engine;
    engine.SetAlgorithm(digest::kAlgorithmMd5);
    auto text = engine.computeText(bytes);
    return text ? *text : std::string();
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
                  {shownPath(input.outputFolder, check.servedFile), check.serverText}};
}

Phrase actionFor(const SiteCheckInput& input, const PhoneCheck& check) {
    switch (check.verdict) {
        case Verdict::Ready:
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
                          {hostOf(check.url)}};
        case Verdict::DoesNotDecrypt:
            //: %1 is the file in the output folder, %2 the server text (a URL)
            return Phrase{VELQUOR_TR_NOOP("core",
                                          "generate it again with the phones' key, then upload "
                                          "%1 to %2"),
                          {shownPath(input.outputFolder, check.servedFile), check.serverText}};
        case Verdict::NotFound:
        case Verdict::HttpError:
        case Verdict::Differs:
        case Verdict::NotEncrypted:
            return uploadAction(input, check);
    }
    return {};
}

}  // namespace

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
            sheet.refused.push_back(sheet::cellName(result.row, result.column) + " " +
                                    result.macAddress + ": " + result.reason);
        }
        // A repeat of a phone is skipped by the batches (the server holds one record per MAC)
        // but names its file for Generate: the phone is its last row, in that row's spelling.
        if (result.outcome != provisioning::MacOutcome::Usable &&
            result.outcome != provisioning::MacOutcome::Skipped)
            continue;
        const mac::Reading reading(result.macAddress);
        if (!reading.ok()) continue;  // the header
        Phone phone{result.row, result.macAddress, reading.address().canonical(),
                    pattern.name(reading.address().written(form, result.macAddress))};
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

std::vector<PhoneCheck> checkSite(const SiteCheckInput& input, support::ProgressSink& progress,
                                  std::stop_token stop) {
    const fs::path folder(input.outputFolder);
    std::error_code error;
    const bool encryptedRun = fs::is_directory(folder / "en", error);
    std::vector<PhoneCheck> checks(input.phones.size());
    std::vector<GeneratedFiles> files(input.phones.size());
    std::vector<FetchRequest> gets;
    std::vector<std::size_t> getOf;
    for (std::size_t i = 0; i < input.phones.size() && !stop.stop_requested(); ++i) {
        PhoneCheck& check = checks[i];
        check.phone = input.phones[i];
        GeneratedFiles& generated = files[i];
        generated.plain = readWhole(folder / check.phone.fileName);
        if (encryptedRun) generated.encrypted = readWhole(folder / "en" / check.phone.fileName);
        generated.encryptedRun = encryptedRun;
        if (generated.generated()) {
            check.servedFile = encryptedRun ? "en/" + check.phone.fileName : check.phone.fileName;
            check.md5 = md5Of(encryptedRun ? *generated.encrypted : *generated.plain);
        }
        std::optional<provisioning::CheckedDevice> registered;
        if (input.registrations) registered = (*input.registrations)[i];
        if (checkBeforeFetch(check, generated, registered)) {
            gets.push_back(FetchRequest{check.url, false});
            getOf.push_back(i);
        }
    }

    std::vector<FetchResult> answers = fetchAll(gets, input.fetch, progress, stop);
    // A name the server does not have may be there in another case: one HEAD per spelling.
    std::vector<FetchRequest> heads;
    std::vector<std::pair<std::size_t, std::string>> headOf;
    for (std::size_t n = 0; n < answers.size(); ++n) {
        const PhoneCheck& check = checks[getOf[n]];
        if (!answers[n].answered || answers[n].status != 404) continue;
        for (const std::string& name : otherSpellings(check.phone)) {
            heads.push_back(FetchRequest{phoneUrl(check.serverText, name), true});
            headOf.emplace_back(n, name);
        }
    }
    std::vector<std::string> spellingThere(answers.size());
    const std::vector<FetchResult> headAnswers = fetchAll(heads, input.fetch, progress, stop);
    for (std::size_t h = 0; h < headAnswers.size(); ++h) {
        const auto& [n, name] = headOf[h];
        if (headAnswers[h].answered && headAnswers[h].status == 200 && spellingThere[n].empty())
            spellingThere[n] = name;
    }

    for (std::size_t n = 0; n < answers.size(); ++n) {
        PhoneCheck& check = checks[getOf[n]];
        const ServedVerdict verdict =
            servedVerdict(answers[n], files[getOf[n]], input.key, check.url, spellingThere[n]);
        decide(check, verdict.verdict, verdict.reason);
    }
    for (PhoneCheck& check : checks) check.action = actionFor(input, check);
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
    for (const PhoneCheck& check : checks) site.push_back(check.phone.mac);
    serve::SiteStatus status(site);
    for (const serve::FetchRecord& record : records) status.apply(record);
    addFetches(checks, status.phones());
}

void addFetches(std::vector<PhoneCheck>& checks, const std::vector<serve::PhoneStatus>& phones) {
    std::unordered_map<std::string_view, const serve::PhoneStatus*> byMac;
    byMac.reserve(phones.size());
    for (const serve::PhoneStatus& phone : phones) {
        if (phone.state == serve::PhoneState::Fetched) byMac.emplace(phone.mac, &phone);
    }
    for (PhoneCheck& check : checks) {
        const auto found = byMac.find(check.phone.mac);
        if (found == byMac.end()) {
            check.fetchedBy = {};
            continue;
        }
        //: %1 is a local time with its offset (2026-12-10T16:40:01+01:00), %2 the phone's address
        check.fetchedBy =
            Phrase{VELQUOR_TR_NOOP("core", "fetched by the phone at %1 from %2"),
                   {support::localTimeText(found->second->lastFetch), found->second->peer}};
    }
}

}  // namespace velquor::phonecheck
