#include "core/state.h"

#include "core/transmissions.h"

namespace corvanta {

SettingsRecord Settings;
FlagWords Flags;

SettingsRecord DefaultSettings() {
  SettingsRecord s;
  s.SpeedSetting = 100;
  s.DotBase = 250;
  s.ToneFrequency = 700;
  s.SendState = 0;
  s.TxCourtesyText = "k";
  s.RxCourtesyText = "t";
  s.Volume = 50;
  return s;
}

void ResetProcessState() {
  Settings = SettingsRecord{};
  Flags = FlagWords{};
  ResetTransmissions();
}

}  // namespace corvanta
