// The Serve to phones window's table and filter; see serve_phones_model.h.
#include "app/serve/serve_phones_model.h"

#include "app/language/core_texts.h"
#include "support/hex.h"
#include "support/local_time.h"

namespace velquor::app {
namespace {

QString localTime(serve::Clock::time_point time) {
    return QString::fromStdString(support::localTimeText(time));
}

// Bytes a peer sent (or a name on disk) as the window shows them: a control character, or a
// byte that is no UTF-8, as \xNN, so no text can pass itself off as another.
QString shownText(std::string_view bytes) {
    return QString::fromStdString(support::escapeControls(bytes));
}

}  // namespace

ServePhonesModel::ServePhonesModel(QObject* parent) : QAbstractTableModel(parent) {}

void ServePhonesModel::update(std::vector<serve::PhoneStatus> phones) {
    const int before = static_cast<int>(m_phones.size());
    const int after = static_cast<int>(phones.size());
    if (after < before) {
        beginResetModel();
        m_phones = std::move(phones);
        endResetModel();
        return;
    }
    if (after > before) beginInsertRows({}, before, after - 1);
    m_phones = std::move(phones);
    for (const serve::PhoneStatus& phone : m_phones) {
        const std::string& file = fileOf(phone);
        if (file.size() > m_longestFileBytes) {
            m_longestFileBytes = file.size();
            m_longestFile = shownText(file);
        }
        if (phone.state == serve::PhoneState::Refused &&
            phone.refusal.size() > m_longestRefusalBytes) {
            m_longestRefusalBytes = phone.refusal.size();
            m_longestStatus = statusText(phone);
        }
    }
    if (after > before) endInsertRows();
    if (before > 0) emit dataChanged(index(0, 0), index(before - 1, kUserAgent));
}

QString ServePhonesModel::statusText(const serve::PhoneStatus& phone) {
    const QString state = coreText(serve::stateName(phone.state));
    if (phone.state != serve::PhoneState::Refused || phone.refusal.empty()) return state;
    //: %1 is "asked, refused", %2 why, as the server logged it
    return tr("%1 (%2)").arg(state, shownText(phone.refusal));
}

const std::string& ServePhonesModel::fileOf(const serve::PhoneStatus& phone) {
    // A phone that only asked for a missing name shows the name it asked.
    return phone.fetches > 0 ? phone.file : phone.askedName;
}

int ServePhonesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_phones.size());
}

int ServePhonesModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kUserAgent + 1;
}

QVariant ServePhonesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
    const serve::PhoneStatus& phone = m_phones[static_cast<size_t>(index.row())];
    const bool fetched = phone.fetches > 0;
    switch (index.column()) {
        case kMac:
            return QString::fromStdString(phone.mac);
        case kFile:
            return shownText(fileOf(phone));
        case kStatus:
            if (role == Qt::ToolTipRole && phone.state == serve::PhoneState::Refused)
                return statusText(phone) + QLatin1Char('\n') +
                       coreText(serve::refusalAdvice(phone.refusal));
            return statusText(phone);
        case kProof:
            // The kind fits a narrow column; the tip names the MAC or the user too.
            return role == Qt::ToolTipRole
                       ? shownText(phone.proof)
                       : shownText(phone.proof.substr(0, phone.proof.find(':')));
        case kFirstFetch:
            return fetched ? localTime(phone.firstFetch) : QString();
        case kLastRequest:
            // A problem shows when it happened.
            return phone.lastRequest != serve::Clock::time_point{} ? localTime(phone.lastRequest)
                                                                   : QString();
        case kCount:
            return role == Qt::DisplayRole ? QVariant(static_cast<qulonglong>(phone.fetches))
                                           : QVariant();
        case kPeer:
            return shownText(phone.peer);
        case kUserAgent:
            return shownText(serve::unescapeLogText(phone.userAgent));
    }
    return {};
}

QVariant ServePhonesModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case kMac:
            return tr("MAC");
        case kFile:
            return tr("File");
        case kStatus:
            return tr("Status");
        case kProof:
            return tr("Proof");
        case kFirstFetch:
            return tr("First fetch");
        case kLastRequest:
            return tr("Last request");
        case kCount:
            return tr("Fetches");
        case kPeer:
            return tr("Peer");
        case kUserAgent:
            return tr("User agent");
    }
    return {};
}

ServePhonesFilter::ServePhonesFilter(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
}

void ServePhonesFilter::setShown(Shown shown) {
    m_shown = shown;
    invalidateFilter();
}

void ServePhonesFilter::setTypedFilter(const QString& typed) {
    m_typed.setTyped(typed);
    invalidateFilter();
}

bool ServePhonesFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
    const auto* phones = static_cast<const ServePhonesModel*>(sourceModel());
    return shows(phones->phone(sourceRow).state) &&
           m_typed.accepts(*phones, sourceRow, ServePhonesModel::kMac);
}

bool ServePhonesFilter::shows(serve::PhoneState state) const {
    switch (m_shown) {
        case Shown::All:
            return true;
        case Shown::Waiting:
            return state == serve::PhoneState::Waiting;
        case Shown::Fetched:
            return state == serve::PhoneState::Fetched;
        case Shown::Problems:
            return state == serve::PhoneState::AskedNotFound ||
                   state == serve::PhoneState::Refused || state == serve::PhoneState::Unknown;
    }
    return true;
}

}  // namespace velquor::app
