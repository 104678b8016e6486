// The single-instance exchange as the store window, later starts and other
// users' starts drive it: who gets the slot, where a word goes, and what a
// closed connection frees.
#include "open_window_slot.h"

#include <gtest/gtest.h>

namespace {

struct Answer {
  std::string status;
  std::string data;
  bool refused = false;
};

Answer check(OpenWindowSlot& slot, int sock, bool allowed = true, bool alive = true) {
  Answer a;
  slot.answer(REQ_CHECKOPENWINDOW, {}, sock, alive, allowed, a.status, a.data, a.refused);
  return a;
}

Answer set(OpenWindowSlot& slot, int sock, const std::vector<std::string>& args,
           bool allowed = true) {
  Answer a;
  slot.answer(REQ_SETOPENWINDOW, args, sock, true, allowed, a.status, a.data, a.refused);
  return a;
}

TEST(OpenWindowSlot, FirstStartKeepsTheSlotAndLaterStartsHandTheirWordOn) {
  OpenWindowSlot slot;
  // The first start gets the empty word: it becomes the store window.
  Answer a = check(slot, 5);
  EXPECT_EQ(a.status, "200");
  EXPECT_EQ(a.data, "");
  // A later start learns there is a window and leaves its word for it.
  a = check(slot, 6);
  EXPECT_EQ(a.data, "@FIRST");
  EXPECT_EQ(set(slot, 6, {"gimp"}).status, "200");
  // The window's poll receives the word once.
  EXPECT_EQ(check(slot, 5).data, "gimp");
  EXPECT_EQ(check(slot, 5).data, "@FIRST");
  // A set without a word is refused, without a log line.
  a = set(slot, 6, {});
  EXPECT_EQ(a.status, "8888");
  EXPECT_FALSE(a.refused);
  // The window goes: the next start is the store window again.
  slot.connectionClosed(6);
  EXPECT_EQ(check(slot, 7).data, "@FIRST") << "closing another connection frees nothing";
  slot.connectionClosed(5);
  a = check(slot, 8);
  EXPECT_EQ(a.status, "200");
  EXPECT_EQ(a.data, "");
}

TEST(OpenWindowSlot, OtherUsersOnlyHandAWordToARunningWindow) {
  OpenWindowSlot slot;
  // No window yet: another user may neither take the slot nor leave a word.
  Answer a = check(slot, 5, false);
  EXPECT_EQ(a.status, "8888");
  EXPECT_TRUE(a.refused);
  a = set(slot, 5, {"gimp"}, false);
  EXPECT_EQ(a.status, "8888");
  EXPECT_TRUE(a.refused);
  // A connection that has gone takes nothing either.
  a = check(slot, 6, true, false);
  EXPECT_EQ(a.status, "200");
  EXPECT_EQ(a.data, "");
  // The window comes; the other user's start sees it and hands its word on,
  // but cannot register as the window.
  EXPECT_EQ(check(slot, 7).data, "");
  a = check(slot, 5, false);
  EXPECT_EQ(a.status, "200");
  EXPECT_EQ(a.data, "@FIRST");
  EXPECT_TRUE(set(slot, 5, {"@FIRST"}, false).refused);
  EXPECT_EQ(set(slot, 5, {"@HOME"}, false).status, "200");
  EXPECT_EQ(check(slot, 7).data, "@HOME");
}

TEST(OpenWindowSlot, AWindowThatRegistersWithoutAskingHoldsTheSlot) {
  OpenWindowSlot slot;
  EXPECT_EQ(set(slot, 9, {"@FIRST"}).status, "200");
  EXPECT_EQ(check(slot, 10).data, "@FIRST");
  slot.connectionClosed(9);
  EXPECT_EQ(check(slot, 11).data, "");
}

}  // namespace
