#include <gtest/gtest.h>

#include <QByteArray>

#include <numeric>
#include <vector>

#include "Packet.h"

namespace {

struct TFeedResult {
  int Completed = 0;
  int FirstCompletionAt = -1;
  QByteArray Stored;
};

TFeedResult FeedAll(TPacketReceiver& Receiver, const QByteArray& Bytes, bool PktMode) {
  TFeedResult result;
  for (int i = 0; i < Bytes.size(); ++i) {
    if (Receiver.Feed(static_cast<std::uint8_t>(Bytes[i]), PktMode)) {
      if (result.Completed++ == 0) {
        result.FirstCompletionAt = i;
        result.Stored = QByteArray(reinterpret_cast<const char*>(Receiver.RxBuf().data()), Receiver.RxLen());
      }
    }
  }
  return result;
}

// A long reply: E6 00, 270 body bytes summing to 0, EB.
QByteArray LongReply(std::uint8_t First) {
  QByteArray body(LongReplyLength, '\0');
  for (int i = 0; i < LongReplyLength - 1; ++i) body[i] = static_cast<char>(First + i);
  std::uint8_t sum = 0;
  for (char c : body) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  body[LongReplyLength - 1] = static_cast<char>(256 - sum);
  return QByteArray::fromHex("e600") + body + QByteArray::fromHex("eb");
}

TEST(Framing, CommandsCarryCountAndCheckByte) {
  const struct {
    const char* Payload;
    const char* Packet;
  } cases[] = {
      {"000300", "e605000300f8eb"},
      {"", "e602feeb"},
      {"0000011027", "e6070000011027c1eb"},
      {"0000001027", "e6070000001027c2eb"},
      {"000215300806170524", "e60b00021530080617052460eb"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FrameCommand(QByteArray::fromHex(c.Payload)).toHex(), QByteArray::fromHex(c.Packet).toHex())
        << c.Payload;
  }
}

TEST(Framing, FixPacketCompletesTheHeartbeat) {
  QByteArray heartbeat = QByteArray::fromHex("e600000c00eb");
  FixPacket(heartbeat);
  EXPECT_EQ(heartbeat.toHex(), "e604000cf0eb");
}

TEST(Receiver, CompletesEachKindOfPacket) {
  const struct {
    const char* Name;
    QByteArray Bytes;
    bool PktMode;
    QByteArray Stored;
    bool Unsolicited;
  } cases[] = {
      {"short reply", QByteArray::fromHex("e605000300f8eb"), true, QByteArray::fromHex("05000300f8"), false},
      {"two-byte event", QByteArray::fromHex("e60242beeb"), false, QByteArray::fromHex("42be"), true},
      {"six-byte event", QByteArray::fromHex("e606000001234597eb"), false, QByteArray::fromHex("000001234597"), true},
      {"heartbeat echo", QByteArray::fromHex("e604000cf0eb"), false, QByteArray::fromHex("77000cf0"), true},
      {"heartbeat echo as a reply", QByteArray::fromHex("e604000cf0eb"), true, QByteArray::fromHex("04000cf0"), false},
      {"two-byte reply", QByteArray::fromHex("e602feeb"), true, QByteArray::fromHex("02fe"), false},
      {"status while a reply is awaited", QByteArray::fromHex("e60243bdeb"), true, QByteArray::fromHex("43bd"), true},
  };
  for (const auto& c : cases) {
    TPacketReceiver receiver;
    FeedAll(receiver, QByteArray::fromHex("e6027789eb"), false);  // a kind 4 event leaves byte 0 as it was
    const TFeedResult result = FeedAll(receiver, c.Bytes, c.PktMode);
    EXPECT_EQ(result.Completed, 1) << c.Name;
    EXPECT_EQ(result.Stored.toHex(), c.Stored.toHex()) << c.Name;
    EXPECT_EQ(receiver.Unsolicited(), c.Unsolicited) << c.Name;
  }
}

TEST(Receiver, LongReplyStoresTheBodyWithoutTheCount) {
  TPacketReceiver receiver;
  const TFeedResult result = FeedAll(receiver, LongReply(0x11), true);
  ASSERT_EQ(result.Completed, 1);
  EXPECT_EQ(result.Stored.size(), LongReplyLength);
  EXPECT_EQ(static_cast<std::uint8_t>(result.Stored[0]), 0x11);
}

TEST(Receiver, ASplitAtAnyPositionGivesTheSameResult) {
  for (const QByteArray& packet : {QByteArray::fromHex("e605000300f8eb"), LongReply(0x40)}) {
    TPacketReceiver whole;
    const TFeedResult expected = FeedAll(whole, packet, true);
    for (int split = 1; split < packet.size(); ++split) {
      TPacketReceiver receiver;
      TFeedResult first = FeedAll(receiver, packet.left(split), true);
      TFeedResult second = FeedAll(receiver, packet.mid(split), true);
      EXPECT_EQ(first.Completed + second.Completed, 1) << split;
      EXPECT_EQ(second.Stored, expected.Stored) << split;
    }
  }
}

TEST(Receiver, BadBytesDropThePacketSilently) {
  const struct {
    const char* Name;
    const char* Bytes;
    bool PktMode;
  } cases[] = {
      {"bad sum", "e605000300f7eb", true},
      {"bad end byte", "e605000300f8ea", true},
      {"count 0x80 in packet mode", "e680000300f8eb", true},
      {"count 0x01 in packet mode", "e601ffeb", true},
      {"count 3 in normal mode", "e603000300eb", false},
      {"count 0x05 in normal mode", "e605000300f8eb", false},
      {"bad event sum", "e60242bfeb", false},
  };
  for (const auto& c : cases) {
    TPacketReceiver receiver;
    EXPECT_EQ(FeedAll(receiver, QByteArray::fromHex(c.Bytes), c.PktMode).Completed, 0) << c.Name;
    EXPECT_EQ(receiver.RxState(), TRxState::Hunting) << c.Name;
  }
}

TEST(Receiver, AResetByteIsConsumedEvenWhenItIsALeadByte) {
  TPacketReceiver receiver;
  // Count 0xE6 is refused; that byte is not taken as the start of the packet that follows it.
  EXPECT_EQ(FeedAll(receiver, QByteArray::fromHex("e6e605000300f8eb"), true).Completed, 0);
  // After a bad sum the next byte is looked at while hunting.
  EXPECT_EQ(FeedAll(receiver, QByteArray::fromHex("e605000300f7e605000300f8eb"), true).Completed, 1);
}

TEST(Receiver, NeverWritesBeyondItsBuffer) {
  TPacketReceiver receiver;
  std::vector<std::uint8_t> noise(100000);
  std::iota(noise.begin(), noise.end(), 0);
  for (std::size_t i = 0; i < noise.size(); ++i) {
    receiver.Feed(noise[i], i % 3 == 0);
    ASSERT_LE(receiver.RxLen(), RxBufferSize);
    ASSERT_LE(receiver.RxRemain(), LongReplyLength);
  }
}

}  // namespace
