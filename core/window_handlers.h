#pragma once
// The change handlers of the sliders and the two character boxes. They keep the settings in step
// with the controls and write the value labels. The Qt window calls them from its signals and the
// test fake from its setters, so both behave the same.
#include <string>

namespace corvanta {

// Label texts. The handlers write them without a leading space; loading the settings writes the
// speed and frequency labels with one leading space where a sign would go.
std::string SpeedLabelText(int position, bool sign_space);
std::string FreqLabelText(int position, bool sign_space);
std::string VolumeLabelText(int position);

void sldSpeed_Change(int position);
void sldFreq_Change(int position);
void HScroll2_Change(int position);
void txtRX_Change(const std::string& text);
void txtTX_Change(const std::string& text);

}  // namespace corvanta
