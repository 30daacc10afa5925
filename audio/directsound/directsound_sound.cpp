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

class DsBuffer final : public DirectSoundBuffer {
 public:
  // DirectSound frees every buffer of a device object when that object goes, but the program
  // replaces its device object at every opening and keeps the buffer playing: the buffer holds a
  // reference to its device object, which so lives as long as the buffer.
  DsBuffer(IDirectSound* device, IDirectSoundBuffer* buffer, std::int32_t length, std::string name)
      : device_(device), buffer_(buffer), length_(length), name_(std::move(name)) {
    device_->AddRef();
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
    void* first = nullptr;
    void* second = nullptr;
    DWORD first_bytes = 0;
    DWORD second_bytes = 0;
    HRESULT hr =
        buffer_->Lock(0, 0, &first, &first_bytes, &second, &second_bytes, DSBLOCK_ENTIREBUFFER);
    if (hr == DSERR_BUFFERLOST) {
      // The output went away and may be back: a restored buffer takes the write.
      if (FAILED(buffer_->Restore())) throw AudioError("Sound output lost: " + name_);
      hr = buffer_->Lock(0, 0, &first, &first_bytes, &second, &second_bytes, DSBLOCK_ENTIREBUFFER);
    }
    Check(hr, "Cannot write the sound buffer");
    const std::size_t a = std::min<std::size_t>(first_bytes, data.size());
    std::memcpy(first, data.data(), a);
    const std::size_t b = std::min<std::size_t>(second_bytes, data.size() - a);
    if (second != nullptr && b > 0) std::memcpy(second, data.data() + a, b);
    Check(buffer_->Unlock(first, first_bytes, second, second_bytes),
          "Cannot write the sound buffer");
  }

  void Play(std::int32_t flags) override {
    if (flags != DSBPLAY_LOOPING) throw AudioError("Only looping playback is supported");
    HRESULT hr = buffer_->Play(0, 0, DSBPLAY_LOOPING);
    if (hr == DSERR_BUFFERLOST) {
      if (FAILED(buffer_->Restore())) throw AudioError("Sound output lost: " + name_);
      hr = buffer_->Play(0, 0, DSBPLAY_LOOPING);
    }
    Check(hr, "Cannot play the sound buffer");
  }

  void Stop() override { Check(buffer_->Stop(), "Cannot stop the sound buffer"); }

  void SetCurrentPosition(std::int32_t position) override {
    if (position < 0 || position >= length_) {
      throw AudioError("Play position " + std::to_string(position) + " is outside the buffer");
    }
    Check(buffer_->SetCurrentPosition(static_cast<DWORD>(position)),
          "Cannot set the play position");
  }

  std::int32_t GetStatus() override {
    DWORD status = 0;
    if (FAILED(buffer_->GetStatus(&status))) return DSBSTATUS_BUFFERLOST;
    return static_cast<std::int32_t>(
        status & (DSBSTATUS_PLAYING | DSBSTATUS_BUFFERLOST | DSBSTATUS_LOOPING));
  }

 private:
  ComPtr<IDirectSound> device_;  // declared first: released after the buffer
  ComPtr<IDirectSoundBuffer> buffer_;
  std::int32_t length_;
  std::string name_;
};

class DsDevice final : public DirectSound {
 public:
  DsDevice(IDirectSound* device, std::string name) : device_(device), name_(std::move(name)) {}

  void SetCooperativeLevel(std::intptr_t window, std::int32_t level) override {
    if (level != DSSCL_NORMAL) throw AudioError("Unsupported cooperative level");
    // A program without a window of its own (a tool, a test) lends the desktop's.
    HWND hwnd = window != 0 ? reinterpret_cast<HWND>(window) : ::GetDesktopWindow();
    Check(device_->SetCooperativeLevel(hwnd, DSSCL_NORMAL),
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
    ::DSBUFFERDESC ds{};
    ds.dwSize = sizeof ds;
    // The program asks for global focus; the play cursor of a looping buffer is read exactly.
    ds.dwFlags = static_cast<DWORD>(desc.lFlags) | DSBCAPS_GETCURRENTPOSITION2;
    ds.dwBufferBytes = static_cast<DWORD>(desc.lBufferBytes);
    ds.lpwfxFormat = &wave;
    IDirectSoundBuffer* buffer = nullptr;
    Check(device_->CreateSoundBuffer(&ds, &buffer, nullptr),
          "Cannot make a sound buffer on '" + name_ + "'");
    auto made = std::make_unique<DsBuffer>(device_.get(), buffer, desc.lBufferBytes, name_);
    // DirectSound leaves a new buffer's contents undefined: silence until the first write.
    made->WriteBuffer(
        0, 0, std::vector<std::uint8_t>(static_cast<std::size_t>(desc.lBufferBytes), kSilence),
        DSBLOCK_ENTIREBUFFER);
    return made;
  }

 private:
  ComPtr<IDirectSound> device_;
  std::string name_;
};

struct Entry {
  std::string description;
  std::string guid;
};

BOOL CALLBACK Collect(LPGUID guid, LPCWSTR description, LPCWSTR /*module*/, LPVOID context) {
  auto* entries = static_cast<std::vector<Entry>*>(context);
  entries->push_back({Utf8(description), GuidText(guid != nullptr ? *guid : GUID_NULL)});
  return TRUE;
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
    std::vector<Entry> entries;
    if (FAILED(::DirectSoundEnumerateW(&Collect, &entries))) entries.clear();
    last_ = std::make_shared<DsEnum>(std::move(entries));
    return last_;
  }

  std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) override {
    GUID id{};
    if (!ParseGuid(guid, id)) throw AudioError("Sound output '" + guid + "' is not present");
    const std::string name = last_ ? last_->NameOf(guid) : guid;
    IDirectSound* device = nullptr;
    // The null GUID is the primary driver's entry: the system's default output.
    const GUID* which = ::IsEqualGUID(id, GUID_NULL) ? nullptr : &id;
    Check(::DirectSoundCreate(which, &device, nullptr), "Cannot open sound output '" + name + "'");
    return std::make_unique<DsDevice>(device, name);
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
