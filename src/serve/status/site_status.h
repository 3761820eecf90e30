// Every phone's status, rebuilt from the fetch log's records: a phone of the site is waiting
// until its first fetch, then fetched; one that only asked for names that are not there is
// "asked, not found" with the name it asked; one whose requests were refused for want of proof
// (a certificate, a password) is "asked, refused" with the reason of the last refusal, until it
// fetches; a MAC outside the site is an unknown phone. Each phone keeps how its last proven
// request was proven. The
// phone's-eye check's own requests are no phone's and change nothing. The rows of phones outside
// the site that never fetched a file (any name a client makes up) are bounded: the most
// recently seen kMostPhonesOutside are listed, and the rest only counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "report/report_table.h"
#include "serve/log/fetch_record.h"
#include "support/result.h"

namespace velquor::serve {

enum class PhoneState { Waiting, Fetched, AskedNotFound, Refused, Unknown };

// "waiting", "fetched", "asked, not found", "asked, refused", "unknown phone": the report's and
// the CLI's words, marked for the window.
const char* stateName(PhoneState state);

// What to do about a refusal, by its reason: a certificate's ("no certificate", "certificate
// names …", "certificate expired"), a password's, or another's; marked for the window.
const char* refusalAdvice(std::string_view refusal);

struct PhoneStatus {
    std::string mac;  // canonical
    PhoneState state = PhoneState::Waiting;
    std::string file;         // the file it fetched last
    std::string fetchedPath;  // the path its last fetch asked for, as the log keeps it
    std::string askedName;    // the last name it asked that was not there
    Clock::time_point firstFetch{};
    Clock::time_point lastFetch{};
    Clock::time_point lastRequest{};  // of its last request, whatever its answer
    std::uint64_t fetches = 0;
    std::string peer;       // of its last request
    std::string userAgent;  // of its last request, as the log keeps it
    std::string proof;      // how its last request that said so was proven (cert:<mac>, ...)
    std::string refusal;    // why its last refused request was refused, until it fetches
};

struct SiteCounts {
    std::size_t phones = 0;  // of the site
    std::size_t fetched = 0;
    std::size_t waiting = 0;
    std::size_t askedNotFound = 0;
    std::size_t refused = 0;
    std::size_t unknownPhones = 0;
    std::uint64_t unknownRequests = 0;  // requests naming a MAC outside the site
    std::uint64_t notListed = 0;        // rows outside the site left out past the bound
    std::uint64_t checkRequests = 0;    // the phone's-eye check's own, which no phone made
};

class SiteStatus {
public:
    static constexpr std::size_t kMostPhonesOutside = 1000;

    // site: the site's MACs in canonical form, in the sheet's order. With none, every phone
    // that asks is listed, none unknown.
    explicit SiteStatus(const std::vector<std::string>& site = {});

    // True when the record was a phone's and its row changed.
    bool apply(const FetchRecord& record);

    bool hasSite() const { return m_hasSite; }
    // Whether mac is one of the site's phones.
    bool inSite(const std::string& mac) const;
    // The rows: the site's in its order, then the others in the order they first asked.
    std::vector<PhoneStatus> phones() const;
    const SiteCounts& counts() const { return m_counts; }

private:
    struct Row {
        PhoneStatus phone;
        std::list<std::uint64_t>::iterator recent;  // in m_recent while it may be left out
        bool mayBeLeftOut = false;
    };

    std::size_t& countOf(PhoneState state);
    void recount(PhoneState from, PhoneState to);
    // Into state, counted; an unknown phone stays unknown.
    void moveTo(PhoneStatus& phone, PhoneState state);
    Row& rowOf(const std::string& mac);
    void leaveOutOldest();

    bool m_hasSite = false;
    std::uint64_t m_siteSize = 0;
    std::uint64_t m_nextOrder = 0;
    std::map<std::uint64_t, Row> m_rows;  // by the order they first asked (the site's first)
    std::unordered_map<std::string, std::uint64_t> m_orderOf;
    std::list<std::uint64_t> m_recent;  // rows that may be left out, the latest seen first
    SiteCounts m_counts;
};

// Every phone that asked, from the fetch log at path read as a stream (no site: the phones
// that fetched are all there, the others bounded as above).
support::Result<std::vector<PhoneStatus>> phonesOfFetchLog(const std::filesystem::path& path);

// "1,950 of 2,000 phones fetched their file; 50 waiting; 3 requests from unknown phones", with
// "N asked for a name that is not there" and "N asked and were refused" where there are such
// phones, and how many requests of the site check were left out where it fetched.
std::string summaryText(const SiteCounts& counts, bool hasSite);

// 1950 -> "1,950".
std::string groupedNumber(std::uint64_t number);

// One row per phone: mac, status, file, asked, first_fetch, last_fetch, fetches, peer,
// user_agent, proof, refusal (local times with their offset, empty where there are none).
report::ReportTable statusTable(const std::vector<PhoneStatus>& phones);

}  // namespace velquor::serve
