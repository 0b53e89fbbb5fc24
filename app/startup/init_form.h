// The search wizard: the user picks how the PC reaches the chip, the wizard
// probes every candidate port and address, lists what answered, and Finish
// configures the library and the register link and hands over to the main
// window.
#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "startup/kernel_adapter_search.h"

class QCheckBox;
class QFrame;
class QLabel;

namespace Ui {
class InitForm;
}

namespace mainwindow {
class MainForm;
}

namespace startup {

inline constexpr const char* kChipName = "TFM4410";
// Progress of the searching bar per medium searched.
inline constexpr int kProgressPerMedium = 33;

struct PrinterResult {
    std::uint8_t portIndex = 0;
    std::int16_t dataInverted = 0;  // the setting that worked, as the library reads it back
    std::uint8_t address = 0;       // 8-bit form
};

// Entry texts of the result list. Finish does not parse them; they keep the
// form users and their notes know.
QString printerEntryText(std::uint8_t address, std::int32_t portBase, int entryNumber);
QString smbusEntryText(std::uint8_t address7);
// The panel-2 text for a chipset report, or an empty string when the report
// leaves the designed text in place.
struct ChipsetReport {
    QString text;
    std::uint32_t colour = 0;  // 0xBBGGRR
    bool smbusEnabled = true;
    bool smbusChecked = false;
};
std::optional<ChipsetReport> chipsetReport(const std::string& info);

class InitForm : public QWidget {
    Q_OBJECT
public:
    // Form_Load: holds the board's upper data lines high, queries the chipset
    // controller for panel 2 and shows the first panel.
    explicit InitForm(QWidget* parent = nullptr);
    ~InitForm() override;

    int currentStep() const { return m_step; }
    bool finished() const { return m_finished; }
    double printerPortBase() const { return m_printerPortBase; }
    mainwindow::MainForm* loadedMainForm() const;
    const std::vector<PrinterResult>& printerResults() const { return m_printerResults; }
    const std::vector<std::uint8_t>& smbusResults() const { return m_smbusResults; }
    const std::vector<KernelResult>& kernelResults() const { return m_kernelResults; }
    const std::vector<std::uint8_t>& listAddresses() const { return m_listAddresses; }

    void NextCMD_Click();
    void BackCMD_Click();
    void FinishCMD_Click();
    void CancelCMD_Click();

signals:
    // Emitted once, when the first panel has been painted.
    void firstPanelShown();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    // Enter presses the enabled forward button (Next, or Finish once an
    // entry is selected); Escape presses Cancel.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Form_Load();
    void fillCaptions();
    void showChipsetReport();
    void dispatchStep();
    void showPanel(int step);
    void runSearch();
    void loadMainForm();
    void unloadMainForm();
    void searchPrinterPort();
    void searchSMBus();
    void searchUSB();
    void addPortProblemLabel();
    void showPortProblems();
    // The kernel-adapter medium: its choice on panel 2 and its search.
    void addKernelAdapterChoice();
    void addSimulatedBoardNote();
    void searchKernelAdapterMedium();
    void advanceProgress(int amount);
    void fillResultList();
    void clearResults();
    void focusAfterSearch();

    std::unique_ptr<Ui::InitForm> ui;
    std::array<QFrame*, 4> m_panels{};
    int m_step = 1;
    bool m_goingForward = true;
    std::vector<PrinterResult> m_printerResults;
    std::vector<std::uint8_t> m_smbusResults;
    QCheckBox* m_i2cCheck = nullptr;  // "I2CCheck", beside the designed media
    QLabel* m_i2cDesc = nullptr;      // "I2CSearchDescLBL"
    std::vector<int> m_i2cBuses;
    std::vector<KernelResult> m_kernelResults;
    std::vector<std::uint8_t> m_listAddresses;
    QPointer<mainwindow::MainForm> m_mainForm;
    bool m_finished = false;
    bool m_closing = false;
    bool m_painted = false;
    double m_printerPortBase = 0;
    // Why a printer port could not answer (held by another program, lines
    // held low), shown below the result texts.
    QStringList m_portProblems;
    QLabel* m_portProblemLbl = nullptr;
};

}  // namespace startup
