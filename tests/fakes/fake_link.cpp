#include "tests/fakes/fake_link.h"

#include "core/errors.h"

namespace corvanta::testing {

class FakeLinks::Object final : public LinkObject {
 public:
  Object(FakeLinks& links, int serial) : links_(links), serial_(serial) { ++links_.alive_; }
  ~Object() override { --links_.alive_; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  void SetPTT(bool key) override {
    if (links_.on_setptt) links_.on_setptt(key);
    links_.calls.push_back({links_.clock_(), serial_, key});
  }

 private:
  FakeLinks& links_;
  int serial_;
};

FakeLinks::FakeLinks(std::function<std::int64_t()> clock) : clock_(std::move(clock)) {
  LinkObjectFactory() = [this](LinkEventSink sink) -> std::unique_ptr<LinkObject> {
    if (refuse_creation) throw LinkError("connection refused");
    last_sink = std::move(sink);
    return std::make_unique<Object>(*this, ++made_);
  };
}

FakeLinks::~FakeLinks() {
  LinkObjectFactory() = nullptr;
}

}  // namespace corvanta::testing
