// The program's main window: four tabs (Main, Read/Write, Visual Display,
// Control), the monitoring cycle that feeds the strip chart, limits gauge and
// interrupt indicators, and the fan control panel. Other windows reach the
// loaded instance through mainForm() and call the operations below by the
// names the rest of the program uses for them.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <array>

#include "device/fan_speed_tracker.h"

class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabWidget;
class QTimer;

namespace widgets {
class CaptionedSlider;
class LimitsGauge;
class RibbonToggle;
class StatusShape;
class StripChart;
class ToggleIndicator;
}  // namespace widgets

namespace mainwindow {

class FrmAbout;
class LoggingPanel;
class RegisterPanel;
class SaveRecallPanel;

// Plotting channels of the strip chart and the selectable visual parameters.
enum class VisualParam : int { Local = 0, Remote1 = 1, Fan1 = 2, Remote2 = 3, Fan2 = 4 };

class MainForm : public QWidget {
    Q_OBJECT

public:
    enum Tab : int { TabMain = 0, TabReadWrite = 1, TabVisual = 2, TabControl = 3 };

    // Form_Load: keeps the parallel port claimed and switches the heaters off.
    explicit MainForm(QWidget* parent = nullptr);
    // Runs Form_Unload if the window was not closed before.
    ~MainForm() override;

    // Reads the Device ID into the register link and reshapes the window for
    // the single-channel chip. Called once the wizard has configured the link.
    void Setup_Device_Display();

    // Fan control panel operations (also called by the dialogs and logging).
    void Get_Duty_Cycle();
    void Print_Duty_Cycle();
    void Get_Comm_Pulses();
    void Reset_Mode_Display();
    void Get_Control_Status();
    void Get_PWM_Frequency();
    void Set_PWM_Frequency();
    // `pointer` is the gauge pointer the user moved (2 = low, 3 = high).
    void bargraph_move(int pointer);
    void move_mouse_away();
    void move_mouse_away_readwrite();
    void cmdEnable_Click();
    // Opens (or raises) the fan characterisation window.
    void cmdCharacterise_Click();
    QWidget* characteriseWindow() const { return m_characterise; }
    // Opens (or raises) the automatic-control tuning window.
    void cmdTuneControl_Click();
    QWidget* tuningWindow() const { return m_tuning; }

    // Form_Unload: unloads the dialogs and clears both heater bits. Runs once.
    void unload();

    // For windows that must pause the heater PWM around a modal chooser.
    QTimer* heaterTimer() const { return m_tmrPWM; }

    // Tab switching as a click on the tab control does it.
    void selectTab(int index);
    void visualdisplaytext_Click(int index);
    void Command1_Click();  // "Easy Setup"
    void cmdExpand_Click();
    void Command3_Click();  // "About"

    // One step of the visual-display cycle and one heater PWM tick, exposed
    // so tests can drive them without waiting for the timers.
    void visualTimerTick();
    void heaterTick();

    // The fan (1 or 2) whose duty nibble the duty slider edits.
    int sliderFan() const { return m_sliderFan; }
    int lastModeIndex() const { return m_lastMode; }

    int visualStep() const { return m_visualStep; }
    VisualParam selectedParam() const { return m_selectedParam; }
    bool expandedGraph() const { return m_expanded; }
    bool visualAllowed() const { return m_visualAllowed; }

    struct Heater {
        int duty = 0;
        qint16 onCount = 0;
        qint16 offCount = 0;
    };
    const Heater& heater(int channel) const { return m_heaters.at(channel); }

