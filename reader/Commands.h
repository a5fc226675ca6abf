#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

class TReader;

// What counts as the reply to a command: any packet, or one of the layout its data needs.
enum class TExpectedReply { Any, Capacity, Page };

// A command of the pass and how to await it; WaitMs 0 means the link's default wait.
struct TCommand {
  QByteArray Payload;
  TExpectedReply Expect = TExpectedReply::Any;
  int WaitMs = 0;
};

TCommand LockCommand(bool Locked);
TCommand ClockCommand();  // the local time now
TCommand OptionsCommand();
TCommand CapacityCommand();
TCommand PageCommand(int PageIndex);
TCommand ClearCommand(std::uint16_t LogMark, int WaitMs);

// The reader's count of records and the mark that a clear must quote.
struct TCapacity {
  std::uint16_t RecordCount = 0;
  std::uint16_t LogMark = 0;
};
// From the reply of a capacity command; empty when the reply is too short to hold both.
std::optional<TCapacity> CapacityOf(const TReader& Reader);

// Sends Command and waits for its reply: true when a reply of the awaited kind came in time.
bool Exchange(TReader& Reader, const TCommand& Command);

// A command as a person names it: "lock", "download page 12".
QString CommandName(const QByteArray& Payload);
