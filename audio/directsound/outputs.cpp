#include "audio/directsound/outputs.h"

#include <cctype>
#include <chrono>
#include <cstring>

#include "core/errors.h"

namespace corvanta::ds {

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

namespace {

BOOL CALLBACK Collect(LPGUID guid, LPCWSTR description, LPCWSTR /*module*/, LPVOID context) {
  auto* entries = static_cast<std::vector<Entry>*>(context);
  entries->push_back({Utf8(description), GuidText(guid != nullptr ? *guid : GUID_NULL)});
  return TRUE;
}

}  // namespace

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

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace corvanta::ds
