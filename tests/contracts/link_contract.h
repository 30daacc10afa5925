#pragma once
// What every link object must do, whoever implements it: one suite, run against each
// implementation through a harness that plays the link program.
//
// A harness H is default-constructible and offers:
//   std::unique_ptr<LinkObject> Make(LinkEventSink sink)  a new object, connected
//   void Raise(const char* event, bool on)      the link program raises "PTT" or "TX"
//   bool ProcessMessagesUntil(std::function<bool()> done)  the window thread's message
//                                               processing until `done` (false after a deadline)
//   std::vector<bool> Requests()                the keying requests the link program has seen
//   bool Keyed()                                its transmitter as it sees it
//   void RefuseKeying()                         from the next object on, keying is refused
//   void Drop()                                 the link program drops every connection
// and, for a link program that owns the radio (its transmitter stays keyed when a connection
// goes, until a release request comes), `static constexpr bool kKeepsKey = true;`; for one that
// cannot raise events on request (a real radio daemon), `static constexpr bool kRaisesEvents =
// false;` (the event checks are skipped for it); for one with no "TX" event (a radio, whose
// squelch gives "PTT" alone), `static constexpr bool kRaisesTx = false;`.
//
// Instantiate with INSTANTIATE_TYPED_TEST_SUITE_P(Name, LinkContract, Harness).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/link.h"

namespace corvanta::contracts {

template <typename H>
class LinkContract : public ::testing::Test {
 protected:
  // A sink that writes "PTT 1", "TX 0" ... into `into`.
  static LinkEventSink Recording(std::vector<std::string>& into) {
    LinkEventSink sink;
    sink.PTT = [&into](std::int16_t v) { into.push_back(std::string("PTT ") + (v ? "1" : "0")); };
    sink.TX = [&into](std::int16_t v) { into.push_back(std::string("TX ") + (v ? "1" : "0")); };
    return sink;
  }
  H harness;
};

TYPED_TEST_SUITE_P(LinkContract);

template <typename H>
constexpr bool KeepsKey() {
  if constexpr (requires { H::kKeepsKey; }) {
    return H::kKeepsKey;
  } else {
    return false;
  }
}

template <typename H>
constexpr bool RaisesEvents() {
  if constexpr (requires { H::kRaisesEvents; }) {
    return H::kRaisesEvents;
  } else {
    return true;
  }
}

template <typename H>
constexpr bool RaisesTx() {
  if constexpr (requires { H::kRaisesTx; }) {
    return H::kRaisesTx;
  } else {
    return true;
  }
}

TYPED_TEST_P(LinkContract, KeyingRequestsReachTheLinkProgramInOrder) {
  std::vector<std::string> events;
  auto link = this->harness.Make(this->Recording(events));
  link->SetPTT(true);
  EXPECT_TRUE(this->harness.Keyed());
  link->SetPTT(false);
  EXPECT_FALSE(this->harness.Keyed());
  link->SetPTT(true);
  EXPECT_EQ(this->harness.Requests(), (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(events.empty());
}

TYPED_TEST_P(LinkContract, EventsArriveInOrderThroughMessageProcessing) {
  if constexpr (!RaisesEvents<TypeParam>()) GTEST_SKIP() << "this link program raises no events";
  std::vector<std::string> events;
  auto link = this->harness.Make(this->Recording(events));
  this->harness.Raise("PTT", true);
  this->harness.Raise("PTT", false);
  std::vector<std::string> expected{"PTT 1", "PTT 0"};
  if constexpr (RaisesTx<TypeParam>()) {
    this->harness.Raise("TX", false);
    expected.push_back("TX 0");
  }
  ASSERT_TRUE(this->harness.ProcessMessagesUntil([&] { return events.size() >= expected.size(); }));
  EXPECT_EQ(events, expected);
}

// A refused request says so and leaves the transmitter as it was: nothing keyed.
TYPED_TEST_P(LinkContract, ARefusedRequestThrowsAndKeysNothing) {
  this->harness.RefuseKeying();
  std::vector<std::string> events;
  auto link = this->harness.Make(this->Recording(events));
  EXPECT_THROW(link->SetPTT(true), LinkError);
  EXPECT_FALSE(this->harness.Keyed());
}

// Releasing the object releases whatever it keyed, and its events stop: an event raised after
// the release reaches only the object made since.
TYPED_TEST_P(LinkContract, ReleasingTheObjectReleasesItsKeyAndEndsItsEvents) {
  std::vector<std::string> first_events, second_events;
  auto first = this->harness.Make(this->Recording(first_events));
  first->SetPTT(true);
  first.reset();
  EXPECT_TRUE(this->harness.ProcessMessagesUntil([&] { return !this->harness.Keyed(); }));
  auto second = this->harness.Make(this->Recording(second_events));
  if constexpr (RaisesEvents<TypeParam>()) {
    const char* event = RaisesTx<TypeParam>() ? "TX" : "PTT";
    this->harness.Raise(event, !RaisesTx<TypeParam>());
    ASSERT_TRUE(this->harness.ProcessMessagesUntil([&] { return !second_events.empty(); }));
    EXPECT_EQ(second_events, (std::vector<std::string>{RaisesTx<TypeParam>() ? "TX 0" : "PTT 1"}));
  }
  EXPECT_TRUE(first_events.empty());
}

// The link program drops the connection while keyed. One that releases the transmitter when a
// connection goes does so itself; one that owns the radio keeps it keyed. Either way, the
// object's next release request, whether it fails or not, never leaves it keyed (through the
// next connection if need be).
TYPED_TEST_P(LinkContract, ALostConnectionNeverLeavesTheTransmitterKeyed) {
  std::vector<std::string> events;
  auto link = this->harness.Make(this->Recording(events));
  link->SetPTT(true);
  this->harness.Drop();
  if constexpr (!KeepsKey<TypeParam>()) {
    EXPECT_TRUE(this->harness.ProcessMessagesUntil([&] { return !this->harness.Keyed(); }));
  }
  try {
    link->SetPTT(false);
  } catch (const LinkError&) {
  }
  EXPECT_TRUE(this->harness.ProcessMessagesUntil([&] { return !this->harness.Keyed(); }));
}

REGISTER_TYPED_TEST_SUITE_P(LinkContract, KeyingRequestsReachTheLinkProgramInOrder,
                            EventsArriveInOrderThroughMessageProcessing,
                            ARefusedRequestThrowsAndKeysNothing,
                            ReleasingTheObjectReleasesItsKeyAndEndsItsEvents,
                            ALostConnectionNeverLeavesTheTransmitterKeyed);

}  // namespace corvanta::contracts
