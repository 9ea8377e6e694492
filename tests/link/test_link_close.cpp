// Closing a link whose dispatcher is still busy with an unsolicited frame
// that came after the answer: the close is normal and logs nothing.
#include <atomic>
#include <cstring>
#include <string>

#include "LinkTestSupport.h"
#include "Log.h"

using namespace linktest;

namespace {

constexpr char kIntegrityLine[] = "LOG     : FIXME : Receive Message integrity checks";

// Holds the dispatcher right after it has logged the integrity frame, until
// the simulator has seen its connection closed: the close then runs while
// the dispatcher has still to re-post its receive.
std::atomic<bool> gHeld{false};
void holdAfterIntegrityLine(const char* line, size_t) {
  if (std::strncmp(line, kIntegrityLine, sizeof kIntegrityLine - 1) != 0) return;
  gHeld = true;
  Sim_WaitFor([](const SimStats& st) { return st.closes >= 1; }, 5000);
}

}  // namespace

TEST(LinkClose, DispatcherStillAtWorkWhenTheLinkClosesLogsNoError) {
  SimScenario s;
  s.framesAfterAnswer = SimFrames({{0x20, 0x01, 0x00, 0x00, 0x00, 0x00}});
  Output out;
  Log_SetLineObserver(holdAfterIntegrityLine);
  gHeld = false;
  {
    Link link(s);
    MeQueryInfo info = freshInfo();
    ASSERT_EQ(vxHECI_QueryInfo(link.ctx, &info), 0);
    ASSERT_TRUE(waitUntil([] { return gHeld.load(); }, 3000));
  }  // vxHECI_Close, with the dispatcher held after its log line
  Log_SetLineObserver(nullptr);
  const std::string text = out.take();
  EXPECT_EQ(count(text, "FIXME : Receive Message integrity checks : for command 20 , with status 1"), 1u) << text;
  // (Under Wine the watcher's own subscription error may be there too.)
  EXPECT_EQ(count(text, "HECIReceiveMessage failed"), 0u) << text;
  EXPECT_EQ(count(text, "Communication Error"), 0u) << text;
  EXPECT_EQ(Sim_GetStats().openConnections, 0u);
}
