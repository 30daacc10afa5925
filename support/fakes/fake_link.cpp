#include "support/fakes/fake_link.h"

#include "core/errors.h"

#include <vector>

namespace corvanta::testing {

class FakeLinks::Object final : public LinkObject {
 public:
  Object(FakeLinks& links, int serial) : links_(links), serial_(serial) {
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
      throw LinkError("the link program is not connected", false, !key && released_);
    }
    if (links_.on_setptt) links_.on_setptt(key);
    links_.calls.push_back({links_.clock_(), serial_, key});
    links_.keyed = key;
    keyed_here_ = key;
    released_ = false;
  }
  void Drop() {
    released_ = keyed_here_;
    if (keyed_here_) links_.keyed = false;
    keyed_here_ = false;
  }

 private:
  FakeLinks& links_;
  int serial_;
  bool keyed_here_ = false;
  bool released_ = false;
};

FakeLinks::FakeLinks(std::function<std::int64_t()> clock) : clock_(std::move(clock)) {
  LinkObjectFactory() = [this](LinkEventSink sink) -> std::unique_ptr<LinkObject> {
    if (refuse_creation) throw LinkError("connection refused", false);
    last_sink = std::move(sink);
    return std::make_unique<Object>(*this, ++made_);
  };
}

void FakeLinks::DropConnections() {
  for (Object* o : live_) o->Drop();
  dropped_below_ = made_;
}

FakeLinks::~FakeLinks() {
  LinkObjectFactory() = nullptr;
}

}  // namespace corvanta::testing
