// Every phone's status from the fetch log's records; see site_status.h.
#include "serve/status/site_status.h"

#include "serve/log/fetch_log_reader.h"
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
        case PhoneState::Refused:
            return VELQUOR_TR_NOOP("core", "asked, refused");
        case PhoneState::Unknown:
            return VELQUOR_TR_NOOP("core", "unknown phone");
    }
    return "";
}

const char* refusalAdvice(std::string_view refusal) {
    if (refusal.starts_with("certificate") || refusal.starts_with("no certificate")) {
        return VELQUOR_TR_NOOP("core",
                               "Give the phone a certificate issued under one of the phones' CA "
                               "files that names its MAC, or add the CA that issued its "
                               "certificate; a phone is given only the file of its own MAC.");
    }
    if (refusal.find("user") != std::string_view::npos ||
        refusal.find("password") != std::string_view::npos ||
        refusal.find("credentials") != std::string_view::npos) {
        return VELQUOR_TR_NOOP("core",
                               "Set the phone's provisioning user and password to those of the "
                               "credentials file or of its http-password cell in the sheet (its "
                               "user is its MAC).");
    }
    return VELQUOR_TR_NOOP("core",
                           "Check the phone's address against the allowed peers, and that it "
                           "proves itself with a certificate or a password this server knows.");
}

namespace {

std::string askedName(const FetchRecord& record) {
    return unescapeLogText(record.path.substr(record.path.rfind('/') + 1));
}

PhoneStatus newPhone(const std::string& mac, PhoneState state) {
    PhoneStatus phone;
    phone.mac = mac;
    phone.state = state;
    return phone;
}

}  // namespace

SiteStatus::SiteStatus(const std::vector<std::string>& site) : m_hasSite(!site.empty()) {
    for (const std::string& mac : site) {
        if (!m_orderOf.emplace(mac, m_nextOrder).second) continue;
        m_rows.emplace(m_nextOrder++, Row{newPhone(mac, PhoneState::Waiting), {}, false});
    }
    m_siteSize = m_nextOrder;
    m_counts.phones = m_rows.size();
    m_counts.waiting = m_rows.size();
}

std::vector<PhoneStatus> SiteStatus::phones() const {
    std::vector<PhoneStatus> phones;
    phones.reserve(m_rows.size());
    for (const auto& [order, row] : m_rows) phones.push_back(row.phone);
    return phones;
}

bool SiteStatus::inSite(const std::string& mac) const {
    const auto found = m_orderOf.find(mac);
    return found != m_orderOf.end() && found->second < m_siteSize;
}

SiteStatus::Row& SiteStatus::rowOf(const std::string& mac) {
    if (const auto found = m_orderOf.find(mac); found != m_orderOf.end()) {
        Row& row = m_rows.at(found->second);
        if (row.mayBeLeftOut) m_recent.splice(m_recent.begin(), m_recent, row.recent);
        return row;
    }
    const PhoneState state = m_hasSite ? PhoneState::Unknown : PhoneState::Waiting;
    ++*(m_hasSite ? &m_counts.unknownPhones : &m_counts.waiting);
    const std::uint64_t order = m_nextOrder++;
    m_orderOf.emplace(mac, order);
    m_recent.push_front(order);
    Row& row =
        m_rows.emplace(order, Row{newPhone(mac, state), m_recent.begin(), true}).first->second;
    if (m_recent.size() > kMostPhonesOutside) leaveOutOldest();
    return row;
}

void SiteStatus::leaveOutOldest() {
    const std::uint64_t order = m_recent.back();
    m_recent.pop_back();
    const auto found = m_rows.find(order);
    const PhoneStatus& phone = found->second.phone;
    --countOf(phone.state);
    ++m_counts.notListed;
    m_orderOf.erase(phone.mac);
    m_rows.erase(found);
}

std::size_t& SiteStatus::countOf(PhoneState state) {
    switch (state) {
        case PhoneState::Waiting:
            return m_counts.waiting;
        case PhoneState::Fetched:
            return m_counts.fetched;
        case PhoneState::AskedNotFound:
            return m_counts.askedNotFound;
        case PhoneState::Refused:
            return m_counts.refused;
        case PhoneState::Unknown:
            return m_counts.unknownPhones;
    }
    return m_counts.unknownPhones;
}

