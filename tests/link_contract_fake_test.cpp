// The link contract against the fake link objects every engine test uses, so that what those
// tests assume of a link object is what the real one does.
#include "support/fakes/fake_link.h"
#include "tests/contracts/link_contract.h"

namespace corvanta {
namespace {

class FakeLinkHarness {
 public:
  std::unique_ptr<LinkObject> Make(LinkEventSink sink) { return LinkObjectFactory()(sink); }
  void Raise(const char* event, bool on) {
    links_.Raise(event, on ? std::int16_t{-1} : std::int16_t{0});
  }
  bool ProcessMessagesUntil(const std::function<bool()>& done) {
    links_.DeliverEvents();
    return done();
  }
  std::vector<bool> Requests() const {
    std::vector<bool> keys;
    for (const auto& call : links_.calls) keys.push_back(call.key);
    return keys;
  }
  bool Keyed() const { return links_.keyed; }
  void RefuseKeying() {
    links_.on_setptt = [](bool) {
      throw LinkError("the link program refused: ERR", LinkError::Fate::kRefused);
    };
  }
  void Drop() { links_.DropConnections(); }

 private:
  testing::FakeLinks links_{[] { return std::int64_t{0}; }};
};

}  // namespace
}  // namespace corvanta

namespace corvanta::contracts {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, LinkContract, corvanta::FakeLinkHarness);
}  // namespace corvanta::contracts
