#include "audio/directsound/directsound_sound.h"

#include <windows.h>

#include <mmsystem.h>
// mmsystem.h before dsound.h: WAVEFORMATEX comes from there.
#include <dsound.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"

namespace corvanta {

namespace {

// Windows' own structures share names with the program's models of them; the models are
// spelled with their namespace below.
using Format = corvanta::WAVEFORMATEX;
using Desc = corvanta::DSBUFFERDESC;

std::string Utf8(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

std::string GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return Utf8(text);
}

// Only the canonical form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" is a GUID here; anything else
// (a name, an empty text) names no device.
bool ParseGuid(const std::string& text, GUID& guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const char c = text[i];
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  std::wstring wide(text.begin(), text.end());
  return SUCCEEDED(::IIDFromString(wide.c_str(), &guid));
}

void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw AudioError(what + ": " + DirectSoundResultText(hr));
}

template <typename T>
struct Released {
  void operator()(T* p) const {
    if (p != nullptr) p->Release();
  }
};
template <typename T>
using ComPtr = std::unique_ptr<T, Released<T>>;

struct Entry {
  std::string description;
  std::string guid;
};

BOOL CALLBACK Collect(LPGUID guid, LPCWSTR description, LPCWSTR /*module*/, LPVOID context) {
  auto* entries = static_cast<std::vector<Entry>*>(context);
  entries->push_back({Utf8(description), GuidText(guid != nullptr ? *guid : GUID_NULL)});
  return TRUE;
}

// The outputs as the system lists them now. With no audio service to ask (under wine: no sound
// server reachable) the system lists nothing and says so with an error: no outputs.
std::vector<Entry> ListOutputs() {
  std::vector<Entry> entries;
  if (FAILED(::DirectSoundEnumerateW(&Collect, &entries))) entries.clear();
  return entries;
}

IDirectSound* OpenOutput(const GUID& id, const std::string& name) {
  IDirectSound* device = nullptr;
  // The null GUID is the primary driver's entry: the system's default output.
  const GUID* which = ::IsEqualGUID(id, GUID_NULL) ? nullptr : &id;
  Check(::DirectSoundCreate(which, &device, nullptr), "Cannot open sound output '" + name + "'");
  return device;
}

// A secondary buffer as the program asks for it, silent: DirectSound leaves a new buffer's
// contents undefined.
IDirectSoundBuffer* MakeBuffer(IDirectSound* device, DWORD flags, DWORD bytes, ::WAVEFORMATEX wave,
                               const std::string& name) {
  ::DSBUFFERDESC ds{};
  ds.dwSize = sizeof ds;
  // The program asks for global focus; the play cursor of a looping buffer is read exactly.
  ds.dwFlags = flags | DSBCAPS_GETCURRENTPOSITION2;
  ds.dwBufferBytes = bytes;
  ds.lpwfxFormat = &wave;
  IDirectSoundBuffer* buffer = nullptr;
  Check(device->CreateSoundBuffer(&ds, &buffer, nullptr),
        "Cannot make a sound buffer on '" + name + "'");
  void* first = nullptr;
  void* second = nullptr;
  DWORD first_bytes = 0;
  DWORD second_bytes = 0;
  if (SUCCEEDED(
          buffer->Lock(0, 0, &first, &first_bytes, &second, &second_bytes, DSBLOCK_ENTIREBUFFER))) {
    std::memset(first, kSilence, first_bytes);
    if (second != nullptr) std::memset(second, kSilence, second_bytes);
    buffer->Unlock(first, first_bytes, second, second_bytes);
  }
  return buffer;
}

// A mixer that has not moved for this long has lost its output: under wine it stops without a
// word when the output goes away, and the output stays listed. (A loaded machine stalls it for
// tens of milliseconds, not this long.)
constexpr ULONGLONG kStallMs = 500;
// The buffer whose play cursor shows the mixer moving. The tone buffer's cannot: its length is a
// whole number of the tone's cycles, often a divisor of the mixer's steps (441 bytes at 1000 Hz),
// so its cursor can come back to the same byte at every step. A prime length never does.
constexpr DWORD kWatchBytes = 4099;

// Every device object opened on the output `guid` lets go of it. DirectSound (wine's at least)
// shares one device among all the objects opened on an output while any of them lives, so a
// dead one would be handed out again to the next opening even after the output is back.
void ForgetOutput(const GUID& guid);

class DsBuffer final : public DirectSoundBuffer {
 public:
  // DirectSound frees every buffer of a device object when that object goes, but the program
  // replaces its device object at every opening and keeps the buffer playing: the buffer holds a
  // reference to its device object, which so lives as long as the buffer.
  //
  // An output that goes away (a USB interface unplugged) takes the device object and its buffers
  // with it for good, and Restore cannot bring them back: the buffer then counts as lost, and
  // its next write opens its output afresh (by its GUID, else by its name) and makes itself a new
  // buffer there, or says the output is still lost.
  DsBuffer(IDirectSound* device, IDirectSoundBuffer* buffer, std::int32_t length, GUID guid,
           std::string name, HWND window, DWORD flags, ::WAVEFORMATEX wave)
      : device_(device),
        buffer_(buffer),
        length_(length),
        guid_(guid),
        name_(std::move(name)),
        window_(window),
        flags_(flags),
        wave_(wave) {
    device_->AddRef();
    Watch();
  }

