// MessageFramer: the stream cut into messages however the bytes arrive.
#include "protocol/message_framer.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kovra62386 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes message(uint8_t type, uint8_t n, uint8_t fill) {
  Bytes bytes(std::size_t{n} + 2, fill);
  bytes[0] = type;
  bytes[1] = n;
  return bytes;
}

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Feeds the framer and collects what it cuts.
struct Collector {
  MessageFramer framer;
  std::vector<Bytes> messages;

  void feed(std::span<const uint8_t> bytes) {
    framer.feed(bytes, [this](std::span<const uint8_t> m) {
      messages.emplace_back(m.begin(), m.end());
    });
    EXPECT_LE(framer.pending_size(), 256u);
  }
};

const std::vector<Bytes>& sample_messages() {
  static const std::vector<Bytes> messages = {
      message(0x07, 0, 0), message(0x15, 255, 0xA5), message(0x02, 5, 0x11),
      message(0x0D, 1, 3), message(0x01, 0, 0),      message(0x06, 2, 0x00),
  };
  return messages;
}

TEST(MessageFramer, TwoMessagesInOneFeed) {
  Collector c;
  const Bytes a = {0x0A, 0x01, 0x03};
  const Bytes b = {0x15, 0x02, 0x04, 0x35};
  c.feed(concat({a, b}));
  EXPECT_EQ(c.messages, (std::vector<Bytes>{a, b}));
  EXPECT_EQ(c.framer.pending_size(), 0u);
}

TEST(MessageFramer, ShortestAndLongestMessages) {
  Collector c;
  c.feed(Bytes{0x07, 0x00});
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0], (Bytes{0x07, 0x00}));

  const Bytes longest = message(0x01, 255, 0x42);
  c.feed(longest);
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.messages[1], longest);
  EXPECT_EQ(c.framer.pending_size(), 0u);
}

TEST(MessageFramer, SplitAtEveryBytePosition) {
  const Bytes stream = concat(sample_messages());
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE(split);
    Collector c;
    c.feed(std::span(stream).first(split));
    c.feed(std::span(stream).subspan(split));
    EXPECT_EQ(c.messages, sample_messages());
    EXPECT_EQ(c.framer.pending_size(), 0u);
  }
}

TEST(MessageFramer, SplitAtEveryPairOfPositionsInAShortStream) {
  const Bytes stream =
      concat({message(0x07, 0, 0), message(0x02, 3, 1), message(0x0D, 1, 2)});
  const std::vector<Bytes> expected = {message(0x07, 0, 0), message(0x02, 3, 1),
                                       message(0x0D, 1, 2)};
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    for (std::size_t second = first; second <= stream.size(); ++second) {
      Collector c;
      c.feed(std::span(stream).first(first));
      c.feed(std::span(stream).subspan(first, second - first));
      c.feed(std::span(stream).subspan(second));
      EXPECT_EQ(c.messages, expected) << first << " " << second;
    }
  }
}

TEST(MessageFramer, ByteByByte) {
  const Bytes stream = concat(sample_messages());
  Collector c;
  for (uint8_t byte : stream) c.feed(std::span(&byte, 1));
  EXPECT_EQ(c.messages, sample_messages());
  EXPECT_EQ(c.framer.pending_size(), 0u);
}

TEST(MessageFramer, LoneByteStaysPending) {
  Collector c;
  c.feed(Bytes{0x15});
  EXPECT_TRUE(c.messages.empty());
  EXPECT_EQ(c.framer.pending_size(), 1u);
  c.feed(Bytes{});
  EXPECT_EQ(c.framer.pending_size(), 1u);
  c.feed(Bytes{0x00, 0x07});
  EXPECT_EQ(c.messages, (std::vector<Bytes>{{0x15, 0x00}}));
  EXPECT_EQ(c.framer.pending_size(), 1u);
}

TEST(MessageFramer, PendingHoldsAtMostOneIncompleteMessage) {
  const Bytes longest = message(0x15, 255, 0x01);
  Collector c;
  c.feed(std::span(longest).first(256));
  EXPECT_TRUE(c.messages.empty());
  EXPECT_EQ(c.framer.pending_size(), 256u);
  // The last byte, then the start of the next message in the same feed.
  const Bytes rest = {0x01, 0x02, 0xFF, 0x00};
  c.feed(rest);
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0], longest);
  EXPECT_EQ(c.framer.pending_size(), 3u);
}

TEST(MessageFramer, ResetDropsPendingBytes) {
  Collector c;
  c.feed(Bytes{0x15, 0x05, 0x01});
  c.framer.reset();
  c.feed(Bytes{0x07, 0x00});
  EXPECT_EQ(c.messages, (std::vector<Bytes>{{0x07, 0x00}}));
}

TEST(MessageFramer, ThrowingHandlerLeavesTheFramerClean) {
  MessageFramer framer;
  const Bytes first = {0x15, 0x03, 1, 2};
  framer.feed(first, [](std::span<const uint8_t>) { FAIL(); });
  EXPECT_EQ(framer.pending_size(), 4u);
  const Bytes last = {3, 0x07};
  EXPECT_THROW(framer.feed(last,
                           [](std::span<const uint8_t>) {
                             throw std::runtime_error("full");
                           }),
               std::runtime_error);
  EXPECT_EQ(framer.pending_size(), 0u);
  std::vector<Bytes> seen;
  framer.feed(Bytes{0x07, 0x00}, [&](std::span<const uint8_t> m) {
    seen.emplace_back(m.begin(), m.end());
  });
  EXPECT_EQ(seen, (std::vector<Bytes>{{0x07, 0x00}}));
}

}  // namespace
}  // namespace kovra62386
