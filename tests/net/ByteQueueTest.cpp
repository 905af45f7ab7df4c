// The byte queue under the receive buffer and the send queue: lines come out whole and in
// order however the bytes were split, across the queue's compactions.
#include <gtest/gtest.h>

#include <cstring>

#include "ByteQueue.h"

TEST(ByteQueue, LinesSurviveAnySplitAndCompaction) {
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    text += std::string(static_cast<size_t>(i % 97), static_cast<char>('a' + i % 26));
    text += i % 3 ? "\r\n" : "\n";
  }
  TByteQueue queue;
  std::string out;
  std::string line;
  size_t at = 0;
  for (size_t piece = 1; at < text.size(); piece = piece * 7 % 503 + 1) {
    queue.Append(text.substr(at, piece));
    at += piece;
    while (queue.TakeLine(line)) {
      ASSERT_EQ(line.back(), '\n');
      ASSERT_EQ(line.find('\n'), line.size() - 1);
      out += line;
    }
  }
  EXPECT_TRUE(out == text);
  EXPECT_TRUE(queue.Empty());
}

TEST(ByteQueue, KeepsRestAfterLastLineAndConsumes) {
  TByteQueue queue;
  std::string line = "untouched";
  queue.Append("abc\r\ndef");
  EXPECT_TRUE(queue.TakeLine(line));
  EXPECT_EQ(line, "abc\r\n");
  line = "untouched";
  EXPECT_FALSE(queue.TakeLine(line));
  EXPECT_EQ(line, "untouched");
  EXPECT_EQ(queue.ToString(), "def");
  queue.Append("g\n");
  EXPECT_TRUE(queue.HasLine());
  queue.Consume(2);
  EXPECT_EQ(queue.ToString(), "fg\n");
  queue.Consume(100);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(queue.Size(), 0);
}

TEST(ByteQueue, BytesReadIntoItsRoomKeepTheirOrderAcrossCompactionAndGrowth) {
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += std::string(static_cast<size_t>(i % 211), static_cast<char>('A' + i % 26)) + "\r\n";
  TByteQueue queue;
  std::string out;
  std::string line;
  size_t at = 0;
  for (size_t piece = 1, round = 0; at < text.size(); piece = piece * 13 % 9001 + 1, ++round) {
    piece = std::min(piece, text.size() - at);
    // As a receive does: room for a whole chunk, of which only what came is kept.
    char* room = queue.Room(piece + 4096);
    std::memcpy(room, text.data() + at, piece);
    queue.Commit(piece);
    at += piece;
    if (round % 2) {
      // Runs of whole lines, taken in place.
      const std::string_view lines = queue.CompleteLines();
      ASSERT_TRUE(lines.empty() || lines.back() == '\n');
      out += lines;
      queue.Consume(static_cast<int64_t>(lines.size()));
    } else {
      while (queue.TakeLine(line)) out += line;
    }
  }
  out += queue.ToString();
  EXPECT_TRUE(out == text);
}
