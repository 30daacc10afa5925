#include "settings/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "core/errors.h"
#include "tests/fakes/test_world.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::TestWorld;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Hex(const std::string& bytes) {
  std::ostringstream out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out << std::hex << (c < 16 ? "0" : "") << int{c} << " ";
  }
  return out.str();
}

SettingsRecord ExampleRecord() {
  SettingsRecord s;
  s.DeviceIndex = "2";
  s.DeviceName = "Sound card output";
  s.SpeedSetting = 100;
  s.DotBase = 250;
  s.ToneFrequency = 700;
  s.SendState = 0;
  s.TxCourtesyText = "k";
  s.RxCourtesyText = "t";
  s.Volume = 50;
  return s;
}

const std::string kExampleFile =
    "2\r\nSound card output\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n";

struct SettingsFile : ::testing::Test {
  SettingsFile() { SetSettingsPath(dir.path / "corvanta.cfg"); }
  fs::path Path() const { return dir.path / "corvanta.cfg"; }
  TempDir dir;
  TestWorld world;
};

TEST(SettingsBytes, ExampleFileByteForByte) {
  EXPECT_EQ(Hex(SettingsFileBytes(ExampleRecord())), Hex(kExampleFile));
  // All values at their initial state: the 33-byte file.
  const std::string initial = SettingsFileBytes(SettingsRecord{});
  EXPECT_EQ(initial.size(), 33u);
  EXPECT_EQ(initial, "\r\n\r\n 0 \r\n 0 \r\n 0 \r\n 0 \r\n\r\n\r\n 0 \r\n");
  SettingsRecord negative;
  negative.SpeedSetting = -5;
  negative.DotBase = -32768;
  negative.Volume = 32767;
  EXPECT_EQ(SettingsFileBytes(negative),
            "\r\n\r\n-5 \r\n-32768 \r\n 0 \r\n 0 \r\n\r\n\r\n 32767 \r\n");
}

TEST(SettingsBytes, LineBreaksInTextsCannotShiftTheLinesAfterThem) {
  SettingsRecord s = ExampleRecord();
  s.DeviceName = "Sound\r\ncard";
  s.TxCourtesyText = "k\n";
  s.RxCourtesyText = "\rt";
  EXPECT_EQ(SettingsFileBytes(s),
            "2\r\nSoundcard\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n");
}