    RegisterPanel* registerPanel() const { return m_registerPanel; }
    LoggingPanel* loggingPanel() const { return m_loggingPanel; }
    SaveRecallPanel* saveRecallPanel() const { return m_saveRecallPanel; }
    widgets::StripChart* stripChart() const { return m_strip; }
    widgets::LimitsGauge* limitsGauge() const { return m_gauge; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Construction, one per tab (the Visual Display tab in
    // visual_display_tab.cpp, the Control tab in control_tab.cpp).
    void buildMainTab(QWidget* page);
    void buildVisualTab(QWidget* page);
    void buildControlTab(QWidget* page);
    void buildTimers();

    void onTabChanged(int index);
    void enterReadWriteTab();
    void enterVisualTab();
    void enterControlTab();
    // Places the Control tab's panels with or without the heater panel
    // (evaluation board only), so no gap is left where it would be.
    void arrangeControlTab(bool heaterShown);

    // Monitoring (monitoring.cpp).
    float readTemperature(VisualParam channel);
    float readFanSpeed(VisualParam fan);
    void refreshGauge();
    void refreshIndicatorVisibility();
    void refreshIndicatorStates();
    void markUnanswered();
    void showBoardLost();
    // The shared board is away (why, and the cycle's step that went unread,
    // -1 for none), and back: the marks go and what the window shows is read afresh.
    void boardAway(const QString& why, int step);
    void boardBack();
    void writeFrequencyFromCombo(quint8 reg, QComboBox* combo);
    void showChipFrequencies();
    void colourSelectors();
    void setSelectorColour(int index, unsigned bgr);
    void onGaugePointer(int pointer, bool final);
    void runVisualStep(int step);
    // Measures every channel of the chip into LatestReadings as the cycle's
    // steps 0 to 4 do, without plotting (a log row taken off the Visual
    // Display tab). A failed read keeps the values of the last one.
    void refreshLatestReadings();
    void setSliderFan(int fan);
    void setSliderValue(int value);

    // Fan control (fan_control.cpp).
    void lblModes_Click(int index);
    // The duty slider's nibble goes to the chip as it slides (printer port)
    // or once committed.
    void writeDutyFromSlider(int value, bool committed);
    void optTwoWire_Click();
    void optThreeWire_Click();
    // A commutation-pulse choice changes the RPM the tach limit stands for.
    void placeLowPointerAtTachLimit();
    void storeHeaterDuty();
    void showHeaterChannel(int channel);
    void runHeater(int channel);
    void updateHeaterLabels();
    void changeStayHighBits(unsigned andMask, unsigned orMask);

    bool isTfm4411() const;
    bool printerMedium() const;

    // Tabs and shared controls.
    QLabel* m_title = nullptr;       // Label4
    QLabel* m_boardBadge = nullptr;  // shown while a simulated board serves the bus, or the bus is lost
    QTabWidget* m_tabs = nullptr;
    QLabel* m_version = nullptr;
    QPushButton* m_about = nullptr;
    RegisterPanel* m_registerPanel = nullptr;
    LoggingPanel* m_loggingPanel = nullptr;
    SaveRecallPanel* m_saveRecallPanel = nullptr;

    // Visual Display tab; the three panels around the chart give way to it
    // in the expanded layout.
    QWidget* m_selectorPanel = nullptr;
    QWidget* m_gaugePanel = nullptr;
    QWidget* m_sidePanel = nullptr;
    QLabel* m_gaugeTitle = nullptr;
    widgets::StripChart* m_strip = nullptr;
    widgets::LimitsGauge* m_gauge = nullptr;
    QLabel* m_gaugeReading = nullptr;
    std::array<QLabel*, 5> m_selectors{};
    std::array<widgets::ToggleIndicator*, 5> m_indicators{};
    QPushButton* m_expand = nullptr;
    QPushButton* m_easySetup = nullptr;  // Command1
    widgets::CaptionedSlider* m_dutySlider = nullptr;
    QLabel* m_dutyText = nullptr;        // lblDutyCycle1
    QGroupBox* m_statusPanel = nullptr;  // SSPanel23
    QLabel* m_mode1Caption = nullptr;
    QLabel* m_mode2Caption = nullptr;
    QLabel* m_mode1 = nullptr;         // lblModeSelected
    QLabel* m_mode2 = nullptr;         // lblModeSelected2
    QGroupBox* m_comPulses = nullptr;  // panComPulses
    QRadioButton* m_twoPulses = nullptr;
    QRadioButton* m_fourPulses = nullptr;

    // Control tab.
    QGridLayout* m_controlGrid = nullptr;
    std::array<QLabel*, 4> m_modes{};
    QGroupBox* m_fanType = nullptr;  // SSPanel6
    QRadioButton* m_twoWire = nullptr;
    QRadioButton* m_threeWire = nullptr;
    QGroupBox* m_freqPanel = nullptr;  // SSPanel2
    QLabel* m_fan1PwmLabel = nullptr;
    QLabel* m_fan2PwmLabel = nullptr;
    QComboBox* m_freq1 = nullptr;
    QComboBox* m_freq2 = nullptr;
    QGroupBox* m_heaterPanel = nullptr;
    QLabel* m_heaterTitle = nullptr;
    QPushButton* m_enable = nullptr;
    widgets::StatusShape* m_heaterShape = nullptr;
    QRadioButton* m_temp1 = nullptr;
    QRadioButton* m_temp2 = nullptr;
    QSlider* m_heaterSlider = nullptr;  // sldPWM
    QLabel* m_heaterTemp = nullptr;     // Label9
    QLabel* m_heaterDuty = nullptr;     // lblPWM

    // Timers (Timer3 belongs to the register panel, Timer1 to logging).
    QTimer* m_tmrPWM = nullptr;
    QTimer* m_visualTimer = nullptr;
    QTimer* m_fanOutputTimer = nullptr;
    QTimer* m_closeRetry = nullptr;  // retries a close that had to wait

    QPointer<FrmAbout> m_aboutBox;
    QPointer<QWidget> m_characterise;  // the fan characterisation window, while open
    QPointer<QWidget> m_tuning;        // the automatic-control tuning window, while open

    int m_visualStep = 0;
    VisualParam m_selectedParam = VisualParam::Local;
    bool m_visitedReadWrite = false;
    bool m_visitedVisual = false;
    bool m_visualAllowed = false;
    bool m_expanded = false;
    bool m_stickyRemote1 = false;
    bool m_stickyRemote2 = false;
    // The last cycle's Configuration 2 read as no chip gives it.
    bool m_chipSilent = false;
    // The kernel adapter's last failure in the visual cycle ("" while it answers).
    QString m_adapterFailure;
    bool m_unloaded = false;
    bool m_closeWhenReady = false;  // a close waits for the fan measurement's end or a transfer's
    bool m_settingSlider = false;
    int m_sliderFan = 1;
    int m_lastMode = -1;
    int m_hoveredSelector = -1;
    std::array<Heater, 2> m_heaters{};
    // Fan 1 and fan 2: each count converted with the divisor in force for it.
    std::array<device::FanSpeedTracker, 2> m_fanSpeed;
    // True from a gauge pointer's first write of a drag until its release:
    // the whole drag is one undo step, however long it pauses.
    bool m_gaugeDragWritten = false;
    bool m_dutySlideWritten = false;  // the same for the duty slider
};

// The loaded main window, or nullptr before the wizard loaded it.
MainForm* mainForm();

}  // namespace mainwindow
