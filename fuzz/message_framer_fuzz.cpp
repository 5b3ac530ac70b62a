// Feeds one byte stream to the MessageFramer in several ways (whole, byte
// by byte, in chunks whose sizes the input chooses) and checks that every
// way cuts the same messages as a plain reading of the stream, with the
// same bytes left pending.
//
// Input: byte 0 = number k of chunk sizes (low 4 bits), then k chunk
// sizes (one byte each, 0 = an empty feed), then the stream. The chunk
// sizes repeat until the stream is used up.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/message.h"
#include "protocol/message_framer.h"

using kovra62386::MessageFramer;
using kovra62386::MessageView;

namespace {

using Bytes = std::vector<uint8_t>;

struct Cut {
  std::vector<Bytes> messages;
  std::size_t pending = 0;
};

// The stream read front to back: type, length N, N bytes, and again.
Cut reference(std::span<const uint8_t> stream) {
  Cut cut;
  std::size_t at = 0;
  while (stream.size() - at >= 2 &&
         stream.size() - at >= std::size_t{stream[at + 1]} + 2) {
    const std::size_t whole = std::size_t{stream[at + 1]} + 2;
    cut.messages.emplace_back(stream.begin() + at, stream.begin() + at + whole);
    at += whole;
  }
  cut.pending = stream.size() - at;
  return cut;
}

class Feeder {
 public:
  void feed(std::span<const uint8_t> bytes) {
    framer_.feed(bytes, [this](std::span<const uint8_t> message) {
      // Each message comes whole: exactly its N + 2 bytes.
      FUZZ_CHECK(message.size() >= 2);
      FUZZ_CHECK(message.size() == std::size_t{message[1]} + 2);
      const MessageView view(message);
      FUZZ_CHECK(view.complete());
      FUZZ_CHECK(view.payload().size() == message[1]);
      FUZZ_CHECK(view.frame().size() ==
                 (message[1] == 0 ? 0u : message[1] - 1u));
      cut_.messages.emplace_back(message.begin(), message.end());
    });
    FUZZ_CHECK(framer_.pending_size() <= 256);
  }

  Cut finish() {
    cut_.pending = framer_.pending_size();
    return cut_;
  }

 private:
  MessageFramer framer_;
  Cut cut_;
};

void check_same(const Cut& a, const Cut& b) {
  FUZZ_CHECK(a.messages == b.messages);
  FUZZ_CHECK(a.pending == b.pending);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk_count = data[0] & 0x0F;
  if (size < 1 + chunk_count) return 0;
  const std::span<const uint8_t> chunks(data + 1, chunk_count);
  const std::span<const uint8_t> stream(data + 1 + chunk_count,
                                        size - 1 - chunk_count);
  const Cut expected = reference(stream);

  Feeder whole;
  whole.feed(stream);
  check_same(whole.finish(), expected);

  Feeder bytewise;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    bytewise.feed(stream.subspan(i, 1));
  }
  check_same(bytewise.finish(), expected);

  if (!chunks.empty()) {
    Feeder chunked;
    std::size_t at = 0;
    // Empty chunks are fed too, but bounded so that all-zero sizes end.
    std::size_t empty_feeds = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
      const std::size_t want = chunks[i % chunks.size()];
      if (want == 0 && ++empty_feeds > 64) break;
      const std::size_t take = std::min(want, stream.size() - at);
      chunked.feed(stream.subspan(at, take));
      at += take;
    }
    if (at < stream.size()) chunked.feed(stream.subspan(at));
    check_same(chunked.finish(), expected);
  }

  // A view over the rest of the stream from any point answers only from
  // bytes that are there: the stream ends where the input block ends.
  for (std::size_t at = 0; at <= stream.size(); ++at) {
    const MessageView view(stream.subspan(at));
    const std::size_t available = stream.size() - at;
    FUZZ_CHECK(view.payload().size() <= (available < 2 ? 0 : available - 2));
    uint8_t index = 0;
    FUZZ_CHECK(view.index(index) == !view.payload().empty());
    FUZZ_CHECK(view.frame().empty() || view.complete());
  }
  return 0;
}
