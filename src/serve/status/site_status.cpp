// Every phone's status from the fetch log's records; see site_status.h.
#include "serve/status/site_status.h"

#include "support/local_time.h"
#include "support/translatable.h"

namespace velquor::serve {

const char* stateName(PhoneState state) {
    switch (state) {
        case PhoneState::Waiting:
            return VELQUOR_TR_NOOP("core", "waiting");
        case PhoneState::Fetched:
            return VELQUOR_TR_NOOP("core", "fetched");
        case PhoneState::AskedNotFound:
            return VELQUOR_TR_NOOP("core", "asked, not found");
        case PhoneState::Unknown:
            return VELQUOR_TR_NOOP("core", "unknown phone");
    }
    return "";
}

namespace {

PhoneStatus newPhone(const std::string& mac, PhoneState state) {
    PhoneStatus phone;
    phone.mac = mac;
    phone.state = state;
    return phone;
}

}  // namespace

SiteStatus::SiteStatus(const std::vector<std::string>& site) : m_hasSite(!site.empty()) {
    for (const std::string& mac : site) {
        if (!m_rows.emplace(mac, m_phones.size()).second) continue;
        m_phones.push_back(newPhone(mac, PhoneState::Waiting));
    }
    m_counts.phones = m_phones.size();
    m_counts.waiting = m_phones.size();
}

void SiteStatus::recount(PhoneState from, PhoneState to) {
    auto counter = [this](PhoneState state) -> std::size_t* {
        switch (state) {
            case PhoneState::Waiting:
                return &m_counts.waiting;
            case PhoneState::Fetched:
                return &m_counts.fetched;
            case PhoneState::AskedNotFound:
                return &m_counts.askedNotFound;
            case PhoneState::Unknown:
                return &m_counts.unknownPhones;
        }
        return nullptr;
    };
    --*counter(from);
    ++*counter(to);
}

long SiteStatus::apply(const FetchRecord& record) {
    if (record.mac.empty() || record.byPhoneCheck()) return -1;
    auto found = m_rows.find(record.mac);
    if (found == m_rows.end()) {
        const PhoneState state = m_hasSite ? PhoneState::Unknown : PhoneState::Waiting;
        found = m_rows.emplace(record.mac, m_phones.size()).first;
        m_phones.push_back(newPhone(record.mac, state));
        ++*(m_hasSite ? &m_counts.unknownPhones : &m_counts.waiting);
    }
    PhoneStatus& phone = m_phones[found->second];
    if (phone.state == PhoneState::Unknown) ++m_counts.unknownRequests;
    phone.lastRequest = record.time;
    phone.peer = record.peer;
    phone.userAgent = record.userAgent;
    if (record.fetched()) {
        if (phone.fetches == 0) phone.firstFetch = record.time;
        phone.lastFetch = record.time;
        ++phone.fetches;
        phone.file = record.file;
        if (phone.state != PhoneState::Unknown && phone.state != PhoneState::Fetched) {
            recount(phone.state, PhoneState::Fetched);
            phone.state = PhoneState::Fetched;
        }
    } else if (record.status == 404) {
        phone.askedName = unescapeLogText(record.path.substr(record.path.rfind('/') + 1));
        if (phone.state == PhoneState::Waiting) {
            recount(phone.state, PhoneState::AskedNotFound);
            phone.state = PhoneState::AskedNotFound;
        }
    }
    return static_cast<long>(found->second);
}

std::string groupedNumber(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
    return digits;
}

std::string summaryText(const SiteCounts& counts, bool hasSite) {
    const std::size_t seen = counts.fetched + counts.waiting + counts.askedNotFound;
    std::string text = hasSite
                           ? groupedNumber(counts.fetched) + " of " + groupedNumber(counts.phones) +
                                 (counts.phones == 1 ? " phone" : " phones")
                           : groupedNumber(counts.fetched) + " of " + groupedNumber(seen) +
                                 (seen == 1 ? " phone" : " phones") + " that asked";
    text += counts.fetched == 1 && hasSite && counts.phones == 1 ? " fetched its file"
                                                                 : " fetched their file";
    if (hasSite) text += "; " + groupedNumber(counts.waiting) + " waiting";
    if (counts.askedNotFound > 0)
        text += "; " + groupedNumber(counts.askedNotFound) + " asked for a name that is not there";
    if (hasSite) {
        text += "; " + groupedNumber(counts.unknownRequests) +
                (counts.unknownRequests == 1 ? " request" : " requests") + " from unknown phones";
    }
    return text;
}

report::ReportTable statusTable(const std::vector<PhoneStatus>& phones) {
    report::ReportTable table;
    table.header = {"mac",        "status",  "file", "asked",     "first_fetch",
                    "last_fetch", "fetches", "peer", "user_agent"};
    for (const PhoneStatus& phone : phones) {
        const bool fetched = phone.fetches > 0;
        table.rows.push_back({phone.mac, stateName(phone.state), phone.file, phone.askedName,
                              fetched ? support::localTimeText(phone.firstFetch) : "",
                              fetched ? support::localTimeText(phone.lastFetch) : "",
                              std::to_string(phone.fetches), phone.peer,
                              unescapeLogText(phone.userAgent)});
    }
    return table;
}

}  // namespace velquor::serve
