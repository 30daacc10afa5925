#pragma once
// What the Qt link objects (the socket's, rigctld's) share.
//
// Their events reach the window thread through a posted event, which the window's message
// processing sends whenever it runs, also between two Morse symbols: an event that arrived during
// a symbol is handled right after it, inside the transmission, where the flags guard against
// nesting. And their messages to standard error are bounded: a peer that sends nothing but
// garbage must not flood the terminal.
//
// Thread rules: window thread only; nothing here blocks or runs window messages.
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <iostream>
#include <string>
#include <utility>

namespace corvanta {

class PostedDelivery {
 public:
  // Posts one delivery to `target`, unless one is waiting already.
  void Schedule(QObject* target) {
    if (posted_) return;
    posted_ = true;
    QCoreApplication::postEvent(target, new QEvent(Type()));
  }
  // For the target's event(): whether `e` is the delivery, which is then no longer waiting.
  bool Take(const QEvent* e) {
    if (e->type() != Type()) return false;
    posted_ = false;
    return true;
  }

 private:
  static QEvent::Type Type() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }
  bool posted_ = false;
};

// The first kLimit messages, each as "PREFIX: text", then one saying the rest are not logged.
class BoundedLog {
 public:
  static constexpr int kLimit = 20;
  explicit BoundedLog(std::string prefix) : prefix_(std::move(prefix)) {}
  void operator()(const std::string& text) {
    if (++count_ <= kLimit) {
      std::cerr << prefix_ << ": " << text << '\n';
    } else if (count_ == kLimit + 1) {
      std::cerr << prefix_ << ": further messages are not logged\n";
    }
  }

 private:
  std::string prefix_;
  int count_ = 0;
};

}  // namespace corvanta