  void WriteBuffer(std::int32_t start, std::int32_t size, std::span<const std::uint8_t> data,
                   std::int32_t flags) override {
    if (flags != DSBLOCK_ENTIREBUFFER || start != 0 || size != 0) {
      throw AudioError("Only whole-buffer writes are supported");
    }
    if (data.size() != static_cast<std::size_t>(length_)) {
      throw AudioError("Write of " + std::to_string(data.size()) + " bytes into a buffer of " +
                       std::to_string(length_));
    }
    if (!Alive()) Reach();
    void* first = nullptr;
    void* second = nullptr;
    DWORD first_bytes = 0;
    DWORD second_bytes = 0;
    HRESULT hr =
        buffer_->Lock(0, 0, &first, &first_bytes, &second, &second_bytes, DSBLOCK_ENTIREBUFFER);
    if (hr == DSERR_BUFFERLOST && SUCCEEDED(buffer_->Restore())) {
      hr = buffer_->Lock(0, 0, &first, &first_bytes, &second, &second_bytes, DSBLOCK_ENTIREBUFFER);
    }
    if (FAILED(hr)) Lose();
    const std::size_t a = std::min<std::size_t>(first_bytes, data.size());
    std::memcpy(first, data.data(), a);
    const std::size_t b = std::min<std::size_t>(second_bytes, data.size() - a);
    if (second != nullptr && b > 0) std::memcpy(second, data.data() + a, b);
    if (FAILED(buffer_->Unlock(first, first_bytes, second, second_bytes))) Lose();
  }

  void Play(std::int32_t flags) override {
    if (flags != DSBPLAY_LOOPING) throw AudioError("Only looping playback is supported");
    if (lost_) Reach();
    HRESULT hr = buffer_->Play(0, 0, DSBPLAY_LOOPING);
    if (hr == DSERR_BUFFERLOST && SUCCEEDED(buffer_->Restore())) {
      hr = buffer_->Play(0, 0, DSBPLAY_LOOPING);
    }
    if (FAILED(hr)) Lose();
  }

  // A lost buffer has nothing left to stop.
  void Stop() override {
    if (!lost_) Check(buffer_->Stop(), "Cannot stop the sound buffer");
  }

  void SetCurrentPosition(std::int32_t position) override {
    if (position < 0 || position >= length_) {
      throw AudioError("Play position " + std::to_string(position) + " is outside the buffer");
    }
    if (!lost_) {
      Check(buffer_->SetCurrentPosition(static_cast<DWORD>(position)),
            "Cannot set the play position");
    }
  }

  std::int32_t GetStatus() override {
    if (!Alive()) return DSBSTATUS_BUFFERLOST;
    DWORD status = 0;
    buffer_->GetStatus(&status);
    return static_cast<std::int32_t>(status & (DSBSTATUS_PLAYING | DSBSTATUS_LOOPING));
  }

