#pragma once
// One Corvanta per link: a second copy for the same link would receive the same events and key
// the same transmitter, so every courtesy would go out twice, overlapped. The first copy holds a
// lock named after the link's endpoint and listens beside it; a second copy finds the lock
// taken, asks the first to bring its window to the front, and ends. Copies for different links
// run side by side.
//
// The claim is made on the link as the connection reaches it, not on how it was written: a unix
// socket's path absolute and lexically normal, the host localhost as 127.0.0.1
// (wire::LinkIdentity).
//
// Thread rules: the GUI thread (the listening socket delivers through its event loop). Claiming
// and asking never block for more than a second; a lock left by a copy that died is taken over.
#include <QLocalServer>
#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>
#include <string>

namespace corvanta {

class LinkClaim {
 public:
  // Claims `endpoint` with a lock and a socket in `folder` (made if missing, private). A folder
  // in a place other users may write (`shared_place`, the temporary folder) is used only when it
  // is private to this user, as the link's own folder there is (core/private_folder.h).
  LinkClaim(const QString& folder, const std::string& endpoint, bool shared_place = false);
  LinkClaim(const LinkClaim&) = delete;
  LinkClaim& operator=(const LinkClaim&) = delete;

  // True when this copy is the one for the link.
  bool claimed() const { return claimed_; }
  // Why the claim failed when it was not the other copy's (the folder cannot be written, or is
  // not private); the copy then runs unclaimed.
  const QString& error() const { return error_; }

  // The first copy: `show` runs (from the event loop) each time a second copy asks.
  void OnSecondCopy(std::function<void()> show);
  // A second copy: asks the first to show its window. False when it did not answer in a second.
  bool AskFirstCopyToShow();

 private:
  QString socket_path_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> show_;
  bool claimed_ = false;
  QString error_;
};

}  // namespace corvanta