void SiteStatus::recount(PhoneState from, PhoneState to) {
    --countOf(from);
    ++countOf(to);
}

bool SiteStatus::apply(const FetchRecord& record) {
    if (record.byPhoneCheck()) {
        ++m_counts.checkRequests;
        return false;
    }
    if (record.mac.empty() || record.isSummary()) return false;
    Row& row = rowOf(record.mac);
    PhoneStatus& phone = row.phone;
    if (phone.state == PhoneState::Unknown) ++m_counts.unknownRequests;
    phone.lastRequest = record.time;
    phone.peer = record.peer;
    phone.userAgent = record.userAgent;
    if (!record.proof.empty()) phone.proof = record.proof;
    if (record.fetched()) {
        // A phone that fetched a file of the folder keeps its row: the folder bounds them.
        if (row.mayBeLeftOut) {
            m_recent.erase(row.recent);
            row.mayBeLeftOut = false;
        }
        if (phone.fetches == 0) phone.firstFetch = record.time;
        phone.lastFetch = record.time;
        ++phone.fetches;
        phone.file = record.file;
        phone.fetchedPath = record.path;
        phone.refusal.clear();
        moveTo(phone, PhoneState::Fetched);
    } else if (!record.refusal.empty()) {
        // The name asked, as for a missing one: it may hold another phone's MAC.
        phone.askedName = askedName(record);
        phone.refusal = record.refusal;
        if (phone.state != PhoneState::Fetched) moveTo(phone, PhoneState::Refused);
    } else if (record.status == 404) {
        phone.askedName = askedName(record);
        // Proven but the name is missing: no longer refused.
        if (phone.state != PhoneState::Fetched) moveTo(phone, PhoneState::AskedNotFound);
    }
    return true;
}

void SiteStatus::moveTo(PhoneStatus& phone, PhoneState state) {
    // An unknown phone stays one whatever it does: it is not the site's.
    if (phone.state == PhoneState::Unknown || phone.state == state) return;
    recount(phone.state, state);
    phone.state = state;
}

support::Result<std::vector<PhoneStatus>> phonesOfFetchLog(const std::filesystem::path& path) {
    SiteStatus status;
    auto read = readFetchLog(path, [&](const FetchRecord& record) { status.apply(record); });
    if (!read) return read.error();
    return status.phones();
}

std::string groupedNumber(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
    return digits;
}

std::string summaryText(const SiteCounts& counts, bool hasSite) {
    const std::size_t seen =
        counts.fetched + counts.waiting + counts.askedNotFound + counts.refused;
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
    if (counts.refused > 0)
        text += "; " + groupedNumber(counts.refused) + " asked and were refused";
    if (hasSite) {
        text += "; " + groupedNumber(counts.unknownRequests) +
                (counts.unknownRequests == 1 ? " request" : " requests") + " from unknown phones";
    }
    if (counts.notListed > 0)
        text += " (" + groupedNumber(counts.notListed) + " more names asked, not listed)";
    if (counts.checkRequests > 0) {
        text += "; the site check's own " + groupedNumber(counts.checkRequests) +
                (counts.checkRequests == 1 ? " request is" : " requests are") + " left out";
    }
    return text;
}

report::ReportTable statusTable(const std::vector<PhoneStatus>& phones) {
    report::ReportTable table;
    table.header = {"mac",     "status", "file",       "asked", "first_fetch", "last_fetch",
                    "fetches", "peer",   "user_agent", "proof", "refusal"};
    for (const PhoneStatus& phone : phones) {
        const bool fetched = phone.fetches > 0;
        table.rows.push_back({phone.mac, stateName(phone.state), phone.file, phone.askedName,
                              fetched ? support::localTimeText(phone.firstFetch) : "",
                              fetched ? support::localTimeText(phone.lastFetch) : "",
                              std::to_string(phone.fetches), phone.peer,
                              unescapeLogText(phone.userAgent), phone.proof, phone.refusal});
    }
    return table;
}

}  // namespace velquor::serve
