#include "support/fakes/fake_link.h"

#include "core/errors.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace corvanta::testing {

class FakeLinks::Object final : public LinkObject {
 public:
  Object(FakeLinks& links, int serial, LinkEventSink sink)
      : links_(links), serial_(serial), sink_(std::move(sink)) {
    ++links_.alive_;
    links_.live_.push_back(this);
  }
  ~Object() override {
    --links_.alive_;
    std::erase(links_.live_, this);
    if (keyed_here_) links_.keyed = false;
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  void SetPTT(bool key) override {
    if (serial_ <= links_.dropped_below_) {
      throw LinkError("the link program is not connected", LinkError::Fate::kNotSent,
                      !key && released_);
    }
    if (links_.on_setptt) links_.on_setptt(key);
    links_.calls.push_back({links_.clock_(), serial_, key});
    links_.keyed = key;
    keyed_here_ = key;
    released_ = false;
  }
  void Deliver(const std::string& event, std::int16_t value) const {
    const auto& handler = event == "PTT" ? sink_.PTT : sink_.TX;
    if (handler && serial_ > links_.dropped_below_) handler(value);
  }
  void Drop() {
    released_ = keyed_here_;
    if (keyed_here_) links_.keyed = false;
    keyed_here_ = false;
  }

 private:
  FakeLinks& links_;
  int serial_;
  LinkEventSink sink_;
  bool keyed_here_ = false;
  bool released_ = false;
};

FakeLinks::FakeLinks(std::function<std::int64_t()> clock) : clock_(std::move(clock)) {
  LinkObjectFactory() = [this](LinkEventSink sink) -> std::unique_ptr<LinkObject> {
    if (refuse_creation) throw LinkError("connection refused", LinkError::Fate::kNotSent);
    last_sink = sink;
    return std::make_unique<Object>(*this, ++made_, std::move(sink));
  };
}

void FakeLinks::DropConnections() {
  for (Object* o : live_) o->Drop();
  dropped_below_ = made_;
}

void FakeLinks::Raise(const std::string& event, std::int16_t value) {
  raised_.emplace_back(event, value);
}

void FakeLinks::DeliverEvents() {
  const auto raised = std::exchange(raised_, {});
  for (const auto& [event, value] : raised) {
    // A handler may release objects or make new ones: deliver to those alive now.
    const std::vector<Object*> live = live_;
    for (const Object* o : live) {
      if (std::find(live_.begin(), live_.end(), o) != live_.end()) o->Deliver(event, value);
    }
  }
}

FakeLinks::~FakeLinks() {
  LinkObjectFactory() = nullptr;
}

}  // namespace corvanta::testing
