#include "audio/directsound/directsound_sound.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "audio/directsound/outputs.h"
#include "audio/directsound/stream.h"
#include "core/errors.h"

namespace corvanta {

namespace {

using namespace ds;
// Windows' own structures share names with the program's models of them; the models are
// spelled with their namespace below.
using Format = corvanta::WAVEFORMATEX;
using Desc = corvanta::DSBUFFERDESC;

class DsDevice final : public DirectSound {
 public:
  DsDevice(IDirectSound* device, const GUID& guid, std::string name)
      : device_(device), guid_(guid), name_(std::move(name)) {
    Live().push_back(this);
  }
  ~DsDevice() override { std::erase(Live(), this); }
  DsDevice(const DsDevice&) = delete;
  DsDevice& operator=(const DsDevice&) = delete;

  void SetCooperativeLevel(std::intptr_t window, std::int32_t level) override {
    if (level != DSSCL_NORMAL) throw AudioError("Unsupported cooperative level");
    // A program without a window of its own (a tool, a test) lends the desktop's.
    window_ = window != 0 ? reinterpret_cast<HWND>(window) : ::GetDesktopWindow();
    Check(Device()->SetCooperativeLevel(window_, DSSCL_NORMAL),
          "Cannot use sound output '" + name_ + "'");
  }

  std::unique_ptr<DirectSoundBuffer> CreateSoundBuffer(const Desc& desc,
                                                       const Format& format) override {
    if (!(format == kToneFormat)) {
      throw AudioError("Only 8-bit mono PCM at " + std::to_string(kSampleRate) + "/s is supported");
    }
    if (desc.lBufferBytes <= 0) throw AudioError("Invalid buffer length");
    ::WAVEFORMATEX wave{};
    wave.wFormatTag = format.nFormatTag;
    wave.nChannels = format.nChannels;
    wave.nSamplesPerSec = static_cast<DWORD>(format.lSamplesPerSec);
    wave.nAvgBytesPerSec = static_cast<DWORD>(format.lAvgBytesPerSec);
    wave.nBlockAlign = format.nBlockAlign;
    wave.wBitsPerSample = format.nBitsPerSample;
    wave.cbSize = 0;
    const auto flags = static_cast<DWORD>(desc.lFlags);
    return MakeToneStream(Device(), desc.lBufferBytes, guid_, name_, window_, flags, wave);
  }

  static std::vector<DsDevice*>& Live() {
    static std::vector<DsDevice*> live;
    return live;
  }
  const GUID& guid() const { return guid_; }
  void Forget() { device_.reset(); }

 private:
  // The device object, opened again once a lost output was forgotten.
  IDirectSound* Device() {
    if (!device_) {
      device_.reset(OpenOutput(guid_, name_));
      if (window_ != nullptr) {
        Check(device_->SetCooperativeLevel(window_, DSSCL_NORMAL),
              "Cannot use sound output '" + name_ + "'");
      }
    }
    return device_.get();
  }

  ComPtr<IDirectSound> device_;
  GUID guid_;
  std::string name_;
  HWND window_ = nullptr;
};

}  // namespace

void ds::ForgetOutput(const GUID& guid) {
  for (DsDevice* d : DsDevice::Live()) {
    if (::IsEqualGUID(d->guid(), guid)) d->Forget();
  }
}

namespace {

class DsEnum final : public DirectSoundEnum {
 public:
  explicit DsEnum(std::vector<Entry> entries) : entries_(std::move(entries)) {}

  std::int32_t GetCount() override { return static_cast<std::int32_t>(entries_.size()); }
  std::string GetDescription(std::int32_t index) override { return At(index).description; }
  std::string GetGuid(std::int32_t index) override { return At(index).guid; }

  // The description the list gave the device with this GUID text, or the text itself.
  std::string NameOf(const std::string& guid) const {
    for (const Entry& e : entries_) {
      if (e.guid == guid) return e.description;
    }
    return guid;
  }

 private:
  const Entry& At(std::int32_t index) const {
    if (index < 1 || static_cast<std::size_t>(index) > entries_.size()) {
      throw AudioError("There is no sound output " + std::to_string(index));
    }
    return entries_[static_cast<std::size_t>(index - 1)];
  }
  std::vector<Entry> entries_;
};

class DsRoot final : public DirectX7 {
 public:
  // With no audio service to ask (under wine: no sound server reachable), the system lists
  // nothing and says so with an error: that is a list without outputs, as the program tells the
  // operator, not a failure of the program.
  std::shared_ptr<DirectSoundEnum> GetDSEnum() override {
    last_ = std::make_shared<DsEnum>(ListOutputs());
    return last_;
  }

  // A stream that cannot start now is left as it is: the next write tries again and reports.
  void WakeIdleStreams() override { WakeToneStreams(); }

  std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) override {
    GUID id{};
    if (!ParseGuid(guid, id)) throw AudioError("Sound output '" + guid + "' is not present");
    const std::string name = last_ ? last_->NameOf(guid) : guid;
    return std::make_unique<DsDevice>(OpenOutput(id, name), id, name);
  }

 private:
  std::shared_ptr<DsEnum> last_;
};

}  // namespace

DirectSoundStats& Stats() {
  static DirectSoundStats stats;
  return stats;
}

std::unique_ptr<DirectX7> DirectSoundBackend::CreateDirectX7() {
  return std::make_unique<DsRoot>();
}

std::string DirectSoundResultText(long hr) {
  struct Name {
    HRESULT hr;
    const char* text;
  };
  static constexpr Name kNames[] = {
      {DSERR_ALLOCATED, "DSERR_ALLOCATED"},
      {DSERR_BADFORMAT, "DSERR_BADFORMAT"},
      {DSERR_BUFFERLOST, "DSERR_BUFFERLOST"},
      {DSERR_INVALIDCALL, "DSERR_INVALIDCALL"},
      {DSERR_INVALIDPARAM, "DSERR_INVALIDPARAM"},
      {DSERR_NODRIVER, "DSERR_NODRIVER"},
      {DSERR_NOAGGREGATION, "DSERR_NOAGGREGATION"},
      {DSERR_OUTOFMEMORY, "DSERR_OUTOFMEMORY"},
      {DSERR_PRIOLEVELNEEDED, "DSERR_PRIOLEVELNEEDED"},
      {DSERR_UNINITIALIZED, "DSERR_UNINITIALIZED"},
      {DSERR_UNSUPPORTED, "DSERR_UNSUPPORTED"},
      {DSERR_GENERIC, "DSERR_GENERIC"},
  };
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  for (const Name& n : kNames) {
    if (n.hr == static_cast<HRESULT>(hr)) return std::string(n.text) + " (" + code + ")";
  }
  return std::string("error ") + code;
}

}  // namespace corvanta
