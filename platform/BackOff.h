#pragma once

#include <algorithm>

// The wait before trying again what failed: it doubles with each failure in a row, from a
// second up to a minute, so that a peer that is down costs little and one that returns is soon
// found; it starts afresh once the caller saw the thing work.
class TBackOff {
 public:
  static constexpr int FirstMs = 1000;
  static constexpr int LongestMs = 60000;

  constexpr explicit TBackOff(int AFirstMs = FirstMs, int ALongestMs = LongestMs)
      : First(AFirstMs), Longest(ALongestMs), Next(AFirstMs) {}

  // A failure: the wait before the next try. The one after it is twice as long, up to Longest.
  constexpr int Failed() {
    const int wait = Next;
    Next = std::min(2 * Next, Longest);
    return wait;
  }
  constexpr void Reset() { Next = First; }
  constexpr int FirstWaitMs() const { return First; }
  constexpr int LongestWaitMs() const { return Longest; }

 private:
  int First;
  int Longest;
  int Next;
};
