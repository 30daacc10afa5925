#include "link/socket/wire.h"

#include <charconv>
#include <cstdio>
#include <filesystem>

namespace corvanta::wire {

std::vector<std::string> LineReader::Feed(std::string_view bytes) {
  std::vector<std::string> lines;
  while (!bytes.empty()) {
    const std::size_t lf = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, lf);
    if (!skipping_) {
      if (partial_.size() + piece.size() > kMaxLine + 1) {
        // One byte of slack for a CR that may still be dropped.
        skipping_ = true;
        partial_.clear();
      } else {
        partial_.append(piece);
      }
    }
    if (lf == std::string_view::npos) break;
    if (skipping_) {
      skipping_ = false;
      ++discarded_;
    } else {
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      if (partial_.size() <= kMaxLine) {
        lines.push_back(std::move(partial_));
      } else {
        ++discarded_;
      }
      partial_.clear();
    }
    bytes.remove_prefix(lf + 1);
  }
  return lines;
}

namespace {

// A decimal integer with an optional sign and nothing else; any magnitude counts (non-zero is
// true), so digits beyond what fits are fine.
std::optional<bool> ParseFlag(std::string_view s) {
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  bool nonzero = false;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    nonzero = nonzero || c != '0';
  }
  return nonzero;
}

}  // namespace

Message Parse(std::string_view line) {
  Message m;
  auto event = [&](std::string_view rest, Kind kind) {
    if (const auto flag = ParseFlag(rest)) {
      m.kind = kind;
      m.value = *flag ? std::int16_t{-1} : std::int16_t{0};
    }
  };
  if (line == "OK") {
    m.kind = Kind::kOk;
  } else if (line == "ERR") {
    m.kind = Kind::kErr;
  } else if (line.rfind("ERR ", 0) == 0) {
    m.kind = Kind::kErr;
    m.text = std::string(line.substr(4));
  } else if (line.rfind("EVENT PTT ", 0) == 0) {
    event(line.substr(10), Kind::kPtt);
  } else if (line.rfind("EVENT TX ", 0) == 0) {
    event(line.substr(9), Kind::kTx);
  } else if (line == "SETPTT 1" || line == "SETPTT 0") {
    m.kind = Kind::kSetPtt;
    m.value = line.back() == '1' ? std::int16_t{-1} : std::int16_t{0};
  }
  return m;
}

std::string Escape(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xf];
    }
  }
  return out;
}

std::string SetPttLine(bool key) {
  return key ? "SETPTT 1\n" : "SETPTT 0\n";
}

