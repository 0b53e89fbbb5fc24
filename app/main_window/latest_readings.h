// The last values the monitoring cycle measured, for data logging and the
// heater panel, and the two text slots the duty and frequency conversions
// of the fan control panel leave their result in.
#pragma once

#include <string>

namespace mainwindow {

struct LatestReadingsRecord {
    float localTemp = 0;    // °C
    float remote1Temp = 0;  // °C
    float remote2Temp = 0;  // °C
    float fan1Rpm = 0;
    float fan2Rpm = 0;
    std::string pwm1Text;  // duty in percent as logged ("0" .. "100")
    std::string pwm2Text;

    // Print_Duty_Cycle leaves the log text of a duty code here.
    std::string dutyText;
    // Get_PWM_Frequency leaves a frequency text here ("11.7" .. "93.5");
    // Set_PWM_Frequency writes the code of the text found here.
    std::string frequencyText;
};

// The process-wide record (user-interface thread only).
LatestReadingsRecord& LatestReadings();

}  // namespace mainwindow
