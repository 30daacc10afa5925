#pragma once
// Corvanta's side of corvanta-guardian (guardian_main.cpp): starts it with a pipe on its standard
// input and tells it when a key may be down. Whoever may key says Hold() before the keying request
// leaves and Let() once that key is known released; the guardian hears 'K' when the first holder
// comes and 'R' when the last goes. The pipe's writing end is ours alone (close-on-exec), so it
// closes exactly when this process ends.
//
// Thread rules: window thread only. Nothing blocks: the pipe is non-blocking and the guardian
// reads every word at once.
#include <sys/types.h>
#include <cstdint>
#include <string>

namespace corvanta::rigctld {

class Guardian {
 public:
  // Starts `program HOST PORT`. error() says why when it could not be started.
  Guardian(std::string program, std::string host, std::uint16_t port);
  ~Guardian();
  Guardian(const Guardian&) = delete;
  Guardian& operator=(const Guardian&) = delete;

  void Hold();
  void Let();
  // Forget every holder: the PTT was read back released.
  void Released();

  bool running() const { return pipe_ >= 0; }
  pid_t pid() const { return pid_; }
  // Why the guardian is not running (empty while it is).
  const std::string& error() const { return error_; }

 private:
  void Start();
  void Say(char word);

  std::string program_, host_;
  std::uint16_t port_;
  int pipe_ = -1;
  pid_t pid_ = -1;
  int holders_ = 0;
  std::string error_;
};

}  // namespace corvanta::rigctld