std::string Endpoint::ToString() const {
  if (type == Type::kUnix) return "unix:" + path;
  const bool v6 = host.find(':') != std::string::npos;
  return (type == Type::kTcp ? "tcp:" : "rigctld:") + (v6 ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

namespace {

bool IsLoopbackV4(std::string_view host) {
  // Four decimal octets, the first 127.
  int octets = 0;
  unsigned first = 256;
  while (true) {
    unsigned value = 0;  // unsigned: no sign is accepted
    const auto [next, ec] = std::from_chars(host.data(), host.data() + host.size(), value);
    if (ec != std::errc{} || next == host.data() || value > 255 || next - host.data() > 3) {
      return false;
    }
    if (octets == 0) first = value;
    ++octets;
    host.remove_prefix(static_cast<std::size_t>(next - host.data()));
    if (host.empty()) break;
    if (host.front() != '.' || octets == 4) return false;
    host.remove_prefix(1);
  }
  return octets == 4 && first == 127;
}

bool IsLoopback(std::string_view host) {
  return host == "localhost" || host == "::1" || IsLoopbackV4(host);
}

}  // namespace

std::optional<Endpoint> ParseEndpoint(std::string_view text, std::string& error) {
  Endpoint e;
  if (text.rfind("unix:", 0) == 0) {
    e.type = Endpoint::Type::kUnix;
    e.path = std::string(text.substr(5));
    if (e.path.empty()) {
      error = "the endpoint unix: needs a socket path";
      return std::nullopt;
    }
    return e;
  }
  const bool rigctld = text.rfind("rigctld:", 0) == 0;
  if (text.rfind("tcp:", 0) != 0 && !rigctld) {
    error = "the endpoint must be unix:PATH, tcp:HOST:PORT or rigctld:HOST:PORT, not \"" +
            std::string(text) + "\"";
    return std::nullopt;
  }
  const std::string scheme = rigctld ? "rigctld" : "tcp";
  std::string_view rest = text.substr(scheme.size() + 1);
  std::string_view host;
  // rigctld's own port when none is given; a link program has no usual port.
  std::string_view default_port = rigctld ? "4532" : "";
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    const bool port_follows =
        close != std::string_view::npos && close + 1 < rest.size() && rest[close + 1] == ':';
    const bool ends = close != std::string_view::npos && close + 1 == rest.size();
    if (!port_follows && !(ends && !default_port.empty())) {
      error = "the endpoint " + scheme + ":[HOST]:PORT is malformed";
      return std::nullopt;
    }
    host = rest.substr(1, close - 1);
    rest = port_follows ? rest.substr(close + 2) : default_port;
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos && default_port.empty()) {
      error = "the endpoint tcp:HOST:PORT needs a port";
      return std::nullopt;
    }
    host = colon == std::string_view::npos ? rest : rest.substr(0, colon);
    rest = colon == std::string_view::npos ? default_port : rest.substr(colon + 1);
  }
  unsigned port = 0;
  const auto [next, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), port);
  if (ec != std::errc{} || next != rest.data() + rest.size() || port == 0 || port > 65535) {
    error = "the port of \"" + std::string(text) + "\" must be a number from 1 to 65535";
    return std::nullopt;
  }
  if (!IsLoopback(host)) {
    error =
        "the link host \"" + std::string(host) +
        "\" is not a loopback address; keying the transmitter is allowed from this machine only";
    return std::nullopt;
  }
  e.type = rigctld ? Endpoint::Type::kRigctld : Endpoint::Type::kTcp;
  e.host = std::string(host);
  e.port = static_cast<std::uint16_t>(port);
  return e;
}

std::string DefaultEndpoint(const char* xdg_runtime_dir, unsigned uid) {
  if (xdg_runtime_dir != nullptr && *xdg_runtime_dir != '\0') {
    return std::string("unix:") + xdg_runtime_dir + "/corvanta/link.sock";
  }
  return "unix:/tmp/corvanta-" + std::to_string(uid) + "/link.sock";
}

Endpoint WithAbsolutePath(Endpoint endpoint, const std::string& current_folder) {
  if (endpoint.type == Endpoint::Type::kUnix) {
    endpoint.path =
        (std::filesystem::path(current_folder) / endpoint.path).lexically_normal().generic_string();
  }
  return endpoint;
}

std::string LinkIdentity(const Endpoint& endpoint, const std::string& current_folder) {
  Endpoint e = WithAbsolutePath(endpoint, current_folder);
  if (e.type != Endpoint::Type::kUnix && e.host == "localhost") e.host = "127.0.0.1";
  return e.ToString();
}

namespace {

std::string FileSafe(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_';
    out += safe ? c : '_';
  }
  return out;
}

}  // namespace

std::string LinkFileLabel(const Endpoint& endpoint, const std::string& default_endpoint,
                          const std::string& current_folder) {
  std::string error;
  const auto fallback = ParseEndpoint(default_endpoint, error);
  const std::string identity = LinkIdentity(endpoint, current_folder);
  if (fallback && LinkIdentity(*fallback, current_folder) == identity) return {};
  const Endpoint e = WithAbsolutePath(endpoint, current_folder);
  if (e.type == Endpoint::Type::kUnix) {
    const std::filesystem::path path(e.path);
    std::string label = "unix-" + FileSafe(path.filename().string());
    const bool beside_default =
        fallback && fallback->type == Endpoint::Type::kUnix &&
        WithAbsolutePath(*fallback, current_folder).path ==
            (path.parent_path() / std::filesystem::path(fallback->path).filename())
                .generic_string();
    if (!beside_default) {
      std::uint32_t hash = 2166136261u;  // FNV-1a: short, stable across runs and builds
      for (const char c : e.path) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
      label += std::string("-") + hex;
    }
    return label;
  }
  const bool usual_host = e.host == "127.0.0.1" || e.host == "localhost";
  return std::string(e.type == Endpoint::Type::kTcp ? "tcp" : "rigctld") +
         (usual_host ? "" : "-" + FileSafe(e.host)) + "-" + std::to_string(e.port);
}

}  // namespace corvanta::wire