TEST(NumberOf, ReadsTheNumberAtTheStart) {
  const std::pair<const char*, int> cases[] = {
      {"700", 700},
      {"12abc", 12},
      {"abc", 0},
      {"2.5", 2},
      {"3.5", 4},
      {"-2.5", -2},
      {"-3.5", -4},
      {"2.5000001", 3},
      {"-5", -5},
      {"+8", 8},
      {"- 5", -5},
      {"1 2", 12},
      {"\t7\n0", 70},
      {".5", 0},
      {".51", 1},
      {"5.", 5},
      {"1.5.5", 2},
      {"1e3", 1},
      {"", 0},
      {"-", 0},
      {".", 0},
      {"+-5", 0},
      {"&H10", 0},
      {"32767", 32767},
      {"32767.5", 32767},
      {"40000", 32767},
      {"-32768", -32768},
      {"-99999", -32768},
      {"0000000000012", 12},
      {"123456789012345678901234567890", 32767},
      {"0.00000000000000000000000000000000000000000000000000000000000000000000000000000000"
       "000000000000000000000000000000000000000000000000000000000000000000000000000000000"
       "000000000000000000000000000000000000000000000000000000000000000000000000000000000"
       "000000000000000000000000000000000000000000000000000000000000000000000000000000001",
       0},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(NumberOf(text), value) << "'" << text << "'";
}

TEST(TrimSpaces, OnlySpaces) {
  EXPECT_EQ(TrimSpaces("  k  "), "k");
  EXPECT_EQ(TrimSpaces("\tk\t"), "\tk\t");
  EXPECT_EQ(TrimSpaces("    "), "");
}

TEST_F(SettingsFile, SaveThenLoadGivesTheSameValues) {
  Settings = ExampleRecord();
  Settings.SendState = 2;
  Settings.TxCourtesyText = "\xC3\xA9";  // UTF-8 kept byte for byte
  SaveSettings();
  const std::string bytes = ReadAll(Path());
  Settings = SettingsRecord{};
  EXPECT_TRUE(LoadSettings().empty());
  EXPECT_EQ(Settings.DeviceIndex, "2");
  EXPECT_EQ(Settings.DeviceName, "Sound card output");
  EXPECT_EQ(Settings.SpeedSetting, 100);
  EXPECT_EQ(Settings.DotBase, 250);
  EXPECT_EQ(Settings.ToneFrequency, 700);
  EXPECT_EQ(Settings.SendState, 2);
  EXPECT_EQ(Settings.TxCourtesyText, "\xC3\xA9");
  EXPECT_EQ(Settings.RxCourtesyText, "t");
  EXPECT_EQ(Settings.Volume, 50);
  SaveSettings();
  EXPECT_EQ(ReadAll(Path()), bytes);
}

TEST_F(SettingsFile, LoadPushesValuesIntoTheControlsInOrder) {
  WriteAll(Path(), kExampleFile);
  LoadSettings();
  EXPECT_EQ(world.window.log,
            (std::vector<std::string>{"cmboDevice=Sound card output", "HScroll2=50",
                                      "lblVolumeValue=50%", "sldFreq=700", "textFreq=700 hz",
                                      "sldSpeed=100", "TextSpeed=20 WPM", "TextSpeed= 20 WPM",
                                      "textFreq= 700 hz", "txtTX=k", "txtRX=t", "refresh"}));
  EXPECT_EQ(world.window.status, "Status");  // nothing repaired
}

TEST_F(SettingsFile, StoredVolumeEqualToTheSliderLeavesItsLabelEmpty) {
  SettingsRecord s = ExampleRecord();
  s.Volume = 0;
  WriteAll(Path(), SettingsFileBytes(s));
  LoadSettings();
  EXPECT_EQ(world.window.LabelText(ValueLabel::lblVolumeValue), "");
  EXPECT_EQ(Settings.Volume, 0);
}

TEST_F(SettingsFile, SurroundingSpacesAreTrimmedExceptOnTheDeviceIndex) {
  WriteAll(Path(),
           " 2 \r\n  Sound card output  \r\n100\r\n  250\r\n700   \r\n0\r\n k \r\nt \r\n50\r\n");
  LoadSettings();
  EXPECT_EQ(Settings.DeviceIndex, " 2 ");
  EXPECT_EQ(Settings.DeviceName, "Sound card output");
  EXPECT_EQ(Settings.SpeedSetting, 100);
  EXPECT_EQ(Settings.DotBase, 250);
  EXPECT_EQ(Settings.ToneFrequency, 700);
  EXPECT_EQ(Settings.TxCourtesyText, "k");
  EXPECT_EQ(Settings.RxCourtesyText, "t");
}

TEST_F(SettingsFile, LineEndsAtCrOrCrLfButNotAtALoneLf) {
  // A lone LF stays in its line but is dropped from the text, which could not be saved with it:
  // found by fuzzing, where "\n 0 " loaded as "\n 0", saved as " 0" and came back as "0".
  WriteAll(Path(), "1\n\rDev\nice\r\n100\r250\r\n700\r0\rk\r\n 0 \r50");
  LoadSettings();
  EXPECT_EQ(Settings.DeviceIndex, "1");
  EXPECT_EQ(Settings.DeviceName, "Device");
  EXPECT_EQ(Settings.RxCourtesyText, "0");
  const SettingsRecord loaded = Settings;
  SaveSettings();
  LoadSettings();
  EXPECT_EQ(SettingsFileBytes(Settings), SettingsFileBytes(loaded));
  EXPECT_EQ(Settings.DotBase, 250);
  EXPECT_EQ(Settings.Volume, 50);  // the last line needs no line end
  EXPECT_EQ(world.window.status, "Status");
}

TEST_F(SettingsFile, MissingFileWritesTheFirstStartValues) {
  EXPECT_TRUE(LoadSettings().empty());
  EXPECT_EQ(ReadAll(Path()), "\r\n\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n");
  EXPECT_EQ(world.window.SliderValue(Slider::sldFreq), 700);
  EXPECT_EQ(world.window.LabelText(ValueLabel::TextSpeed), " 20 WPM");
  EXPECT_EQ(world.window.LabelText(ValueLabel::textFreq), " 700 hz");
  EXPECT_EQ(world.window.LabelText(ValueLabel::lblVolumeValue), "50%");
  EXPECT_EQ(world.window.TextBoxText(TextBox::txtTX), "k");
  EXPECT_EQ(world.window.TextBoxText(TextBox::txtRX), "t");
}

TEST_F(SettingsFile, ValuesOutsideTheControlsAreRepairedAndReported) {
  struct Case {
    std::string speed, dot_base, freq, volume;
    std::int16_t want_speed, want_dot_base, want_freq, want_volume;
    const char* note;
  };
  const Case cases[] = {
      {"250", "250", "700", "50", 200, 250, 700, 50, "SpeedSetting 250 -> 200"},
      {"-5", "250", "700", "50", 0, 250, 700, 50, "SpeedSetting -5 -> 0"},
      {"100", "0", "700", "50", 100, 250, 700, 50, "DotBase 0 -> 250"},
      {"100", "200", "700", "50", 100, 250, 700, 50, "DotBase 200 -> 250"},
      {"100", "4682", "700", "50", 100, 250, 700, 50, "DotBase 4682 -> 250"},
      {"100", "99999", "0", "50", 100, 250, 300, 50,
       "DotBase 32767 -> 250; ToneFrequency 0 -> 300"},
      {"100", "250", "5000", "50", 100, 250, 1800, 50, "ToneFrequency 5000 -> 1800"},
      {"100", "250", "700", "150", 100, 250, 700, 100, "Volume 150 -> 100"},
      {"100", "201", "700", "-1", 100, 201, 700, 0, "Volume -1 -> 0"},
      {"100", "4681", "700", "0", 100, 4681, 700, 0, nullptr},
  };
  for (const Case& c : cases) {
    TestWorld fresh;
    WriteAll(Path(), "1\r\nX\r\n" + c.speed + "\r\n" + c.dot_base + "\r\n" + c.freq +
                         "\r\n0\r\nk\r\nt\r\n" + c.volume + "\r\n");
    const auto notes = LoadSettings();
    EXPECT_EQ(Settings.SpeedSetting, c.want_speed) << c.speed;
    EXPECT_EQ(Settings.DotBase, c.want_dot_base) << c.dot_base;
    EXPECT_EQ(Settings.ToneFrequency, c.want_freq) << c.freq;
    EXPECT_EQ(Settings.Volume, c.want_volume) << c.volume;
    EXPECT_EQ(fresh.window.SliderValue(Slider::sldSpeed), c.want_speed);
    EXPECT_EQ(fresh.window.SliderValue(Slider::sldFreq), c.want_freq);
    EXPECT_EQ(fresh.window.SliderValue(Slider::HScroll2), c.want_volume);
    EXPECT_EQ(fresh.window.status, c.note ? c.note : "Status");
  }
}

TEST_F(SettingsFile, ShortBinaryHugeOrUnreadableFilesLeaveUsableValues) {
  std::string binary;
  for (int i = 0; i < 3000; ++i) binary.push_back(static_cast<char>((i * 7919) % 256));
  const std::pair<std::string, const char*> files[] = {
      {"", "Settings file has 0 of 9 lines"},
      {"3\r\nCard\r\n 50 \r\n", "Settings file has 3 of 9 lines"},
      {binary, nullptr},
      {std::string(1 << 20, 'x'), "too large"},
      {std::string(5000, '7') + "\r\nCard\r\n", "over-long line"},
  };
  for (const auto& [bytes, note] : files) {
    TestWorld fresh;
    WriteAll(Path(), bytes);
    const auto notes = LoadSettings();
    EXPECT_GE(Settings.SpeedSetting, 0);
    EXPECT_LE(Settings.SpeedSetting, 200);
    EXPECT_GE(Settings.DotBase, 201);
    EXPECT_LE(Settings.DotBase, 4681);
    EXPECT_GE(Settings.ToneFrequency, 300);
    EXPECT_LE(Settings.ToneFrequency, 1800);
    EXPECT_GE(Settings.Volume, 0);
    EXPECT_LE(Settings.Volume, 100);
    EXPECT_LE(Settings.DeviceIndex.size(), 4096u);
    if (note != nullptr) {
      EXPECT_NE(fresh.window.status.find(note), std::string::npos) << fresh.window.status;
    }
  }
  // The short file keeps what it has and the first-start values for the rest.
  TestWorld fresh;
  WriteAll(Path(), "3\r\nCard\r\n 50 \r\n");
  LoadSettings();
  EXPECT_EQ(Settings.DeviceIndex, "3");
  EXPECT_EQ(Settings.SpeedSetting, 50);
  EXPECT_EQ(Settings.DotBase, 250);
  EXPECT_EQ(Settings.TxCourtesyText, "k");
  EXPECT_EQ(ReadAll(Path()), "3\r\nCard\r\n 50 \r\n");  // not rewritten by loading
}

TEST_F(SettingsFile, AFolderInPlaceOfTheFileIsReportedAndDefaultsUsed) {
  fs::create_directory(Path());
  LoadSettings();
  EXPECT_EQ(Settings.DotBase, 250);
  EXPECT_NE(world.window.status.find("Cannot read settings file"), std::string::npos);
  EXPECT_THROW(SaveSettings(), SettingsError);
  EXPECT_TRUE(fs::is_directory(Path()));
}

TEST_F(SettingsFile, InterruptedSaveLeavesThePreviousFileIntact) {
  WriteAll(Path(), kExampleFile);
  const ChunkWriter half_then_fail = [](std::ostream& out, std::string_view bytes) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    return false;  // the disk filled up
  };
  EXPECT_THROW(WriteFileAtomically(Path(), SettingsFileBytes(DefaultSettings()), half_then_fail),
               SettingsError);
  EXPECT_EQ(ReadAll(Path()), kExampleFile);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(SettingsPath, BesideTheProgramWhenWritableElseTheUsersConfigFolder) {
  TempDir dir;
  EXPECT_EQ(ResolveSettingsPath(dir.path, "/xdg", "/home/op"), dir.path / "corvanta.cfg");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 0);
  const fs::path gone = dir.path / "no" / "such" / "folder";
  EXPECT_EQ(ResolveSettingsPath(gone, "/xdg", "/home/op"), "/xdg/corvanta/corvanta.cfg");
  EXPECT_EQ(ResolveSettingsPath(gone, "relative", "/home/op"),
            "/home/op/.config/corvanta/corvanta.cfg");
  EXPECT_EQ(ResolveSettingsPath(gone, nullptr, "/home/op"),
            "/home/op/.config/corvanta/corvanta.cfg");
  EXPECT_EQ(ResolveSettingsPath(gone, "", "/home/op"), "/home/op/.config/corvanta/corvanta.cfg");
}

TEST(SettingsPath, SaveCreatesTheConfigFolder) {
  TestWorld world;
  TempDir dir;
  SetSettingsPath(dir.path / "corvanta" / "corvanta.cfg");
  Settings = ExampleRecord();
  SaveSettings();
  EXPECT_EQ(ReadAll(dir.path / "corvanta" / "corvanta.cfg"), kExampleFile);
}

TEST(FileExistsTest, FilesAndFoldersExistMissingOnesDoNot) {
  TempDir dir;
  WriteAll(dir.path / "f", "x");
  EXPECT_TRUE(FileExists(dir.path / "f"));
  EXPECT_TRUE(FileExists(dir.path));
  EXPECT_FALSE(FileExists(dir.path / "missing"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(dir.path / "f" / "below-a-file"));
}

}  // namespace
}  // namespace corvanta
