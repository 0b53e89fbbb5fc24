#pragma once
// The Bus Monitor: a modeless window that shows the library's transaction
// journal while it is open, with the register each transfer meant, the
// program action that caused it, filters, pause, CSV export and, on the
// simulated board, a wire capture to a Value Change Dump. It only listens:
// opening it never adds a transfer of its own.

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QWidget>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/bus_journal.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTimer;

namespace mainwindow {

class JournalModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit JournalModel(std::size_t capacity, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Appends a batch, dropping the oldest rows beyond the capacity.
    void append(std::vector<std::pair<vexlink06::TransferRecord, std::string>>& batch);
    void clear();
    const device::JournalEntry& entry(int row) const { return m_journal.entries()[std::size_t(row)]; }
    const device::BusJournal& journal() const { return m_journal; }

private:
    device::BusJournal m_journal;
    std::vector<std::string> m_headers;
};

class JournalFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setFilter(const device::JournalFilter& filter);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    device::JournalFilter m_filter;
};

class FrmBusMonitor : public QWidget {
    Q_OBJECT
public:
    explicit FrmBusMonitor(QWidget* parent = nullptr);
    ~FrmBusMonitor() override;

    // Moves what the journal reported since the last flush into the table
    // (a timer does it every 500 ms; tests call it directly).
    void flush();
    int visibleRows() const;
    JournalModel& model() { return *m_model; }
    // The visible rows as RFC 4180 text with a header row.
    std::string visibleCsv() const;
    // The chip's register writes and the reads that check them, from the
    // whole journal (not only the filtered rows), to `path` (asked for when
    // empty) as JSON, a shell or a Python script by its suffix. False when
    // nothing was written; the user was told why.
    bool exportReplay(QString path = {});
    // Whether the simulated board is loaded, so wires can be captured.
    static bool canCapture();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void applyFilters();
    void togglePause();
    void exportCsv();
    void toggleCapture();
    void endCapture();
    void updateStatus();

    JournalModel* m_model = nullptr;
    JournalFilterModel* m_proxy = nullptr;
    QTableView* m_table = nullptr;
    QLineEdit* m_address = nullptr;
    QLineEdit* m_register = nullptr;
    QCheckBox* m_writesOnly = nullptr;
    QCheckBox* m_errorsOnly = nullptr;
    QPushButton* m_pause = nullptr;
    QPushButton* m_capture = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_flushTimer = nullptr;
    // Filled by the journal observer on any thread; guarded by m_pendingMutex
    // with the pause state and its count.
    std::mutex m_pendingMutex;
    std::vector<std::pair<vexlink06::TransferRecord, std::string>> m_pending;
    bool m_paused = false;
    std::size_t m_missedWhilePaused = 0;
    std::size_t m_missedShown = 0;  // the count the status line shows
    std::unique_ptr<device::JournalObserver> m_observer;
    QString m_capturePath;
    bool m_capturing = false;
};

// Opens the form's one Bus Monitor (creating it on first use) and raises it.
FrmBusMonitor* openBusMonitor(QWidget* mainForm);

}  // namespace mainwindow
