#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

#include "Log.h"
#include "TestSupport.h"


namespace {

std::string dump(const void* bytes, uint32_t n) {
  testsupport::Output captured;
  Log_HexDump(bytes, n);
  return captured.take();
}

}  // namespace

TEST(Log, PrefixesAndTheAlwaysAddedLineEnd) {
  testsupport::Output captured;
  Log_Info("a %d", 1);
  Log_Warning("b");
  Log_Error("Cannot lock mutex %X\n", 5);
  EXPECT_EQ(captured.take(),
            "LOG     : a 1\n"
            "WARNING : b\n"
            "ERROR   : Cannot lock mutex 5\n\n");
}

TEST(Log, HexDumpOfAShortLine) {
  const uint8_t bytes[] = {0x41, 0x00, 0x42};
  EXPECT_EQ(dump(bytes, 3), "LOG     : 41 00 42 A.B\n\n");
}

TEST(Log, HexDumpOfNothingWritesNothing) { EXPECT_EQ(dump("", 0), ""); }

TEST(Log, HexDumpSplitsIntoLinesOfEight) {
  const uint8_t bytes[] = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x0A, 0xFF};
  EXPECT_EQ(dump(bytes, 10),
            "LOG     : 30 31 32 33 34 35 36 37 01234567\n\n"
            "LOG     : 0A FF .\xFF\n\n");
}

TEST(Log, HexDumpDoublesPercentAndRestartsAfterTheLastCharacterShown) {
  // Each '%' takes two character columns, so this line shows only six bytes
  // as characters; the next line starts again at the seventh.
  const uint8_t bytes[] = {'%', '%', 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  EXPECT_EQ(dump(bytes, 9),
            "LOG     : 25 25 61 62 63 64 65 66 %%abcd\n\n"
            "LOG     : 65 66 67 efg\n\n");
}

TEST(Log, ALineLongerThanAnyBufferComesWhole) {
  const std::string text(3000, 'x');
  testsupport::Output captured;
  Log_Warning("%s|%d", text.c_str(), 7);
  EXPECT_EQ(captured.take(), "WARNING : " + text + "|7\n");
}

// The dispatcher, the send timer and the event-log delivery all log while
// the main thread does: no line may be cut into by another thread's.
TEST(Log, LinesOfThreadsLoggingAtOnceNeverMix) {
  constexpr int kLines = 300;
  testsupport::Output captured;
  std::thread other([] {
    for (int i = 0; i < kLines; ++i) Log_Error("from the other thread %d", i);
  });
  for (int i = 0; i < kLines; ++i) Log_Info("from this thread %d", i);
  other.join();
  std::istringstream out(captured.take());
  int lines = 0;
  for (std::string line; std::getline(out, line); ++lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool mine = line.rfind("LOG     : from this thread ", 0) == 0;
    const bool theirs = line.rfind("ERROR   : from the other thread ", 0) == 0;
    ASSERT_TRUE(mine || theirs) << line;
  }
  EXPECT_EQ(lines, 2 * kLines);
}
