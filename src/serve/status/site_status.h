// Every phone's status, rebuilt from the fetch log's records: a phone of the site is waiting
// until its first fetch, then fetched; one that only asked for names that are not there is
// "asked, not found" with the name it asked; a MAC outside the site is an unknown phone. The
// phone's-eye check's own requests are no phone's and change nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "report/report_table.h"
#include "serve/log/fetch_log.h"

namespace velquor::serve {

enum class PhoneState { Waiting, Fetched, AskedNotFound, Unknown };

// "waiting", "fetched", "asked, not found", "unknown phone": the report's and the CLI's words,
// marked for the window.
const char* stateName(PhoneState state);

struct PhoneStatus {
    std::string mac;  // canonical
    PhoneState state = PhoneState::Waiting;
    std::string file;       // the file it fetched last
    std::string askedName;  // the last name it asked that was not there
    Clock::time_point firstFetch{};
    Clock::time_point lastFetch{};
    Clock::time_point lastRequest{};  // of its last request, whatever its answer
    std::uint64_t fetches = 0;
    std::string peer;       // of its last request
    std::string userAgent;  // of its last request, as the log keeps it
};

struct SiteCounts {
    std::size_t phones = 0;  // of the site
    std::size_t fetched = 0;
    std::size_t waiting = 0;
    std::size_t askedNotFound = 0;
    std::size_t unknownPhones = 0;
    std::uint64_t unknownRequests = 0;  // requests naming a MAC outside the site
};

class SiteStatus {
public:
    // site: the site's MACs in canonical form, in the sheet's order. With none, every phone
    // that asks is listed, none unknown.
    explicit SiteStatus(const std::vector<std::string>& site = {});

    // Returns the index of the row the record changed, or -1.
    long apply(const FetchRecord& record);

    bool hasSite() const { return m_hasSite; }
    const std::vector<PhoneStatus>& phones() const { return m_phones; }
    const SiteCounts& counts() const { return m_counts; }

private:
    void recount(PhoneState from, PhoneState to);

    bool m_hasSite = false;
    std::vector<PhoneStatus> m_phones;
    std::unordered_map<std::string, std::size_t> m_rows;
    SiteCounts m_counts;
};

// "1,950 of 2,000 phones fetched their file; 50 waiting; 3 requests from unknown phones", with
// "N asked for a name that is not there" where there are such phones.
std::string summaryText(const SiteCounts& counts, bool hasSite);

// 1950 -> "1,950".
std::string groupedNumber(std::uint64_t number);

// One row per phone: mac, status, file, asked, first_fetch, last_fetch, fetches, peer,
// user_agent (local times with their offset, empty where there are none).
report::ReportTable statusTable(const std::vector<PhoneStatus>& phones);

}  // namespace velquor::serve
