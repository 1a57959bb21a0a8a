#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "safe/AsyncFile.h"

namespace {

// A file whose descriptor is the write end of a non-blocking pipe, so a test
// can see exactly which bytes reached the descriptor.
class AsyncFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(fds_), 0);
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
  }
  void TearDown() override {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  std::string drain() {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
  }
  int fds_[2] = {-1, -1};
  rocrash_async_file file_;
};

TEST_F(AsyncFile, LimitCountsAcceptedBytes) {
  rocrash_async_file_init(&file_, fds_[1], 100);
  std::string sixty(60, 'a'), forty(40, 'b');
  EXPECT_TRUE(rocrash_async_file_write(&file_, sixty.data(), sixty.size()));
  EXPECT_TRUE(rocrash_async_file_write(&file_, forty.data(), forty.size()));
  EXPECT_EQ(drain(), "");  // accepted, but still buffered
  EXPECT_FALSE(rocrash_async_file_write(&file_, "c", 1));
  EXPECT_EQ(file_.total_bytes, 100u);
  EXPECT_EQ(file_.buflen, 100u);
  EXPECT_TRUE(rocrash_async_file_flush(&file_));
  EXPECT_EQ(drain(), sixty + forty);
  EXPECT_FALSE(rocrash_async_file_write(&file_, "c", 1));
}

TEST_F(AsyncFile, PieceRefusedByTheLimitEndsTheOutputForGood) {
  rocrash_async_file_init(&file_, fds_[1], 100);
  std::string ninety(90, 'a'), twenty(20, 'b');
  EXPECT_TRUE(rocrash_async_file_write(&file_, ninety.data(), ninety.size()));
  EXPECT_FALSE(rocrash_async_file_write(&file_, twenty.data(), twenty.size()));
  // A smaller piece would fit, but the file would go on after a gap.
  EXPECT_FALSE(rocrash_async_file_write(&file_, "c", 1));
  EXPECT_TRUE(rocrash_async_file_flush(&file_));
  EXPECT_EQ(drain(), ninety);
}

TEST_F(AsyncFile, BufferIsWrittenOutOnlyWhenTheNextPieceDoesNotFit) {
  rocrash_async_file_init(&file_, fds_[1], 0);
  std::string a(200, 'a'), b(56, 'b');
  EXPECT_TRUE(rocrash_async_file_write(&file_, a.data(), a.size()));
  EXPECT_TRUE(rocrash_async_file_write(&file_, b.data(), b.size()));
  EXPECT_EQ(drain(), "");
  EXPECT_EQ(file_.buflen, 256u);
  EXPECT_TRUE(rocrash_async_file_write(&file_, "c", 1));
  EXPECT_EQ(drain(), a + b);
  EXPECT_EQ(file_.buflen, 1u);
  EXPECT_EQ(file_.total_bytes, 0u);  // not counted without a limit
}

TEST_F(AsyncFile, ExactlyOneBufferfulIsBuffered) {
  rocrash_async_file_init(&file_, fds_[1], 0);
  std::string full(256, 'f');
  EXPECT_TRUE(rocrash_async_file_write(&file_, full.data(), full.size()));
  EXPECT_EQ(drain(), "");
  EXPECT_EQ(file_.buflen, 256u);
}

TEST_F(AsyncFile, LargePieceBypassesBufferAfterFlushingIt) {
  rocrash_async_file_init(&file_, fds_[1], 0);
  std::string ten(10, 't'), big(300, 'B');
  EXPECT_TRUE(rocrash_async_file_write(&file_, ten.data(), ten.size()));
  EXPECT_TRUE(rocrash_async_file_write(&file_, big.data(), big.size()));
  EXPECT_EQ(drain(), ten + big);
  EXPECT_EQ(file_.buflen, 0u);
}

TEST_F(AsyncFile, FailedWriteOutKeepsBufferedCountAndCloseLeavesDescriptorOpen) {
  rocrash_async_file_init(&file_, fds_[1], 0);
  EXPECT_TRUE(rocrash_async_file_write(&file_, "abc", 3));
  close(fds_[0]);
  fds_[0] = open("/dev/null", O_RDONLY);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(rocrash_async_file_flush(&file_));
  EXPECT_EQ(file_.buflen, 3u);
  std::string big(300, 'B');
  EXPECT_FALSE(rocrash_async_file_write(&file_, big.data(), big.size()));
  EXPECT_EQ(file_.buflen, 3u);
  EXPECT_FALSE(rocrash_async_file_close(&file_));
  EXPECT_NE(fcntl(fds_[1], F_GETFD), -1);  // still open
  signal(SIGPIPE, SIG_DFL);
}

// Part of a piece may have reached the descriptor when its write-out failed:
// whatever follows would stand after a gap.
TEST_F(AsyncFile, FailedWriteOutEndsTheOutputForGood) {
  fcntl(fds_[1], F_SETFL, O_NONBLOCK);
  std::string filler(4096, 'f');
  while (write(fds_[1], filler.data(), filler.size()) > 0) {
  }
  rocrash_async_file_init(&file_, fds_[1], 0);
  std::string big(300, 'B');
  EXPECT_FALSE(rocrash_async_file_write(&file_, big.data(), big.size()));
  drain();  // room again
  EXPECT_FALSE(rocrash_async_file_write(&file_, "x", 1));
  EXPECT_FALSE(rocrash_async_file_flush(&file_));
  EXPECT_EQ(drain(), "");
}

TEST_F(AsyncFile, CloseFlushesThenCloses) {
  rocrash_async_file_init(&file_, fds_[1], 0);
  EXPECT_TRUE(rocrash_async_file_write(&file_, "xyz", 3));
  EXPECT_TRUE(rocrash_async_file_close(&file_));
  fds_[1] = -1;
  EXPECT_EQ(drain(), "xyz");
}

}  // namespace