 private:
  // Whether the buffer still reaches its output: its calls succeed and the mixer moves.
  bool Alive() {
    if (lost_) return false;
    DWORD status = 0;
    if (FAILED(buffer_->GetStatus(&status))) return MarkLost();
    if ((status & DSBSTATUS_BUFFERLOST) != 0 && FAILED(buffer_->Restore())) return MarkLost();
    if (!watch_) return true;
    DWORD play = 0;
    DWORD write = 0;
    if (FAILED(watch_->GetCurrentPosition(&play, &write))) return MarkLost();
    const ULONGLONG now = ::GetTickCount64();
    if (play != last_cursor_) {
      last_cursor_ = play;
      last_move_ = now;
      return true;
    }
    return now - last_move_ < kStallMs || MarkLost();
  }
  // Starts the silent watch buffer on the current device; without one (the system refuses a
  // second buffer) only failing calls tell a lost output.
  void Watch() {
    watch_.reset();
    try {
      watch_.reset(MakeBuffer(device_.get(), flags_, kWatchBytes, wave_, name_));
      if (FAILED(watch_->Play(0, 0, DSBPLAY_LOOPING))) watch_.reset();
    } catch (const AudioError&) {
      watch_.reset();
    }
    last_cursor_ = ~DWORD{0};
    last_move_ = ::GetTickCount64();
  }
  bool MarkLost() {
    lost_ = true;
    watch_.reset();
    buffer_.reset();
    device_.reset();
    ForgetOutput(guid_);
    return false;
  }
  [[noreturn]] void Lose() {
    MarkLost();
    throw AudioError("Sound output lost: " + name_);
  }

  // Opens the output again and makes a new buffer on it; the old ones are dropped.
  void Reach() {
    const std::string guid = GuidText(guid_);
    const std::vector<Entry> outputs = ListOutputs();
    const Entry* found = nullptr;
    int named = 0;
    for (const Entry& e : outputs) {
      if (e.guid == guid) found = &e;
    }
    if (found == nullptr) {
      // A replugged interface may come back under a new GUID with its old name.
      for (const Entry& e : outputs) {
        if (e.description == name_ && ++named == 1) found = &e;
      }
      if (named != 1) found = nullptr;
    }
    if (found == nullptr) throw AudioError("Sound output lost: " + name_);
    GUID id{};
    ParseGuid(found->guid, id);
    ComPtr<IDirectSound> device;
    ComPtr<IDirectSoundBuffer> buffer;
    try {
      device.reset(OpenOutput(id, name_));
      Check(device->SetCooperativeLevel(window_ != nullptr ? window_ : ::GetDesktopWindow(),
                                        DSSCL_NORMAL),
            "Cannot use sound output");
      buffer.reset(MakeBuffer(device.get(), flags_, static_cast<DWORD>(length_), wave_, name_));
    } catch (const AudioError&) {
      // Listed but not there yet (under wine a removed output stays listed).
      throw AudioError("Sound output lost: " + name_);
    }
    buffer_ = std::move(buffer);
    device_ = std::move(device);
    guid_ = id;
    Watch();
    // Under wine an output that went away stays listed and opens; only a mixer that moves shows
    // it is back. Its steps are 10 ms apart.
    for (int waited = 0; watch_ && waited < 200; waited += 5) {
      DWORD play = 0;
      DWORD write = 0;
      if (FAILED(watch_->GetCurrentPosition(&play, &write))) break;
      if (last_cursor_ != ~DWORD{0} && play != last_cursor_) {
        last_move_ = ::GetTickCount64();
        lost_ = false;
        return;
      }
      last_cursor_ = play;
      ::Sleep(5);
    }
    if (watch_) Lose();
    lost_ = false;  // no watch: only failing calls can tell
  }

  ComPtr<IDirectSound> device_;  // declared first: released after the buffer
  ComPtr<IDirectSoundBuffer> buffer_;
  ComPtr<IDirectSoundBuffer> watch_;
  std::int32_t length_;
  GUID guid_;
  std::string name_;
  HWND window_;
  DWORD flags_;
  ::WAVEFORMATEX wave_;
  bool lost_ = false;
  DWORD last_cursor_ = ~DWORD{0};
  ULONGLONG last_move_ = 0;
};

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
    IDirectSound* device = Device();
    IDirectSoundBuffer* buffer =
        MakeBuffer(device, flags, static_cast<DWORD>(desc.lBufferBytes), wave, name_);
    return std::make_unique<DsBuffer>(device, buffer, desc.lBufferBytes, guid_, name_, window_,
                                      flags, wave);
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

void ForgetOutput(const GUID& guid) {
  for (DsDevice* d : DsDevice::Live()) {
    if (::IsEqualGUID(d->guid(), guid)) d->Forget();
  }
}

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
