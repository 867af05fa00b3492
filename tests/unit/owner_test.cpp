// The one owner template: what each operation closes, and what it leaves held.
#include <gtest/gtest.h>

#include <vector>

#include "platform/owner.h"

namespace talv {
namespace {

struct Closer {
  std::vector<int> closed;
};
struct CounterTraits {
  using Port = Closer;
  using Value = int;
  static constexpr int kNone = 0;
  static int Close(Closer& c, int v) {
    c.closed.push_back(v);
    return 7;
  }
};
using Held = Owner<CounterTraits>;

TEST(OwnerTest, EachOperationClosesWhatItGivesUpAndNothingElse) {
  Closer c;
  Held a(c, 1), empty;
  a = std::move(empty);  // an empty owner moved in: the old value closes, nothing is taken
  EXPECT_EQ(c.closed, std::vector<int>{1});
  EXPECT_FALSE(a);
  EXPECT_EQ(a.reset(), 0) << "nothing held";

  Held b(c, 2);
  a = std::move(b);
  EXPECT_FALSE(b);
  EXPECT_EQ(a.get(), 2);
  EXPECT_EQ(b.release(), 0);
  Held d(std::move(a));
  EXPECT_EQ(d.get(), 2);
  EXPECT_EQ(c.closed, std::vector<int>{1}) << "moves close nothing";
  EXPECT_EQ(d.reset(), 7) << "the closer's result";

  Held e(c, 3);
  EXPECT_EQ(e.release(), 3);
  EXPECT_EQ(c.closed, (std::vector<int>{1, 2})) << "release closes nothing";
}

}  // namespace
}  // namespace talv
