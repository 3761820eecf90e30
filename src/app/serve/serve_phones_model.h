// The live table of the Serve to phones window: one row per phone of the site (and per
// unknown phone that asked), taken from the running server's snapshot, and the filter over it
// (every phone, the waiting ones, the fetched ones, the problems; and the typed text). Times
// are local with their offset; what a peer sent is shown with its control bytes as \xNN. A
// refused phone's status names the reason of its last refusal, its tip what to do; the Proof
// column says how each phone proved itself (cert, digest, none; the tip adds its MAC or user).
#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <vector>

#include "app/results/table_actions.h"
#include "serve/status/site_status.h"

namespace velquor::app {

class ServePhonesModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column {
        kMac,
        kFile,
        kStatus,
        kProof,
        kFirstFetch,
        kLastRequest,
        kCount,
        kPeer,
        kUserAgent
    };

    explicit ServePhonesModel(QObject* parent = nullptr);

    // Takes the server's rows: new rows are inserted, the others changed in place, so the
    // selection and the scroll position stay while phones fetch.
    void update(std::vector<serve::PhoneStatus> phones);
    const serve::PhoneStatus& phone(int row) const { return m_phones[static_cast<size_t>(row)]; }
    // The longest text the File column has held, so that the column can show it whole.
    const QString& longestFile() const { return m_longestFile; }
    // The longest status it has held with a refusal's reason (empty before the first).
    const QString& longestStatus() const { return m_longestStatus; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // "asked, refused (certificate names …)" for a refused phone, else its state's name.
    static QString statusText(const serve::PhoneStatus& phone);

private:
    static const std::string& fileOf(const serve::PhoneStatus& phone);

    std::vector<serve::PhoneStatus> m_phones;
    QString m_longestFile;
    std::size_t m_longestFileBytes = 0;
    QString m_longestStatus;
    std::size_t m_longestRefusalBytes = 0;
};

class ServePhonesFilter final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    enum class Shown { All, Waiting, Fetched, Problems };

    explicit ServePhonesFilter(QObject* parent = nullptr);
    void setShown(Shown shown);
    // Keeps, among those, the rows the typed text finds (TypedRowFilter).
    void setTypedFilter(const QString& typed);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool shows(serve::PhoneState state) const;

    Shown m_shown = Shown::All;
    TypedRowFilter m_typed;
};

}  // namespace velquor::app
